#include "platform/local/cloudfs/mount_service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "platform/local/sync_roots.h"
#include "support/mutex.h"

extern char** environ;

namespace corvane::platform::local {
namespace {

std::string Tool() {
  const char* value = getenv("CORVANE_CLOUDFS");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0) return std::string();
  return std::strcmp(value, "1") == 0 ? "corvane-cloudfs" : value;
}

// Runs the tool to its end; its error output comes back in `why`. A
// daemon it leaves behind has let go of the pipe by then.
bool Run(const std::string& tool, std::vector<std::string> words, std::string& why) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    why = std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  words.insert(words.begin(), tool);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawnp(&child, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    why = "cannot start " + tool + ": " + std::strerror(spawned);
    return false;
  }
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) why.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR) break;
  }
  close(out[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  while (!why.empty() && why.back() == '\n') why.pop_back();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A live mount: statfs asks the file system itself, where stat() may
// answer from the kernel's cache after the mount's process died.
bool Mounted(const std::string& root) {
  struct statvfs fs;
  if (statvfs(root.c_str(), &fs) != 0) return false;
  struct stat here, parent;
  const size_t slash = root.find_last_of('/');
  const std::string up = slash == 0 ? "/" : root.substr(0, slash);
  return stat(root.c_str(), &here) == 0 && stat(up.c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

// Guards the starts, and the roots already said to have no mount.
Mutex& Starting() {
  static Mutex* mutex = new Mutex;  // never destroyed: see Records()
  return *mutex;
}

}  // namespace

void EnsureRootMounted(const std::string& root) {
  const std::string tool = Tool();
  if (tool.empty()) return;
  // Register and Connect may come at once; one start is enough.
  MutexLock lock(Starting());
  if (Mounted(root)) return;
  std::string why;
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    why = std::string("no usable /dev/fuse: ") + std::strerror(errno);
  } else if (Run(tool, {"mount-root", "--daemon", root}, why)) {
    NoteRootMoved();  // the paths below the root lead to its backing folder from now on
    return;
  }
  static auto* said = new std::set<std::string>;  // never destroyed: see Records()
  if (!said->insert(root).second) return;
  fprintf(stderr, "corvane: the cloud-files mount is not available (%s); programs see %s as a plain folder\n",
          why.c_str(), root.c_str());
}

void EndRootMount(const std::string& root) {
  const std::string tool = Tool();
  const std::string backing = BackingFolderOf(root);
  struct stat st;
  if (tool.empty() || backing.empty() || stat(backing.c_str(), &st) != 0) return;
  MutexLock lock(Starting());
  std::string why;
  if (!Run(tool, {"unmount", root}, why))
    fprintf(stderr, "corvane: %s stays mounted, its items in %s (%s)\n", root.c_str(), backing.c_str(), why.c_str());
  NoteRootMoved();
}

}  // namespace corvane::platform::local
