// The Cloud Files calls over the local placeholder store.
#include "platform/cloud_files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/local/cloudfs/mount_service.h"
#include "platform/local/connection.h"
#include "platform/local/data_access.h"
#include "platform/local/handle_table.h"
#include "platform/local/local_item.h"
#include "platform/local/made_here.h"
#include "platform/local/native_path.h"
#include "platform/local/placeholder_store.h"
#include "platform/local/posix_error.h"
#include "platform/local/private_names.h"
#include "platform/local/shared_run.h"
#include "platform/local/sync_roots.h"

namespace corvane::platform {

using namespace local;  // NOLINT: this file is the local platform's face

namespace {

// Batches at least this large are made on two threads; below it the second
// thread costs more than it saves.
constexpr size_t kSharedBatch = 64;
// Batches at least this large are prepared in a staging folder while a
// watch is open (StagingFolder).
constexpr DWORD kStagedBatch = 8;

HRESULT FromErrno() { return HRESULT_FROM_WIN32(Win32ErrorOfErrno(errno)); }
HRESULT FromWin32(DWORD error) { return HRESULT_FROM_WIN32(error); }

bool NativeOf(const char16_t* path, std::string& native) {
  if (!path || !*path || !ToNativePath(path, native) || native.empty()) return false;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  return true;
}

std::shared_ptr<OpenItem> FileOf(Handle handle) { return LookupHandle(handle, OpenItem::Kind::kFile); }

// A descriptor the platform may write through, whatever access the caller's
// handle has; -1 with errno set.
int WritableFd(const OpenItem& item) {
  if (item.is_dir) return fcntl(item.fd, F_DUPFD_CLOEXEC, 0);
  return OpenForPlatformWrite("/proc/self/fd/" + std::to_string(item.fd));
}

// The item's descriptor for a change of its cloud state alone (extended
// attributes, never data): the handle's own unless it was opened for
// attributes only (O_PATH). A reopen for writing walked /proc, and its
// close reported a write (IN_CLOSE_WRITE) of a file nobody wrote, which the
// watcher then had to look at.
class StateFd {
 public:
  explicit StateFd(const OpenItem& item) {
    if (!item.path_only) {
      fd_ = item.fd;
    } else {
      fd_ = WritableFd(item);
      owned_ = true;
    }
  }
  ~StateFd() {
    if (owned_ && fd_ >= 0) close(fd_);
  }
  StateFd(const StateFd&) = delete;
  StateFd& operator=(const StateFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_ = -1;
  bool owned_ = false;
};

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool UnderSyncRoot(const std::string& native, SyncRootRecord* record = nullptr) {
  SyncRootRecord r;
  const bool found = FindSyncRootFor(CanonicalPath(native), r);
  if (found && record) *record = r;
  return found;
}

// Where an open item really is: the kernel's name for it costs one call,
// where realpath() looks at every component of the path.
std::string OpenPath(int fd, const std::string& native) {
  char buf[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(self.c_str(), buf, sizeof buf);
  // A folder removed meanwhile reads as "<path> (deleted)"; nothing can be
  // made in it, so where it seems to be does not matter.
  if (n > 0 && static_cast<size_t>(n) < sizeof buf && buf[0] == '/') return std::string(buf, static_cast<size_t>(n));
  return CanonicalPath(native);
}

bool IdentityValid(const void* identity, DWORD length) {
  return length <= CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH && (identity || length == 0);
}

// Sets times from Windows basic info (0 leaves a time alone, as Windows does).
bool ApplyTimes(int fd, const FILE_BASIC_INFO& basic, PlaceholderRecord& record) {
  timespec times[2];
  times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
  int64_t s = 0, ns = 0;
  if (basic.LastAccessTime > 0) {
    FileTimeToUnix(basic.LastAccessTime, s, ns);
    times[0] = {static_cast<time_t>(s), static_cast<long>(ns)};
  }
  if (basic.LastWriteTime > 0) {
    FileTimeToUnix(basic.LastWriteTime, s, ns);
    times[1] = {static_cast<time_t>(s), static_cast<long>(ns)};
  }
  if (basic.CreationTime > 0) {
    record.has_creation_time = true;
    record.creation_time = basic.CreationTime;
  }
  return futimens(fd, times) == 0;
}

bool ValidRelativeName(const char16_t* name, std::string& native_relative) {
  if (!name || !*name) return false;
  std::u16string rel(name);
  if (rel[0] == u'\\' || rel[0] == u'/') return false;
  std::string native;
  if (!ToNativePath(rel, native)) return false;
  size_t start = 0;
  while (start <= native.size()) {
    const size_t slash = native.find('/', start);
    const std::string part = native.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  native_relative = native;
  return true;
}

// Names the unnamed file `fd` (`self` is its /proc path). Through the
// descriptor where the kernel lets its opener do that (Linux 6.10, or with
// the capability): resolving the /proc path took a third of the time of
// making a placeholder. Once refused so and done by path, always by path.
int LinkUnnamed(int fd, const std::string& self, int dir_fd, const char* name) {
  static std::atomic<bool> by_descriptor{true};
  if (by_descriptor.load(std::memory_order_relaxed)) {
    if (linkat(fd, "", dir_fd, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno == EEXIST) return -1;
  }
  const int rc = linkat(AT_FDCWD, self.c_str(), dir_fd, name, AT_SYMLINK_FOLLOW);
  if (rc == 0) by_descriptor.store(false, std::memory_order_relaxed);
  return rc;
}

// Tells a watch of `folder` (below `base_fd`, whose id is `base_id`) which
// item `fd` (made with `record`) it will see made as `name`, and what that
// item is. Noted before the item appears: noted after, the watch may read
// the creation first, and the note would wait for the next item made at
// the name (an application's save, say) and give it this item's id.
// Returns the folder's id for ForgetMadeHere, 0 when nothing was noted.
int64_t NoteMadeHere(int base_fd, int64_t base_id, const std::string& folder, const std::string& name, int fd,
                     const PlaceholderRecord& record) {
  local::LocalItem item;
  if (!local::ReadNewPlaceholder(fd, record, item)) return 0;
  struct stat parent;
  if (folder != ".") {
    if (fstatat(base_fd, folder.c_str(), &parent, 0) != 0) return 0;
    base_id = static_cast<int64_t>(parent.st_ino);
  }
  local::NoteMadeHere(base_id, name, item);
  return base_id;
}

// A private folder beside a batch's new files, where they are prepared
// unnamed. The kernel reports the changes to an unnamed file to a watch of
// the folder it is made in, under a made-up name: prepared in the base,
// each new file reached the watcher as up to six such events besides its
// creation, which it could only read and drop. No watch is kept on a
// private folder, and the link into the base is the one event.
class StagingFolder {
 public:
  explicit StagingFolder(const std::string& base) : path_(local::NewPrivateName(base)) {
    if (mkdir(path_.c_str(), 0700) != 0) return;
    fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) rmdir(path_.c_str());
  }
  ~StagingFolder() {
    if (fd_ < 0) return;
    close(fd_);
    rmdir(path_.c_str());
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  int fd() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// `base_fd` is `base` opened: names are looked up from it, not from the top.
// A `base_id` other than 0 (the id of the base) tells a watch the new item
// (NoteMadeHere); a file of the base itself is prepared in `staging_fd` when
// that is not -1.
HRESULT CreateOnePlaceholder(const std::string& base, int base_fd, CF_PLACEHOLDER_CREATE_INFO& entry,
                             int64_t base_id, int staging_fd = -1) {
  const bool note_made = base_id != 0;
  std::string relative;
  if (!ValidRelativeName(entry.RelativeFileName, relative)) return E_INVALIDARG;
  if (!IdentityValid(entry.FileIdentity, entry.FileIdentityLength)) return E_INVALIDARG;
  const FILE_BASIC_INFO& basic = entry.FsMetadata.BasicInfo;
  const bool is_dir = basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
  if (!is_dir && entry.FsMetadata.FileSize < 0) return E_INVALIDARG;
  const std::string target = base + "/" + relative;
  const size_t slash = relative.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : relative.substr(0, slash);
  const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  const bool supersede = entry.Flags & CF_PLACEHOLDER_CREATE_FLAG_SUPERSEDE;

  PlaceholderRecord record;
  record.placeholder = true;
  record.in_sync = entry.Flags & CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
  record.unpopulated = is_dir && !(entry.Flags & CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION);
  record.attributes = basic.FileAttributes & kStoredAttributes;
  record.pin = (basic.FileAttributes & FILE_ATTRIBUTE_PINNED)     ? CF_PIN_STATE_PINNED
               : (basic.FileAttributes & FILE_ATTRIBUTE_UNPINNED) ? CF_PIN_STATE_UNPINNED
                                                                  : CF_PIN_STATE_UNSPECIFIED;
  const std::string_view identity(static_cast<const char*>(entry.FileIdentity), entry.FileIdentityLength);

  int fd = -1;
  bool linked = false;
  bool fresh = true;  // made here, so there is no old state to clear
  std::string staged;  // a new folder, prepared under a private name
  if (is_dir) {
    struct stat st;
    if (supersede && stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      // Superseding a folder keeps the folder and makes it a placeholder.
      fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      linked = true;
      fresh = false;
    } else {
      // A folder cannot be made unnamed: it is made under a private name and
      // renamed into place once its state is written, so a listing never
      // shows it as a plain folder with a fresh time.
      staged = local::NewPrivateName(ParentPath(target));
      if (mkdir(staged.c_str(), 0777) != 0) return FromErrno();
      fd = open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) {
        const int saved = errno;
        rmdir(staged.c_str());
        errno = saved;
      }
    }
  } else {
    // The file is prepared unnamed and appears complete, state and all.
    fd = staging_fd >= 0 && folder == "." ? openat(staging_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666)
                                          : openat(base_fd, folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
      fd = open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (supersede ? O_TRUNC : O_EXCL), 0666);
      linked = true;
      fresh = !supersede;
    }
  }
  if (fd < 0) return errno == EEXIST ? FromWin32(ERROR_ALREADY_EXISTS) : FromErrno();
  FdCloser closer(fd);
  const auto fail = [&](HRESULT hr) {
    if (!staged.empty()) rmdir(staged.c_str());
    if (linked && !is_dir) unlink(target.c_str());
    return hr;
  };
  if (!is_dir && ftruncate(fd, entry.FsMetadata.FileSize) != 0) return fail(FromErrno());
  if (!ApplyTimes(fd, basic, record) || !StoreRecord(fd, record) || (!is_dir && !(fresh ? StoreNoRangesOfNewFile(fd) : StoreRanges(fd, ByteRanges(), 0))) ||
      !(fresh ? StoreNewIdentity(fd, identity) : StoreIdentity(fd, identity)))
    return fail(FromErrno());
  const bool read_only = basic.FileAttributes & FILE_ATTRIBUTE_READONLY;
  const auto make_read_only = [fd] {
    struct stat st;
    if (fstat(fd, &st) == 0) fchmod(fd, st.st_mode & 07777 & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH));
  };
  // An unnamed file appears read-only at once: a watcher must not see it
  // writable first and then changed.
  if (read_only && !linked) make_read_only();
  // Only an item that appears whole at the name is noted: a folder kept or
  // a file opened in place (no unnamed files here) shows up before it is
  // a placeholder, and its records read it as it then stands.
  const int64_t noted_in = note_made && !linked ? NoteMadeHere(base_fd, base_id, folder, name, fd, record) : 0;
  const auto not_made = [&](HRESULT hr) {
    if (noted_in != 0) local::ForgetMadeHere(noted_in, name);
    return fail(hr);
  };
  if (!staged.empty()) {
    if (local::RenameNoReplace(staged, target) != 0)
      return not_made(errno == EEXIST ? FromWin32(ERROR_ALREADY_EXISTS) : FromErrno());
    return S_OK;
  }
  if (!linked) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (LinkUnnamed(fd, self, base_fd, relative.c_str()) != 0) {
      if (errno != EEXIST || !supersede)
        return not_made(errno == EEXIST ? FromWin32(ERROR_ALREADY_EXISTS) : FromErrno());
      struct stat st;
      if (lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return not_made(FromWin32(ERROR_ACCESS_DENIED));
      // Superseding: link under a private name, then rename over the old file.
      const std::string temp = local::NewPrivateName(ParentPath(target));
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) return not_made(FromErrno());
      if (rename(temp.c_str(), target.c_str()) != 0) {
        const HRESULT hr = FromErrno();
        unlink(temp.c_str());
        return not_made(hr);
      }
    }
  }
  if (read_only && linked) make_read_only();
  return S_OK;
}

// No entry of the batch depends on another: plain files, each at its own
// name directly in the base folder, none replacing an item. Made in any
// order, they end as they would one after another.
bool Independent(const CF_PLACEHOLDER_CREATE_INFO* entries, DWORD count) {
  std::unordered_set<std::u16string_view> names;
  names.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    const CF_PLACEHOLDER_CREATE_INFO& entry = entries[i];
    if (!entry.RelativeFileName || (entry.FsMetadata.BasicInfo.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (entry.Flags & CF_PLACEHOLDER_CREATE_FLAG_SUPERSEDE))
      return false;
    const std::u16string_view name(entry.RelativeFileName);
    if (name.find_first_of(u"\\/") != std::u16string_view::npos || !names.insert(name).second) return false;
  }
  return true;
}

// Sets the pin state of one item, and of everything below a folder when
// asked. Items that are not placeholders are left alone below the top.
HRESULT SetPinTree(const std::string& path, int fd, CF_PIN_STATE pin, bool self, bool recurse) {
  if (self) {
    ItemStateLock lock(fd);
    PlaceholderRecord record;
    if (!LoadRecord(fd, record)) return FromErrno();
    record.pin = static_cast<uint8_t>(pin);
    if (!StoreRecord(fd, record)) return FromErrno();
  }
  if (!recurse) return S_OK;
  DIR* dir = opendir(path.c_str());
  if (!dir) return errno == ENOTDIR ? S_OK : FromErrno();
  HRESULT result = S_OK;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || local::IsPrivateName(entry->d_name)) continue;
    const std::string child = path + "/" + name;
    const int child_fd = open(child.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (child_fd < 0) continue;
    PlaceholderRecord record;
    struct stat st;
    if (LoadRecord(child_fd, record) && record.placeholder && fstat(child_fd, &st) == 0) {
      const HRESULT hr = SetPinTree(child, child_fd, pin, true, S_ISDIR(st.st_mode));
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    close(child_fd);
  }
  closedir(dir);
  return result;
}

void CopyName(char16_t* out, const std::u16string& name) {
  const size_t n = std::min<size_t>(name.size(), CF_MAX_PROVIDER_NAME_LENGTH);
  std::copy(name.begin(), name.begin() + n, out);
  out[n] = u'\0';
}

}  // namespace


HRESULT CfRegisterSyncRoot(const char16_t* SyncRootPath, const CF_SYNC_REGISTRATION* Registration,
                           const CF_SYNC_POLICIES* Policies, CF_REGISTER_FLAGS RegisterFlags) {
  std::string native;
  if (!NativeOf(SyncRootPath, native) || !Registration || !Policies || !Registration->ProviderName ||
      !Registration->ProviderVersion)
    return E_INVALIDARG;
  const std::u16string name(Registration->ProviderName), version(Registration->ProviderVersion);
  if (name.empty() || name.size() > CF_MAX_PROVIDER_NAME_LENGTH || version.size() > CF_MAX_PROVIDER_VERSION_LENGTH ||
      Registration->SyncRootIdentityLength > 65536 ||
      (Registration->SyncRootIdentityLength && !Registration->SyncRootIdentity))
    return E_INVALIDARG;
  const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOTDIR ? FromWin32(ERROR_DIRECTORY) : FromErrno();
  FdCloser closer(fd);
  SyncRootRecord record;
  record.root = ToRootPath(CanonicalPath(native));
  SyncRootRecord existing;
  // Roots do not nest.
  if (record.root != "/" && FindSyncRootFor(ParentPath(record.root), existing))
    return FromWin32(ERROR_CLOUD_FILE_INVALID_REQUEST);
  record.provider_name = name;
  record.provider_version = version;
  record.identity.assign(static_cast<const char*>(Registration->SyncRootIdentity),
                         Registration->SyncRootIdentity ? Registration->SyncRootIdentityLength : 0);
  record.policies.Hydration = Policies->Hydration;
  record.policies.Population = Policies->Population;
  record.policies.InSync = Policies->InSync;
  record.policies.HardLink = Policies->HardLink;
  record.flags = RegisterFlags;
  struct stat st;
  if (fstat(fd, &st) != 0) return FromErrno();
  record.root_file_id = static_cast<int64_t>(st.st_ino);

  ItemStateLock lock(fd);
  PlaceholderRecord state;
  if (!LoadRecord(fd, state)) return FromErrno();
  if (!state.placeholder) {
    state.placeholder = true;
    state.unpopulated = Policies->Population.Primary != CF_POPULATION_POLICY_ALWAYS_FULL &&
                        !(RegisterFlags & CF_REGISTER_FLAG_DISABLE_ON_DEMAND_POPULATION_ON_ROOT);
  }
  if (RegisterFlags & CF_REGISTER_FLAG_DISABLE_ON_DEMAND_POPULATION_ON_ROOT) state.unpopulated = false;
  state.sync_root = true;
  if (RegisterFlags & CF_REGISTER_FLAG_MARK_IN_SYNC_ON_ROOT) state.in_sync = true;
  if (!StoreRecord(fd, state)) return FromErrno();
  if (!SaveSyncRoot(record)) return FromErrno();
  EnsureRootMounted(record.root);
  return S_OK;
}

HRESULT CfUnregisterSyncRoot(const char16_t* SyncRootPath) {
  std::string native;
  if (!NativeOf(SyncRootPath, native)) return E_INVALIDARG;
  const std::string root = ToRootPath(CanonicalPath(native));
  SyncRootRecord record;
  if (!LoadSyncRootExact(root, record)) return FromWin32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
  DisconnectRootIfConnected(root);
  // Where the items are, while the registration still says so.
  const std::string items = ToBackingPath(root);
  if (!RemoveSyncRoot(root)) return FromErrno();
  const int fd = open(items.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ItemStateLock lock(fd);
    RemoveCloudState(fd);
    close(fd);
  }
  EndRootMount(root);
  return S_OK;
}

HRESULT CfGetSyncRootInfoByPath(const char16_t* FilePath, CF_SYNC_ROOT_INFO_CLASS InfoClass, void* InfoBuffer,
                                DWORD InfoBufferLength, DWORD* ReturnedLength) {
  std::string native;
  if (ReturnedLength) *ReturnedLength = 0;
  if (!NativeOf(FilePath, native) || !InfoBuffer) return E_INVALIDARG;
  SyncRootRecord record;
  if (!FindSyncRootFor(CanonicalPath(native), record)) return FromWin32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
  const bool connected = ProviderConnected(record.root);
  const CF_SYNC_PROVIDER_STATUS status = connected ? CF_PROVIDER_STATUS_IDLE : CF_PROVIDER_STATUS_DISCONNECTED;
  switch (InfoClass) {
    case CF_SYNC_ROOT_INFO_BASIC: {
      if (InfoBufferLength < sizeof(CF_SYNC_ROOT_BASIC_INFO)) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
      static_cast<CF_SYNC_ROOT_BASIC_INFO*>(InfoBuffer)->SyncRootFileId = record.root_file_id;
      if (ReturnedLength) *ReturnedLength = sizeof(CF_SYNC_ROOT_BASIC_INFO);
      return S_OK;
    }
    case CF_SYNC_ROOT_INFO_PROVIDER: {
      if (InfoBufferLength < sizeof(CF_SYNC_ROOT_PROVIDER_INFO)) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
      auto* info = static_cast<CF_SYNC_ROOT_PROVIDER_INFO*>(InfoBuffer);
      info->ProviderStatus = status;
      CopyName(info->ProviderName, record.provider_name);
      CopyName(info->ProviderVersion, record.provider_version);
      if (ReturnedLength) *ReturnedLength = sizeof(CF_SYNC_ROOT_PROVIDER_INFO);
      return S_OK;
    }
    case CF_SYNC_ROOT_INFO_STANDARD: {
      const DWORD fixed = offsetof(CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentity);
      if (InfoBufferLength < fixed) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
      auto* info = static_cast<CF_SYNC_ROOT_STANDARD_INFO*>(InfoBuffer);
      info->SyncRootFileId = record.root_file_id;
      info->HydrationPolicy = record.policies.Hydration;
      info->PopulationPolicy = record.policies.Population;
      info->InSyncPolicy = record.policies.InSync;
      info->HardLinkPolicy = record.policies.HardLink;
      info->ProviderStatus = status;
      CopyName(info->ProviderName, record.provider_name);
      CopyName(info->ProviderVersion, record.provider_version);
      info->SyncRootIdentityLength = static_cast<DWORD>(record.identity.size());
      const DWORD room = InfoBufferLength - fixed;
      const DWORD copied = std::min<DWORD>(room, static_cast<DWORD>(record.identity.size()));
      memcpy(reinterpret_cast<char*>(info) + fixed, record.identity.data(), copied);
      if (ReturnedLength) *ReturnedLength = fixed + copied;
      return copied < record.identity.size() ? FromWin32(ERROR_MORE_DATA) : S_OK;
    }
  }
  return E_INVALIDARG;
}

HRESULT CfConnectSyncRoot(const char16_t* SyncRootPath, const CF_CALLBACK_REGISTRATION* CallbackTable,
                          const void* CallbackContext, CF_CONNECT_FLAGS ConnectFlags,
                          CF_CONNECTION_KEY* ConnectionKey) {
  std::string native;
  if (!NativeOf(SyncRootPath, native)) return E_INVALIDARG;
  const std::string root = ToRootPath(CanonicalPath(native));
  // Before the provider is told of changes: its watch is then on the
  // backing folder from the start.
  SyncRootRecord record;
  if (LoadSyncRootExact(root, record)) EnsureRootMounted(root);
  return ConnectSyncRoot(root, CallbackTable, CallbackContext, ConnectFlags, ConnectionKey);
}

HRESULT CfDisconnectSyncRoot(CF_CONNECTION_KEY ConnectionKey) { return DisconnectSyncRoot(ConnectionKey); }

HRESULT CfCreatePlaceholders(const char16_t* BaseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* PlaceholderArray,
                             DWORD PlaceholderCount, CF_CREATE_FLAGS CreateFlags, DWORD* EntriesProcessed) {
  if (EntriesProcessed) *EntriesProcessed = 0;
  std::string base;
  if (!NativeOf(BaseDirectoryPath, base) || (PlaceholderCount && !PlaceholderArray)) return E_INVALIDARG;
  const int base_fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (base_fd < 0) {
    const int open_error = errno;
    struct stat st;
    if (stat(base.c_str(), &st) != 0) return FromWin32(ERROR_PATH_NOT_FOUND);
    if (!S_ISDIR(st.st_mode)) return FromWin32(ERROR_DIRECTORY);
    return HRESULT_FROM_WIN32(Win32ErrorOfErrno(open_error));
  }
  FdCloser base_closer(base_fd);
  SyncRootRecord root;
  if (!FindSyncRootFor(OpenPath(base_fd, base), root)) return FromWin32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
  // A watch reports each new item as it was made, with its id, from a note
  // that costs one status read here instead of a read of the item and its
  // state there.
  const bool watched = local::MadeHereWanted();
  struct stat base_st;
  const int64_t note_in = watched && fstat(base_fd, &base_st) == 0 ? static_cast<int64_t>(base_st.st_ino) : 0;
  std::unique_ptr<StagingFolder> staging;
  if (watched && PlaceholderCount >= kStagedBatch) staging = std::make_unique<StagingFolder>(base);
  const int staging_fd = staging ? staging->fd() : -1;
  HRESULT first_failure = S_OK;
  if (!(CreateFlags & CF_CREATE_FLAG_STOP_ON_ERROR) && PlaceholderCount >= kSharedBatch &&
      Independent(PlaceholderArray, PlaceholderCount)) {
    // A large batch is shared with a second thread; the first failure is
    // still the first in order.
    RunShared(PlaceholderCount, kSharedBatch, [&](size_t i) {
      CF_PLACEHOLDER_CREATE_INFO& entry = PlaceholderArray[i];
      entry.Result = CreateOnePlaceholder(base, base_fd, entry, note_in, staging_fd);
      entry.CreateUsn = 0;
    });
    for (DWORD i = 0; i < PlaceholderCount; ++i)
      if (FAILED(PlaceholderArray[i].Result) && SUCCEEDED(first_failure)) first_failure = PlaceholderArray[i].Result;
    if (EntriesProcessed) *EntriesProcessed = PlaceholderCount;
    return first_failure;
  }
  for (DWORD i = 0; i < PlaceholderCount; ++i) {
    CF_PLACEHOLDER_CREATE_INFO& entry = PlaceholderArray[i];
    entry.Result = CreateOnePlaceholder(base, base_fd, entry, note_in, staging_fd);
    entry.CreateUsn = 0;
    if (EntriesProcessed) *EntriesProcessed = i + 1;
    if (FAILED(entry.Result)) {
      if (SUCCEEDED(first_failure)) first_failure = entry.Result;
      if (CreateFlags & CF_CREATE_FLAG_STOP_ON_ERROR) break;
    }
  }
  return first_failure;
}

HRESULT CfConvertToPlaceholder(Handle FileHandle, const void* FileIdentity, DWORD FileIdentityLength,
                               CF_CONVERT_FLAGS ConvertFlags, USN* ConvertUsn, void* /*Overlapped*/) {
  if (ConvertUsn) *ConvertUsn = 0;
  auto item = FileOf(FileHandle);
  if (!item) return FromWin32(ERROR_INVALID_HANDLE);
  if (!IdentityValid(FileIdentity, FileIdentityLength)) return E_INVALIDARG;
  SyncRootRecord root;
  if (!FindSyncRootFor(OpenPath(item->fd, item->path), root)) return FromWin32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
  StateFd fd(*item);
  if (fd.get() < 0) return FromErrno();
  LocalItem info;
  {
    ItemStateLock lock(fd.get(), item->dev, item->ino);
    if (!SettleAndReadLocked(fd.get(), info)) return FromErrno();
    if ((ConvertFlags & CF_CONVERT_FLAG_DEHYDRATE) && info.record.pin == CF_PIN_STATE_PINNED)
      return FromWin32(ERROR_CLOUD_FILE_PINNED);
    PlaceholderRecord record = info.record;
    const bool was_placeholder = record.placeholder;
    record.placeholder = true;
    record.in_sync = ConvertFlags & CF_CONVERT_FLAG_MARK_IN_SYNC;
    if (info.is_dir) record.unpopulated = ConvertFlags & CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION;
    if (!StoreRecord(fd.get(), record)) return FromErrno();
    if (!info.is_dir && !was_placeholder) {
      // A program may still be writing the file: what it adds after this
      // status must show as its write, not pass for a hole.
      struct stat st;
      if (fstat(fd.get(), &st) != 0) return FromErrno();
      ByteRanges all;
      all.Add(0, static_cast<uint64_t>(st.st_size));
      if (!StoreRanges(fd.get(), all, -1, &st)) return FromErrno();
    }
    if ((FileIdentity || !was_placeholder) &&
        !StoreIdentity(fd.get(), {static_cast<const char*>(FileIdentity), FileIdentityLength}))
      return FromErrno();
    // Read under the lock that settled the writes: one landing since counts
    // against this number when the in-sync state is set.
    if (ConvertUsn && !info.is_dir && !LoadSettledUsnLocked(fd.get(), *ConvertUsn)) return FromErrno();
  }
  if (!info.is_dir && (ConvertFlags & CF_CONVERT_FLAG_DEHYDRATE)) {
    FdCloser writable(WritableFd(*item));
    if (writable.get() < 0 || !DehydrateRange(writable.get(), 0, info.size)) return FromErrno();
  }
  return S_OK;
}

HRESULT CfUpdatePlaceholder(Handle FileHandle, const CF_FS_METADATA* FsMetadata, const void* FileIdentity,
                            DWORD FileIdentityLength, const CF_FILE_RANGE* DehydrateRangeArray,
                            DWORD DehydrateRangeCount, CF_UPDATE_FLAGS UpdateFlags, USN* UpdateUsn,
                            void* /*Overlapped*/) {
  if (UpdateUsn) *UpdateUsn = 0;
  auto item = FileOf(FileHandle);
  if (!item) return FromWin32(ERROR_INVALID_HANDLE);
  if (!IdentityValid(FileIdentity, FileIdentityLength) || (DehydrateRangeCount && !DehydrateRangeArray))
    return E_INVALIDARG;
  if ((UpdateFlags & CF_UPDATE_FLAG_MARK_IN_SYNC) && (UpdateFlags & CF_UPDATE_FLAG_CLEAR_IN_SYNC))
    return E_INVALIDARG;
  FdCloser fd(WritableFd(*item));
  if (fd.get() < 0) return FromErrno();
  LocalItem info;
  bool dehydrate = false;
  {
    // The in-sync check and the update under one lock: a write landing in
    // between would otherwise be cut back to the size given here.
    ItemStateLock lock(fd.get(), item->dev, item->ino);
    if (!SettleAndReadLocked(fd.get(), info)) return FromErrno();
    if (!info.record.placeholder) return FromWin32(ERROR_NOT_A_CLOUD_FILE);
    if ((UpdateFlags & CF_UPDATE_FLAG_VERIFY_IN_SYNC) && !info.record.in_sync)
      return FromWin32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
    dehydrate = !info.is_dir && ((UpdateFlags & CF_UPDATE_FLAG_DEHYDRATE) || DehydrateRangeCount > 0);
    if (dehydrate && info.record.pin == CF_PIN_STATE_PINNED) return FromWin32(ERROR_CLOUD_FILE_PINNED);
    // As for CfDehydratePlaceholder: local changes not yet in the cloud exist
    // only here, so nothing of the update happens.
    if (dehydrate && !info.record.in_sync) return FromWin32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
    PlaceholderRecord record;
    if (!LoadRecord(fd.get(), record)) return FromErrno();
    if (FsMetadata) {
      if (!info.is_dir && FsMetadata->FileSize < 0) return E_INVALIDARG;
      ByteRanges ranges;
      if (!info.is_dir && !LoadRanges(fd.get(), ranges)) return FromErrno();
      if (!info.is_dir && static_cast<uint64_t>(FsMetadata->FileSize) != info.size) {
        if (ftruncate(fd.get(), FsMetadata->FileSize) != 0) return FromErrno();
        ranges.Truncate(static_cast<uint64_t>(FsMetadata->FileSize));
        info.size = static_cast<uint64_t>(FsMetadata->FileSize);
      }
      if (!ApplyTimes(fd.get(), FsMetadata->BasicInfo, record)) return FromErrno();
      // After the new size and times: they are the platform's, not a program's.
      if (!info.is_dir && !StoreRanges(fd.get(), ranges)) return FromErrno();
    }
    if (UpdateFlags & CF_UPDATE_FLAG_MARK_IN_SYNC) record.in_sync = true;
    if (UpdateFlags & CF_UPDATE_FLAG_CLEAR_IN_SYNC) record.in_sync = false;
    if (info.is_dir && (UpdateFlags & CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION)) record.unpopulated = false;
    if (info.is_dir && (UpdateFlags & CF_UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION)) record.unpopulated = true;
    if (FsMetadata && FsMetadata->BasicInfo.FileAttributes)
      record.attributes = FsMetadata->BasicInfo.FileAttributes & kStoredAttributes;
    if (!StoreRecord(fd.get(), record)) return FromErrno();
    if (UpdateFlags & CF_UPDATE_FLAG_REMOVE_FILE_IDENTITY) {
      if (!StoreIdentity(fd.get(), {})) return FromErrno();
    } else if (FileIdentity && FileIdentityLength &&
               !StoreIdentity(fd.get(), {static_cast<const char*>(FileIdentity), FileIdentityLength})) {
      return FromErrno();
    }
  }
  if (FsMetadata && FsMetadata->BasicInfo.FileAttributes &&
      !ApplyWindowsAttributes(fd.get(), FsMetadata->BasicInfo.FileAttributes, false))
    return FromErrno();
  if (dehydrate) {
    if (UpdateFlags & CF_UPDATE_FLAG_DEHYDRATE) {
      if (!DehydrateRange(fd.get(), 0, info.size)) return FromErrno();
    }
    for (DWORD i = 0; i < DehydrateRangeCount; ++i) {
      const CF_FILE_RANGE& r = DehydrateRangeArray[i];
      if (r.StartingOffset < 0 || r.Length < 0) return E_INVALIDARG;
      if (!DehydrateRange(fd.get(), static_cast<uint64_t>(r.StartingOffset), static_cast<uint64_t>(r.Length)))
        return FromErrno();
    }
  }
  return S_OK;
}

HRESULT CfHydratePlaceholder(Handle FileHandle, LARGE_INTEGER StartingOffset, LARGE_INTEGER Length,
                             CF_HYDRATE_FLAGS /*HydrateFlags*/, void* /*Overlapped*/) {
  auto item = FileOf(FileHandle);
  if (!item) return FromWin32(ERROR_INVALID_HANDLE);
  if (StartingOffset < 0 || Length < -1) return E_INVALIDARG;
  LocalItem info;
  if (!ReadLocalItem(item->fd, info)) return FromErrno();
  if (!info.record.placeholder) return FromWin32(ERROR_NOT_A_CLOUD_FILE);
  if (info.is_dir) return S_OK;
  const uint64_t length = Length < 0 ? UINT64_MAX : static_cast<uint64_t>(Length);
  const NTSTATUS status = EnsureOnDisk(item->fd, item->path, static_cast<uint64_t>(StartingOffset), length);
  return status == STATUS_SUCCESS ? S_OK : FromWin32(Win32ErrorFromCloudStatus(status));
}

HRESULT CfDehydratePlaceholder(Handle FileHandle, LARGE_INTEGER StartingOffset, LARGE_INTEGER Length,
                               CF_DEHYDRATE_FLAGS /*DehydrateFlags*/, void* /*Overlapped*/) {
  auto item = FileOf(FileHandle);
  if (!item) return FromWin32(ERROR_INVALID_HANDLE);
  if (StartingOffset < 0 || Length < -1) return E_INVALIDARG;
  LocalItem info;
  if (!SettleOutsideWrites(item->fd) || !ReadLocalItem(item->fd, info)) return FromErrno();
  if (!info.record.placeholder) return FromWin32(ERROR_NOT_A_CLOUD_FILE);
  if (info.is_dir) return E_INVALIDARG;
  if (info.record.pin == CF_PIN_STATE_PINNED) return FromWin32(ERROR_CLOUD_FILE_PINNED);
  // Local changes not yet in the cloud exist only here.
  if (!info.record.in_sync) return FromWin32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
  if (Length == 0) return S_OK;
  FdCloser fd(WritableFd(*item));
  if (fd.get() < 0) return FromErrno();
  const uint64_t length = Length < 0 ? UINT64_MAX : static_cast<uint64_t>(Length);
  return DehydrateRange(fd.get(), static_cast<uint64_t>(StartingOffset), length) ? S_OK : FromErrno();
}

HRESULT CfGetPlaceholderInfo(Handle FileHandle, CF_PLACEHOLDER_INFO_CLASS InfoClass, void* InfoBuffer,
                             DWORD InfoBufferLength, DWORD* ReturnedLength) {
  if (ReturnedLength) *ReturnedLength = 0;
  auto item = FileOf(FileHandle);
  if (!item) return FromWin32(ERROR_INVALID_HANDLE);
  if (!InfoBuffer) return E_INVALIDARG;
  LocalItem info;
  std::string identity;
  if (!ReadLocalItem(item->fd, info) || !LoadIdentity(item->fd, identity)) return FromErrno();
  if (!info.record.placeholder) return FromWin32(ERROR_NOT_A_CLOUD_FILE);
  SyncRootRecord root;
  UnderSyncRoot(item->path, &root);
  DWORD fixed = 0;
  uint8_t* identity_out = nullptr;
  if (InfoClass == CF_PLACEHOLDER_INFO_BASIC) {
    fixed = offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity);
    if (InfoBufferLength < fixed) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
    auto* out = static_cast<CF_PLACEHOLDER_BASIC_INFO*>(InfoBuffer);
    out->PinState = static_cast<CF_PIN_STATE>(info.record.pin);
    out->InSyncState = info.record.in_sync ? CF_IN_SYNC_STATE_IN_SYNC : CF_IN_SYNC_STATE_NOT_IN_SYNC;
    out->FileId = static_cast<LARGE_INTEGER>(info.ino);
    out->SyncRootFileId = root.root_file_id;
    out->FileIdentityLength = static_cast<DWORD>(identity.size());
    identity_out = out->FileIdentity;
  } else if (InfoClass == CF_PLACEHOLDER_INFO_STANDARD) {
    fixed = offsetof(CF_PLACEHOLDER_STANDARD_INFO, FileIdentity);
    if (InfoBufferLength < fixed) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
    auto* out = static_cast<CF_PLACEHOLDER_STANDARD_INFO*>(InfoBuffer);
    const int64_t on_disk = info.is_dir ? 0 : static_cast<int64_t>(info.ranges.TotalBytes());
    out->OnDiskDataSize = on_disk;
    out->ValidatedDataSize = on_disk;
    out->ModifiedDataSize = 0;
    out->PropertiesSize = 0;
    out->PinState = static_cast<CF_PIN_STATE>(info.record.pin);
    out->InSyncState = info.record.in_sync ? CF_IN_SYNC_STATE_IN_SYNC : CF_IN_SYNC_STATE_NOT_IN_SYNC;
    out->FileId = static_cast<LARGE_INTEGER>(info.ino);
    out->SyncRootFileId = root.root_file_id;
    out->FileIdentityLength = static_cast<DWORD>(identity.size());
    identity_out = out->FileIdentity;
  } else {
    return E_INVALIDARG;
  }
  const DWORD copied = std::min<DWORD>(InfoBufferLength - fixed, static_cast<DWORD>(identity.size()));
  memcpy(identity_out, identity.data(), copied);
  if (ReturnedLength) *ReturnedLength = fixed + copied;
  return copied < identity.size() ? FromWin32(ERROR_MORE_DATA) : S_OK;
}

CF_PLACEHOLDER_STATE CfGetPlaceholderStateFromFindData(const WIN32_FIND_DATAW* FindData) {
  if (!FindData) return CF_PLACEHOLDER_STATE_INVALID;
  const DWORD tag = FindData->dwReserved0;
  if (!(FindData->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (tag & ~IO_REPARSE_TAG_CLOUD_MASK) != IO_REPARSE_TAG_CLOUD)
    return CF_PLACEHOLDER_STATE_NO_STATES;
  CF_PLACEHOLDER_STATE state = CF_PLACEHOLDER_STATE_PLACEHOLDER;
  if (tag & kTagInSync) state |= CF_PLACEHOLDER_STATE_IN_SYNC;
  if (tag & kTagPartial) state |= CF_PLACEHOLDER_STATE_PARTIAL;
  if (tag & kTagPartiallyOnDisk) state |= CF_PLACEHOLDER_STATE_PARTIALLY_ON_DISK;
  if (tag & kTagSyncRoot) state |= CF_PLACEHOLDER_STATE_SYNC_ROOT;
  return state;
}

// Listings here always carry the tag.
CF_PLACEHOLDER_STATE PlaceholderStateOfFound(const char16_t* /*path*/, const WIN32_FIND_DATAW& data) {
  return CfGetPlaceholderStateFromFindData(&data);
}

HRESULT CfSetPinState(Handle FileHandle, CF_PIN_STATE PinState, CF_SET_PIN_FLAGS PinFlags, void* /*Overlapped*/) {
  auto item = FileOf(FileHandle);
  if (!item) return FromWin32(ERROR_INVALID_HANDLE);
  if (PinState > CF_PIN_STATE_INHERIT) return E_INVALIDARG;
  FdCloser fd(WritableFd(*item));
  if (fd.get() < 0) return FromErrno();
  PlaceholderRecord record;
  if (!LoadRecord(fd.get(), record)) return FromErrno();
  if (!record.placeholder) return FromWin32(ERROR_NOT_A_CLOUD_FILE);
  CF_PIN_STATE pin = PinState;
  if (pin == CF_PIN_STATE_INHERIT) {
    PlaceholderRecord parent;
    pin = LoadRecordAt(ParentPath(item->path), parent) ? static_cast<CF_PIN_STATE>(parent.pin)
                                                       : CF_PIN_STATE_UNSPECIFIED;
  }
  const bool recurse = item->is_dir && (PinFlags & (CF_SET_PIN_FLAG_RECURSE | CF_SET_PIN_FLAG_RECURSE_ONLY));
  return SetPinTree(item->path, fd.get(), pin, !(PinFlags & CF_SET_PIN_FLAG_RECURSE_ONLY) || !item->is_dir, recurse);
}

HRESULT CfSetInSyncState(Handle FileHandle, CF_IN_SYNC_STATE InSyncState, CF_SET_IN_SYNC_FLAGS /*InSyncFlags*/,
                         USN* InSyncUsn) {
  const USN expected = InSyncUsn ? *InSyncUsn : 0;
  if (InSyncUsn) *InSyncUsn = 0;
  auto item = FileOf(FileHandle);
  if (!item) return FromWin32(ERROR_INVALID_HANDLE);
  if (InSyncState > CF_IN_SYNC_STATE_IN_SYNC) return E_INVALIDARG;
  StateFd fd(*item);
  if (fd.get() < 0) return FromErrno();
  ItemStateLock lock(fd.get(), item->dev, item->ino);
  PlaceholderRecord record;
  DataView view;
  USN usn = 0;
  if (!SettleAndLoadLocked(fd.get(), record, view, usn)) return FromErrno();
  if (!record.placeholder) return FromWin32(ERROR_NOT_A_CLOUD_FILE);
  // The provider took the file as it was at `expected`: changed since, it
  // is not what the cloud has.
  if (InSyncState == CF_IN_SYNC_STATE_IN_SYNC && expected != 0 && expected != usn)
    return FromWin32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
  // Holes are no content: a file with writes the platform cannot place
  // never matches the cloud.
  if (InSyncState == CF_IN_SYNC_STATE_IN_SYNC && !record.in_sync && view.unknown_writes)
    return FromWin32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
  record.in_sync = InSyncState == CF_IN_SYNC_STATE_IN_SYNC;
  if (!StoreRecord(fd.get(), record)) return FromErrno();
  if (InSyncUsn) *InSyncUsn = usn;
  return S_OK;
}

HRESULT CfExecute(const CF_OPERATION_INFO* OpInfo, CF_OPERATION_PARAMETERS* OpParams) {
  return ExecuteOperation(OpInfo, OpParams);
}

HRESULT CfReportProviderProgress(CF_CONNECTION_KEY ConnectionKey, CF_TRANSFER_KEY TransferKey,
                                 LARGE_INTEGER ProviderProgressTotal, LARGE_INTEGER ProviderProgressCompleted) {
  return ReportProgress(ConnectionKey, TransferKey, ProviderProgressTotal, ProviderProgressCompleted);
}

HRESULT CfOpenFileWithOplock(const char16_t* FilePath, CF_OPEN_FILE_FLAGS Flags, Handle* ProtectedHandle) {
  if (!ProtectedHandle) return E_INVALIDARG;
  *ProtectedHandle = INVALID_HANDLE_VALUE;
  const DWORD access = (Flags & CF_OPEN_FILE_FLAG_WRITE_ACCESS) ? (GENERIC_READ | GENERIC_WRITE) : 0;
  const Handle h = CreateFileW(FilePath, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                               INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return FromWin32(GetLastError());
  *ProtectedHandle = h;
  return S_OK;
}

void CfCloseHandle(Handle FileHandle) { CloseHandle(FileHandle); }

}  // namespace corvane::platform
