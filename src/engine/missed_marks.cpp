#include "engine/missed_marks.h"

#include "support/sync_root_path.h"

namespace corvane {

void MissedMarks::Note(std::u16string_view path, bool with_content) {
  MutexLock lock(mutex_);
  if (marks_.size() == kKept) marks_.pop_front();
  marks_.push_back({std::u16string(path), with_content});
}

std::vector<MissedMarks::Mark> MissedMarks::TakeMoved(std::u16string_view from, std::u16string_view to) {
  MutexLock lock(mutex_);
  std::vector<Mark> moved;
  for (auto it = marks_.begin(); it != marks_.end();) {
    if (it->path != from && !IsBelowFolder(it->path, from)) {
      ++it;
      continue;
    }
    moved.push_back({std::u16string(to) + it->path.substr(from.size()), it->with_content});
    it = marks_.erase(it);
  }
  return moved;
}

}  // namespace corvane
