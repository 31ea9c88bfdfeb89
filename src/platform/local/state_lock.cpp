#include "platform/local/state_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::platform::local {

StateFileLock::StateFileLock(const std::string& lock_file_path, bool exclusive) {
  fd_ = open(lock_file_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno == EINTR) continue;
    close(fd_);
    fd_ = -1;
    return;
  }
}

StateFileLock::~StateFileLock() {
  if (fd_ >= 0) close(fd_);  // releases the lock
}

}  // namespace corvane::platform::local
