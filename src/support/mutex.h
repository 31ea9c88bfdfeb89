// Locks the thread-safety analysis can see: libstdc++'s Mutex carries no
// annotations, so every lock in the library is one of these. The order in
// which locks may nest is written in docs/architecture.md ("Locks").
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/thread_annotations.h"

namespace corvane {

class CondVar;

template <class Native>
class CAPABILITY("mutex") BasicMutex {
 public:
  BasicMutex() = default;
  BasicMutex(const BasicMutex&) = delete;
  BasicMutex& operator=(const BasicMutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis what a caller's contract already guarantees.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  Native mu_;
};

using Mutex = BasicMutex<std::mutex>;
// Only for a lock that its own holder enters again by design; each one says
// which re-entry it serves.
using RecursiveMutex = BasicMutex<std::recursive_mutex>;

// Holds `M` for its scope; Unlock and Lock let go of it and take it again
// inside the scope.
template <class M>
class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(M& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~ScopedLock() RELEASE() {
    if (held_) mu_.Unlock();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  void Unlock() RELEASE() {
    held_ = false;
    mu_.Unlock();
  }
  void Lock() ACQUIRE() {
    mu_.Lock();
    held_ = true;
  }

 private:
  M& mu_;
  bool held_ = true;
};

using MutexLock = ScopedLock<Mutex>;
using RecursiveMutexLock = ScopedLock<RecursiveMutex>;

// A condition variable over a Mutex the caller holds. Waits may wake
// spuriously: callers loop on their condition.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False once `deadline` has passed.
  template <class Clock, class Duration>
  bool WaitUntil(Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const bool in_time = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return in_time;
  }
  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace corvane
