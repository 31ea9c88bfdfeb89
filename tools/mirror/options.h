// The command line of corvane-mirror and the checks that run before the
// library is touched, so that bad input never leaves a half-set-up root.
#pragma once

#include <string>

#include "native.h"

namespace mirror {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;     // the library refused or failed
inline constexpr int kExitBadInput = 2;   // usage, missing or nested folders
inline constexpr int kExitRootBusy = 3;   // another mirror serves the root

struct Options {
  enum Command { kServe, kUninstall, kHelp, kVersion } command = kServe;
  std::string server;  // canonical, after Check()
  std::string root;    // canonical, after Check()
  std::string label = "Corvane mirror";
  int poll_ms = 1000;
  int log_level = 2;   // library log lines up to this level are shown
  bool on_demand = true;
};

extern const char* const kUsage;

// Fills `options` from argv; on failure writes the reason to `problem`.
bool ParseOptions(int argc, char** argv, Options& options, std::string& problem);

// Both folders exist, are folders, and neither lies inside the other. Turns
// them into canonical absolute paths.
bool CheckFolders(Options& options, std::string& problem);

// Holds an exclusive claim on one sync root for the life of the process, so
// that a second mirror on the same root stops before it registers anything.
class RootClaim {
 public:
  // False when another process holds the claim, or the lock file cannot be made.
  bool Acquire(const std::string& root, std::string& problem);

 private:
  ProcessLock lock_;
};

}  // namespace mirror
