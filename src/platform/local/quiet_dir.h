// Opening a folder for the platform's own reading without touching its
// access time: on Windows the provider's and the watcher's enumerations do
// not change a folder's last-access time, and here a changed access time
// would come back to the provider as a local change of the folder.
#pragma once

#include <dirent.h>

#include <string>

namespace corvane::platform::local {

// Like opendir(); falls back to an ordinary open where O_NOATIME is refused
// (a folder the user does not own).
DIR* OpenDirQuietly(const std::string& path);

}  // namespace corvane::platform::local
