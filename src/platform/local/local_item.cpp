#include "platform/local/local_item.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform::local {
namespace {

FILETIME FromTimestamp(const struct statx_timestamp& t) { return FileTimeFromUnix(t.tv_sec, t.tv_nsec); }

void FillFromStatx(const struct statx& st, LocalItem& info) {
  info.is_dir = S_ISDIR(st.stx_mode);
  info.size = info.is_dir ? 0 : st.stx_size;
  info.allocated = st.stx_blocks * 512;
  info.dev = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  info.ino = st.stx_ino;
  info.nlink = st.stx_nlink;
  info.mode = st.stx_mode;
  info.last_access_time = FromTimestamp(st.stx_atime);
  info.last_write_time = FromTimestamp(st.stx_mtime);
  info.change_time = FromTimestamp(st.stx_ctime);
  if (info.record.has_creation_time)
    info.creation_time = info.record.creation_time;
  else if (st.stx_mask & STATX_BTIME)
    info.creation_time = FromTimestamp(st.stx_btime);
  else
    info.creation_time = info.last_write_time;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

// What the data view compares its stamp with: size and time of the data.
struct stat DataStatus(const struct statx& st) {
  struct stat status {};
  status.st_size = static_cast<off_t>(st.stx_size);
  status.st_mtim.tv_sec = static_cast<time_t>(st.stx_mtime.tv_sec);
  status.st_mtim.tv_nsec = static_cast<long>(st.stx_mtime.tv_nsec);
  return status;
}

void UseView(DataView& view, LocalItem& info) {
  info.ranges = std::move(view.ranges);
  info.unknown_writes = view.unknown_writes;
  info.outside_write = view.written;
  if (view.written) info.record.in_sync = false;
}

bool ReadLocalItemOnce(int fd, LocalItem& info) {
  info = LocalItem();
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &st) != 0) return false;
  if (!LoadRecord(fd, info.record)) info.record = PlaceholderRecord();
  if (S_ISREG(st.stx_mode) && info.record.placeholder) {
    DataView view;
    if (LoadDataView(fd, DataStatus(st), view)) UseView(view, info);
  }
  FillFromStatx(st, info);
  return true;
}

}  // namespace

bool ReadLocalItem(int fd, LocalItem& info) {
  if (!ReadLocalItemOnce(fd, info)) return false;
  if (!info.outside_write || ItemStateLock::HeldHere()) return true;
  // The platform's own writes (hydration) move the time before they store
  // the new state: read again where no such write is half done.
  ItemStateLock lock(fd);
  return ReadLocalItemOnce(fd, info);
}

bool ReadNewPlaceholder(int fd, const PlaceholderRecord& record, LocalItem& info) {
  info = LocalItem();
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &st) != 0) return false;
  info.record = record;
  FillFromStatx(st, info);
  return true;
}

bool SettleAndReadLocked(int fd, LocalItem& info) {
  PlaceholderRecord record;
  if (!SettleOutsideWritesLocked(fd, &record)) return false;
  return record.placeholder ? ReadLocalItem(fd, info) : ReadNewPlaceholder(fd, record, info);
}

bool ReadLocalItemAt(const std::string& path, LocalItem& info, bool follow_link) {
  info = LocalItem();
  struct statx st;
  if (statx(AT_FDCWD, path.c_str(), follow_link ? 0 : AT_SYMLINK_NOFOLLOW, kStatxMask, &st) != 0) return false;
  if (S_ISLNK(st.stx_mode)) {
    errno = ELOOP;
    return false;
  }
  if (!LoadRecordAt(path, info.record, follow_link)) info.record = PlaceholderRecord();
  if (S_ISREG(st.stx_mode) && info.record.placeholder) {
    DataView view;
    if (LoadDataViewAt(path, DataStatus(st), view, follow_link)) UseView(view, info);
  }
  FillFromStatx(st, info);
  if (info.outside_write && !ItemStateLock::HeldHere()) {
    // Again through a descriptor, so that a half-done write of the
    // platform's is never taken for a program's.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow_link ? 0 : O_NOFOLLOW));
    if (fd >= 0) {
      LocalItem again;
      if (ReadLocalItem(fd, again)) info = std::move(again);
      close(fd);
    }
  }
  return true;
}

