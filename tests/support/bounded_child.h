// RunInChild: runs a piece of a test in a forked child process with a time
// limit, so that a call that blocks (on a FIFO, say) fails the test instead
// of hanging it.
#ifndef OBKEY_TESTS_SUPPORT_BOUNDED_CHILD_H
#define OBKEY_TESTS_SUPPORT_BOUNDED_CHILD_H

#include <functional>
#include <string>

namespace obkey_test {

struct ChildOutcome {
  bool finished = false;  // exited on its own before the limit
  int exit_code = -1;     // its exit code when it finished
  std::string Describe() const;
};

// RunInChild forks, runs `body` in the child and exits with its result
// (0 to 255); the parent waits at most `limit_ms` milliseconds, then kills
// the child.
ChildOutcome RunInChild(const std::function<int()> &body, int limit_ms);

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_BOUNDED_CHILD_H
