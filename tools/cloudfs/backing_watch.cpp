#include "backing_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace corvane::cloudfs {
namespace {

constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                             IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

std::string Join(const std::string& folder, const char* name) {
  return folder.empty() ? std::string(name) : folder + "/" + name;
}

std::string MountPath(const std::string& relative) { return "/" + relative; }

bool IsFolder(int dir, const dirent& e) {
  if (e.d_type != DT_UNKNOWN) return e.d_type == DT_DIR;
  struct stat st;
  return fstatat(dir, e.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

BackingWatch::BackingWatch(std::string folder, Changed changed)
    : folder_(std::move(folder)), changed_(std::move(changed)) {}

BackingWatch::~BackingWatch() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_, &one, sizeof one);  // cannot fail: a fresh eventfd
    thread_.join();
  }
  if (inotify_ >= 0) close(inotify_);
  if (stop_ >= 0) close(stop_);
}

bool BackingWatch::Start() {
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  stop_ = eventfd(0, EFD_CLOEXEC);
  if (inotify_ < 0 || stop_ < 0) return false;
  // Every folder or none: a folder not followed would keep what the kernel
  // cached of it for long.
  if (!AddTree("")) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

bool BackingWatch::AddTree(const std::string& relative) {
  const std::string path = relative.empty() ? folder_ : folder_ + "/" + relative;
  const int wd = inotify_add_watch(inotify_, path.c_str(), kEvents);
  if (wd < 0) return errno == ENOENT || errno == ENOTDIR;  // gone meanwhile is no failure
  folders_[wd] = relative;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return true;
  bool all = true;
  while (const dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0 || !IsFolder(dirfd(dir), *e)) continue;
    all = AddTree(Join(relative, e->d_name)) && all;
  }
  closedir(dir);
  return all;
}

void BackingWatch::Run() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    // One batch: what the queue holds now, each path told once.
    std::set<std::string> paths;
    bool lost = false;
    for (;;) {
      const ssize_t n = read(inotify_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        if (e->mask & IN_Q_OVERFLOW) {
          lost = true;
          continue;
        }
        const auto it = folders_.find(e->wd);
        if (it == folders_.end()) continue;
        if (e->mask & (IN_IGNORED | IN_DELETE_SELF)) {
          if (e->mask & IN_IGNORED) folders_.erase(it);
          continue;
        }
        const std::string folder = it->second;
        paths.insert(MountPath(folder));
        if (e->len == 0) continue;
        const std::string item = Join(folder, e->name);
        paths.insert(MountPath(item));
        // A folder made or moved here: its items are followed too.
        if ((e->mask & IN_ISDIR) && (e->mask & (IN_CREATE | IN_MOVED_TO))) AddTree(item);
      }
    }
    if (lost) {
      // Changes were not told: every item may have changed.
      for (const auto& [wd, folder] : folders_) {
        paths.insert(MountPath(folder));
        const std::string path = folder.empty() ? folder_ : folder_ + "/" + folder;
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) continue;
        while (const dirent* e = readdir(dir)) {
          if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            paths.insert(MountPath(Join(folder, e->d_name)));
        }
        closedir(dir);
      }
    }
    for (const std::string& path : paths) changed_(path);
  }
}

}  // namespace corvane::cloudfs
