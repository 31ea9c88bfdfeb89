#include "engine/known_at_stop.h"

#include <algorithm>
#include <utility>

#include "support/sync_root_path.h"

namespace corvane {

namespace {

void EraseTree(std::vector<KnownItem>& items, const std::u16string& path) {
  std::erase_if(items, [&](const KnownItem& item) { return item.path == path || IsBelowFolder(item.path, path); });
}

}  // namespace

void KnownAtStop::Keep(std::vector<KnownItem> items) {
  MutexLock lock(mutex_);
  if (!taken_) return;
  items_ = std::move(items);
  for (const std::u16string& path : forgotten_) EraseTree(items_, path);
  taken_ = false;
}

std::vector<KnownItem> KnownAtStop::Take() {
  MutexLock lock(mutex_);
  taken_ = true;
  forgotten_.clear();
  return std::exchange(items_, {});
}

void KnownAtStop::Forget(const std::u16string& path) {
  MutexLock lock(mutex_);
  forgotten_.push_back(path);
  if (!taken_) EraseTree(items_, path);
}

}  // namespace corvane
