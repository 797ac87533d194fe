#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "xml_document.h"

namespace obkey::platform {

namespace {

struct DocFree {
  void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
struct XmlCharFree {
  void operator()(xmlChar *text) const { xmlFree(text); }
};

// The name as MSXML's nodeName gives it, prefix included, since that is what
// its name queries match.
bool HasQualifiedName(const xmlNode *node, const char *name) {
  const char *local = reinterpret_cast<const char *>(node->name);
  if (node->ns == nullptr || node->ns->prefix == nullptr) return std::strcmp(local, name) == 0;
  const char *prefix = reinterpret_cast<const char *>(node->ns->prefix);
  size_t prefix_len = std::strlen(prefix);
  return std::strncmp(name, prefix, prefix_len) == 0 && name[prefix_len] == ':' &&
         std::strcmp(name + prefix_len + 1, local) == 0;
}

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

XmlRead ReadRootChildText(const char *xml, const char *name, std::string *out_text) {
  // Errors would otherwise go to standard error; no network, no entity
  // substitution, no external DTD.
  constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  size_t xml_len = std::strlen(xml);
  if (xml_len > static_cast<size_t>(INT_MAX)) return XmlRead::kNoValue;
  std::unique_ptr<xmlDoc, DocFree> doc(
      xmlReadMemory(xml, static_cast<int>(xml_len), nullptr, nullptr, kOptions));
  if (!doc) return XmlRead::kNoValue;
  const xmlNode *root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || !HasQualifiedName(root, "root")) return XmlRead::kNoValue;
  // libxml2 keeps the declaration out of the tree; anything else before root
  // (a comment, a processing instruction, a document type) empties the value.
  if (doc->children != root) return XmlRead::kNoValue;

  for (const xmlNode *child = root->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE || !HasQualifiedName(child, name)) continue;
    std::unique_ptr<xmlChar, XmlCharFree> content(xmlNodeGetContent(child));
    const char *text = content ? reinterpret_cast<const char *>(content.get()) : "";
    // MSXML's text property drops surrounding white space by default.
    size_t begin = 0, end = std::strlen(text);
    while (begin < end && IsXmlSpace(text[begin])) ++begin;
    while (end > begin && IsXmlSpace(text[end - 1])) --end;
    out_text->assign(text + begin, end - begin);
    return XmlRead::kValue;
  }
  return XmlRead::kNoValue;
}

}  // namespace obkey::platform
