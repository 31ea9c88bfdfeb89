#include "engine/items_being_listed.h"

namespace corvane {

void ItemsBeingListed::Add(const std::u16string& path) {
  MutexLock lock(mutex_);
  paths_.insert(path);
}

void ItemsBeingListed::Remove(const std::u16string& path) {
  MutexLock lock(mutex_);
  paths_.erase(path);
}

bool ItemsBeingListed::Contains(const std::u16string& path) const {
  MutexLock lock(mutex_);
  return paths_.count(path) > 0;
}

}  // namespace corvane
