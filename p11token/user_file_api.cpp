// Numbered user files: one public data object each, whose value is the
// file's contents (its length is the size fixed at creation).
#include <cstring>

#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

// ReadFileHeld reads file `number` (`*out_found`: whether it exists), then
// checks that every file this connection read, wrote or deleted is as it
// left it: a file found missing that the connection saw is another
// program's doing (P11ST_CHANGED), not a missing file.
int32_t ReadFileHeld(const Cryptoki &c, uint32_t number, Bytes *out_contents, bool *out_found) {
  *out_found = false;
  if (int32_t status = ReadDataObject(c, FileLabel(number), out_found, out_contents)) {
    return status;
  }
  return FileReadsHold(c, number, *out_found ? out_contents : nullptr);
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
  const std::string label = FileLabel(file_number);
  Bytes contents;
  bool found = false;
  int32_t status = ReadFileHeld(c, file_number, &contents, &found);
  if (mode == XC_USER_FILE_CREATE) {
    if (status == 0 && found) {
      // The open that follows must find this very file.
      RememberRead(c, label, contents);
      status = P11ST_FILE_EXISTS;
    } else if (status == 0 && size > (1u << 24)) {
      // Sizes beyond any token's memory are refused before asking for them.
      status = P11ST_FILE_SPACE_FULL;
    } else if (status == 0) {
      const Bytes created(size, 0);
      status = Replace(c, file_number, nullptr, created);
      if (status == 0) RememberRead(c, label, created);
    }
    RememberFailedCreate(c, label, status == P11ST_FILE_EXISTS ? 0 : status);
    if (status != 0) return status;
  } else {
    // Opening ignores the size: it was fixed when the file was created.
    if (status == 0 && !found) status = P11ST_FILE_NOT_FOUND;
    if (status == 0) RememberRead(c, label, contents);
    if ((status = OpenAfterFailedCreate(c, label, status))) return status;
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
  bool found = false;
  // Checked after the read: what was read before must still hold now.
  if (int32_t status = ReadFileHeld(c, number, &contents, &found)) return status;
  if (!found) return P11ST_FILE_NOT_FOUND;
  if (inout_len == nullptr || (out == nullptr && *inout_len != 0)) return P11ST_BAD_ARGUMENT;
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
  bool found = false;
  if (int32_t status = ReadFileHeld(c, number, &contents, &found)) return status;
  if (!found) return P11ST_FILE_NOT_FOUND;
  if (data == nullptr && len != 0) return P11ST_BAD_ARGUMENT;
  if (len > contents.size()) return P11ST_FILE_BOUNDS;
  if (int32_t status = RequireLogin(c)) return status;
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
  bool found = false;
  if (int32_t status = ReadFileHeld(c, number, &contents, &found)) return status;
  if (!found) return P11ST_FILE_NOT_FOUND;
  if (int32_t status = RequireLogin(c)) return status;
  const CK_OBJECT_CLASS data_class = CKO_DATA;
  std::string label = FileLabel(number);
  int32_t status = FindObjects(c,
                               {Attr(CKA_CLASS, &data_class, sizeof(data_class)),
                                Attr(CKA_APPLICATION, kApplication, std::strlen(kApplication)),
                                Attr(CKA_LABEL, label.data(), label.size())},
                               &objects);
  if (status == 0) status = DestroyObjects(c, objects);
  // Destroyed by another program between the look and the destruction.
  if (status == P11ST_BAD_HANDLE) status = P11ST_CHANGED;
  if (status == 0) RememberDeleted(c, label);
  if (status == 0) ForgetFileHandles(file, number);
  return status;
}

}  // namespace obkey::p11token
