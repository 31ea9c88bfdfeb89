#include "engine/cancelled_tasks.h"

#include <algorithm>
#include <iterator>

#include "engine/task.h"

namespace corvane {

namespace {

void Append(std::deque<CancelledTasks::Cancelled>& list, CancelledTasks::Cancelled task, size_t most) {
  if (list.size() >= most) list.pop_front();
  list.push_back(std::move(task));
}

}  // namespace

void CancelledTasks::Keep(Cancelled task) {
  MutexLock lock(mutex_);
  Append(cancelled_, std::move(task), kKept);
}

bool CancelledTasks::Take(int64_t task_id, Cancelled* task) {
  MutexLock lock(mutex_);
  const auto it = std::find_if(cancelled_.begin(), cancelled_.end(),
                               [&](const Cancelled& kept) { return kept.task_id == task_id; });
  if (it == cancelled_.end()) return false;
  *task = std::move(*it);
  cancelled_.erase(it);
  return true;
}

void CancelledTasks::KeepTakenCreate(Cancelled create) {
  MutexLock lock(mutex_);
  Append(taken_creates_, std::move(create), kKept);
}

std::vector<CancelledTasks::Cancelled> CancelledTasks::TakeTakenCreates() {
  MutexLock lock(mutex_);
  std::vector<Cancelled> taken(std::make_move_iterator(taken_creates_.begin()),
                               std::make_move_iterator(taken_creates_.end()));
  taken_creates_.clear();
  return taken;
}

bool CancelledTasks::HasRenameOnto(std::u16string_view target) {
  MutexLock lock(mutex_);
  for (const Cancelled& task : cancelled_)
    if (task.operation_type == OP_RENAME && task.target == target) return true;
  return false;
}

}  // namespace corvane
