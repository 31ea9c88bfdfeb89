// corvane-cloudfs: mounts a sync root of the local cloud-files platform as a
// file system in user space, so that every program (cat, cp, an editor)
// reaches its placeholders the way Windows programs do through the
// cloud-files filter: listings populate, reads wait for the provider, and
// changes reach it.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "backing_watch.h"
#include "platform/local/cloudfs/cloud_view.h"
#include "platform/local/connection.h"
#include "platform/local/provider_link.h"
#include "platform/local/sync_roots.h"

namespace {

using corvane::platform::local::CloudView;

// The kernel's interrupt of a request reaches its thread as SIGUSR1 (the
// "intr" setting); a reader that gave up then cancels its wait for the
// provider. The signal only wakes the wait: its handler does nothing.
void Woken(int) {}
bool GaveUp() { return fuse_interrupted() != 0; }

CloudView& View() {
  corvane::platform::local::SetGiveUpCheck(&GaveUp);
  return *static_cast<CloudView*>(fuse_get_context()->private_data);
}

constexpr unsigned kMaxRead = 512u << 10;

// How long the kernel keeps an item's status and a folder's listing. Long
// while the backing folder is followed, since each change made behind the
// mount takes them away; else a second, the most a change may go unseen.
constexpr double kKeepFollowed = 60.0;
bool following = false;  // set before the first request

void* Init(fuse_conn_info* conn, fuse_config* config) {
  // Reads move the backing file's pages to the kernel by splice.
  if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
  // Reads the kernel makes in the background cannot be interrupted by the
  // program that waits for them: the program's own reads can.
  conn->want &= ~FUSE_CAP_ASYNC_READ;
  // Larger requests (the kernel's max_pages follows max_write): a trip
  // through the daemon per 128 KiB costs more than the copy. Reads stay
  // at kMaxRead, whose reply still fits the largest pipe an unprivileged
  // splice may have (1 MiB); a reply that does not is copied instead.
  conn->max_write = 1u << 20;
  conn->max_read = kMaxRead;
  conn->max_readahead = 1u << 20;
  // Listings hand over each item's status (an `ls -l` then asks nothing
  // more), every time, not only once lookups followed a first listing.
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  // Pages kept across opens are dropped when the file's size or time moves
  // while it is open as well.
  if (conn->capable & FUSE_CAP_AUTO_INVAL_DATA) conn->want |= FUSE_CAP_AUTO_INVAL_DATA;
  // Items are told apart by path; the backing store's numbers would
  // collide with nothing, but need not be shown.
  config->use_ino = 0;
  config->entry_timeout = config->attr_timeout = following ? kKeepFollowed : 1.0;
  // A file deleted or replaced while open is gone at once, as for the
  // platform: hiding it under a new name would reach the provider as a
  // rename to that name, and its close under a name that is not there.
  // Calls on an open file come with its handle, and without a path, which
  // it may no longer have.
  config->hard_remove = 1;
  config->nullpath_ok = 1;
  config->intr = 1;
  config->intr_signal = SIGUSR1;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (fi != nullptr) return View().GetAttr(fi->fh, *st);
  return path != nullptr ? View().GetAttr(path, *st) : -ENOENT;
}

// Listings come with the open folder's handle only: it keeps the path the
// folder was opened under.
int OpenDir(const char* path, fuse_file_info* fi) {
  struct stat st;
  if (const int rc = View().GetAttr(path, st)) return rc;
  if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
  fi->fh = reinterpret_cast<uint64_t>(new std::string(path));
  // A listing read again is the kernel's copy, until a change of the folder.
  fi->cache_readdir = fi->keep_cache = following;
  return 0;
}
int ReleaseDir(const char*, fuse_file_info* fi) {
  delete reinterpret_cast<std::string*>(fi->fh);
  return 0;
}
int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags flags) {
  std::vector<CloudView::DirEntry> entries;
  if (const int rc = View().ReadDir(reinterpret_cast<std::string*>(fi->fh)->c_str(), entries)) return rc;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  const auto plus = static_cast<fuse_fill_dir_flags>((flags & FUSE_READDIR_PLUS) ? FUSE_FILL_DIR_PLUS : 0);
  for (const auto& e : entries) {
    if (fill(buffer, e.name.c_str(), &e.st, 0, plus) != 0) break;
  }
  return 0;
}

