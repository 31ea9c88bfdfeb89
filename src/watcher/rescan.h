// Folder walks that close the gaps of the watcher: items it missed, items
// changed while the component did not run, and empty folders left behind.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

class Engine;

// 1 when at least one item of this folder was reported as new, else 0.
int32_t RescanMissingFiles(Engine& engine, const std::u16string& folder_full_path);

}  // namespace corvane
