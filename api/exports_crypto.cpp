// Exported entry point of the digests.
#include "api_guard.h"
#include "message_digest.h"
#include "obkey.h"

using obkey::Guarded;

extern "C" int32_t OBAPI OB_Digest(uint8_t *out, uint32_t *inout_out_len, const uint8_t *in,
                                   uint32_t in_len, uint32_t alg_id) {
  return Guarded([&] { return obkey::DigestMessage(out, inout_out_len, in, in_len, alg_id); });
}
