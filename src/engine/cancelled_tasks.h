// Renames, creates and deletes the host was told of and then, at a stop,
// told to cancel. A host whose server has made the change already cannot
// take that back, and finishes the task all the same; its answer is kept, so
// that the next start neither tells a move or a delete again to a host that
// has carried it out nor offers again, as new, an item the host has.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "support/mutex.h"

namespace corvane {

class CancelledTasks {
 public:
  struct Cancelled {
    int64_t task_id = 0;
    int32_t operation_type = -1;  // OP_RENAME, OP_CREATE or OP_DELETE
    std::u16string path;         // a rename's source
    std::u16string target;       // a rename's new path
    int64_t reported_at = 0;     // when a rename was told
    // The version a create offered (as Task::Reported*): only that one is
    // in sync once the host has it.
    int64_t size = -1, write_time = 0, file_id = -1, usn = 0;
  };
  void Keep(Cancelled task);
  // The cancelled task `task_id`, taken out of the list; false when the task
  // is not one of them.
  bool Take(int64_t task_id, Cancelled* task);
  // A cancelled rename, not answered yet, ends at `target`.
  bool HasRenameOnto(std::u16string_view target);

  // Creates the host finished while nothing could be marked in sync: the
  // next start does it before it looks for what is new.
  void KeepTakenCreate(Cancelled create);
  std::vector<Cancelled> TakeTakenCreates();

 private:
  // Hosts that never finish what was cancelled must not make it grow.
  static constexpr size_t kKept = 1024;

  Mutex mutex_;
  std::deque<Cancelled> cancelled_ GUARDED_BY(mutex_);
  std::deque<Cancelled> taken_creates_ GUARDED_BY(mutex_);
};

}  // namespace corvane
