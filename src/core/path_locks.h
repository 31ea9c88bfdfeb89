// A lock per item, in stripes: threads that work on different items go
// side by side, and one that must see several items at once (a rename, a
// batch of new placeholders, a rescan's look at an item) holds every
// stripe. To the analysis a stripe is the shared hold of the set, all of
// them the exclusive one.
#pragma once

#include <cstddef>
#include <string_view>

#include "support/mutex.h"
#include "support/thread_annotations.h"

namespace corvane {

class CAPABILITY("mutex") PathLocks {
 public:
  // Four lanes met on a stripe of 16 often enough to show in a burst; all
  // 64 cost a rescan's look at an item about a microsecond.
  static constexpr size_t kStripes = 64;

  PathLocks() = default;
  PathLocks(const PathLocks&) = delete;
  PathLocks& operator=(const PathLocks&) = delete;

  // Stripes are taken in index order only, so the two kinds never deadlock.
  void LockAll() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    for (Mutex& stripe : stripes_) stripe.Lock();
  }
  void UnlockAll() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    for (size_t i = kStripes; i-- > 0;) stripes_[i].Unlock();
  }
  void LockItem(std::u16string_view path) ACQUIRE_SHARED() NO_THREAD_SAFETY_ANALYSIS {
    stripes_[StripeOf(path)].Lock();
  }
  void UnlockItem(std::u16string_view path) RELEASE_SHARED() NO_THREAD_SAFETY_ANALYSIS {
    stripes_[StripeOf(path)].Unlock();
  }
  // For a thread that holds another lock the holders of these wait for.
  bool TryLockItem(std::u16string_view path) TRY_ACQUIRE_SHARED(true) NO_THREAD_SAFETY_ANALYSIS {
    return stripes_[StripeOf(path)].TryLock();
  }

  // Names that differ in ASCII case only share a stripe: on Windows they
  // are one item.
  static size_t StripeOf(std::u16string_view path) {
    size_t hash = 14695981039346656037ull;
    for (char16_t c : path) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      hash = (hash ^ c) * 1099511628211ull;
    }
    return hash % kStripes;
  }

 private:
  Mutex stripes_[kStripes];
};

// Every stripe, for its scope.
class SCOPED_CAPABILITY PathLockAll {
 public:
  explicit PathLockAll(PathLocks& locks) ACQUIRE(locks) : locks_(locks) { locks_.LockAll(); }
  ~PathLockAll() RELEASE() {
    if (held_) locks_.UnlockAll();
  }
  PathLockAll(const PathLockAll&) = delete;
  PathLockAll& operator=(const PathLockAll&) = delete;
  void Unlock() RELEASE() {
    held_ = false;
    locks_.UnlockAll();
  }
  void Lock() ACQUIRE() {
    locks_.LockAll();
    held_ = true;
  }

 private:
  PathLocks& locks_;
  bool held_ = true;
};

// The stripe of one path, for its scope; the path must outlive it.
class SCOPED_CAPABILITY PathLockItem {
 public:
  PathLockItem(PathLocks& locks, std::u16string_view path) ACQUIRE_SHARED(locks) : locks_(locks), path_(path) {
    locks_.LockItem(path_);
  }
  ~PathLockItem() RELEASE() { locks_.UnlockItem(path_); }
  PathLockItem(const PathLockItem&) = delete;
  PathLockItem& operator=(const PathLockItem&) = delete;

 private:
  PathLocks& locks_;
  std::u16string_view path_;
};

}  // namespace corvane
