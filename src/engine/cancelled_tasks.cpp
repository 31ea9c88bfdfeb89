#include "engine/cancelled_renames.h"

#include <algorithm>

namespace corvane {

void CancelledRenames::Keep(Rename rename) {
  MutexLock lock(mutex_);
  if (renames_.size() >= kKept) renames_.pop_front();
  renames_.push_back(std::move(rename));
}

bool CancelledRenames::Take(int64_t task_id, Rename* rename) {
  MutexLock lock(mutex_);
  const auto it =
      std::find_if(renames_.begin(), renames_.end(), [&](const Rename& rename) { return rename.task_id == task_id; });
  if (it == renames_.end()) return false;
  *rename = std::move(*it);
  renames_.erase(it);
  return true;
}

}  // namespace corvane
