#include "platform/local/quiet_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::platform::local {

DIR* OpenDirQuietly(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return dir;
}

}  // namespace corvane::platform::local
