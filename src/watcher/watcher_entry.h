// How the engine starts and stops its watcher.
#pragma once

namespace corvane {

class Engine;

bool StartDirectoryWatcher(Engine& engine);
void StopDirectoryWatcher(Engine& engine);

}  // namespace corvane
