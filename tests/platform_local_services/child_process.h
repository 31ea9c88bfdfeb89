// Runs a check in a forked child, so the state it sees is only what the
// parent left in the state folder and the file system.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace corvane::testing {

// True when `check` returned true in the child.
inline bool InChildProcess(const std::function<bool()>& check) {
  const pid_t pid = fork();
  if (pid == 0) _exit(check() ? 0 : 1);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace corvane::testing
