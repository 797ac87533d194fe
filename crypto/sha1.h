// SHA-1 (FIPS 180-1) with status reporting.
#ifndef OBKEY_CRYPTO_SHA1_H
#define OBKEY_CRYPTO_SHA1_H

#include <cstdint>

namespace obkey {

struct Sha1Context {
  uint32_t hash[5];      // H0 to H4
  uint32_t length_low;   // message length in bits, low word
  uint32_t length_high;  // message length in bits, high word
  int32_t index;         // bytes held in block, 0 to 63
  uint8_t block[64];
  int32_t computed;   // nonzero once the digest has been finished
  int32_t corrupted;  // 0 while sound, else the status that poisoned it
};

// Statuses of the SHA-1 operations.
constexpr int32_t SHA1_E_NULL = 1;         // a null pointer; also the length overflow
constexpr int32_t SHA1_E_STATE_ERROR = 3;  // an update after the digest was finished

// Sha1Init starts |ctx|. Returns SHA1_E_NULL when |ctx| is null.
int32_t Sha1Init(Sha1Context *ctx);

// Sha1Update absorbs |len| bytes. Returns 0 at once for a length of 0,
// SHA1_E_NULL for a null pointer (nothing changes), SHA1_E_STATE_ERROR after
// the context was finished (which poisons it), and the poisoning status of a
// poisoned context. When the 64-bit bit count wraps, the context is poisoned
// with SHA1_E_NULL, the rest of the bytes are dropped and this call still
// returns 0.
int32_t Sha1Update(Sha1Context *ctx, const uint8_t *data, uint32_t len);

// Sha1Final writes the 20-byte digest, finishing the context on the first
// call; a second call writes the same digest again. Returns SHA1_E_NULL for a
// null pointer and the poisoning status of a poisoned context.
int32_t Sha1Final(Sha1Context *ctx, uint8_t digest[20]);

// The block engines. The hardware one is used where the CPU has the SHA
// instructions; the portable one can be forced (tests run both).
enum class Sha1Engine { kPortable, kShaExtensions };

// Sha1HasEngine reports whether |engine| can run on this machine.
bool Sha1HasEngine(Sha1Engine engine);
// Sha1SelectEngine makes later updates use |engine| if the machine has it and
// returns whether it did. Not synchronised: for tests and benchmarks.
bool Sha1SelectEngine(Sha1Engine engine);
Sha1Engine Sha1ActiveEngine();

}  // namespace obkey

#endif  // OBKEY_CRYPTO_SHA1_H
