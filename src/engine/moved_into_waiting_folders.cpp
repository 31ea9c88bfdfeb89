#include "engine/moved_into_waiting_folders.h"

#include <algorithm>

namespace corvane {

void MovedIntoWaitingFolders::Clear() {
  MutexLock lock(mutex_);
  items_.clear();
}

void MovedIntoWaitingFolders::Note(std::u16string item, std::u16string folder) {
  MutexLock lock(mutex_);
  for (auto& [known, into] : items_) {
    if (known == item) {
      into = std::move(folder);
      return;
    }
  }
  // Past the bound an item is only made again by a listing, as before.
  if (items_.size() < kKept) items_.emplace_back(std::move(item), std::move(folder));
}

std::u16string MovedIntoWaitingFolders::FolderOf(std::u16string_view item) const {
  MutexLock lock(mutex_);
  for (const auto& [known, into] : items_)
    if (known == item) return into;
  return {};
}

void MovedIntoWaitingFolders::Forget(std::u16string_view item) {
  MutexLock lock(mutex_);
  std::erase_if(items_, [&](const auto& entry) { return entry.first == item; });
}

}  // namespace corvane
