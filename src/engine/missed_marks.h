// Items an out-of-sync mark missed because their path was gone: the item
// had moved on with a folder whose rename the watcher had not read yet (a
// file moved into a folder, the folder renamed, the file's move refused).
// Left in sync there, the item would claim a place on the server it does
// not have. The mark is set again where the folder's rename, once taken,
// put them.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "support/mutex.h"

namespace corvane {

class MissedMarks {
 public:
  struct Mark {
    std::u16string path;
    bool with_content = false;
  };
  void Note(std::u16string_view path, bool with_content);
  // The marks at or below folder `from`, named below `to` now; they are
  // no longer kept (one that misses again is noted again).
  std::vector<Mark> TakeMoved(std::u16string_view from, std::u16string_view to);

 private:
  // Each is a refusal that raced a folder's rename: few at any time, and a
  // start's walk finds the item by its identity anyway.
  static constexpr size_t kKept = 256;

  Mutex mutex_;
  std::deque<Mark> marks_ GUARDED_BY(mutex_);
};

}  // namespace corvane
