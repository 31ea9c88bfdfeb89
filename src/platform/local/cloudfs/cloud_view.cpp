#include "platform/local/cloudfs/cloud_view.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <dirent.h>
#include <linux/fs.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/local/handle_table.h"
#include "platform/local/local_item.h"
#include "platform/local/private_names.h"

namespace corvane::platform::local {
namespace {

// The platform's own names for items it is still making are not there
// for programs, and programs may not make such names.
bool Hidden(const std::string& relative) {
  return IsPrivateName(BaseName(relative).c_str());
}

// What programs take as the size to read in: fewer, larger requests, each
// of which costs a trip through the kernel.
constexpr blksize_t kBlockSize = 1 << 20;

}  // namespace

int ErrnoOfWin32(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_CLOUD_FILE_ACCESS_DENIED: return EACCES;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_WRITE_PROTECT:
    case ERROR_CLOUD_FILE_READ_ONLY_VOLUME: return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
    case ERROR_CLOUD_FILE_IN_USE: return EBUSY;
    case ERROR_NOT_SUPPORTED: return ENOTSUP;
    // A program that gave up on its request (the kernel's interrupt).
    case ERROR_CANCELLED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_CLOUD_FILE_REQUEST_CANCELED: return EINTR;
    // No provider, a provider that failed or did not answer in time, and
    // every other cloud failure: the data is not there.
    default: return EIO;
  }
}

std::string CloudView::Relative(const char* path) {
  while (*path == '/') ++path;
  return *path ? std::string(path) : std::string(".");
}

int CloudView::Lstat(const std::string& relative, struct stat& st) {
  return lstat(client_.Resolve(relative).c_str(), &st) == 0 ? 0 : -errno;
}

int CloudView::GetAttr(const char* path, struct stat& st) {
  const std::string relative = Relative(path);
  if (Hidden(relative)) return -ENOENT;
  int rc = Lstat(relative, st);
  st.st_blksize = kBlockSize;
  if (rc != -ENOENT || relative == ".") return rc;
  // A name looked up in a folder the provider has not listed yet: the
  // listing decides whether it is there.
  const std::string parent = relative.find('/') == std::string::npos ? "." : ParentPath(relative);
  const DWORD error = client_.Populate(parent);
  if (error != ERROR_SUCCESS) return -ErrnoOfWin32(error);
  rc = Lstat(relative, st);
  st.st_blksize = kBlockSize;
  return rc;
}

int CloudView::GetAttr(uint64_t file, struct stat& st) {
  const std::shared_ptr<OpenItem> item = LookupHandle(static_cast<Handle>(file), OpenItem::Kind::kFile);
  if (!item) return -EBADF;
  if (fstat(item->fd, &st) != 0) return -errno;
  st.st_blksize = kBlockSize;
  return 0;
}

