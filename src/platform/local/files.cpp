// The Win32-shaped file calls over POSIX.
#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/directory_changes.h"
#include "platform/errors.h"
#include "platform/local/data_access.h"
#include "platform/local/handle_table.h"
#include "platform/local/local_item.h"
#include "platform/local/native_path.h"
#include "platform/local/placeholder_store.h"
#include "platform/local/posix_error.h"
#include "platform/local/private_names.h"
#include "platform/local/quiet_dir.h"
#include "platform/local/shared_run.h"
#include "support/utf.h"

namespace corvane::platform {

using local::FailWith;
using local::LocalItem;
using local::OpenItem;
using local::SetLastErrorFromErrno;

namespace {

// From this many entries a folder's items are read on two threads.
constexpr size_t kSharedFolderSize = 256;

bool Native(const char16_t* path, std::string& native) {
  if (!path || !*path) return FailWith(ERROR_INVALID_PARAMETER);
  std::u16string_view view(path);
  if (!local::ToNativePath(view, native) || native.empty()) return FailWith(ERROR_INVALID_NAME);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  return true;
}

// ENOENT means a missing file, or a missing folder on the way to it.
void SetNotFoundError(const std::string& native) {
  struct stat st;
  const std::string parent = local::ParentPath(native);
  SetLastError(stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
}

void SetErrnoFor(const std::string& native) {
  if (errno == ENOENT)
    SetNotFoundError(native);
  else
    SetLastErrorFromErrno();
}

void FillFindData(const LocalItem& info, const std::string& name, WIN32_FIND_DATAW& data) {
  data = WIN32_FIND_DATAW();
  data.dwFileAttributes = info.Attributes(name);
  data.ftCreationTime = info.creation_time;
  data.ftLastAccessTime = info.last_access_time;
  data.ftLastWriteTime = info.last_write_time;
  data.nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(info.size & 0xFFFFFFFF);
  data.dwReserved0 = info.ReparseTag();
  data.cFileName = local::NativeNameToWide(name);
}

// As on Windows, a listing shows a symbolic link as a reparse point with the
// symlink tag (keeping its target's folder bit), so callers can tell it from
// the item it points to and never follow it.
void MarkSymbolicLink(const std::string& native_path, WIN32_FIND_DATAW& data) {
  struct stat st;
  if (lstat(native_path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
  if (data.dwFileAttributes == FILE_ATTRIBUTE_NORMAL) data.dwFileAttributes = 0;
  data.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  data.dwReserved0 = IO_REPARSE_TAG_SYMLINK;
}

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Windows wildcard match without regard to case: '*' any run, '?' one char.
bool WildcardMatch(std::u16string_view mask, std::u16string_view name) {
  if (mask == u"*" || mask == u"*.*") return true;
  size_t m = 0, n = 0, star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == u'?' || Fold(mask[m]) == Fold(name[n]))) {
      ++m, ++n;
    } else if (m < mask.size() && mask[m] == u'*') {
      star = m++;
      resume = n;
    } else if (star != std::u16string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == u'*') ++m;
  return m == mask.size();
}

}  // namespace

Handle CreateFileW(const char16_t* path, DWORD desired_access, DWORD /*share_mode*/, void* /*security*/,
                   DWORD disposition, DWORD flags_and_attributes, Handle /*template_file*/) {
  std::string native;
  if (!Native(path, native)) return INVALID_HANDLE_VALUE;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    FailWith(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto item = std::make_shared<OpenItem>();
  item->path = native;
  const bool wants_write = desired_access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA);
  const bool wants_read = desired_access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
  struct stat st;
  bool exists = false;
  int opened = -1;
  if (disposition == OPEN_EXISTING && !wants_write) {
    // Opened to read or to look at: opened first and looked at through the
    // descriptor, one walk of the path instead of two (the engine opens
    // each new file of a burst several times so).
    opened = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (opened < 0 && errno == EPERM) opened = open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (opened >= 0 && fstat(opened, &st) != 0) {
      close(opened);
      opened = -1;
    }
    exists = opened >= 0;
  }
  if (opened < 0) exists = stat(native.c_str(), &st) == 0;
  if (opened >= 0) {
    item->dev = st.st_dev;
    item->ino = st.st_ino;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    if (!(flags_and_attributes & FILE_FLAG_BACKUP_SEMANTICS) || disposition == CREATE_NEW) {
      if (opened >= 0) close(opened);
      FailWith(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    item->fd = opened >= 0 ? opened : open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (item->fd < 0) {
      SetErrnoFor(native);
      return INVALID_HANDLE_VALUE;
    }
    item->is_dir = true;
    item->readable = true;
    SetLastError(ERROR_SUCCESS);
    return local::RegisterHandle(item);
  }
  int flags = O_CLOEXEC | (wants_write ? (wants_read ? O_RDWR : O_WRONLY) : O_RDONLY);
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: break;
  }
  // Read-only is an attribute on Windows, binding even for administrators.
  if (exists && wants_write && !(st.st_mode & S_IWUSR)) {
    FailWith(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if ((flags & O_TRUNC) && !wants_write) {
    FailWith(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const bool created_mode_readonly = flags_and_attributes & FILE_ATTRIBUTE_READONLY;
  // Windows volumes keep last-access times still on reads by default; a
  // read that moved it here would reach the host as an update of the item.
  item->fd = opened >= 0 ? opened : open(native.c_str(), flags | O_NOATIME, 0666);
  if (item->fd < 0 && errno == EPERM) item->fd = open(native.c_str(), flags, 0666);
  if (item->fd < 0 && errno == EACCES && !wants_read && !wants_write && exists) {
    // Attribute-only opens of an unreadable file still work on Windows.
    item->fd = open(native.c_str(), O_PATH | O_CLOEXEC);
    item->path_only = item->fd >= 0;
  }
  if (item->fd < 0) {
    if (errno == EEXIST)
      SetLastError(ERROR_FILE_EXISTS);
    else
      SetErrnoFor(native);
    return INVALID_HANDLE_VALUE;
  }
  item->readable = wants_read;
  item->writable = wants_write;
  if (flags & O_TRUNC) local::RecordApplicationWrite(item->fd, 0, 0, true);
  if (!exists) {
    const DWORD stored = flags_and_attributes & (local::kStoredAttributes | FILE_ATTRIBUTE_READONLY);
    if (stored) local::ApplyWindowsAttributes(item->fd, stored | (created_mode_readonly ? FILE_ATTRIBUTE_READONLY : 0), true);
  }
  if (wants_read || wants_write) item->notify_close = local::NotifyOpen(native);
  // Windows reports an existing file opened by OPEN_ALWAYS/CREATE_ALWAYS so.
  SetLastError(exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                       : ERROR_SUCCESS);
  return local::RegisterHandle(item);
}

BOOL CloseHandle(Handle handle) {
  auto item = local::ReleaseHandle(handle, OpenItem::Kind::kFile);
  if (!item) return false;
  const bool notify = item->notify_close;
  std::string path = item->path;
  bool deleted = false;
  if (notify) {
    // The provider hears the name the file has now, as the filter tells it.
    struct stat st;
    deleted = fstat(item->fd, &st) == 0 && st.st_nlink == 0;
    char now[PATH_MAX];
    const ssize_t n = deleted ? -1 : readlink(("/proc/self/fd/" + std::to_string(item->fd)).c_str(), now, sizeof now);
    if (n > 0 && now[0] == '/') path.assign(now, static_cast<size_t>(n));
  }
  item.reset();  // closes the descriptor before the provider hears of it
  if (notify) local::NotifyClose(path, deleted);
  return true;
}

BOOL ReadFile(Handle file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read, uint64_t offset) {
  if (bytes_read) *bytes_read = 0;
  auto item = local::LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return false;
  if (item->is_dir || !item->readable) return FailWith(ERROR_ACCESS_DENIED);
  if (!buffer && bytes_to_read) return FailWith(ERROR_INVALID_PARAMETER);
  const NTSTATUS status = local::EnsureOnDisk(item->fd, item->path, offset, bytes_to_read);
  if (status != STATUS_SUCCESS) return FailWith(Win32ErrorFromCloudStatus(status));
  DWORD done = 0;
  while (done < bytes_to_read) {
    const ssize_t n = pread(item->fd, static_cast<char*>(buffer) + done, bytes_to_read - done,
                            static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      return false;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (bytes_read) *bytes_read = done;
  SetLastError(ERROR_SUCCESS);
  return true;
}

BOOL WriteFile(Handle file, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written, uint64_t offset) {
  if (bytes_written) *bytes_written = 0;
  auto item = local::LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return false;
  if (item->is_dir || !item->writable) return FailWith(ERROR_ACCESS_DENIED);
  if (!buffer && bytes_to_write) return FailWith(ERROR_INVALID_PARAMETER);
  const bool at_end = offset == kWriteAtEnd;
  std::optional<local::ItemStateLock> lock;
  uint64_t old_size = 0;
  // An append's end may move while its page is fetched (the provider's new
  // version): it is fetched again for the end the write then finds.
  for (int tries = 0; !lock; ++tries) {
    struct stat st;
    if (fstat(item->fd, &st) != 0) {
      SetLastErrorFromErrno();
      return false;
    }
    if (at_end) offset = static_cast<uint64_t>(st.st_size);
    if (offset > UINT64_MAX - bytes_to_write - local::kPageSize) return FailWith(ERROR_INVALID_PARAMETER);
    // The pages a write touches come from the cloud first, so that the
    // bytes around the written ones are the real ones.
    const uint64_t first = offset / local::kPageSize * local::kPageSize;
    const uint64_t last = (offset + bytes_to_write + local::kPageSize - 1) / local::kPageSize * local::kPageSize;
    const NTSTATUS status = local::EnsureOnDisk(item->fd, item->path, first, last - first);
    if (status != STATUS_SUCCESS) return FailWith(Win32ErrorFromCloudStatus(status));
    // The state changes before the data does, as on Windows: whoever sees
    // the new bytes (the provider's watcher) must already see the item out
    // of sync and the written range present. Ranges past the final size
    // are clipped by the next state change.
    lock.emplace(item->fd);
    if (fstat(item->fd, &st) != 0) {
      SetLastErrorFromErrno();
      return false;
    }
    old_size = static_cast<uint64_t>(st.st_size);
    if (at_end && old_size != offset) {
      lock.reset();
      if (tries == 8) return FailWith(ERROR_SHARING_VIOLATION);
    }
  }
  local::RecordApplicationWriteLocked(item->fd, std::min(offset, old_size), offset + bytes_to_write, false);
  DWORD done = 0;
  while (done < bytes_to_write) {
    const ssize_t n = pwrite(item->fd, static_cast<const char*>(buffer) + done, bytes_to_write - done,
                             static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      return false;
    }
    done += static_cast<DWORD>(n);
  }
  // The provider may have made the file a placeholder while the bytes were
  // landing, knowing only those already there; the rest is local too.
  if (done > 0) local::RecordWrittenRangeLocked(item->fd, std::min(offset, old_size), offset + done);
  if (bytes_written) *bytes_written = done;
  SetLastError(ERROR_SUCCESS);
  return true;
}

BOOL GetFileSizeEx(Handle file, LARGE_INTEGER* size) {
  auto item = local::LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return false;
  if (!size) return FailWith(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(item->fd, &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  *size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
  return true;
}

bool KeepsPlaceholderUsns() { return true; }

BOOL GetPlaceholderUsn(Handle file, int64_t* usn) {
  auto item = local::LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return false;
  if (!usn) return FailWith(ERROR_INVALID_PARAMETER);
  local::ItemStateLock lock(item->fd);
  if (!local::LoadChangeUsnLocked(item->fd, *usn)) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

BOOL GetFileInformationByHandle(Handle file, BY_HANDLE_FILE_INFORMATION* out) {
  auto item = local::LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return false;
  if (!out) return FailWith(ERROR_INVALID_PARAMETER);
  LocalItem info;
  // The platform's own hydration and dehydration put the times back after
  // changing the data; Windows shows neither step, so neither may a read.
  // Read in between, the times look unlike the item's stamp and
  // ReadLocalItem reads again under the item's lock; taking the lock for
  // every read cost an open and a flock of its lock file each time.
  if (!local::ReadLocalItem(item->fd, info)) {
    SetLastErrorFromErrno();
    return false;
  }
  *out = BY_HANDLE_FILE_INFORMATION();
  out->dwFileAttributes = info.Attributes(local::BaseName(item->path));
  out->ftCreationTime = info.creation_time;
  out->ftLastAccessTime = info.last_access_time;
  out->ftLastWriteTime = info.last_write_time;
  out->dwVolumeSerialNumber = static_cast<DWORD>(info.dev ^ (info.dev >> 32));
  out->nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
  out->nFileSizeLow = static_cast<DWORD>(info.size);
  out->nNumberOfLinks = info.nlink;
  out->nFileIndexHigh = static_cast<DWORD>(info.ino >> 32);
  out->nFileIndexLow = static_cast<DWORD>(info.ino);
  return true;
}

BOOL SetFileInformationByHandle(Handle file, FILE_INFO_BY_HANDLE_CLASS info_class, const void* info,
                                DWORD info_size) {
  auto item = local::LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return false;
  if (info_class != FileBasicInfo) return FailWith(ERROR_NOT_SUPPORTED);
  if (!info || info_size < sizeof(FILE_BASIC_INFO)) return FailWith(ERROR_INVALID_PARAMETER);
  const auto* basic = static_cast<const FILE_BASIC_INFO*>(info);
  timespec times[2];
  times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
  int64_t s = 0, ns = 0;
  if (basic->LastAccessTime > 0) {
    FileTimeToUnix(basic->LastAccessTime, s, ns);
    times[0] = {static_cast<time_t>(s), static_cast<long>(ns)};
  }
  if (basic->LastWriteTime > 0) {
    FileTimeToUnix(basic->LastWriteTime, s, ns);
    times[1] = {static_cast<time_t>(s), static_cast<long>(ns)};
  }
  if ((basic->LastAccessTime > 0 || basic->LastWriteTime > 0) && !local::SetTimesKeepingData(item->fd, times)) {
    SetLastErrorFromErrno();
    return false;
  }
  if (basic->CreationTime > 0) {
    local::ItemStateLock lock(item->fd);
    local::PlaceholderRecord record;
    if (!local::LoadRecord(item->fd, record)) {
      SetLastErrorFromErrno();
      return false;
    }
    record.has_creation_time = true;
    record.creation_time = basic->CreationTime;
    if (!local::StoreRecord(item->fd, record)) {
      SetLastErrorFromErrno();
      return false;
    }
  }
  if (basic->FileAttributes != 0 && !local::ApplyWindowsAttributes(item->fd, basic->FileAttributes, true)) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

DWORD GetFileAttributesW(const char16_t* path) {
  std::string native;
  if (!Native(path, native)) return INVALID_FILE_ATTRIBUTES;
  LocalItem info;
  if (!local::ReadLocalItemAt(native, info)) {
    SetErrnoFor(native);
    return INVALID_FILE_ATTRIBUTES;
  }
  return info.Attributes(local::BaseName(native));
}

BOOL SetFileAttributesW(const char16_t* path, DWORD attributes) {
  std::string native;
  if (!Native(path, native)) return false;
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetErrnoFor(native);
    return false;
  }
  const bool ok = local::ApplyWindowsAttributes(fd, attributes, true);
  if (!ok) SetLastErrorFromErrno();
  close(fd);
  return ok;
}

BOOL CreateDirectoryW(const char16_t* path, void* /*security*/) {
  std::string native;
  if (!Native(path, native)) return false;
  if (mkdir(native.c_str(), 0777) != 0) {
    if (errno == ENOENT)
      SetLastError(ERROR_PATH_NOT_FOUND);
    else
      SetLastErrorFromErrno();
    return false;
  }
  return true;
}

BOOL RemoveDirectoryW(const char16_t* path) {
  std::string native;
  if (!Native(path, native)) return false;
  if (rmdir(native.c_str()) != 0) {
    if (errno == ENOTDIR)
      SetLastError(ERROR_DIRECTORY);
    else
      SetErrnoFor(native);
    return false;
  }
  return true;
}

BOOL DeleteFileW(const char16_t* path) {
  std::string native;
  if (!Native(path, native)) return false;
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    SetErrnoFor(native);
    return false;
  }
  // Windows refuses to delete folders and read-only files this way.
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))) return FailWith(ERROR_ACCESS_DENIED);
  if (unlink(native.c_str()) != 0) {
    SetErrnoFor(native);
    return false;
  }
  return true;
}

BOOL MoveFileExW(const char16_t* existing, const char16_t* target, DWORD flags) {
  std::string from, to;
  if (!Native(existing, from) || !Native(target, to)) return false;
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) {
    SetErrnoFor(from);
    return false;
  }
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) && !S_ISDIR(st.st_mode);
  const int rc = replace ? rename(from.c_str(), to.c_str())
                         : local::RenameNoReplace(from, to);
  if (rc != 0) {
    if (errno == EEXIST || (errno == ENOTEMPTY && !replace))
      SetLastError(ERROR_ALREADY_EXISTS);
    else if (errno == ENOENT)
      SetLastError(ERROR_PATH_NOT_FOUND);
    else
      SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool GetLongPathName(const std::u16string& path, std::u16string& long_path) {
  std::string native;
  if (!Native(path.c_str(), native)) return false;
  char buf[PATH_MAX];
  if (!realpath(native.c_str(), buf)) {
    SetErrnoFor(native);
    return false;
  }
  long_path = local::FromNativePath(buf);
  return true;
}

DWORD GetLongPathNameW(const char16_t* path, char16_t* buffer, DWORD buffer_chars) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string long_path;
  if (!GetLongPathName(path, long_path)) return 0;
  if (!buffer || buffer_chars <= long_path.size()) return static_cast<DWORD>(long_path.size() + 1);
  std::copy(long_path.begin(), long_path.end(), buffer);
  buffer[long_path.size()] = u'\0';
  return static_cast<DWORD>(long_path.size());
}

bool PathPassesLink(const std::u16string& root, std::u16string_view relative) {
  std::string native_root, native;
  if (!local::ToNativePath(root, native_root) || !local::ToNativePath(relative, native)) return false;
  if (native_root.empty()) native_root = "/";
  int dir = open(native_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  bool passes = false;
  size_t start = 0;
  while (start < native.size()) {
    size_t end = native.find('/', start);
    if (end == std::string::npos) end = native.size();
    const std::string part = native.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    struct stat st;
    if (part == "..") {
      passes = true;
      break;
    }
    if (fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
    passes = S_ISLNK(st.st_mode);
    if (passes || start > native.size() || !S_ISDIR(st.st_mode)) break;
    // Held open from here on, so a folder swapped for a link after the
    // look is not walked into either.
    const int next = openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) passes = errno == ELOOP || errno == ENOTDIR;
    close(dir);
    dir = next;
    if (dir < 0) break;
  }
  if (dir >= 0) close(dir);
  return passes;
}

Handle FindFirstFileW(const char16_t* pattern, WIN32_FIND_DATAW* data) {
  std::string native;
  if (!Native(pattern, native) || !data) {
    if (!data) SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string folder = local::ParentPath(native);
  const std::string mask8 = local::BaseName(native);
  const std::u16string mask = Utf8ToUtf16Lossy(mask8);
  auto item = std::make_shared<OpenItem>();
  item->kind = OpenItem::Kind::kFind;
  if (mask.find_first_of(u"*?") == std::u16string::npos) {
    // Read as it stands first: an item that is no link (nearly every one)
    // then needs no second look to tell.
    LocalItem info;
    bool read = local::ReadLocalItemAt(native, info, false);
    const bool link = !read && errno == ELOOP;
    if (link) read = local::ReadLocalItemAt(native, info);
    if (!read) {
      SetErrnoFor(native);
      return INVALID_HANDLE_VALUE;
    }
    item->found.emplace_back();
    FillFindData(info, mask8, item->found.back());
    if (link) MarkSymbolicLink(native, item->found.back());
  } else {
    DIR* dir = local::OpenDirQuietly(folder);
    if (!dir) {
      if (errno == ENOENT || errno == ENOTDIR)
        SetLastError(ERROR_PATH_NOT_FOUND);
      else
        SetLastErrorFromErrno();
      return INVALID_HANDLE_VALUE;
    }
    struct Entry {
      std::string name;
      bool may_be_link = false;
      bool found = false;
      WIN32_FIND_DATAW data{};
    };
    std::vector<Entry> entries;
    while (dirent* entry = readdir(dir)) {
      if (local::IsPrivateName(entry->d_name)) {
        local::RemoveIfAbandoned(folder, entry->d_name);
        continue;
      }
      if (!WildcardMatch(mask, Utf8ToUtf16Lossy(entry->d_name))) continue;
      // The entry's type spares a status call per item in a large folder.
      entries.push_back({entry->d_name, entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN, false, {}});
    }
    closedir(dir);
    // Each item's state is a few calls of its own; a large folder's are read
    // on two threads, in the folder's order all the same.
    local::RunShared(entries.size(), kSharedFolderSize, [&](size_t i) {
      Entry& e = entries[i];
      const std::string full =
          e.name == "." ? folder : e.name == ".." ? local::ParentPath(folder) : folder + "/" + e.name;
      LocalItem info;
      if (!local::ReadLocalItemAt(full, info)) return;  // vanished meanwhile
      e.found = true;
      FillFindData(info, e.name, e.data);
      if (e.may_be_link) MarkSymbolicLink(full, e.data);
    });
    for (Entry& e : entries)
      if (e.found) item->found.push_back(e.data);
  }
  if (item->found.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = item->found[0];
  item->next = 1;
  SetLastError(ERROR_SUCCESS);
  return local::RegisterHandle(item);
}

BOOL FindNextFileW(Handle find, WIN32_FIND_DATAW* data) {
  auto item = local::LookupHandle(find, OpenItem::Kind::kFind);
  if (!item) return false;
  if (!data) return FailWith(ERROR_INVALID_PARAMETER);
  if (item->next >= item->found.size()) return FailWith(ERROR_NO_MORE_FILES);
  *data = item->found[item->next++];
  return true;
}

BOOL FindClose(Handle find) { return local::ReleaseHandle(find, OpenItem::Kind::kFind) != nullptr; }

}  // namespace corvane::platform
