#include "engine/task_registry.h"

#include <algorithm>
#include <new>

#include "diag/result_codes.h"

namespace corvane {

TaskRegistry::~TaskRegistry() {
  // The engine goes away after its threads: whatever is still indexed or
  // spare belongs to nobody else now.
  for (auto& entry : by_id_) delete entry.second;
  by_id_.clear();
  by_key_.clear();
  DestroySpares();
}

Task* TaskRegistry::CreateTask(std::u16string_view path, int32_t type, CallbackTaskContext* context) {
  Task* task = nullptr;
  {
    MutexLock lock(pool_mutex_);
    if (!spares_.empty()) {
      task = spares_.back();
      spares_.pop_back();
    }
  }
  if (task == nullptr) task = new (std::nothrow) Task();
  if (task == nullptr) return nullptr;
  task->Prepare(path, type, context);
  // Not yet shared with any other thread, so no lock is needed here.
  task->RefCount = 1;
  task->TaskId = -1;
  return task;
}

int64_t TaskRegistry::RegisterTask(Task* task) {
  if (task == nullptr) return -1;
  Lock lock(*this);
  // Ids stay positive: the counter's top bit is masked off.
  const int64_t task_id = static_cast<int64_t>((next_task_id_.fetch_add(1) + 1) & 0x7FFFFFFFFFFFFFFFULL);
  // Ids grow, so the new entry almost always goes at the end.
  by_id_.insert(LowerBound(task_id), {task_id, task});
  by_key_.emplace(Key(task->Path, task->OperationType), task);
  task->TaskId = task_id;
  return task_id;
}

std::vector<std::pair<int64_t, Task*>>::iterator TaskRegistry::LowerBound(int64_t task_id) {
  return std::lower_bound(by_id_.begin(), by_id_.end(), task_id,
                          [](const std::pair<int64_t, Task*>& entry, int64_t id) { return entry.first < id; });
}

int32_t TaskRegistry::FindTask(int64_t task_id, bool include_cancelled, Task** task) {
  *task = nullptr;
  if (task_id < 1) return kErrInvalidOpId;
  Lock lock(*this);
  auto it = LowerBound(task_id);
  if (it == by_id_.end() || it->first != task_id) return kErrInvalidOpId;
  Task* found = it->second;
  if (found->Cancelled.load() != 0 && !include_cancelled) return kErrCancelled;
  ++found->RefCount;
  *task = found;
  return kOk;
}

void TaskRegistry::ReleaseTask(Task* task) {
  if (task == nullptr) return;
  Lock lock(*this);
  ReleaseLocked(task);
}

void TaskRegistry::ReleaseLocked(Task* task) {
  if (task->RefCount == 0) return;  // a double release must not recycle twice
  // The registration's reference is dropped only by RemoveTask, after the
  // entry left both indexes; an unbalanced release must not recycle a record
  // that lookups can still hand out.
  if (task->RefCount == 1 && IsRegisteredLocked(task)) return;
  if (--task->RefCount == 0) RecycleLocked(task);
}

void TaskRegistry::RecycleLocked(Task* task) {
  task->Reset();
  MutexLock lock(pool_mutex_);
  if (spares_.size() < kMaxSpareRecords) {
    spares_.push_back(task);
    return;
  }
  delete task;
}

void TaskRegistry::EraseByKey(Task* task) {
  auto range = by_key_.equal_range(Key(task->Path, task->OperationType));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == task) {
      by_key_.erase(it);
      return;
    }
  }
}

bool TaskRegistry::RemoveTask(Task* task, int64_t task_id, bool drop_reference) {
  Task* found = nullptr;
  {
    Lock lock(*this);
    auto it = by_id_.end();
    if (task_id >= 0) {
      it = LowerBound(task_id);
      if (it != by_id_.end() && it->first != task_id) it = by_id_.end();
    }
    if (it == by_id_.end() && task != nullptr) {
      it = std::find_if(by_id_.begin(), by_id_.end(),
                        [task](const std::pair<int64_t, Task*>& entry) { return entry.second == task; });
    }
    if (it == by_id_.end()) return false;
    found = it->second;
    // The caller's reference goes first; the registration's one stays until
    // the entry is out of both indexes, so the count cannot reach 0 here.
    if (drop_reference && found->RefCount > 1) --found->RefCount;
    EraseByKey(found);
    by_id_.erase(it);
  }
  ReleaseTask(found);
  return true;
}

size_t TaskRegistry::Count() const {
  Lock lock(*this);
  return by_id_.size();
}

size_t TaskRegistry::AsyncCount() const {
  Lock lock(*this);
  return static_cast<size_t>(std::count_if(by_id_.begin(), by_id_.end(), [](const std::pair<int64_t, Task*>& e) {
    return e.second->StartTime.load() >= 1 && e.second->Cancelled.load() == 0;
  }));
}

size_t TaskRegistry::SpareCount() const {
  MutexLock lock(pool_mutex_);
  return spares_.size();
}

void TaskRegistry::DestroySpares() {
  std::vector<Task*> spares;
  {
    MutexLock lock(pool_mutex_);
    spares.swap(spares_);
  }
  for (Task* task : spares) delete task;
}

Task* TaskRegistry::AcquireAtLocked(size_t index) {
  if (index >= by_id_.size()) return nullptr;
  Task* task = by_id_[index].second;
  ++task->RefCount;
  return task;
}

Task* TaskRegistry::AcquireByKeyLocked(std::u16string_view path, int32_t type) {
  auto it = by_key_.find(Key(std::u16string(path), type));
  if (it == by_key_.end()) return nullptr;
  ++it->second->RefCount;
  return it->second;
}

void TaskRegistry::AcquireAllByKeyLocked(std::u16string_view path, int32_t type, std::vector<Task*>& tasks) {
  auto range = by_key_.equal_range(Key(std::u16string(path), type));
  for (auto it = range.first; it != range.second; ++it) {
    ++it->second->RefCount;
    tasks.push_back(it->second);
  }
}

bool TaskRegistry::IsRegisteredLocked(const Task* task) const {
  if (task->TaskId < 1) return false;
  auto it = std::lower_bound(by_id_.begin(), by_id_.end(), task->TaskId,
                             [](const std::pair<int64_t, Task*>& entry, int64_t id) { return entry.first < id; });
  return it != by_id_.end() && it->first == task->TaskId && it->second == task;
}

}  // namespace corvane