DWORD LocalItem::Attributes(const std::string& name) const {
  DWORD attrs = record.attributes & kStoredAttributes;
  if (is_dir) attrs |= FILE_ATTRIBUTE_DIRECTORY;
  if (!(mode & S_IWUSR)) attrs |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") attrs |= FILE_ATTRIBUTE_HIDDEN;
  if (record.pin == CF_PIN_STATE_PINNED) attrs |= FILE_ATTRIBUTE_PINNED;
  if (record.pin == CF_PIN_STATE_UNPINNED) attrs |= FILE_ATTRIBUTE_UNPINNED;
  if (record.placeholder) {
    attrs |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (!FullyOnDisk()) {
      if (is_dir)
        attrs |= FILE_ATTRIBUTE_RECALL_ON_OPEN;
      else
        attrs |= FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
    }
  }
  if (attrs == 0) attrs = FILE_ATTRIBUTE_NORMAL;
  return attrs;
}

CF_PLACEHOLDER_STATE LocalItem::State() const {
  CF_PLACEHOLDER_STATE state = CF_PLACEHOLDER_STATE_NO_STATES;
  if (record.sync_root) state |= CF_PLACEHOLDER_STATE_SYNC_ROOT;
  if (!record.placeholder) return state;
  state |= CF_PLACEHOLDER_STATE_PLACEHOLDER;
  if (record.in_sync) state |= CF_PLACEHOLDER_STATE_IN_SYNC;
  if (!FullyOnDisk()) {
    state |= CF_PLACEHOLDER_STATE_PARTIAL;
    if (!is_dir && !ranges.empty()) state |= CF_PLACEHOLDER_STATE_PARTIALLY_ON_DISK;
  }
  return state;
}

DWORD LocalItem::ReparseTag() const {
  if (!record.placeholder) return 0;
  const CF_PLACEHOLDER_STATE state = State();
  DWORD tag = IO_REPARSE_TAG_CLOUD;
  if (state & CF_PLACEHOLDER_STATE_IN_SYNC) tag |= kTagInSync;
  if (state & CF_PLACEHOLDER_STATE_PARTIAL) tag |= kTagPartial;
  if (state & CF_PLACEHOLDER_STATE_PARTIALLY_ON_DISK) tag |= kTagPartiallyOnDisk;
  if (state & CF_PLACEHOLDER_STATE_SYNC_ROOT) tag |= kTagSyncRoot;
  return tag;
}

// Applies Windows attributes to an open item: read-only through the mode,
// pinned/unpinned through the pin state, the rest stored.
bool ApplyWindowsAttributes(int fd, DWORD attributes, bool pin_from_bits) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  const mode_t mode = st.st_mode & 07777;
  mode_t wanted = mode;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    wanted &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    wanted |= S_IWUSR;
  ItemStateLock lock(fd);
  PlaceholderRecord record;
  if (!LoadRecord(fd, record)) return false;
  PlaceholderRecord updated = record;
  updated.attributes = attributes & kStoredAttributes;
  if (attributes & FILE_ATTRIBUTE_PINNED)
    updated.pin = CF_PIN_STATE_PINNED;
  else if (attributes & FILE_ATTRIBUTE_UNPINNED)
    updated.pin = CF_PIN_STATE_UNPINNED;
  else if (pin_from_bits && (record.pin == CF_PIN_STATE_PINNED || record.pin == CF_PIN_STATE_UNPINNED))
    updated.pin = CF_PIN_STATE_UNSPECIFIED;
  const bool changed = updated.attributes != record.attributes || updated.pin != record.pin;
  // State first: it may need the write permission that read-only removes.
  if (changed && !StoreRecord(fd, updated)) return false;
  if (wanted != mode && fchmod(fd, wanted) != 0) return false;
  return true;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentPath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace corvane::platform::local
