// How the engine starts and stops its watcher.
#pragma once

#include "engine/local_changes.h"

namespace corvane {

class Engine;

bool StartDirectoryWatcher(Engine& engine);
void StopDirectoryWatcher(Engine& engine);

// The watcher as the engine sees it; one for the process, without state of
// its own (each engine keeps its watch).
const LocalChanges& WatcherLocalChanges();

}  // namespace corvane
