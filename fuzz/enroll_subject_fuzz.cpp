// Request subjects of any text. A subject that parses, written back in the
// slash form with every special character escaped, parses to the same name.
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "subject.h"

namespace {

// The name in the "/type=value" form, or "" when an entry cannot be written.
std::string SlashForm(X509_NAME *name) {
  std::string text;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, i);
    char type[1024];
    const ASN1_OBJECT *object = X509_NAME_ENTRY_get_object(entry);
    int type_len = OBJ_obj2txt(type, sizeof(type), object, 0);
    // Some long names hold a separator ("Ctrl/provision WAP Access"): the
    // dotted form names the same type.
    if (type_len > 0 && std::string(type).find_first_of("/\\=,+") != std::string::npos) {
      type_len = OBJ_obj2txt(type, sizeof(type), object, 1);
    }
    if (type_len <= 0 || type_len >= static_cast<int>(sizeof(type))) return "";
    unsigned char *utf8 = nullptr;
    int utf8_len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (utf8_len < 0) return "";
    text += "/";
    text += type;
    text += "=";
    for (int j = 0; j < utf8_len; ++j) {
      char c = static_cast<char>(utf8[j]);
      if (c == '/' || c == '\\' || c == '=' || c == ',') text.push_back('\\');
      text.push_back(c);
    }
    OPENSSL_free(utf8);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string subject(reinterpret_cast<const char *>(data), size);
  obkey::enrollsim::X509Name name = obkey::enrollsim::ParseSubject(subject.c_str());
  if (!name) return 0;
  if (X509_NAME_entry_count(name.get()) == 0) __builtin_trap();
  unsigned char *der = nullptr;
  int der_len = i2d_X509_NAME(name.get(), &der);
  OPENSSL_free(der);
  if (der_len <= 0) __builtin_trap();

  std::string written = SlashForm(name.get());
  if (written.empty()) return 0;
  obkey::enrollsim::X509Name again = obkey::enrollsim::ParseSubject(written.c_str());
  if (!again || X509_NAME_cmp(name.get(), again.get()) != 0) __builtin_trap();
  return 0;
}
