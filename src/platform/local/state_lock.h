// A lock shared by every process that uses one part of the state folder, so
// read-modify-write cycles of different processes do not lose each other's
// changes.
#pragma once

#include <string>

namespace corvane::platform::local {

class StateLock {
 public:
  // Locks `lock_file_path` (created when missing); `exclusive` for writers.
  StateLock(const std::string& lock_file_path, bool exclusive);
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace corvane::platform::local
