#include "bounded_child.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace obkey_test {

std::string ChildOutcome::Describe() const {
  return finished ? "exit code " + std::to_string(exit_code) : "still running at the limit";
}

ChildOutcome RunInChild(const std::function<int()> &body, int limit_ms) {
  ChildOutcome outcome;
  pid_t child = fork();
  if (child < 0) return outcome;
  if (child == 0) _exit(body() & 0xFF);
  const struct timespec step = {0, 5 * 1000 * 1000};
  for (int waited_ms = 0; waited_ms <= limit_ms; waited_ms += 5) {
    int status = 0;
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      outcome.finished = WIFEXITED(status);
      outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return outcome;
    }
    nanosleep(&step, nullptr);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return outcome;
}

}  // namespace obkey_test
