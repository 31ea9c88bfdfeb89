// Items the host made through its methods whose own change record the
// watcher has not reached yet. A removal of such a name that comes before
// that record is of an older item, gone before the host made its own: the
// host's item may have moved on since, out of reach of any check of the name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/mutex.h"

namespace corvane {

class UnseenCreations {
 public:
  void Add(std::u16string_view path);
  // The watcher reached a record that shows something at the name.
  void Seen(std::u16string_view path);
  bool Contains(std::u16string_view path) const;

 private:
  // The record comes within moments; one never seen (its item gone before
  // the watcher read it) must not hold the name for long.
  static constexpr int64_t kLifetimeMs = 60000;

  mutable Mutex mutex_;
  std::unordered_map<std::u16string, int64_t> made_ms_ GUARDED_BY(mutex_);
};

}  // namespace corvane
