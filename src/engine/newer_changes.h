// When an item last changed by a word newer than any listing the host made
// before it: the host's own method on the item, or the user's removal of it
// here. A listing asked for before that change does not undo it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/mutex.h"

namespace corvane {

class NewerChanges {
 public:
  // A mark no change is newer than: for a listing with no start to compare.
  static constexpr uint64_t kNoMark = UINT64_MAX;

  // The mark of this moment.
  uint64_t Now() const;
  void Note(std::u16string_view path);
  // True when a method changed `path` after `mark` was taken. Past the
  // remembered window the answer is false, as it was before any was kept.
  bool ChangedSince(std::u16string_view path, uint64_t mark) const;

 private:
  static constexpr size_t kRemembered = 16384;

  mutable Mutex mutex_;
  uint64_t next_ GUARDED_BY(mutex_) = 1;
  std::unordered_map<std::u16string, uint64_t> changed_ GUARDED_BY(mutex_);
};

}  // namespace corvane