int ReadLink(const char* path, char* buffer, size_t size) {
  std::string target;
  if (const int rc = View().ReadLink(path, target)) return rc;
  if (size == 0) return -EINVAL;
  const size_t n = std::min(target.size(), size - 1);
  memcpy(buffer, target.data(), n);
  buffer[n] = '\0';
  return 0;
}

// A hydrated file read again is served from the kernel's pages, unless its
// backing file changed since the last open.
int Open(const char* path, fuse_file_info* fi) {
  bool keep = false;
  const int rc = View().Open(path, fi->flags, fi->fh, &keep);
  fi->keep_cache = keep;
  return rc;
}
int Create(const char* path, mode_t, fuse_file_info* fi) { return View().Create(path, fi->fh); }
// The data moves from the backing file to the kernel without a copy here.
int ReadBuffer(const char*, fuse_bufvec** out, size_t size, off_t offset, fuse_file_info* fi) {
  int fd = -1;
  if (const int rc = View().ReadSource(fi->fh, size, static_cast<uint64_t>(offset), fd)) return rc;
  auto* vec = static_cast<fuse_bufvec*>(malloc(sizeof(fuse_bufvec)));
  if (vec == nullptr) return -ENOMEM;
  *vec = FUSE_BUFVEC_INIT(size);
  vec->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  vec->buf[0].fd = fd;
  vec->buf[0].pos = offset;
  *out = vec;
  return 0;
}
// A page written back from a shared mapping keeps its place, whatever the
// open's flags.
int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  const bool append = (fi->flags & O_APPEND) && !fi->writepage;
  return View().Write(fi->fh, buffer, size, static_cast<uint64_t>(offset), append);
}
int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  if (size < 0) return -EINVAL;
  if (path == nullptr && fi == nullptr) return -ENOENT;
  return View().Truncate(path, fi ? fi->fh : 0, static_cast<uint64_t>(size));
}
int SetTimes(const char* path, const struct timespec times[2], fuse_file_info* fi) {
  if (path == nullptr && fi == nullptr) return -ENOENT;
  return View().SetTimes(path, fi ? fi->fh : 0, times);
}
int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  if (path == nullptr && fi == nullptr) return -ENOENT;
  return View().Chmod(path, fi ? fi->fh : 0, mode);
}
int Fsync(const char*, int data_only, fuse_file_info* fi) { return View().Sync(fi->fh, data_only != 0); }
int Release(const char*, fuse_file_info* fi) {
  View().Release(fi->fh);
  return 0;
}
int MakeDir(const char* path, mode_t) { return View().MakeDir(path); }
int Unlink(const char* path) { return View().Unlink(path); }
int RemoveDir(const char* path) { return View().RemoveDir(path); }
int Rename(const char* from, const char* to, unsigned int flags) { return View().Rename(from, to, flags); }
int GetXattr(const char* path, const char* name, char* value, size_t size) {
  std::string text;
  if (const int rc = View().GetXattr(path, name, text)) return rc;
  if (size == 0) return static_cast<int>(text.size());
  if (size < text.size()) return -ERANGE;
  memcpy(value, text.data(), text.size());
  return static_cast<int>(text.size());
}
int ListXattr(const char* path, char* list, size_t size) {
  std::string names;
  if (const int rc = View().ListXattr(path, names)) return rc;
  if (size == 0) return static_cast<int>(names.size());
  if (size < names.size()) return -ERANGE;
  memcpy(list, names.data(), names.size());
  return static_cast<int>(names.size());
}
// The state is the platform's to change: pins go through the client.
int SetXattr(const char*, const char*, const char*, size_t, int) { return -ENOTSUP; }
int RemoveXattr(const char*, const char*) { return -ENOTSUP; }
int StatFs(const char*, struct statvfs* st) { return View().StatFs(*st); }

fuse_operations Operations() {
  fuse_operations ops = {};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.releasedir = ReleaseDir;
  ops.readlink = ReadLink;
  ops.open = Open;
  ops.create = Create;
  ops.read_buf = ReadBuffer;
  ops.write = Write;
  ops.truncate = Truncate;
  ops.utimens = SetTimes;
  ops.chmod = Chmod;
  ops.fsync = Fsync;
  ops.release = Release;
  ops.mkdir = MakeDir;
  ops.unlink = Unlink;
  ops.rmdir = RemoveDir;
  ops.rename = Rename;
  ops.getxattr = GetXattr;
  ops.listxattr = ListXattr;
  ops.setxattr = SetXattr;
  ops.removexattr = RemoveXattr;
  ops.statfs = StatFs;
  return ops;
}

