// The tasks of one engine: a pool of spare records, the pending tasks by id
// (searched by bisection) and by (path, type), and the id counter.
//
// Ownership: a record's RefCount is the number of holders -- one for the
// registration, one for each FindTask that has not been released, one for
// every walk that holds the record. Counts change only under both registry
// locks, and a record goes back to the pool only when its count reaches 0, so
// a record someone still holds is never recycled.
//
// Lock order: a task's TaskLock, then the TasksById lock, then the
// TasksByKey lock, then the pool lock. A cancel holds the TaskLock while it
// looks the task up here, so nothing here waits for a TaskLock while it holds
// the registry locks: walks take a reference, unlock, then enter the TaskLock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/task.h"
#include "support/mutex.h"

namespace corvane {

class TaskRegistry {
 public:
  // Holds both registry locks in their order.
  class SCOPED_CAPABILITY Lock {
   public:
    explicit Lock(const TaskRegistry& registry) ACQUIRE(registry.by_id_mutex_, registry.by_key_mutex_)
        : by_id_(registry.by_id_mutex_), by_key_(registry.by_key_mutex_) {}
    ~Lock() RELEASE() = default;

   private:
    MutexLock by_id_;
    MutexLock by_key_;
  };

  static constexpr size_t kMaxSpareRecords = 128;

  TaskRegistry() = default;
  ~TaskRegistry();
  TaskRegistry(const TaskRegistry&) = delete;
  TaskRegistry& operator=(const TaskRegistry&) = delete;

  // A record from the pool (or a new one) with RefCount 1; null only when
  // memory ran out.
  Task* CreateTask(std::u16string_view path, int32_t type, CallbackTaskContext* context) EXCLUDES(pool_mutex_);
  // Gives the task its TaskId and indexes it.
  int64_t RegisterTask(Task* task) EXCLUDES(by_id_mutex_, by_key_mutex_);
  // 0 and a referenced task, HALVEX_ERR_INVALID_OPID, or HALVEX_ERR_CANCELLED
  // for a cancelled task unless `include_cancelled`.
  int32_t FindTask(int64_t task_id, bool include_cancelled, Task** task) EXCLUDES(by_id_mutex_, by_key_mutex_);
  // Drops one reference; at 0 the record goes back to the pool.
  void ReleaseTask(Task* task) EXCLUDES(by_id_mutex_, by_key_mutex_);
  // Unindexes the task found by id (or by the record itself) and drops the
  // registration's reference, and the caller's own first when
  // `drop_reference` is set. False when nothing was registered.
  bool RemoveTask(Task* task, int64_t task_id, bool drop_reference) EXCLUDES(by_id_mutex_, by_key_mutex_);

  size_t Count() const EXCLUDES(by_id_mutex_, by_key_mutex_);
  // Registered tasks that went asynchronous and were not cancelled.
  size_t AsyncCount() const EXCLUDES(by_id_mutex_, by_key_mutex_);
  size_t SpareCount() const EXCLUDES(pool_mutex_);
  void DestroySpares() EXCLUDES(pool_mutex_);

  // For walks under a Lock. A task returned here is referenced for the
  // caller, who releases it with ReleaseTask after dropping the Lock.
  size_t CountLocked() const REQUIRES(by_id_mutex_) { return by_id_.size(); }
  Task* AcquireAtLocked(size_t index) REQUIRES(by_id_mutex_, by_key_mutex_);
  Task* AcquireByKeyLocked(std::u16string_view path, int32_t type) REQUIRES(by_id_mutex_, by_key_mutex_);
  // Every task of the key, oldest first, each referenced for the caller.
  void AcquireAllByKeyLocked(std::u16string_view path, int32_t type, std::vector<Task*>& tasks)
      REQUIRES(by_id_mutex_, by_key_mutex_);
  bool IsRegisteredLocked(const Task* task) const REQUIRES(by_id_mutex_);
  void ReleaseLocked(Task* task) REQUIRES(by_id_mutex_, by_key_mutex_);

 private:
  using Key = std::pair<std::u16string, int32_t>;
  struct KeyLess {
    bool operator()(const Key& a, const Key& b) const { return Compare(a.first, a.second, b.first, b.second) < 0; }
    static int Compare(std::u16string_view ap, int32_t at, std::u16string_view bp, int32_t bt) {
      if (int c = ap.compare(bp); c != 0) return c;
      return at < bt ? -1 : (at > bt ? 1 : 0);
    }
  };

  std::vector<std::pair<int64_t, Task*>>::iterator LowerBound(int64_t task_id) REQUIRES(by_id_mutex_);
  void EraseByKey(Task* task) REQUIRES(by_key_mutex_);
  void RecycleLocked(Task* task) REQUIRES(by_id_mutex_, by_key_mutex_) EXCLUDES(pool_mutex_);

  mutable Mutex by_id_mutex_ ACQUIRED_BEFORE(by_key_mutex_);
  mutable Mutex by_key_mutex_;
  std::vector<std::pair<int64_t, Task*>> by_id_ GUARDED_BY(by_id_mutex_);  // sorted by id
  std::multimap<Key, Task*, KeyLess> by_key_ GUARDED_BY(by_key_mutex_);    // several tasks may share a key
  std::atomic<uint64_t> next_task_id_{0};

  mutable Mutex pool_mutex_ ACQUIRED_AFTER(by_key_mutex_);  // innermost; never held while calling out
  std::vector<Task*> spares_ GUARDED_BY(pool_mutex_);
};

}  // namespace corvane
