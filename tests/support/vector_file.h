// Reader for test-vector files: NIST CAVP .rsp files and the same "Name =
// Value" layout for other published vectors. Lines starting with '#' are
// comments, "[NAME]" starts a section, blank lines end a record.
#ifndef OBKEY_TESTS_SUPPORT_VECTOR_FILE_H
#define OBKEY_TESTS_SUPPORT_VECTOR_FILE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hex.h"

namespace obkey::test {

struct VectorRecord {
  std::string section;  // the last "[NAME]" line before the record, "" if none
  int line = 0;         // line of the record's first field, for messages
  std::vector<std::pair<std::string, std::string>> fields;

  bool Has(const std::string &name) const;
  // The raw text of a field; empty when it is missing.
  std::string Text(const std::string &name) const;
  // A field as bytes: a value in double quotes is taken as text, anything
  // else as hexadecimal digits.
  std::vector<uint8_t> Bytes(const std::string &name) const;
};

// ReadVectorFile parses |path|; returns false and sets |*error| when the file
// cannot be read or a line does not fit the layout.
bool ReadVectorFile(const std::string &path, std::vector<VectorRecord> *out, std::string *error);

// VectorPath names a file under tests/vectors/ of the source tree found
// through the environment variable OBKEY_SOURCE_DIR.
std::string VectorPath(const std::string &name);

}  // namespace obkey::test

#endif  // OBKEY_TESTS_SUPPORT_VECTOR_FILE_H
