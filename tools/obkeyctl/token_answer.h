// What the token library itself answers. obkey returns 3 for any connect
// the token library refused and keeps the library's own status to itself,
// so obkeyctl asks the library that obkey loaded the same question.
#ifndef OBKEY_TOOLS_OBKEYCTL_TOKEN_ANSWER_H
#define OBKEY_TOOLS_OBKEYCTL_TOKEN_ANSWER_H

#include <stdint.h>

namespace obkeyctl {

// AskTokenConnect has the token library loaded in this process (obkey's,
// or --token-library) open a session on `device` and close it again,
// changing nothing, and stores its status (0: the token opens now). False
// when no token library is loaded or it lacks the connect calls.
bool AskTokenConnect(int32_t device, int32_t *out_status);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_TOKEN_ANSWER_H
