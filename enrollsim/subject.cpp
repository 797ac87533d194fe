#include "subject.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace obkey::enrollsim {

namespace {

using Attribute = std::pair<std::string, std::string>;

std::string Trimmed(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// SplitAttributes cuts `text` at unescaped `separator`s into type=value
// pairs, the type ending at the first unescaped '='. False for an attribute
// without '=' or with an empty type or value.
bool SplitAttributes(const char *text, char separator, std::vector<Attribute> *out) {
  Attribute current;
  bool in_value = false;
  auto finish = [&] {
    std::string type = Trimmed(current.first), value = Trimmed(current.second);
    if (!in_value || type.empty() || value.empty()) return false;
    out->emplace_back(std::move(type), std::move(value));
    current = Attribute();
    in_value = false;
    return true;
  };
  for (const char *p = text; *p != '\0'; ++p) {
    std::string &field = in_value ? current.second : current.first;
    if (*p == '\\' && p[1] != '\0') {
      field.push_back(*++p);
    } else if (*p == separator) {
      if (!finish()) return false;
    } else if (*p == '=' && !in_value) {
      in_value = true;
    } else {
      field.push_back(*p);
    }
  }
  return finish();
}

}  // namespace

X509Name ParseSubject(const char *subject) {
  std::vector<Attribute> attributes;
  bool parsed = subject[0] == '/' ? SplitAttributes(subject + 1, '/', &attributes)
                                  : SplitAttributes(subject, ',', &attributes);
  if (!parsed) return nullptr;
  // RFC 4514 writes the most specific attribute first, the encoding last.
  if (subject[0] != '/') std::reverse(attributes.begin(), attributes.end());
  X509Name name(X509_NAME_new());
  if (!name) return nullptr;
  for (const Attribute &attribute : attributes) {
    if (X509_NAME_add_entry_by_txt(name.get(), attribute.first.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(attribute.second.data()),
                                   static_cast<int>(attribute.second.size()), -1, 0) != 1) {
      return nullptr;
    }
  }
  return name;
}

}  // namespace obkey::enrollsim
