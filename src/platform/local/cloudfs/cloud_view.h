// The sync root as every program sees it through the cloud-files mount:
// the calls a file system in user space answers, each made through Client,
// so that listings populate, reads wait for the provider (or fail, never
// with zeros) and changes leave the in-sync state as the platform's own do.
// Paths are the mount's ("/docs/a.txt"); results are 0, a byte count, or a
// negative errno.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/local/client.h"
#include "support/mutex.h"

namespace corvane::platform::local {

// The one table from the platform's Win32 codes to errno: every cloud
// failure is EIO, which programs report as a read or write error.
int ErrnoOfWin32(DWORD error);

// The read-only attribute that shows an item's cloud state to people
// (getfattr -n user.corvane.state): ItemState::Summary.
inline constexpr char kStateAttribute[] = "user.corvane.state";

class CloudView {
 public:
  explicit CloudView(std::string sync_root) : client_(std::move(sync_root)) {}
  const std::string& sync_root() const { return client_.sync_root(); }

  struct DirEntry {
    std::string name;
    struct stat st;
  };
  int GetAttr(const char* path, struct stat& st);
  // An open file's, also once it has been deleted.
  int GetAttr(uint64_t file, struct stat& st);
  // The folder's items with their status, its placeholders fetched first.
  int ReadDir(const char* path, std::vector<DirEntry>& entries);
  int ReadLink(const char* path, std::string& target);
  // `file` is the open's handle for ReadSource, Write, Truncate and Release.
  // `keep_cache`: what the kernel cached of the file at earlier opens is
  // still its content (the backing file has not changed since).
  int Open(const char* path, int flags, uint64_t& file, bool* keep_cache = nullptr);
  int Create(const char* path, uint64_t& file);
  // Reads: the range made present (waiting for the provider), and the
  // descriptor to move it from without a copy; it lives as long as the open.
  int ReadSource(uint64_t file, size_t size, uint64_t offset, int& descriptor);
  // `append`: at the end the backing file has now. The kernel's offset for
  // an O_APPEND write is the size it last saw, which a new version from
  // the provider may have moved since.
  int Write(uint64_t file, const char* buffer, size_t size, uint64_t offset, bool append);
  // `file` 0: by path (truncate(2), or an open with O_TRUNC).
  int Truncate(const char* path, uint64_t file, uint64_t size);
  // UTIME_OMIT and UTIME_NOW as utimensat(2) takes them.
  int SetTimes(const char* path, uint64_t file, const struct timespec times[2]);
  // Permission bits; the write bits are the read-only attribute the
  // provider hears of. `file` 0: by path.
  int Chmod(const char* path, uint64_t file, mode_t mode);
  // Down to the disk under the backing folder.
  int Sync(uint64_t file, bool data_only);
  void Release(uint64_t file);
  int MakeDir(const char* path);
  int Unlink(const char* path);
  int RemoveDir(const char* path);
  // RENAME_NOREPLACE is kept; RENAME_EXCHANGE is not supported.
  int Rename(const char* from, const char* to, unsigned int flags);
  int GetXattr(const char* path, const char* name, std::string& value);
  int ListXattr(const char* path, std::string& names);
  int StatFs(struct statvfs& st);

 private:
  // The mount's path as the client's, relative to the root: the kernel
  // hands over clean absolute paths, and none may leave the root.
  static std::string Relative(const char* path);
  int Lstat(const std::string& relative, struct stat& st);
  bool Unchanged(const std::string& relative, uint64_t file);
  void Forget(const std::string& relative);

  Client client_;
  // What each file's backing file was at its last open: its inode, size
  // and times, which every change to its data or state moves (a write, a
  // hydration, a dehydration, an update from the provider).
  struct Identity {
    ino_t inode;
    off_t size;
    timespec modified, changed;
  };
  Mutex identities_mutex_;
  std::unordered_map<std::string, Identity> identities_ GUARDED_BY(identities_mutex_);
};

}  // namespace corvane::platform::local
