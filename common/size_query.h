// The size query of the exported calls: a caller that passes no output
// buffer (or, for most calls, one below the needed length) learns the needed
// length and nothing is written.
#ifndef OBKEY_COMMON_SIZE_QUERY_H
#define OBKEY_COMMON_SIZE_QUERY_H

#include <stdint.h>

namespace obkey {

// AnswerSizeQuery stores `needed` in `*inout_len` and returns true when `out`
// is null or `*inout_len` is below `needed`; the caller then writes nothing
// else and returns 0. Otherwise it changes nothing and returns false.
inline bool AnswerSizeQuery(const void *out, uint32_t *inout_len, uint32_t needed) {
  if (out != nullptr && *inout_len >= needed) return false;
  *inout_len = needed;
  return true;
}

// AnswerNullSizeQuery is the form of the calls whose only size query is a
// null output: a short buffer is left to the call.
inline bool AnswerNullSizeQuery(const void *out, uint32_t *inout_len, uint32_t needed) {
  if (out != nullptr) return false;
  *inout_len = needed;
  return true;
}

}  // namespace obkey

#endif  // OBKEY_COMMON_SIZE_QUERY_H
