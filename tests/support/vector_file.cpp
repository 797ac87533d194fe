#include "vector_file.h"

#include <cstdlib>
#include <fstream>

namespace obkey::test {
namespace {

std::string Trim(const std::string &s) {
  size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = s.find_last_not_of(" \t\r");
  return s.substr(begin, end - begin + 1);
}

}  // namespace

bool VectorRecord::Has(const std::string &name) const {
  for (const auto &field : fields) {
    if (field.first == name) return true;
  }
  return false;
}

std::string VectorRecord::Text(const std::string &name) const {
  for (const auto &field : fields) {
    if (field.first == name) return field.second;
  }
  return "";
}

std::vector<uint8_t> VectorRecord::Bytes(const std::string &name) const {
  const std::string value = Text(name);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return std::vector<uint8_t>(value.begin() + 1, value.end() - 1);
  }
  std::vector<uint8_t> bytes;
  if (!DecodeHex(value, &bytes)) bytes.clear();
  return bytes;
}

bool ReadVectorFile(const std::string &path, std::vector<VectorRecord> *out, std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  out->clear();
  std::string section;
  VectorRecord current;
  std::string line;
  int number = 0;
  auto flush = [&]() {
    if (!current.fields.empty()) out->push_back(current);
    current = VectorRecord();
  };
  while (std::getline(in, line)) {
    ++number;
    const std::string text = Trim(line);
    if (text.empty()) {
      flush();
      continue;
    }
    if (text[0] == '#') continue;
    if (text.front() == '[' && text.back() == ']') {
      flush();
      section = text.substr(1, text.size() - 2);
      continue;
    }
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
      *error = path + ":" + std::to_string(number) + ": expected Name = Value";
      return false;
    }
    if (current.fields.empty()) {
      current.section = section;
      current.line = number;
    }
    current.fields.emplace_back(Trim(text.substr(0, eq)), Trim(text.substr(eq + 1)));
  }
  flush();
  return true;
}

std::string VectorPath(const std::string &name) {
  const char *root = std::getenv("OBKEY_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/tests/vectors/" + name;
}

}  // namespace obkey::test
