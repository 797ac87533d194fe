// The text of a named element of the installation answer.
#ifndef OBKEY_CERT_XML_ELEMENT_TEXT_H
#define OBKEY_CERT_XML_ELEMENT_TEXT_H

#include <stddef.h>

#include <array>

namespace obkey {

inline constexpr size_t XML_VALUE_CAPACITY = 4096;

// A zero-terminated narrow text of at most XML_VALUE_CAPACITY - 1 bytes,
// zero-filled behind the text.
using XmlValue = std::array<char, XML_VALUE_CAPACITY>;

// GetXmlElementText parses `xml` anew and returns the text of the first
// element named `element_name` directly below the document element "root".
// The value is:
// - "-1" when the XML DOM cannot be used on the calling thread (on Windows,
//   COM cannot be initialised there, e.g. a multithreaded apartment);
// - the empty text when a node other than the XML declaration precedes root,
//   when there is no root or no such element, when the text does not parse,
//   when a DOM call fails, and when either argument is null;
// - otherwise the element's text, cut to its first 4095 bytes.
// It never throws.
XmlValue GetXmlElementText(const char *xml, const char *element_name) noexcept;

}  // namespace obkey

#endif  // OBKEY_CERT_XML_ELEMENT_TEXT_H
