// The server folder, seen the way a remote store would be: items addressed
// by paths relative to its top ("docs/report.txt"), with the metadata a
// listing needs. The library speaks of the same items as "\docs\report.txt".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "component.h"

namespace mirror {

// Temporary files of uploads in progress live beside their target under this
// prefix; scans and listings never show them.
inline constexpr const char* kUploadPrefix = ".corvane-upload-";

// 1601-01-01 to 1970-01-01 in 100-ns ticks: the library's times count from 1601.
inline constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

struct ServerItem {
  bool is_folder = false;
  int64_t size = 0;
  int64_t mtime_ns = 0;  // change detection
  uint64_t inode = 0;    // rename detection
  ItemTimes times;
};

// "\docs\a.txt" (as events carry it) -> "docs/a.txt"; "\" -> "". Fails for a
// path that would leave the folder or that no remote store could hold: "..",
// ".", empty components, NUL characters.
bool ToServerPath(const std::string& library_path, std::string& server_path);
// "docs/a.txt" -> "\docs\a.txt", the form methods take.
std::string ToLibraryPath(const std::string& server_path);
// Whether a name found in the server folder can be offered to the library.
bool IsMirroredName(const std::string& name);

std::string JoinPath(const std::string& base, const std::string& relative);
std::string ParentOf(const std::string& server_path);  // "" for top-level items

// False for anything that is neither a regular file nor a folder (links too);
// native.cpp has it, for each system.
bool StatItem(const std::string& full_path, ServerItem& item);
// Names of one folder's mirrored entries, sorted.
bool ReadFolder(const std::string& full_path, std::vector<std::string>& names);

int64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
// Sets a file's last-write time from a file time (0 leaves it alone).
bool SetLastWriteTime(const std::string& full_path, int64_t file_time);

}  // namespace mirror
