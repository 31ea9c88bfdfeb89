// Folder walks that close the gaps of the watcher: items it missed, items
// changed while the component did not run, and empty folders left behind.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

class Engine;

// 1 when at least one item of this folder was reported as new, else 0.
int32_t RescanMissingFiles(Engine& engine, const std::u16string& folder_full_path);

// Offline check of the whole root at activation; false when the walk failed.
bool OfflineCheck(Engine& engine, const std::u16string& folder_full_path);
// After the host accepted a folder's rename: what moved with the folder gets
// identities naming its new path.
void FollowFolderRename(Engine& engine, const std::u16string& old_relative_path,
                        const std::u16string& relative_path);
// Removes the empty folders below the root at uninstall (the root stays).
bool DeleteEmptyLocalFolders(Engine& engine, const std::u16string& folder_full_path);

}  // namespace corvane
