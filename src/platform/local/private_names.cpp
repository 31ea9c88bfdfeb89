#include "platform/local/private_names.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <atomic>
#include <random>

namespace corvane::platform::local {

std::string NewPrivateName(const std::string& folder) {
  // The process id keeps two processes apart, the counter two threads; the
  // random part keeps a restarted process with a recycled id off the names
  // of one that died halfway.
  static const unsigned long long seed = std::random_device{}();
  static std::atomic<unsigned long long> counter{0};
  std::string name = kPrivateNamePrefix;
  name += std::to_string(getpid()) + "-" + std::to_string(seed) + "-" + std::to_string(counter.fetch_add(1));
  return folder.empty() ? name : folder + "/" + name;
}

bool RemoveIfAbandoned(const std::string& folder, const char* name) {
  if (!IsPrivateName(name)) return false;
  const char* digits = name + sizeof kPrivateNamePrefix - 1;
  char* end = nullptr;
  const long pid = std::strtol(digits, &end, 10);
  if (end == digits || *end != '-' || pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) return false;
  // A half-made folder is still empty and a half-made file a second name of
  // a complete one, so removing either loses nothing.
  const std::string path = folder + "/" + name;
  return unlink(path.c_str()) == 0 || rmdir(path.c_str()) == 0;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return -1;
  // A file system without no-replace renames: check, then rename.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

}  // namespace corvane::platform::local
