// A lock shared by every process that uses one part of the state folder, so
// read-modify-write cycles of different processes do not lose each other's
// changes.
#pragma once

#include <string>

namespace corvane::platform::local {

class StateFileLock {
 public:
  // Locks `lock_file_path` (created when missing); `exclusive` for writers.
  StateFileLock(const std::string& lock_file_path, bool exclusive);
  ~StateFileLock();
  StateFileLock(const StateFileLock&) = delete;
  StateFileLock& operator=(const StateFileLock&) = delete;
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace corvane::platform::local
