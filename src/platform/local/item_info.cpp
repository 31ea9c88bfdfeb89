#include "platform/local/item_info.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/directory_changes.h"
#include "platform/files.h"
#include "platform/types.h"

namespace corvane::platform::local {
namespace {

int64_t ToFileTime(const struct statx_timestamp& ts) { return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec); }

bool IsDotName(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  return start < path.size() && path[start] == '.';
}

uint32_t AttributesFromMode(const std::string& path, uint32_t mode) {
  uint32_t attributes = 0;
  if (S_ISDIR(mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (S_ISLNK(mode)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (!(mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (IsDotName(path)) attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

bool ReadItemInfo(const std::string& native_path, ItemInfo& info) {
  struct statx stx;
  if (statx(AT_FDCWD, native_path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
    return false;
  info.last_modification_time = ToFileTime(stx.stx_mtime);
  info.last_change_time = ToFileTime(stx.stx_ctime);
  info.last_access_time = ToFileTime(stx.stx_atime);
  // Without a birth time the oldest known time stands in for it.
  if (stx.stx_mask & STATX_BTIME) {
    info.creation_time = ToFileTime(stx.stx_btime);
  } else {
    info.creation_time = std::min(info.last_modification_time, info.last_change_time);
  }
  info.is_directory = S_ISDIR(stx.stx_mode);
  info.file_size = info.is_directory ? 0 : static_cast<int64_t>(stx.stx_size);
  info.allocated_length = static_cast<int64_t>(stx.stx_blocks) * 512;
  info.attributes = AttributesFromMode(native_path, stx.stx_mode);
  info.reparse_tag = S_ISLNK(stx.stx_mode) ? IO_REPARSE_TAG_SYMLINK : 0;
  info.file_id = static_cast<int64_t>(stx.stx_ino);
  return true;
}

uint32_t DefaultAttributes(const std::string& native_path) {
  struct stat st;
  if (lstat(native_path.c_str(), &st) != 0) return INVALID_FILE_ATTRIBUTES;
  return AttributesFromMode(native_path, st.st_mode);
}

int64_t ReadFileId(const std::string& native_path) {
  struct stat st;
  if (lstat(native_path.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_ino);
}

}  // namespace corvane::platform::local
