#include "random_source.h"

#include <cstring>

#include "md5.h"
#include "wipe.h"

namespace obkey {

int32_t RandomGenerateBytes(uint8_t *block, uint32_t len, RandomSource *random) {
  if (random->bytes_needed != 0) return CRYPTO_E_NEED_RANDOM;

  uint32_t available = random->output_available;
  // A count above 16 cannot come from this code (a record filled with raw
  // bytes can hold one) and would read outside the output; it means "spent".
  if (available > 16) available = 0;
  while (len > available) {
    std::memcpy(block, &random->output[16 - available], available);
    block += available;
    len -= available;

    Md5Context md5;
    Md5Init(&md5);
    Md5Update(&md5, random->state, 16);
    Md5Final(random->output, &md5);
    available = 16;

    // Advance the state from its last byte, carrying on to the byte before
    // only while the byte just raised was zero before the addition.
    for (int i = 15; i >= 0; --i) {
      if (random->state[i]++ != 0) break;
    }
  }
  std::memcpy(block, &random->output[16 - available], len);
  random->output_available = available - len;
  return 0;
}

void RandomInit(RandomSource *random) {
  random->bytes_needed = RANDOM_BYTES_NEEDED;
  std::memset(random->state, 0, sizeof random->state);
  random->output_available = 0;
}

void RandomUpdate(RandomSource *random, const uint8_t *seed, uint32_t len) {
  uint8_t digest[16];
  Md5Context md5;
  Md5Init(&md5);
  Md5Update(&md5, seed, len);
  Md5Final(digest, &md5);

  unsigned sum = 0;
  for (int i = 15; i >= 0; --i) {
    sum += random->state[i] + digest[i];
    random->state[i] = static_cast<uint8_t>(sum);
    sum >>= 8;
  }
  random->bytes_needed = random->bytes_needed < len ? 0 : random->bytes_needed - len;
  SecureWipe(digest, sizeof digest);
  SecureWipe(&sum, sizeof sum);
}

void RandomFinal(RandomSource *random) {
  SecureWipe(random, sizeof *random);
}

}  // namespace obkey
