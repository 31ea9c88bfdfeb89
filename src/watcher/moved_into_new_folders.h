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

// When an in-sync placeholder whose identity is `relative_path` (a known
// item's name) stands below a folder whose new-folder check is still
// running, runs that check's scan now: it reports the folders above the item
// the host does not have yet, then the item's rename. True when it ran. The
// new folders are looked through once per batch of records.
bool ScannedNewFolderHoldingMovedItem(DirectoryWatcher& watcher, const std::u16string& relative_path);

}  // namespace corvane
