// Reading one value out of an XML text with the platform's XML DOM.
#ifndef OBKEY_PLATFORM_XML_DOCUMENT_H
#define OBKEY_PLATFORM_XML_DOCUMENT_H

#include <string>

namespace obkey::platform {

enum class XmlRead {
  kValue,        // *out_text holds the element's text
  kNoValue,      // no such element, a node before root, text that does not parse, a DOM failure
  kDomUnusable,  // the DOM cannot be used on this thread (COM refused to initialise)
};

// ReadRootChildText parses `xml` and looks for the first element named
// `name` directly below the document element, which must be named "root"
// and must be the document's first node (the XML declaration is not a
// node). On kValue, `*out_text` is that element's text in the narrow code
// page of the input (the system's ANSI code page on Windows, UTF-8
// elsewhere); otherwise `*out_text` is left alone. Both texts must be
// non-null and zero-terminated.
//
// Windows: COM and the MSXML 3.0 DOMDocument on the calling thread; every
// object is released and every successful CoInitialize is balanced before
// returning. A thread in the multithreaded apartment gets kDomUnusable.
// Elsewhere: libxml2, without network access or entity loading.
XmlRead ReadRootChildText(const char *xml, const char *name, std::string *out_text);

}  // namespace obkey::platform

#endif  // OBKEY_PLATFORM_XML_DOCUMENT_H
