// Numbered user files: one public data object each, whose value is the
// file's contents (its length is the size fixed at creation).
#include <cstring>

#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

// ReadFile reads file `number`; P11ST_FILE_NOT_FOUND when it has none.
int32_t ReadFile(const Cryptoki &c, uint32_t number, Bytes *out_contents) {
  bool found = false;
  if (int32_t status = ReadDataObject(c, FileLabel(number), &found, out_contents)) return status;
  return found ? 0 : P11ST_FILE_NOT_FOUND;
}

// Replace writes a file's whole contents over `read` (null: a new file). A
// full token is a full file store.
int32_t Replace(const Cryptoki &c, uint32_t number, const Bytes *read, const Bytes &contents) {
  return ReplaceDataObject(c, FileLabel(number), read, contents);
}

}  // namespace

int32_t CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size, uint32_t mode,
                       XcHandle *out_file) {
  // Opening a file only reads it.
  TokenStep step;
  StepKind kind = mode == XC_USER_FILE_OPEN ? StepKind::kRead : StepKind::kChange;
  if (int32_t status = step.Begin(kind)) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (out_file == nullptr) return P11ST_BAD_ARGUMENT;
  if (mode != XC_USER_FILE_CREATE && mode != XC_USER_FILE_OPEN) return P11ST_BAD_MODE;
  Bytes contents;
  int32_t status = ReadFile(c, file_number, &contents);
  if (mode == XC_USER_FILE_CREATE) {
    if (status == 0) return P11ST_FILE_EXISTS;
    if (status != P11ST_FILE_NOT_FOUND) return status;
    // Sizes beyond any token's memory are refused before asking for them.
    if (size > (1u << 24)) return P11ST_FILE_SPACE_FULL;
    if ((status = FileReadsHold(c, file_number, nullptr))) return status;
    const Bytes created(size, 0);
    if ((status = Replace(c, file_number, nullptr, created))) return status;
    RememberRead(c, FileLabel(file_number), created);
  } else if (status != 0) {
    // Opening ignores the size: it was fixed when the file was created.
    return status;
  } else if ((status = FileReadsHold(c, file_number, &contents))) {
    return status;
  }
  *out_file = FileHandle(session, file_number);
  return 0;
}

int32_t ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  Cryptoki c;
  uint32_t number = 0;
  if (int32_t status = FileOf(file, &c, &number)) return status;
  Bytes contents;
  if (int32_t status = ReadFile(c, number, &contents)) return status;
  if (inout_len == nullptr || (out == nullptr && *inout_len != 0)) return P11ST_BAD_ARGUMENT;
  // Checked after the read: what was read before must still hold now.
  if (int32_t status = FileReadsHold(c, number, &contents)) return status;
  RememberRead(c, FileLabel(number), contents);
  // The first bytes alone would pass for the whole file: a buffer that
  // cannot take it all gets nothing but the length that would.
  const uint32_t size = static_cast<uint32_t>(contents.size());
  if (*inout_len < size) {
    *inout_len = size;
    return P11ST_BUFFER_TOO_SMALL;
  }
  if (size != 0) std::memcpy(out, contents.data(), size);
  *inout_len = size;
  return 0;
}

int32_t WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  Cryptoki c;
  uint32_t number = 0;
  if (int32_t status = FileOf(file, &c, &number)) return status;
  Bytes contents;
  if (int32_t status = ReadFile(c, number, &contents)) return status;
  if (data == nullptr && len != 0) return P11ST_BAD_ARGUMENT;
  if (len > contents.size()) return P11ST_FILE_BOUNDS;
  if (int32_t status = RequireLogin(c)) return status;
  if (int32_t status = FileReadsHold(c, number, &contents)) return status;
  // A caller that read the file on this connection wrote what it read: the
  // file must still hold that, or another program's write would be lost.
  Bytes read;
  if (RememberedRead(c, FileLabel(number), &read) && read != contents) {
    ForgetRead(c, FileLabel(number));
    return P11ST_CHANGED;
  }
  // Bytes past `len` keep their contents, as in any file written from its
  // start.
  Bytes written = contents;
  if (len != 0) std::memcpy(written.data(), data, len);
  int32_t status = Replace(c, number, &contents, written);
  if (status == 0) RememberRead(c, FileLabel(number), written);
  if (status == P11ST_CHANGED) ForgetRead(c, FileLabel(number));
  return status;
}

int32_t DeleteUserFile(XcHandle file) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  Cryptoki c;
  uint32_t number = 0;
  if (int32_t status = FileOf(file, &c, &number)) return status;
  std::vector<CK_OBJECT_HANDLE> objects;
  Bytes contents;
  if (int32_t status = ReadFile(c, number, &contents)) return status;
  if (int32_t status = RequireLogin(c)) return status;
  if (int32_t status = FileReadsHold(c, number, &contents)) return status;
  const CK_OBJECT_CLASS data_class = CKO_DATA;
  std::string label = FileLabel(number);
  int32_t status = FindObjects(c,
                               {Attr(CKA_CLASS, &data_class, sizeof(data_class)),
                                Attr(CKA_APPLICATION, kApplication, std::strlen(kApplication)),
                                Attr(CKA_LABEL, label.data(), label.size())},
                               &objects);
  if (status == 0) status = DestroyObjects(c, objects);
  if (status == 0) ForgetRead(c, FileLabel(number));
  if (status == 0) ForgetFileHandles(file, number);
  return status;
}

}  // namespace obkey::p11token
