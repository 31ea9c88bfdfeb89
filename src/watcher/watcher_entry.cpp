// How the engine starts and stops its watcher.
#include "watcher/watcher_entry.h"

#include "diag/log.h"
#include "engine/engine.h"
#include "provider/placeholder_manager.h"
#include "watcher/directory_watcher.h"
#include "watcher/rescan.h"

namespace corvane {

bool StartDirectoryWatcher(Engine& engine) {
  if (engine.watcher) StopDirectoryWatcher(engine);
  engine.watcher = MakeOwned<DirectoryWatcher>(engine, engine.EffectiveSyncRootPath());
  if (!engine.watcher->Start()) return false;
  if (engine.placeholder_manager) engine.placeholder_manager->SetDeferredExecutor(engine.watcher.get());
  return true;
}

void StopDirectoryWatcher(Engine& engine) {
  if (!engine.watcher) return;
  // Execute requests go back to running at once before the queues close.
  if (engine.placeholder_manager) engine.placeholder_manager->SetDeferredExecutor(nullptr);
  engine.watcher->Stop();
  engine.watcher.reset();
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
