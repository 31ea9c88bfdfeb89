// The locks that keep two threads from reporting one local item at once (the
// watcher's record lanes, a rescan, a new-folder check). A report that
// touches one path holds that path's stripe; one that may touch several (a
// rename, a move found by its identity, a rescan's look at an item) holds
// every stripe. To the analysis a stripe is the shared hold of the set, all
// of them the exclusive one.
#pragma once

#include <cstddef>
#include <string_view>

#include "support/mutex.h"
#include "support/thread_annotations.h"

namespace corvane {

class CAPABILITY("mutex") ReportLocks {
 public:
  static constexpr size_t kStripes = 16;

  ReportLocks() = default;
  ReportLocks(const ReportLocks&) = delete;
  ReportLocks& operator=(const ReportLocks&) = delete;

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
class SCOPED_CAPABILITY ReportLockAll {
 public:
  explicit ReportLockAll(ReportLocks& locks) ACQUIRE(locks) : locks_(locks) { locks_.LockAll(); }
  ~ReportLockAll() RELEASE() {
    if (held_) locks_.UnlockAll();
  }
  ReportLockAll(const ReportLockAll&) = delete;
  ReportLockAll& operator=(const ReportLockAll&) = delete;
  void Unlock() RELEASE() {
    held_ = false;
    locks_.UnlockAll();
  }
  void Lock() ACQUIRE() {
    locks_.LockAll();
    held_ = true;
  }

 private:
  ReportLocks& locks_;
  bool held_ = true;
};

// The stripe of one path, for its scope; the path must outlive it.
class SCOPED_CAPABILITY ReportLockItem {
 public:
  ReportLockItem(ReportLocks& locks, std::u16string_view path) ACQUIRE_SHARED(locks) : locks_(locks), path_(path) {
    locks_.LockItem(path_);
  }
  ~ReportLockItem() RELEASE() { locks_.UnlockItem(path_); }
  ReportLockItem(const ReportLockItem&) = delete;
  ReportLockItem& operator=(const ReportLockItem&) = delete;

 private:
  ReportLocks& locks_;
  std::u16string_view path_;
};

}  // namespace corvane
