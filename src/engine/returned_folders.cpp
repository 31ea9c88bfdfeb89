#include "engine/returned_folders.h"

#include "engine/task.h"
#include "support/sync_root_path.h"

namespace corvane {

void ReturnedFolders::Note(std::u16string_view away, std::u16string_view back) {
  MutexLock lock(mutex_);
  if (returned_.size() == kKept) returned_.pop_front();
  returned_.push_back({std::u16string(away), std::u16string(back), CurrentTimeMs()});
}

std::u16string ReturnedFolders::WhereItWent(std::u16string_view path) const {
  const int64_t now = CurrentTimeMs();
  MutexLock lock(mutex_);
  // The latest move back first: a folder may have gone away and back twice.
  for (auto it = returned_.rbegin(); it != returned_.rend(); ++it)
    if (now - it->at_ms <= kLifetimeMs && IsBelowFolder(path, it->away))
      return it->back + std::u16string(path.substr(it->away.size()));
  return {};
}

}  // namespace corvane
