// What a change record says about an item, read from the file system the way
// Windows fills FILE_NOTIFY_EXTENDED_INFORMATION.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::platform::local {

struct WatchItemInfo {
  int64_t creation_time = 0;  // FILETIME values
  int64_t last_modification_time = 0;
  int64_t last_change_time = 0;
  int64_t last_access_time = 0;
  int64_t allocated_length = 0;
  int64_t file_size = 0;
  uint32_t attributes = 0;
  uint32_t reparse_tag = 0;
  int64_t file_id = 0;
  bool is_directory = false;
};

// Reads the item itself (a symlink is not followed). False when it is gone.
// Attributes are the stat-based ones of DefaultAttributes.
bool ReadWatchItemInfo(const std::string& native_path, WatchItemInfo& info);

// Directory bit, read-only when the owner cannot write, hidden for dot-names,
// reparse point for a symlink; FILE_ATTRIBUTE_NORMAL when nothing else
// applies. INVALID_FILE_ATTRIBUTES when the item is gone.
uint32_t DefaultAttributes(const std::string& native_path);

// Inode of a path (symlinks not followed), 0 when it cannot be read.
int64_t ReadFileId(const std::string& native_path);

}  // namespace corvane::platform::local
