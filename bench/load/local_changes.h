// The local-change phase of the load run: a plan of creates, writes,
// renames and deletes spread over several application threads, and the
// check of the host's events against it (each change reported exactly once).
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "load_host.h"
#include "platform/local/client.h"

namespace load {

struct ChangeCheck {
  size_t expected = 0;
  size_t reported = 0;    // expected changes seen at least once
  size_t missing = 0;
  size_t duplicated = 0;  // expected changes seen more than once
  size_t wrong = 0;       // seen once, but with the wrong target or size
  size_t unexpected = 0;  // events about nothing that was done
  size_t follow_ups = 0;  // UpdateFile after a file's own CreateFile
  std::vector<std::string> examples;
  double all_reported_seconds = 0;

  bool Passed() const { return missing == 0 && duplicated == 0 && wrong == 0 && unexpected == 0; }
  std::string Describe() const;
};

class ChangePlan {
 public:
  ChangePlan(int changes, int threads);

  // Folders and the files that the writes, renames and deletes act on, made
  // by an application and reported before the phase starts. "" or a problem.
  std::string Prepare(corvane::platform::local::Client& app, LoadHost& host, int limit_seconds);
  // Every change at once from the plan's threads. "" or the first failure.
  std::string Apply(const std::string& root);
  // Waits until every change is reported, then until the watcher has caught
  // up with a marker made after them, so late duplicates are counted too.
  ChangeCheck WaitForReports(corvane::platform::local::Client& app, LoadHost& host, int limit_seconds);
  ChangeCheck Check(const std::map<ChangeKey, ChangeRecord>& changes) const;

 private:
  enum class Kind { kCreate, kWrite, kRename, kDelete };
  struct Change {
    Kind kind;
    int thread;
    std::string path;      // client path, "local3/c17.txt"
    std::string new_path;  // renames
  };
  static std::string EventPath(const std::string& client_path);
  bool WaitForMarker(corvane::platform::local::Client& app, LoadHost& host, int limit_seconds);

  int threads_;
  std::vector<Change> changes_;
  std::chrono::steady_clock::time_point started_;
  int markers_ = 0;
};

}  // namespace load
