#include "engine/unseen_creations.h"

#include "engine/task.h"

namespace corvane {

void UnseenCreations::Add(std::u16string_view path) {
  const int64_t now = CurrentTimeMs();
  MutexLock lock(mutex_);
  if (made_ms_.size() >= 1024)
    std::erase_if(made_ms_, [&](const auto& entry) { return now - entry.second > kLifetimeMs; });
  made_ms_[std::u16string(path)] = now;
}

void UnseenCreations::Seen(std::u16string_view path) {
  MutexLock lock(mutex_);
  if (!made_ms_.empty()) made_ms_.erase(std::u16string(path));
}

bool UnseenCreations::Contains(std::u16string_view path) const {
  const int64_t now = CurrentTimeMs();
  MutexLock lock(mutex_);
  const auto it = made_ms_.find(std::u16string(path));
  return it != made_ms_.end() && now - it->second <= kLifetimeMs;
}

}  // namespace corvane
