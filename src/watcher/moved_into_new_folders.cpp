#include "watcher/moved_into_new_folders.h"

#include <chrono>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "engine/engine.h"
#include "engine/exclusion.h"
#include "engine/folder_children.h"
#include "platform/files.h"
#include "provider/placeholder_manager.h"
#include "support/sync_root_path.h"
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

// The folders the batch names that stand now, unknown to the cache and
// outside those being checked: each is still to be reported as new (one
// kept from the host never is: an item moved into it leaves the host).
std::vector<std::u16string> UnreportedFoldersNamed(DirectoryWatcher& watcher,
                                                   const std::vector<std::u16string>& checked) {
  Engine& engine = watcher.engine();
  std::vector<std::u16string> unreported;
  for (const std::u16string& folder : watcher.change_state().folders_named) {
    bool covered = false;
    for (const std::u16string& other : checked) covered = covered || other == folder || IsBelowFolder(folder, other);
    if (covered || !engine.metadata_cache.NoItemInCache(folder)) continue;
    const platform::DWORD attributes = platform::GetFileAttributesW((watcher.path() + folder).c_str());
    if (attributes == platform::INVALID_FILE_ATTRIBUTES || !(attributes & platform::FILE_ATTRIBUTE_DIRECTORY) ||
        KeptFromHost(engine, folder, attributes))
      continue;
    unreported.push_back(folder);
  }
  return unreported;
}

}  // namespace

MovedIntoNewFolder FindMovedIntoNewFolder(DirectoryWatcher& watcher, const std::u16string& relative_path) {
  PlaceholderManager* manager = watcher.engine().placeholder_manager.get();
  if (manager == nullptr) return MovedIntoNewFolder::kNotFound;
  ChangeState& state = watcher.change_state();
  if (!state.new_folders_looked_through) {
    state.new_folders_looked_through = true;
    size_t looked = 0;
    const std::vector<std::u16string> checked = watcher.FoldersBeingChecked();
    for (const std::u16string& folder : checked)
      LookThrough(*manager, watcher.path(), folder, state.moved_into_new_folders, looked);
    for (const std::u16string& folder : UnreportedFoldersNamed(watcher, checked))
      LookThrough(*manager, watcher.path(), folder, state.moved_into_new_folders, looked);
  }
  // Most removals find nothing here, and pay no more.
  const auto it = state.moved_into_new_folders.find(relative_path);
  if (it == state.moved_into_new_folders.end()) return MovedIntoNewFolder::kNotFound;
  const std::u16string& moved = it->second;
  for (const std::u16string& folder : watcher.FoldersBeingChecked()) {
    if (!IsBelowFolder(moved, folder)) continue;
    LogF(watcher.sink(), kLogVerbose, u"'%s' was moved into the new folder '%s', as '%s': the folder is scanned now",
         relative_path, folder, moved);
    // A scan of the folder under way (its own check) is waited for: the
    // rename must reach the host before this removal is judged.
    const std::u16string full = watcher.path() + folder;
    for (int waits = 0; !watcher.BeginScan(full); ++waits) {
      if (waits >= 200 || watcher.Stopping()) return MovedIntoNewFolder::kNotFound;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    RescanMissingFiles(watcher.engine(), full);
    while (watcher.EndScan(full)) RescanMissingFiles(watcher.engine(), full);
    return MovedIntoNewFolder::kScanned;
  }
  LogF(watcher.sink(), kLogVerbose, u"'%s' was moved into a new folder, as '%s': the folder's report tells of it",
       relative_path, moved);
  return MovedIntoNewFolder::kToBeReported;
}

}  // namespace corvane
