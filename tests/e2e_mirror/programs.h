// Runs the mirror and the client as separate processes, the way a user does,
// in a temporary world of their own (server folder, sync root, state folder).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct RunResult {
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};

// `input` names a file for standard input (default: nothing to read).
RunResult Run(const std::vector<std::string>& argv, const std::string& input = "/dev/null");
RunResult Client(const std::vector<std::string>& args, const std::string& input = "/dev/null");

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool Exists(const std::string& path);
// Polls `condition` every 100 ms for up to `seconds`.
bool Eventually(double seconds, const std::function<bool()>& condition);

// A temporary folder with server/, root/ and state/ in it; CORVANE_STATE_DIR
// points at state/ while it lives.
class World {
 public:
  World();
  ~World();
  std::string base, server, root, state;
};

// A corvane-mirror in the background, its output in a log file.
class MirrorProcess {
 public:
  MirrorProcess(const std::string& server, const std::string& root, const std::string& log, int poll_ms = 200);
  ~MirrorProcess();
  bool WaitServing(double seconds);
  bool Running();
  // Sends Ctrl-C and returns the exit code (-1 if it did not exit in time).
  int Interrupt();
  std::string Log() const { return ReadFile(log_); }

 private:
  pid_t pid_ = -1;
  int exit_code_ = -1;  // once it has exited
  std::string log_;
};
