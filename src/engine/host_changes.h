// When the host last changed an item through a method, so that a listing
// the host produced before that change does not undo it: the host's own
// method is the newer word on the item.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/mutex.h"

namespace corvane {

class HostChanges {
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
