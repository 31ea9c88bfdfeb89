// Folders the engine moved back where the host has them after it refused
// their move. The records of what the user did inside such a folder while it
// was away name the place it had been moved to, which the cache never knew:
// read there, a removal was lost and a move out looked like a new item.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "support/mutex.h"

namespace corvane {

class ReturnedFolders {
 public:
  // The folder at `away` went back to `back`.
  void Note(std::u16string_view away, std::u16string_view back);
  // `path` below a folder's former place, where the folder went back to;
  // empty when no noted folder held it.
  std::u16string WhereItWent(std::u16string_view path) const;

 private:
  // Those records are read within moments of the move back.
  static constexpr int64_t kLifetimeMs = 60000;
  static constexpr size_t kKept = 64;
  struct Returned {
    std::u16string away;
    std::u16string back;
    int64_t at_ms = 0;
  };

  mutable Mutex mutex_;
  std::deque<Returned> returned_ GUARDED_BY(mutex_);
};

}  // namespace corvane
