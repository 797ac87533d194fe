// windows.h first: the COM and MSXML headers rely on its definitions.
// clang-format off
#include <windows.h>
#include <msxml2.h>
#include <ole2.h>
#include <oleauto.h>
// clang-format on

#include <string>
#include <vector>

#include "xml_document.h"

namespace obkey::platform {

namespace {

// The version-independent MSXML 3.0 DOMDocument and the interfaces used on it.
constexpr CLSID kClsidDomDocument = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr IID kIidXmlDomDocument = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// In-process server, in-process handler and local server.
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// One CoInitialize on this thread, undone on every exit when it succeeded
// (S_FALSE included), so that lookups leave the apartment count as it was.
class Apartment {
 public:
  Apartment() : status_(CoInitialize(nullptr)) {}
  ~Apartment() {
    if (SUCCEEDED(status_)) CoUninitialize();
  }
  Apartment(const Apartment &) = delete;
  Apartment &operator=(const Apartment &) = delete;
  bool entered() const { return SUCCEEDED(status_); }

 private:
  HRESULT status_;
};

template <typename Interface>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (ptr_ != nullptr) ptr_->Release();
  }
  ComRef(const ComRef &) = delete;
  ComRef &operator=(const ComRef &) = delete;
  Interface *get() const { return ptr_; }
  Interface **out() { return &ptr_; }
  Interface *operator->() const { return ptr_; }

 private:
  Interface *ptr_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(BSTR text) : text_(text) {}
  ~Bstr() { SysFreeString(text_); }
  Bstr(const Bstr &) = delete;
  Bstr &operator=(const Bstr &) = delete;
  BSTR get() const { return text_; }
  BSTR *out() { return &text_; }

 private:
  BSTR text_ = nullptr;
};

// FromAnsi converts a narrow text in the ANSI code page to a BSTR; null when
// the conversion or the allocation fails.
BSTR FromAnsi(const char *text) {
  int wide_len = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (wide_len <= 0) return nullptr;
  std::vector<wchar_t> wide(static_cast<size_t>(wide_len));
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), wide_len) != wide_len) return nullptr;
  return SysAllocString(wide.data());
}

std::string ToAnsi(BSTR text) {
  int wide_len = static_cast<int>(SysStringLen(text));
  if (wide_len == 0) return std::string();
  int narrow_len = WideCharToMultiByte(CP_ACP, 0, text, wide_len, nullptr, 0, nullptr, nullptr);
  if (narrow_len <= 0) return std::string();
  std::string narrow(static_cast<size_t>(narrow_len), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, wide_len, &narrow[0], narrow_len, nullptr, nullptr);
  return narrow;
}

// The creation sequence of the COM smart pointers for a class context that
// includes a local server: IUnknown first, run it, then the wanted interface.
HRESULT CreateDocument(IXMLDOMDocument **out_document) {
  IUnknown *unknown = nullptr;
  HRESULT status = CoCreateInstance(kClsidDomDocument, nullptr, kClassContext, kIidUnknown,
                                    reinterpret_cast<void **>(&unknown));
  if (FAILED(status) || unknown == nullptr) return FAILED(status) ? status : E_POINTER;
  status = OleRun(unknown);
  if (SUCCEEDED(status)) {
    status = unknown->QueryInterface(kIidXmlDomDocument, reinterpret_cast<void **>(out_document));
  }
  unknown->Release();
  return status;
}

// The XML declaration, which MSXML keeps as a processing instruction named
// "xml", is not a node that precedes root.
bool IsXmlDeclaration(IXMLDOMNode *node) {
  DOMNodeType type = NODE_INVALID;
  if (FAILED(node->get_nodeType(&type)) || type != NODE_PROCESSING_INSTRUCTION) return false;
  Bstr node_name;
  if (FAILED(node->get_nodeName(node_name.out())) || node_name.get() == nullptr) return false;
  return lstrcmpW(node_name.get(), L"xml") == 0;
}

// HasPrecedingNode is true when anything other than the declaration comes
// before `root`, and when the question cannot be answered.
bool HasPrecedingNode(IXMLDOMNode *root) {
  ComRef<IXMLDOMNode> previous;
  if (FAILED(root->get_previousSibling(previous.out()))) return true;
  if (previous.get() == nullptr) return false;
  if (!IsXmlDeclaration(previous.get())) return true;
  ComRef<IXMLDOMNode> before_declaration;
  if (FAILED(previous->get_previousSibling(before_declaration.out()))) return true;
  return before_declaration.get() != nullptr;
}

}  // namespace

XmlRead ReadRootChildText(const char *xml, const char *name, std::string *out_text) {
  // Declared first so that every interface is released before CoUninitialize.
  Apartment apartment;
  if (!apartment.entered()) return XmlRead::kDomUnusable;

  ComRef<IXMLDOMDocument> document;
  if (FAILED(CreateDocument(document.out())) || document.get() == nullptr) {
    return XmlRead::kNoValue;
  }
  Bstr xml_text(FromAnsi(xml));
  if (xml_text.get() == nullptr) return XmlRead::kNoValue;
  // A text that does not parse leaves an empty document: no root below.
  VARIANT_BOOL loaded = VARIANT_FALSE;
  if (FAILED(document->loadXML(xml_text.get(), &loaded))) return XmlRead::kNoValue;

  Bstr root_query(SysAllocString(L"root"));
  if (root_query.get() == nullptr) return XmlRead::kNoValue;
  ComRef<IXMLDOMNodeList> roots;
  if (FAILED(document->selectNodes(root_query.get(), roots.out())) || roots.get() == nullptr) {
    return XmlRead::kNoValue;
  }
  ComRef<IXMLDOMNode> root;
  if (FAILED(roots->get_item(0, root.out())) || root.get() == nullptr) return XmlRead::kNoValue;
  if (HasPrecedingNode(root.get())) return XmlRead::kNoValue;

  Bstr element_query(FromAnsi(name));
  if (element_query.get() == nullptr) return XmlRead::kNoValue;
  ComRef<IXMLDOMNode> element;
  if (FAILED(root->selectSingleNode(element_query.get(), element.out())) ||
      element.get() == nullptr) {
    return XmlRead::kNoValue;
  }
  Bstr text;
  if (FAILED(element->get_text(text.out()))) return XmlRead::kNoValue;
  *out_text = ToAnsi(text.get());
  return XmlRead::kValue;
}

}  // namespace obkey::platform
