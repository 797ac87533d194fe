#include "xml_element_text.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "xml_document.h"

namespace obkey {

XmlValue GetXmlElementText(const char *xml, const char *element_name) noexcept {
  XmlValue value{};
  if (xml == nullptr || element_name == nullptr) return value;
  try {
    std::string text;
    switch (platform::ReadRootChildText(xml, element_name, &text)) {
      case platform::XmlRead::kDomUnusable:
        std::memcpy(value.data(), "-1", 2);
        break;
      case platform::XmlRead::kValue:
        // The last byte stays zero: it terminates a value that was cut.
        std::memcpy(value.data(), text.data(), std::min(text.size(), value.size() - 1));
        break;
      case platform::XmlRead::kNoValue:
        break;
    }
  } catch (...) {
    // Out of memory while reading: the value is empty, like any failed lookup.
    value.fill('\0');
  }
  return value;
}

}  // namespace obkey
