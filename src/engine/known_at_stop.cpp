#include "engine/known_at_stop.h"

#include <algorithm>
#include <utility>

#include "engine/known_items_file.h"
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

std::vector<KnownItem> KnownAtStop::Take(const std::u16string& root) {
  MutexLock lock(mutex_);
  forgotten_.clear();
  std::vector<KnownItem> items;
  if (taken_) {
    LoadKnownItems(root, items);
  } else {
    // A file an earlier process left is older than this process's own stop.
    DropKnownItems(root);
    items = std::exchange(items_, {});
  }
  taken_ = true;
  return items;
}

bool KnownAtStop::LeaveForNextProcess(const std::u16string& root) {
  MutexLock lock(mutex_);
  return taken_ || SaveKnownItems(root, items_);
}

void KnownAtStop::Drop(const std::u16string& root) {
  MutexLock lock(mutex_);
  items_.clear();
  forgotten_.clear();
  taken_ = true;
  DropKnownItems(root);
}

void KnownAtStop::Forget(const std::u16string& path) {
  MutexLock lock(mutex_);
  forgotten_.push_back(path);
  if (!taken_) EraseTree(items_, path);
}

}  // namespace corvane
