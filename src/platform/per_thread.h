// Values kept per calling thread inside a longer-lived object (a component's
// last error, a thread's result buffer). A process-wide clean-up registry
// drops a thread's entries from every live table when the thread ends, so
// host threads that come and go leave nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "support/mutex.h"

namespace corvane {

// Creates the process-wide registry if it does not exist yet.
void EnsureThreadCleanupRegistry();

namespace per_thread_detail {

class Table {
 public:
  virtual void DropThread(uint64_t thread_key) = 0;

 protected:
  ~Table() = default;
};

// A number that no other thread of the process ever gets; arms the clean-up
// of the calling thread's entries when `arm` is set.
uint64_t CurrentThreadKey(bool arm);
void Register(Table* table);
void Unregister(Table* table);

}  // namespace per_thread_detail

template <class T>
class PerThread final : private per_thread_detail::Table {
 public:
  PerThread() { per_thread_detail::Register(this); }
  ~PerThread() { per_thread_detail::Unregister(this); }
  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;

  // The calling thread's entry, created on first use. The reference stays
  // valid until the thread ends or the table is destroyed.
  T& Local() {
    const uint64_t key = per_thread_detail::CurrentThreadKey(true);
    MutexLock lock(mu_);
    return map_[key];
  }

  // A copy of the calling thread's entry, or T{} without creating one.
  T Get() const {
    const uint64_t key = per_thread_detail::CurrentThreadKey(false);
    MutexLock lock(mu_);
    auto it = map_.find(key);
    return it == map_.end() ? T{} : it->second;
  }

  // Calls f with the calling thread's entry (or a T{} when it has none)
  // under the table lock, without copying it.
  template <class F>
  auto Visit(F&& f) const {
    const uint64_t key = per_thread_detail::CurrentThreadKey(false);
    MutexLock lock(mu_);
    auto it = map_.find(key);
    if (it != map_.end()) return f(it->second);
    static const T kEmpty{};
    return f(kEmpty);
  }

  size_t thread_count() const {
    MutexLock lock(mu_);
    return map_.size();
  }

 private:
  void DropThread(uint64_t thread_key) override {
    MutexLock lock(mu_);
    map_.erase(thread_key);
  }

  mutable Mutex mu_;
  std::unordered_map<uint64_t, T> map_ GUARDED_BY(mu_);  // node-based: references survive rehash
};

}  // namespace corvane
