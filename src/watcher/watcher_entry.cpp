// How the engine starts and stops its watcher.
#include "watcher/watcher_entry.h"

#include "diag/log.h"
#include "engine/engine.h"
#include "provider/placeholder_manager.h"
#include "watcher/directory_watcher.h"

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

}  // namespace corvane
