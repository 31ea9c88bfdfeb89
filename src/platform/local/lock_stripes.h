// The locks behind ItemStateLock. Items are spread over a fixed number of
// stripes by inode; each stripe is a mutex between this process's threads
// and a lock file in the state folder between processes. One process-wide
// mutex made the watcher's reads, the engine's state writes and the
// applications' writes wait for each other on unrelated items.
#pragma once

#include <cstdint>

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
  static LockStripe& For(uint64_t dev, uint64_t ino);
  // The stripe for an item whose identity could not be read.
  static LockStripe& Fallback();

  // Takes the mutex, then the flock of the stripe's lock file; without a
  // writable state folder the item's own descriptor is locked instead.
  // Returns the descriptor to hand to Release.
  int Acquire(int item_fd) ACQUIRE(mutex_);
  void Release(int item_fd, int locked_fd) RELEASE(mutex_);

 private:
  Mutex mutex_;
};

}  // namespace corvane::platform::local
