// The items listings are making right now. A listing adds its items to the
// cache before it makes their placeholders, so another listing of the same
// folder in between finds them known and not on disk, as if the user had
// removed them.
#pragma once

#include <string>
#include <unordered_set>

#include "support/mutex.h"

namespace corvane {

class ItemsBeingListed {
 public:
  void Add(const std::u16string& path);
  void Remove(const std::u16string& path);
  bool Contains(const std::u16string& path) const;

 private:
  mutable Mutex mutex_;
  std::unordered_set<std::u16string> paths_ GUARDED_BY(mutex_);
};

}  // namespace corvane
