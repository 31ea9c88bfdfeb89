#include "engine/newer_changes.h"

namespace corvane {

uint64_t NewerChanges::Now() const {
  MutexLock lock(mutex_);
  return next_;
}

void NewerChanges::Note(std::u16string_view path) {
  MutexLock lock(mutex_);
  const uint64_t stamp = next_++;
  changed_[std::u16string(path)] = stamp;
  if (changed_.size() <= kRemembered) return;
  // Keeps the newer half: a listing older than that is rare, and it is then
  // judged as before.
  const uint64_t oldest_kept = stamp - kRemembered / 2;
  std::erase_if(changed_, [&](const auto& entry) { return entry.second < oldest_kept; });
}

bool NewerChanges::ChangedSince(std::u16string_view path, uint64_t mark) const {
  if (mark == kNoMark) return false;
  MutexLock lock(mutex_);
  const auto it = changed_.find(std::u16string(path));
  return it != changed_.end() && it->second >= mark;
}

}  // namespace corvane
