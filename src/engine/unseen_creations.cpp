#include "engine/unseen_creations.h"

#include "engine/task.h"

namespace corvane {

void UnseenCreations::Begin(std::u16string_view path) {
  MutexLock lock(mutex_);
  making_.emplace(std::u16string(path), 0);
}

void UnseenCreations::Add(std::u16string_view path, int64_t file_id) {
  const int64_t now = CurrentTimeMs();
  MutexLock lock(mutex_);
  const auto making = making_.find(std::u16string(path));
  const int64_t seen = making != making_.end() ? making->second : 0;
  if (making != making_.end()) making_.erase(making);
  if (file_id <= 0) return;  // not to be told apart: judged as before
  if (seen == file_id) return;
  if (made_.size() >= 1024)
    std::erase_if(made_, [&](const auto& entry) { return now - entry.second.made_ms > kLifetimeMs; });
  made_[std::u16string(path)] = {file_id, now};
}

void UnseenCreations::Seen(std::u16string_view path, int64_t file_id) {
  MutexLock lock(mutex_);
  if (made_.empty() && making_.empty()) return;
  const std::u16string key(path);
  if (const auto it = made_.find(key); it != made_.end() && it->second.file_id == file_id) made_.erase(it);
  if (const auto it = making_.find(key); it != making_.end() && file_id > 0) it->second = file_id;
}

void UnseenCreations::Forget(std::u16string_view path) {
  MutexLock lock(mutex_);
  std::erase_if(made_, [&](const auto& entry) {
    const std::u16string& made = entry.first;
    return made.size() >= path.size() && made.compare(0, path.size(), path) == 0 &&
           (made.size() == path.size() || made[path.size()] == u'\\');
  });
}

void UnseenCreations::Clear() {
  MutexLock lock(mutex_);
  made_.clear();
}

const UnseenCreations::Made* UnseenCreations::LiveAt(std::u16string_view path) const {
  if (made_.empty()) return nullptr;
  const auto it = made_.find(std::u16string(path));
  return it != made_.end() && CurrentTimeMs() - it->second.made_ms <= kLifetimeMs ? &it->second : nullptr;
}

bool UnseenCreations::Contains(std::u16string_view path) const {
  MutexLock lock(mutex_);
  return LiveAt(path) != nullptr;
}

bool UnseenCreations::BeingMade(std::u16string_view path) const {
  MutexLock lock(mutex_);
  return !making_.empty() && making_.count(std::u16string(path)) != 0;
}

bool UnseenCreations::HeldByAnother(std::u16string_view path, int64_t file_id) const {
  if (file_id <= 0) return false;
  MutexLock lock(mutex_);
  const Made* made = LiveAt(path);
  return made != nullptr && made->file_id != file_id;
}

}  // namespace corvane
