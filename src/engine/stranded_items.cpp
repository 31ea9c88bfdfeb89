#include "engine/stranded_items.h"

#include <algorithm>

#include "support/sync_root_path.h"

namespace corvane {

void StrandedItems::Note(std::u16string_view local, std::u16string_view host) {
  MutexLock lock(mutex_);
  std::erase_if(items_, [&](const auto& item) { return item.first == local; });
  items_.emplace_back(local, host);
}

void StrandedItems::Forget(std::u16string_view local) {
  MutexLock lock(mutex_);
  std::erase_if(items_, [&](const auto& item) { return item.first == local; });
}

std::u16string StrandedItems::HostPathOf(std::u16string_view local, std::u16string* stranded) const {
  MutexLock lock(mutex_);
  for (const auto& [mine, host] : items_) {
    if (local != mine && !IsBelowFolder(local, mine)) continue;
    if (stranded != nullptr) *stranded = host;
    return host + std::u16string(local.substr(mine.size()));
  }
  return std::u16string();
}

std::vector<std::pair<std::u16string, std::u16string>> StrandedItems::At(std::u16string_view path) const {
  MutexLock lock(mutex_);
  std::vector<std::pair<std::u16string, std::u16string>> found;
  for (const auto& item : items_)
    if (item.second == path || IsBelowFolder(item.second, path) || IsBelowFolder(path, item.second))
      found.push_back(item);
  return found;
}

}  // namespace corvane
