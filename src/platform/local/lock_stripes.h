// The locks behind ItemStateLock. Items are spread over a fixed number of
// stripes by inode; each stripe is a mutex between this process's threads
// and a lock file in the state folder between processes. The lock file
// stays open: opening and closing it for every state change cost more than
// the change's own lock, and one process-wide mutex made the watcher's
// reads, the engine's writes and the applications' writes wait for each
// other on unrelated items.
#pragma once

#include <string>
#include <sys/types.h>

#include "support/mutex.h"

struct stat;

namespace corvane::platform::local {

class LockStripe {
 public:
  LockStripe() = default;
  LockStripe(const LockStripe&) = delete;
  LockStripe& operator=(const LockStripe&) = delete;

  // The stripe of the item `item` (its fstat).
  static LockStripe& For(const struct stat& item);
  // The stripe for an item whose identity could not be read.
  static LockStripe& Fallback();

  // Takes the mutex, then the flock of the stripe's lock file; without a
  // writable state folder the item's own descriptor is locked instead.
  // Returns the descriptor to hand to Release.
  int Acquire(int item_fd) ACQUIRE(mutex_);
  void Release(int locked_fd) RELEASE(mutex_);

 private:
  // The lock file of this stripe in the current state folder, opened anew
  // when the folder changed, the file went, or the process forked (a child
  // sharing the open file would share its lock).
  int LockFile() REQUIRES(mutex_);
  void CloseLockFile() REQUIRES(mutex_);

  Mutex mutex_;
  int fd_ GUARDED_BY(mutex_) = -1;
  std::string dir_ GUARDED_BY(mutex_);
  pid_t pid_ GUARDED_BY(mutex_) = 0;
};

}  // namespace corvane::platform::local
