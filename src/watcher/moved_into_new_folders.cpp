#include "watcher/moved_into_new_folders.h"

#include <chrono>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "engine/engine.h"
#include "engine/folder_children.h"
#include "provider/placeholder_manager.h"
#include "watcher/change_state.h"
#include "watcher/directory_watcher.h"
#include "watcher/rescan.h"

namespace corvane {
namespace {

// A burst of new folders must not make each removal pay for all they hold.
constexpr size_t kMostItemsLooked = 20000;

bool InSyncPlaceholder(platform::CF_PLACEHOLDER_STATE state) {
  const auto wanted = platform::CF_PLACEHOLDER_STATE_PLACEHOLDER | platform::CF_PLACEHOLDER_STATE_IN_SYNC;
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & wanted) == wanted;
}

// Notes every in-sync placeholder below `rel` whose identity names another
// path, by that identity.
void LookThrough(PlaceholderManager& manager, const std::u16string& root, const std::u16string& rel,
                 std::map<std::u16string, std::u16string>& found, size_t& looked) {
  ForEachChild(root + rel, [&](const std::u16string& full, bool is_dir) {
    if (++looked > kMostItemsLooked) return false;
    const std::u16string child = full.substr(root.size());
    std::u16string identity;
    if (InSyncPlaceholder(manager.GetPlaceholderState(full.c_str())) &&
        manager.GetItemIdByPath(full.c_str(), identity) && !identity.empty() && identity != child)
      found[identity] = child;
    if (is_dir) LookThrough(manager, root, child, found, looked);
    return true;
  });
}

}  // namespace

bool ScannedNewFolderHoldingMovedItem(DirectoryWatcher& watcher, const std::u16string& relative_path) {
  PlaceholderManager* manager = watcher.engine().placeholder_manager.get();
  if (manager == nullptr) return false;
  ChangeState& state = watcher.change_state();
  if (!state.new_folders_looked_through) {
    state.new_folders_looked_through = true;
    size_t looked = 0;
    for (const std::u16string& folder : watcher.FoldersBeingChecked())
      LookThrough(*manager, watcher.path(), folder, state.moved_into_new_folders, looked);
  }
  // Most removals find nothing here, and pay no more.
  const auto it = state.moved_into_new_folders.find(relative_path);
  if (it == state.moved_into_new_folders.end()) return false;
  const std::u16string& moved = it->second;
  for (const std::u16string& folder : watcher.FoldersBeingChecked()) {
    if (moved.compare(0, folder.size(), folder) != 0 || moved.size() <= folder.size() || moved[folder.size()] != u'\\')
      continue;
    LogF(watcher.sink(), kLogVerbose, u"'%s' was moved into the new folder '%s', as '%s': the folder is scanned now",
         relative_path, folder, moved);
    // A scan of the folder under way (its own check) is waited for: the
    // rename must reach the host before this removal is judged.
    const std::u16string full = watcher.path() + folder;
    for (int waits = 0; !watcher.BeginScan(full); ++waits) {
      if (waits >= 200 || watcher.Stopping()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    RescanMissingFiles(watcher.engine(), full);
    while (watcher.EndScan(full)) RescanMissingFiles(watcher.engine(), full);
    return true;
  }
  return false;
}

}  // namespace corvane