bool IsMountPoint(const std::string& path) {
  struct stat here, parent;
  return stat(path.c_str(), &here) == 0 && stat(std::filesystem::path(path).parent_path().c_str(), &parent) == 0 &&
         here.st_dev != parent.st_dev;
}

// The kernel reads ahead 128 KiB at a time on a new mount, whatever the
// daemon takes: larger requests need the mount's own read-ahead setting,
// which only root may change (others keep the default).
// The mount's device comes from the mount table: a stat of the mount
// point would wait for this process, which serves nothing yet.
void WidenReadahead(const std::string& mountpoint) {
  FILE* table = fopen("/proc/self/mountinfo", "r");
  if (table == nullptr) return;
  std::string device;
  char line[4096], id[64], point[4096];
  while (fgets(line, sizeof line, table) != nullptr) {
    // "36 25 0:45 / /mount/point rw ... - fuse.corvane ..." (a space in a path is \040)
    if (sscanf(line, "%*s %*s %63s %*s %4095s", id, point) == 2 && strstr(line, " - fuse.corvane ") != nullptr) {
      std::string unescaped;
      for (const char* c = point; *c; ++c) {
        if (c[0] == '\\' && c[1] >= '0' && c[1] <= '3' && c[2] && c[3]) {
          unescaped += static_cast<char>((c[1] - '0') * 64 + (c[2] - '0') * 8 + (c[3] - '0'));
          c += 3;
        } else {
          unescaped += *c;
        }
      }
      if (unescaped == mountpoint) device = id;  // the last one is the newest
    }
  }
  fclose(table);
  if (device.empty()) return;
  if (FILE* f = fopen(("/sys/class/bdi/" + device + "/read_ahead_kb").c_str(), "w")) {
    fputs("1024", f);
    fclose(f);
  }
}

constexpr int kNotMounted = 3;

// Serves the items of `root` (in its backing folder when it has one) at
// `mountpoint` until unmounted; kNotMounted when it could not mount.
int Serve(const std::string& r, const std::string& m, bool daemon, bool debug) {
  CloudView view(r);
  const fuse_operations ops = Operations();
  std::vector<std::string> words = {"corvane-cloudfs", "-o",
                                    "fsname=corvane:" + r + ",subtype=corvane,max_read=" + std::to_string(kMaxRead)};
  // A system mount serves every user, as the cloud-files filter does.
  if (geteuid() == 0) words.back() += ",allow_other,default_permissions";
  if (debug) words.push_back("-d");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse* fs = fuse_new(&args, &ops, sizeof ops, &view);
  if (fs == nullptr) {
    fprintf(stderr, "corvane-cloudfs: cannot set up the file system\n");
    fuse_opt_free_args(&args);
    return kNotMounted;
  }
  if (fuse_mount(fs, m.c_str()) != 0) {
    fprintf(stderr, "corvane-cloudfs: cannot mount %s (is /dev/fuse there, and may this user mount?)\n", m.c_str());
    fuse_destroy(fs);
    fuse_opt_free_args(&args);
    return kNotMounted;
  }
  WidenReadahead(m);
  struct sigaction wake = {};
  wake.sa_handler = Woken;
  sigaction(SIGUSR1, &wake, nullptr);
  int rc = 1;
  fuse_session* session = fuse_get_session(fs);
  if (fuse_daemonize(daemon ? 0 : 1) == 0 && fuse_set_signal_handlers(session) == 0) {
    // Started in the process that serves: a daemon's fork keeps no thread.
    corvane::cloudfs::BackingWatch watch(view.sync_root(), [fs](const std::string& path) {
      fuse_invalidate_path(fs, path.c_str());  // -ENOENT: the kernel holds nothing of it
    });
    following = watch.Start();
    rc = fuse_loop_mt(fs, 0) == 0 ? 0 : 1;
    fuse_remove_signal_handlers(session);
  }
  fuse_unmount(fs);
  fuse_destroy(fs);
  // fuse_new adds to the arguments it was given.
  fuse_opt_free_args(&args);
  return rc;
}

