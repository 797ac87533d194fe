#include <cstring>

#include "api_common.h"
#include "softtoken_api.h"
#include "softtoken_os.h"

namespace obkey::softtoken {

namespace {

int32_t CreateNew(Session *s, uint32_t file_number, uint32_t size) {
  const TokenState &state = *s->state;
  if (state.user_files.count(file_number)) return XCST_FILE_EXISTS;
  if (state.user_files.size() >= kMaxUserFiles || UserFileBytes(state) + size > kUserFileCapacity) {
    // A file deleted in this session and now re-created at a size that
    // does not fit is a replacement that failed (obkey's labelled files are
    // replaced so): the old file comes back whole rather than being lost
    // when the session commits.
    auto deleted = s->deleted_files.find(file_number);
    if (deleted != s->deleted_files.end()) {
      std::vector<uint8_t> old = std::move(deleted->second);
      s->deleted_files.erase(deleted);
      StageChange(s, [&](TokenState &next) {
        next.user_files[file_number] = std::move(old);
        return 0;
      });
    }
    return XCST_FILE_SPACE_FULL;
  }
  return StageChange(s, [&](TokenState &next) {
    next.user_files[file_number].assign(size, 0);
    return 0;
  });
}

// FileOf resolves a file handle to its session and its contents (null when
// the file has gone).
Session *FileOf(XcHandle file, uint32_t *out_number, const std::vector<uint8_t> **out_contents) {
  Session *s = FindUserFile(file, out_number);
  if (s == nullptr) return nullptr;
  auto it = s->state->user_files.find(*out_number);
  *out_contents = it == s->state->user_files.end() ? nullptr : &it->second;
  return s;
}

}  // namespace

int32_t CreateUserFile(XcHandle session, uint32_t file_number, uint32_t size, uint32_t mode,
                       XcHandle *out_file) {
  SessionCall call(session);
  if (int32_t status = call.status()) return status;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (out_file == nullptr) return XCST_BAD_ARGUMENT;
  int32_t status = XCST_BAD_MODE;
  if (mode == XC_USER_FILE_CREATE) status = CreateNew(s, file_number, size);
  if (mode == XC_USER_FILE_OPEN) {
    // The size of an existing file was fixed when it was created, but a size
    // no file could have tells a caller about to replace the file, before
    // it deletes anything, that the replacement cannot be stored. Only the
    // per-file limit counts: obkey reads a labelled file by opening it with
    // the size of the caller's buffer, which may be the whole capacity.
    if (!s->state->user_files.count(file_number)) {
      status = XCST_FILE_NOT_FOUND;
    } else {
      status = size > kUserFileCapacity ? XCST_FILE_SPACE_FULL : 0;
    }
  }
  if (status != 0) return status;
  *out_file = UserFileHandle(session, file_number);
  return 0;
}

int32_t ReadUserFile(XcHandle file, uint8_t *out, uint32_t *inout_len) {
  SessionCall call(file);
  if (int32_t status = call.status()) return status;
  uint32_t number = 0;
  const std::vector<uint8_t> *contents = nullptr;
  if (FileOf(file, &number, &contents) == nullptr) return XCST_BAD_HANDLE;
  if (contents == nullptr) return XCST_FILE_NOT_FOUND;
  if (inout_len == nullptr || (out == nullptr && *inout_len != 0)) return XCST_BAD_ARGUMENT;
  // The first bytes alone would pass for the whole file: a buffer that
  // cannot take it all gets nothing but the length that would.
  const uint32_t size = static_cast<uint32_t>(contents->size());
  if (*inout_len < size) {
    *inout_len = size;
    return XCST_BUFFER_TOO_SMALL;
  }
  if (size != 0) std::memcpy(out, contents->data(), size);
  *inout_len = size;
  return 0;
}

int32_t WriteUserFile(XcHandle file, const uint8_t *data, uint32_t len) {
  SessionCall call(file);
  if (int32_t status = call.status()) return status;
  uint32_t number = 0;
  const std::vector<uint8_t> *contents = nullptr;
  Session *s = FileOf(file, &number, &contents);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (contents == nullptr) return XCST_FILE_NOT_FOUND;
  if (data == nullptr && len != 0) return XCST_BAD_ARGUMENT;
  if (len > contents->size()) return XCST_FILE_BOUNDS;
  if (int32_t status = RequireLogin(*s)) return status;
  // Bytes past `len` keep their contents, as in any file written from its start.
  return StageChange(s, [&](TokenState &next) {
    if (len != 0) std::memcpy(next.user_files[number].data(), data, len);
    return 0;
  });
}

int32_t DeleteUserFile(XcHandle file) {
  SessionCall call(file);
  if (int32_t status = call.status()) return status;
  uint32_t number = 0;
  const std::vector<uint8_t> *contents = nullptr;
  Session *s = FileOf(file, &number, &contents);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (contents == nullptr) return XCST_FILE_NOT_FOUND;
  if (int32_t status = RequireLogin(*s)) return status;
  std::vector<uint8_t> old = *contents;
  int32_t status = StageChange(s, [&](TokenState &next) {
    next.user_files.erase(number);
    return 0;
  });
  if (status == 0) {
    s->deleted_files[number] = std::move(old);
    ForgetUserFileHandles(file);
  }
  return status;
}

}  // namespace obkey::softtoken
