// The software token's store reader. What it accepts it writes back, and
// reading that gives the same token: serialising the state read again
// gives the same bytes, with the generation and checksum of its stamp.
//
// A mutation almost always breaks the checksum, and the reader then stops
// at once; so inputs that look like a store of a known version (1 to 3) get
// their body length and checksum set here, and the body parser sees the
// rest.
// Inputs starting with 'X' are left as they are, so that the header checks
// are fuzzed too.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store_format.h"

namespace {

using obkey::softtoken::ParseStore;
using obkey::softtoken::ReadStoreStamp;
using obkey::softtoken::SerializeStore;
using obkey::softtoken::StoreStamp;
using obkey::softtoken::TokenState;

// FixUp sets the body length and the checksum of a store of a version the
// reader knows.
void FixUp(std::vector<uint8_t> *file) {
  if (file->size() < 12 || (*file)[0] == 'X') return;
  const uint32_t version = (*file)[8];
  const size_t header =
      version == 1 ? obkey::softtoken::kStoreHeaderSize1 : obkey::softtoken::kStoreHeaderSize;
  if (version < 1 || version > obkey::softtoken::kStoreFormatVersion || file->size() < header) {
    return;
  }
  const size_t body_len = file->size() - header;
  for (int i = 0; i < 4; ++i) (*file)[12 + i] = static_cast<uint8_t>(body_len >> (8 * i));
  const size_t covered = obkey::softtoken::kStoreChecksummedOffset;
  unsigned int digest_len = 0;
  EVP_Digest(file->data() + covered, file->size() - covered,
             file->data() + obkey::softtoken::kStoreChecksumOffset, &digest_len, EVP_sha256(),
             nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A heap copy of exactly `size` bytes, so that any over-read is caught.
  std::vector<uint8_t> file(data, data + size);
  FixUp(&file);
  TokenState state;
  StoreStamp stamp;
  if (ParseStore(file, &state, &stamp) != 0) return 0;
  const obkey::SecretBytes written = SerializeStore(state, stamp.generation);
  TokenState again;
  StoreStamp again_stamp;
  if (ParseStore(written, &again, &again_stamp) != 0) __builtin_trap();
  StoreStamp header_stamp;
  if (!ReadStoreStamp(written.data(), written.size(), &header_stamp) ||
      header_stamp != again_stamp || again_stamp.generation != stamp.generation) {
    __builtin_trap();
  }
  if (SerializeStore(again, again_stamp.generation) != written) __builtin_trap();
  return 0;
}