int Mount(const std::string& root_arg, const std::string& mountpoint_arg, bool daemon, bool debug) {
  std::error_code ec;
  const std::filesystem::path root = std::filesystem::canonical(root_arg, ec);
  if (ec || !std::filesystem::is_directory(root)) {
    fprintf(stderr, "corvane-cloudfs: %s is not a folder\n", root_arg.c_str());
    return 2;
  }
  const std::filesystem::path mountpoint = std::filesystem::canonical(mountpoint_arg, ec);
  if (ec || !std::filesystem::is_directory(mountpoint)) {
    fprintf(stderr, "corvane-cloudfs: the mount point %s is not a folder\n", mountpoint_arg.c_str());
    return 2;
  }
  // A mount inside its own root would list itself without end.
  const std::string r = root.string(), m = mountpoint.string();
  if (m == r || (m.compare(0, r.size(), r) == 0 && m[r.size()] == '/') ||
      (r.compare(0, m.size(), m) == 0 && (m == "/" || r[m.size()] == '/'))) {
    fprintf(stderr, "corvane-cloudfs: the mount point and the sync root must not contain each other\n");
    return 2;
  }
  // A second mount would hide the first, which then outlives every unmount
  // anyone expects to end it.
  if (IsMountPoint(m)) {
    fprintf(stderr, "corvane-cloudfs: %s is already a mount point\n", m.c_str());
    return 2;
  }
  corvane::platform::local::SyncRootRecord record;
  if (!corvane::platform::local::FindSyncRootFor(r, record))
    fprintf(stderr, "corvane-cloudfs: warning: %s is not in a registered sync root; files show as they are\n",
            r.c_str());
  const int rc = Serve(r, m, daemon, debug);
  return rc == kNotMounted ? 1 : rc;
}

// A mount whose process is gone. stat() may still answer from the
// kernel's cache; statfs always asks the file system.
bool Dead(const std::string& path) {
  struct statvfs st;
  return statvfs(path.c_str(), &st) != 0 && errno == ENOTCONN;
}

// fusermount3 unmounts for root and for the user who mounted alike;
// `lazy` for a mount whose process is gone or that is still in use.
bool Unmount(const std::string& path, bool lazy) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (lazy)
      execlp("fusermount3", "fusermount3", "-u", "-z", "--", path.c_str(), nullptr);
    else
      execlp("fusermount3", "fusermount3", "-u", "--", path.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool EmptyFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec) && std::filesystem::is_empty(path, ec) && !ec;
}

// The root's own path becomes the mount. Each step leaves the items where
// the platform finds them: the rename to the backing folder is the one
// step that moves them, and the platform follows the backing folder as
// soon as it exists; the root's path is then only a mount point.
int MountRoot(const std::string& root_arg, bool daemon, bool debug) {
  using namespace corvane::platform::local;
  const std::string root = CanonicalPath(root_arg);
  SyncRootRecord record;
  if (!LoadSyncRootExact(root, record)) {
    fprintf(stderr, "corvane-cloudfs: %s is not a registered sync root\n", root.c_str());
    return 2;
  }
  const std::string backing = BackingFolderOf(root);
  struct stat st;
  if (Dead(root)) {
    // A mount whose process died: programs get ENOTCONN until it is gone.
    fprintf(stderr, "corvane-cloudfs: %s: the previous mount died; mounting again\n", root.c_str());
    if (!Unmount(root, true)) {
      fprintf(stderr, "corvane-cloudfs: cannot take away the dead mount at %s\n", root.c_str());
      return 1;
    }
  } else if (IsMountPoint(root)) {
    fprintf(stderr, "corvane-cloudfs: %s is already mounted\n", root.c_str());
    return 2;
  }
  std::error_code ec;
  const bool move = !std::filesystem::is_directory(backing, ec);
  // A running provider watches the root's folders by their paths, which
  // would then lead into the mount.
  if (move && ProviderConnected(root)) {
    fprintf(stderr,
            "corvane-cloudfs: the provider of %s is running: stop it first, or start it with CORVANE_CLOUDFS=1 so "
            "that it mounts the root before it connects\n",
            root.c_str());
    return 2;
  }
  if (move) {
    if (rename(root.c_str(), backing.c_str()) != 0) {
      fprintf(stderr, "corvane-cloudfs: cannot move %s to %s: %s\n", root.c_str(), backing.c_str(), strerror(errno));
      return 1;
    }
    NoteRootMoved();
  }
  if (mkdir(root.c_str(), 0755) == 0) {
    if (stat(backing.c_str(), &st) == 0) chmod(root.c_str(), st.st_mode & 07777);
  } else if (errno != EEXIST || !EmptyFolder(root)) {
    // Something was put at the root's path while it was not mounted: both
    // places hold items, and only a person can say which way they go.
    fprintf(stderr, "corvane-cloudfs: %s is not an empty folder while %s holds the items; nothing was moved\n",
            root.c_str(), backing.c_str());
    return 1;
  }
  const int rc = Serve(root, root, daemon, debug);
  // No mount after all: the root goes back to being the plain folder it
  // was (the rename replaces the empty folder made for the mount).
  if (rc == kNotMounted && move) {
    if (rename(backing.c_str(), root.c_str()) == 0)
      NoteRootMoved();
    else
      fprintf(stderr, "corvane-cloudfs: the items of %s stay in %s: %s\n", root.c_str(), backing.c_str(),
              strerror(errno));
  }
  return rc == kNotMounted ? 1 : rc;
}

