// Known items moved into a folder made so shortly before that the platform
// was not watching it yet: the move shows only as a removal of the old name,
// and nothing else may show where the item went before that removal is
// handled (the record of the new folder's content can find another item
// under the name by then). Told as a delete, the host would drop data it
// may hold nowhere else.
#pragma once

#include <string>

namespace corvane {

class DirectoryWatcher;

enum class MovedIntoNewFolder {
  kNotFound,
  // Found below a folder whose new-folder check is still running: that
  // check's scan ran now, and reported the folders above the item the host
  // does not have yet, then the item's rename.
  kScanned,
  // Found below a folder this batch names that is not reported yet: its
  // report, and the check that follows it, tell of the move.
  kToBeReported,
};

// Looks for an in-sync placeholder whose identity is `relative_path` (a
// known item's name) below the new folders. They are looked through once per
// batch of records.
MovedIntoNewFolder FindMovedIntoNewFolder(DirectoryWatcher& watcher, const std::u16string& relative_path);

}  // namespace corvane
