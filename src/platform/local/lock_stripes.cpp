#include "platform/local/lock_stripes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/local/state_dir.h"

namespace corvane::platform::local {
namespace {

constexpr unsigned kLockStripes = 64;

LockStripe* Stripes() {
  // Never destroyed: threads of a provider still running may lock an item
  // while the process exits.
  static LockStripe* stripes = new LockStripe[kLockStripes + 1];
  return stripes;
}

// -1 when the state folder cannot be written.
int OpenLockFile(unsigned stripe) {
  // The folder is made once; it is looked for again only when the lock file
  // cannot be opened in it (the state folder moved or was removed).
  const std::string file = StateDir() + "/locks/" + std::to_string(stripe);
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0 || errno != ENOENT) return fd;
  if (EnsureStateSubdir("locks").empty()) return -1;
  return open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

void FlockRetrying(int fd, int operation) {
  while (flock(fd, operation) != 0 && errno == EINTR) {
  }
}

}  // namespace

LockStripe& LockStripe::For(const struct stat& item) { return For(item.st_dev, item.st_ino); }

LockStripe& LockStripe::For(uint64_t dev, uint64_t ino) { return Stripes()[(ino * 31 + dev) % kLockStripes]; }

LockStripe& LockStripe::Fallback() { return Stripes()[kLockStripes]; }

int LockStripe::Acquire(int item_fd) {
  mutex_.Lock();
  const long index = this - Stripes();
  // The lock file stays closed between locks: a library in another
  // program's process keeps no descriptors it does not need.
  const int fd = index < static_cast<long>(kLockStripes) ? OpenLockFile(static_cast<unsigned>(index)) : -1;
  const int target = fd >= 0 ? fd : item_fd;
  FlockRetrying(target, LOCK_EX);
  return target;
}

void LockStripe::Release(int item_fd, int locked_fd) {
  if (locked_fd != item_fd) {
    close(locked_fd);  // lets go of the flock
  } else {
    FlockRetrying(item_fd, LOCK_UN);
  }
  mutex_.Unlock();
}

}  // namespace corvane::platform::local
