#include "provider/open_files.h"

namespace corvane {

void OpenFiles::Opened(std::u16string_view path) {
  MutexLock lock(mu_);
  auto it = counts_.find(path);
  if (it == counts_.end()) {
    counts_.emplace(std::u16string(path), 1);
  } else {
    ++it->second;
  }
}

bool OpenFiles::Closed(std::u16string_view path) {
  MutexLock lock(mu_);
  auto it = counts_.find(path);
  if (it == counts_.end()) return false;
  if (--it->second > 0) return false;
  counts_.erase(it);
  return true;
}

int64_t OpenFiles::Count(std::u16string_view path) const {
  MutexLock lock(mu_);
  auto it = counts_.find(path);
  return it == counts_.end() ? 0 : it->second;
}

}  // namespace corvane