// Mounts again every registered root whose items are in its backing
// folder: after a restart, or a mount whose process died. Each in a
// process of its own, so that one that fails leaves the others alone.
int ServeAll() {
  using namespace corvane::platform::local;
  int rc = 0;
  for (const std::string& root : RegisteredRoots()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(BackingFolderOf(root), ec) || (IsMountPoint(root) && !Dead(root))) continue;
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      execl("/proc/self/exe", "corvane-cloudfs", "mount-root", "--daemon", root.c_str(), nullptr);
      _exit(127);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const bool mounted = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    printf("%s: %s\n", root.c_str(), mounted ? "mounted" : "not mounted");
    if (!mounted) rc = 1;
  }
  return rc;
}

// Ends the mount; the items go back to the root's path by one rename when
// asked, or when the root is no longer registered.
int UnmountRoot(const std::string& root_arg, bool restore) {
  using namespace corvane::platform::local;
  const std::string root = CanonicalPath(root_arg);
  const std::string backing = BackingFolderOf(root);
  const bool dead = Dead(root);
  if ((dead || IsMountPoint(root)) && !Unmount(root, dead)) {
    fprintf(stderr, "corvane-cloudfs: cannot unmount %s (in use?)\n", root.c_str());
    return 1;
  }
  SyncRootRecord record;
  if (!restore && LoadSyncRootExact(root, record)) return 0;
  std::error_code ec;
  if (!std::filesystem::is_directory(backing, ec)) return 0;
  // rename() replaces the empty mount point in the same step.
  if (rename(backing.c_str(), root.c_str()) != 0) {
    fprintf(stderr, "corvane-cloudfs: cannot move %s back to %s: %s\n", backing.c_str(), root.c_str(),
            strerror(errno));
    return 1;
  }
  NoteRootMoved();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Started by a provider, a daemon would keep its sockets and locks open.
  close_range(3, ~0U, 0);
  CLI::App app{"Shows a sync root to every program through a cloud-files mount."};
  app.require_subcommand(1);
  std::string root, mountpoint;
  bool daemon = false, debug = false;
  auto* mount = app.add_subcommand("mount", "Mounts <sync-root> at <mountpoint> until unmounted (fusermount3 -u).");
  mount->add_option("sync-root", root, "The registered sync root (the backing folder)")->required();
  mount->add_option("mountpoint", mountpoint, "An empty folder outside the root")->required();
  mount->add_flag("-d,--daemon", daemon, "Run in the background once mounted");
  mount->add_flag("--debug", debug, "Print every file-system request (stays in the foreground)");
  bool restore = false;
  auto* mount_root = app.add_subcommand(
      "mount-root", "Mounts a registered <sync-root> at its own path; its items move to a hidden folder beside it.");
  mount_root->add_option("sync-root", root, "The registered sync root")->required();
  mount_root->add_flag("-d,--daemon", daemon, "Run in the background once mounted");
  mount_root->add_flag("--debug", debug, "Print every file-system request (stays in the foreground)");
  auto* serve = app.add_subcommand(
      "serve", "Mounts again, in the background, every registered root that was mounted (after a restart or a crash).");
  auto* unmount = app.add_subcommand("unmount", "Ends the mount of <sync-root> at its own path.");
  unmount->add_option("sync-root", root, "The sync root")->required();
  unmount->add_flag("--restore", restore,
                    "Move the items back to the root's path (done anyway when the root is not registered)");
  CLI11_PARSE(app, argc, argv);
  if (*unmount) return UnmountRoot(root, restore);
  if (*serve) return ServeAll();
  if (*mount_root) return MountRoot(root, daemon && !debug, debug);
  return Mount(root, mountpoint, daemon && !debug, debug);
}
