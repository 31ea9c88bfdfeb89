// Renames the host was told of and then, at a stop, told to cancel. A host
// whose server has moved the item already cannot take that back, and
// finishes the task all the same; its answer is kept, so that the next
// start knows the host has the item under the new name instead of telling
// the move again to a host that no longer has the old one.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "support/mutex.h"

namespace corvane {

class CancelledRenames {
 public:
  struct Rename {
    int64_t task_id = 0;
    std::u16string source, target;
    int64_t reported_at = 0;
  };
  void Keep(Rename rename);
  // The rename of the cancelled task `task_id`, taken out of the list;
  // false when the task is not one of them.
  bool Take(int64_t task_id, Rename* rename);

 private:
  // Hosts that never finish what was cancelled must not make it grow.
  static constexpr size_t kKept = 1024;

  Mutex mutex_;
  std::deque<Rename> renames_ GUARDED_BY(mutex_);
};

}  // namespace corvane
