// A pair of calls bound to a scope: the first on entry, the second on every
// exit. The libraries beside obkey hold their process lock this way for the
// length of an exported call.
#ifndef OBKEY_COMMON_SCOPED_CALL_H
#define OBKEY_COMMON_SCOPED_CALL_H

namespace obkey {

template <void (*kEnter)(), void (*kLeave)()>
class ScopedCall {
 public:
  ScopedCall() { kEnter(); }
  ~ScopedCall() { kLeave(); }
  ScopedCall(const ScopedCall &) = delete;
  ScopedCall &operator=(const ScopedCall &) = delete;
};

}  // namespace obkey

#endif  // OBKEY_COMMON_SCOPED_CALL_H
