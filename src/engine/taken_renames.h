// Renames the host took after the item had already moved on: the item's
// identity could not be changed where it no longer was, so it still names
// the old path, which the host no longer has. The host knows it by the
// new one.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <utility>

#include "support/mutex.h"

namespace corvane {

class TakenRenames {
 public:
  void Note(std::u16string_view from, std::u16string_view to);
  // The path the host has the item by whose identity is `identity` (an item
  // inside a renamed folder too); `identity` itself when no taken rename
  // names it.
  std::u16string Follow(std::u16string identity) const;

 private:
  // Few at any time: each is a rename answered after the user moved on.
  static constexpr size_t kRemembered = 256;
  static constexpr int kMostHops = 16;

  mutable Mutex mutex_;
  std::deque<std::pair<std::u16string, std::u16string>> renames_ GUARDED_BY(mutex_);
};

}  // namespace corvane
