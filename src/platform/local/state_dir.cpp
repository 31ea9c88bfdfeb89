#include "platform/local/state_dir.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform::local {
namespace {

bool MakeDirs(const std::string& path) {
  if (path.empty()) return false;
  // Looked up for every placeholder made: the folder almost always exists.
  struct stat existing;
  if (stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return true;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string StateDir() {
  if (const char* dir = std::getenv("CORVANE_STATE_DIR"); dir && *dir) return dir;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return std::string(xdg) + "/corvane";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/state/corvane";
}

std::string EnsureStateSubdir(const std::string& sub) {
  std::string dir = StateDir();
  if (!sub.empty()) dir += "/" + sub;
  return MakeDirs(dir) ? dir : std::string();
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  // A name of its own for every write: two threads replacing the same file
  // must not write into, or rename away, each other's temporary file.
  static std::atomic<uint64_t> counter{0};
  const std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content.clear();
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    content.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

}  // namespace corvane::platform::local
