// Callbacks of the local platform name items by their canonical full path.
#include "platform/files.h"

namespace corvane::platform {

bool GetVolumeRelativePath(const std::u16string& path, std::u16string& relative) {
  return GetLongPathName(path, relative);
}

}  // namespace corvane::platform
