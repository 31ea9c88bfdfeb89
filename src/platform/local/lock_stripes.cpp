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
int OpenLockFile(unsigned stripe, const std::string& state_dir) {
  // The folder is made once; it is looked for again only when the lock file
  // cannot be opened in it (the state folder moved or was removed).
  const std::string file = state_dir + "/locks/" + std::to_string(stripe);
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

LockStripe& LockStripe::For(const struct stat& item) {
  return Stripes()[(item.st_ino * 31 + item.st_dev) % kLockStripes];
}

LockStripe& LockStripe::Fallback() { return Stripes()[kLockStripes]; }

int LockStripe::LockFile() {
  const long index = this - Stripes();
  if (index < 0 || index >= static_cast<long>(kLockStripes)) return -1;
  const std::string dir = StateDir();
  const pid_t pid = getpid();
  if (fd_ >= 0 && (dir != dir_ || pid != pid_)) CloseLockFile();
  if (fd_ < 0) {
    fd_ = OpenLockFile(static_cast<unsigned>(index), dir);
    dir_ = dir;
    pid_ = pid;
  }
  return fd_;
}

void LockStripe::CloseLockFile() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  dir_.clear();
}

int LockStripe::Acquire(int item_fd) {
  mutex_.Lock();
  for (int attempt = 0;; ++attempt) {
    const int fd = LockFile();
    if (fd < 0) break;
    FlockRetrying(fd, LOCK_EX);
    // A lock file removed with its folder is one no other process finds:
    // they lock the new one.
    struct stat st;
    if (attempt > 0 || fstat(fd, &st) != 0 || st.st_nlink > 0) return fd;
    FlockRetrying(fd, LOCK_UN);
    CloseLockFile();
  }
  FlockRetrying(item_fd, LOCK_EX);
  return item_fd;
}

void LockStripe::Release(int locked_fd) {
  FlockRetrying(locked_fd, LOCK_UN);
  mutex_.Unlock();
}

}  // namespace corvane::platform::local
