// The word type of the Montgomery arithmetic behind MpModExp, and its final
// reduction step, visible to the tests: a borrow that runs through an equal
// word is out of reach of random operands.
#ifndef OBKEY_CRYPTO_MP_MONTGOMERY_H
#define OBKEY_CRYPTO_MP_MONTGOMERY_H

#include <stdint.h>

namespace obkey {

// The widest word the compiler multiplies in one step.
#if defined(__SIZEOF_INT128__)
using MontWord = uint64_t;
using MontDouble = unsigned __int128;
#else
using MontWord = uint32_t;
using MontDouble = uint64_t;
#endif

// MontReduceOnce takes t (s + 1 words, least significant first, below 2n)
// to t mod n in its low s words by subtracting n once when t is not below n.
// The top word is left as it was.
void MontReduceOnce(MontWord *t, const MontWord *n, uint32_t s);

}  // namespace obkey

#endif  // OBKEY_CRYPTO_MP_MONTGOMERY_H
