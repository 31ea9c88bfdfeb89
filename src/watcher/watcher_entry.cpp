// How the engine starts and stops its watcher.
#include "watcher/watcher_entry.h"

#include "diag/log.h"
#include "engine/engine.h"
#include "engine/local_item_values.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"
#include "watcher/change_processing.h"
#include "watcher/directory_watcher.h"
#include "watcher/rescan.h"

namespace corvane {

namespace {

// The engine's threads (a late answer's) reach the watcher while another
// thread may start or stop it: the pointer is set and taken under this.
Mutex watcher_slot;

}  // namespace

bool StartDirectoryWatcher(Engine& engine) {
  if (engine.watcher) StopDirectoryWatcher(engine);
  {
    MutexLock lock(watcher_slot);
    engine.watcher = MakeOwned<DirectoryWatcher>(engine, engine.EffectiveSyncRootPath());
  }
  if (!engine.watcher->Start()) return false;
  if (engine.placeholder_manager) engine.placeholder_manager->SetDeferredExecutor(engine.watcher.get());
  return true;
}

void StopDirectoryWatcher(Engine& engine) {
  if (!engine.watcher) return;
  // Execute requests go back to running at once before the queues close.
  if (engine.placeholder_manager) engine.placeholder_manager->SetDeferredExecutor(nullptr);
  Owned<DirectoryWatcher> stopping = NoOwned<DirectoryWatcher>();
  {
    MutexLock lock(watcher_slot);
    stopping = std::move(engine.watcher);
    engine.watcher = NoOwned<DirectoryWatcher>();
  }
  stopping->Stop();
}

namespace {

class Watcher final : public LocalChanges {
 public:
  bool Start(Engine& engine) const override { return StartDirectoryWatcher(engine); }
  void Stop(Engine& engine) const override { StopDirectoryWatcher(engine); }
  bool OfflineCheck(Engine& engine, const std::u16string& folder_full_path) const override {
    return corvane::OfflineCheck(engine, folder_full_path);
  }
  void FollowFolderRename(Engine& engine, const std::u16string& old_relative_path,
                          const std::u16string& relative_path) const override {
    corvane::FollowFolderRename(engine, old_relative_path, relative_path);
  }
  void WalkMovedFolder(Engine& engine, const std::u16string& relative_path) const override {
    MutexLock lock(watcher_slot);
    if (engine.watcher) engine.watcher->StartNewFolderCheck(relative_path);
  }
  void OfferContentAfterRename(Engine& engine, const std::u16string& relative_path) const override {
    const std::u16string full = engine.EffectiveSyncRootPath() + relative_path;
    LocalItemValues values;
    if (ReadLocalValues(full, values) == 0 && !values.folder)
      UpdateLocalItem(engine, nullptr, relative_path, full, values);
  }
  bool DeleteEmptyLocalFolders(Engine& engine, const std::u16string& folder_full_path) const override {
    return corvane::DeleteEmptyLocalFolders(engine, folder_full_path);
  }
};

}  // namespace

const LocalChanges& WatcherLocalChanges() {
  static const Watcher watcher;
  return watcher;
}

}  // namespace corvane
