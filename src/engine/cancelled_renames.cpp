#include "engine/cancelled_renames.h"

#include <algorithm>

namespace corvane {

void CancelledRenames::Keep(int64_t task_id, std::u16string source, std::u16string target) {
  MutexLock lock(mutex_);
  if (renames_.size() >= kKept) renames_.pop_front();
  renames_.push_back({task_id, std::move(source), std::move(target)});
}

bool CancelledRenames::Take(int64_t task_id, std::u16string* source, std::u16string* target) {
  MutexLock lock(mutex_);
  const auto it =
      std::find_if(renames_.begin(), renames_.end(), [&](const Rename& rename) { return rename.task_id == task_id; });
  if (it == renames_.end()) return false;
  *source = std::move(it->source);
  *target = std::move(it->target);
  renames_.erase(it);
  return true;
}

}  // namespace corvane
