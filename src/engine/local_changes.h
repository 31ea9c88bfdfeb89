// What the engine asks of whoever watches the sync root for the user's
// changes. The watcher builds on the engine's tasks, cache and events, so it
// stands above the engine; the engine's lifecycle reaches it only through
// this, handed in when the engine is made.
#pragma once

#include <string>

namespace corvane {

class Engine;

class LocalChanges {
 public:
  virtual ~LocalChanges() = default;
  // Starts watching the root (stopping a watch already running first);
  // false when the watch could not start.
  virtual bool Start(Engine& engine) const = 0;
  virtual void Stop(Engine& engine) const = 0;
  // Offline check of the whole root at activation; false when the walk failed.
  virtual bool OfflineCheck(Engine& engine, const std::u16string& folder_full_path) const = 0;
  // After the host accepted a folder's rename: what moved with the folder
  // gets identities naming its new path.
  virtual void FollowFolderRename(Engine& engine, const std::u16string& old_relative_path,
                                  const std::u16string& relative_path) const = 0;
  // A folder the engine moved back where the host still has it, or one whose
  // move found at a start the host took late: the records of what was done
  // inside it meanwhile name the path it left, or there were none, so a walk
  // finds those changes where they are now. Nothing while no watch runs.
  virtual void WalkMovedFolder(Engine& engine, const std::u16string& relative_path) const = 0;
  // A file whose rename the host took late, written while the rename waited:
  // the rename carried none of that content, which is offered now as the
  // file's update.
  virtual void OfferContentAfterRename(Engine& engine, const std::u16string& relative_path) const = 0;
  // Removes the empty folders below the root at uninstall (the root stays).
  virtual bool DeleteEmptyLocalFolders(Engine& engine, const std::u16string& folder_full_path) const = 0;
};

}  // namespace corvane