int CloudView::ReadDir(const char* path, std::vector<DirEntry>& entries) {
  entries.clear();
  const std::string relative = Relative(path);
  if (Hidden(relative)) return -ENOENT;
  if (const DWORD error = client_.Populate(relative)) return -ErrnoOfWin32(error);
  // The status comes along (the kernel caches it for the `ls -l` that
  // follows): one lstat per item, not a lookup through this process.
  const std::string folder = client_.Resolve(relative);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return -errno;
  while (const dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (IsPrivateName(e->d_name)) {
      RemoveIfAbandoned(folder, e->d_name);
      continue;
    }
    DirEntry entry{e->d_name, {}};
    if (fstatat(dirfd(dir), e->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    entry.st.st_blksize = kBlockSize;
    entries.push_back(std::move(entry));
  }
  closedir(dir);
  return 0;
}

int CloudView::ReadLink(const char* path, std::string& target) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink(client_.Resolve(Relative(path)).c_str(), buffer, sizeof buffer);
  if (n < 0) return -errno;
  target.assign(buffer, static_cast<size_t>(n));
  return 0;
}

int CloudView::Open(const char* path, int flags, uint64_t& file, bool* keep_cache) {
  const bool write = (flags & O_ACCMODE) != O_RDONLY;
  Handle handle = INVALID_HANDLE_VALUE;
  const std::string relative = Relative(path);
  if (Hidden(relative)) return -ENOENT;
  if (const DWORD error = client_.Open(relative, write, false, handle)) return -ErrnoOfWin32(error);
  if (flags & O_TRUNC) {
    if (const DWORD error = client_.Truncate(handle, 0)) {
      client_.Close(handle);
      return -ErrnoOfWin32(error);
    }
  }
  file = static_cast<uint64_t>(handle);
  if (keep_cache != nullptr) *keep_cache = Unchanged(relative, file);
  return 0;
}

// The kernel's pages of a file only ever hold bytes this process read
// from the backing file after the filter's checks, or bytes written
// through the mount: never a range that was not on disk. They may only
// outlive an open while the backing file is as it was at the last open.
bool CloudView::Unchanged(const std::string& relative, uint64_t file) {
  const std::shared_ptr<OpenItem> item = LookupHandle(static_cast<Handle>(file), OpenItem::Kind::kFile);
  struct stat st;
  if (!item || fstat(item->fd, &st) != 0) {
    Forget(relative);
    return false;
  }
  const Identity now = {st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  const auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
  MutexLock lock(identities_mutex_);
  auto [it, added] = identities_.try_emplace(relative, now);
  if (added) return false;
  const Identity before = it->second;
  it->second = now;
  return before.inode == now.inode && before.size == now.size && same(before.modified, now.modified) &&
         same(before.changed, now.changed);
}

void CloudView::Forget(const std::string& relative) {
  MutexLock lock(identities_mutex_);
  identities_.erase(relative);
}

int CloudView::Create(const char* path, uint64_t& file) {
  const std::string relative = Relative(path);
  if (Hidden(relative)) return -EINVAL;
  Handle handle = INVALID_HANDLE_VALUE;
  if (const DWORD error = client_.Open(relative, true, true, handle)) return -ErrnoOfWin32(error);
  file = static_cast<uint64_t>(handle);
  return 0;
}

int CloudView::ReadSource(uint64_t file, size_t size, uint64_t offset, int& descriptor) {
  // The kernel asks in pieces of a few hundred KiB; the provider is asked
  // for more at once, or a large file takes a round trip per piece.
  constexpr uint64_t kFetchWindow = 4u << 20;
  return -ErrnoOfWin32(client_.Fetch(static_cast<Handle>(file), offset, size, kFetchWindow, descriptor));
}

int CloudView::Write(uint64_t file, const char* buffer, size_t size, uint64_t offset, bool append) {
  if (size > INT_MAX) size = INT_MAX;
  const DWORD error =
      client_.WriteAt(static_cast<Handle>(file), append ? kWriteAtEnd : offset, std::string_view(buffer, size));
  return error ? -ErrnoOfWin32(error) : static_cast<int>(size);
}

int CloudView::Truncate(const char* path, uint64_t file, uint64_t size) {
  if (file != 0) return -ErrnoOfWin32(client_.Truncate(static_cast<Handle>(file), size));
  uint64_t opened = 0;
  if (const int rc = Open(path, O_WRONLY, opened)) return rc;
  const DWORD error = client_.Truncate(static_cast<Handle>(opened), size);
  Release(opened);
  return -ErrnoOfWin32(error);
}

int CloudView::SetTimes(const char* path, uint64_t file, const struct timespec times[2]) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t s[2], ns[2];
  for (int i = 0; i < 2; ++i) {
    const timespec t = times == nullptr || times[i].tv_nsec == UTIME_NOW ? now : times[i];
    s[i] = times != nullptr && times[i].tv_nsec == UTIME_OMIT ? -1 : t.tv_sec;
    ns[i] = t.tv_nsec;
  }
  uint64_t opened = file;
  if (file == 0) {
    struct stat st;
    if (const int rc = GetAttr(path, st)) return rc;
    // Folders take no times here; nothing of theirs reaches the provider.
    if (S_ISDIR(st.st_mode)) return 0;
    if (const int rc = Open(path, O_RDONLY, opened)) return rc;
  }
  const DWORD error = client_.SetTimes(static_cast<Handle>(opened), s[0], ns[0], s[1], ns[1]);
  if (file == 0) Release(opened);
  return -ErrnoOfWin32(error);
}

int CloudView::Chmod(const char* path, uint64_t file, mode_t mode) {
  if (file != 0) {
    const std::shared_ptr<OpenItem> item = LookupHandle(static_cast<Handle>(file), OpenItem::Kind::kFile);
    if (!item) return -EBADF;
    return fchmod(item->fd, mode & 07777) == 0 ? 0 : -errno;
  }
  const std::string relative = Relative(path);
  if (Hidden(relative)) return -ENOENT;
  return chmod(client_.Resolve(relative).c_str(), mode & 07777) == 0 ? 0 : -errno;
}

int CloudView::Sync(uint64_t file, bool data_only) {
  const std::shared_ptr<OpenItem> item = LookupHandle(static_cast<Handle>(file), OpenItem::Kind::kFile);
  if (!item) return -EBADF;
  return (data_only ? fdatasync(item->fd) : fsync(item->fd)) == 0 ? 0 : -errno;
}

void CloudView::Release(uint64_t file) { client_.Close(static_cast<Handle>(file)); }

int CloudView::MakeDir(const char* path) {
  const std::string relative = Relative(path);
  if (Hidden(relative)) return -EINVAL;
  return -ErrnoOfWin32(client_.CreateFolder(relative));
}

int CloudView::Unlink(const char* path) {
  const std::string relative = Relative(path);
  struct stat st;
  if (const int rc = GetAttr(path, st)) return rc;
  if (S_ISDIR(st.st_mode)) return -EISDIR;
  Forget(relative);
  return -ErrnoOfWin32(client_.Delete(relative, false));
}

int CloudView::RemoveDir(const char* path) {
  const std::string relative = Relative(path);
  struct stat st;
  if (const int rc = GetAttr(path, st)) return rc;
  if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
  // An unlisted folder may hold items in the cloud: it is not empty until
  // the provider says so.
  std::vector<DirEntry> entries;
  if (const int rc = ReadDir(path, entries)) return rc;
  if (!entries.empty()) return -ENOTEMPTY;
  return -ErrnoOfWin32(client_.Delete(relative, false));
}

int CloudView::Rename(const char* from, const char* to, unsigned int flags) {
  if (flags & RENAME_EXCHANGE) return -EINVAL;
  const std::string source = Relative(from), target = Relative(to);
  if (Hidden(source)) return -ENOENT;
  if (Hidden(target)) return -EINVAL;
  Forget(source);
  Forget(target);
  return -ErrnoOfWin32(client_.Rename(source, target, !(flags & RENAME_NOREPLACE)));
}

int CloudView::GetXattr(const char* path, const char* name, std::string& value) {
  const std::string relative = Relative(path);
  if (Hidden(relative)) return -ENOENT;
  if (std::strcmp(name, kStateAttribute) != 0) return -ENODATA;
  ItemState state;
  if (const DWORD error = client_.State(relative, state)) return -ErrnoOfWin32(error);
  value = state.Summary();
  return 0;
}

int CloudView::ListXattr(const char* path, std::string& names) {
  struct stat st;
  if (const int rc = GetAttr(path, st)) return rc;
  names.assign(kStateAttribute, sizeof kStateAttribute);  // with its NUL
  return 0;
}

int CloudView::StatFs(struct statvfs& st) { return statvfs(sync_root().c_str(), &st) == 0 ? 0 : -errno; }

}  // namespace corvane::platform::local
