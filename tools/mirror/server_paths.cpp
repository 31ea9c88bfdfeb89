#include "server_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace mirror {

namespace {
// 1601-01-01 to 1970-01-01 in 100-ns ticks.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
}  // namespace

bool ToServerPath(const std::string& library_path, std::string& server_path) {
  server_path.clear();
  if (library_path.find('\0') != std::string::npos) return false;
  size_t pos = 0;
  while (pos < library_path.size()) {
    while (pos < library_path.size() && (library_path[pos] == '\\' || library_path[pos] == '/')) ++pos;
    if (pos >= library_path.size()) break;
    size_t end = pos;
    while (end < library_path.size() && library_path[end] != '\\' && library_path[end] != '/') ++end;
    const std::string part = library_path.substr(pos, end - pos);
    // Never let a name from the library step outside the server folder.
    if (part == "." || part == "..") return false;
    if (!server_path.empty()) server_path += '/';
    server_path += part;
    pos = end;
  }
  return true;
}

std::string ToLibraryPath(const std::string& server_path) {
  std::string out = "\\" + server_path;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

bool IsMirroredName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.compare(0, strlen(kUploadPrefix), kUploadPrefix) == 0) return false;
  // A backslash is a separator to the library, so such a name cannot be mirrored.
  return name.find('\\') == std::string::npos;
}

std::string JoinPath(const std::string& base, const std::string& relative) {
  if (relative.empty()) return base;
  return base + "/" + relative;
}

std::string ParentOf(const std::string& server_path) {
  const size_t slash = server_path.rfind('/');
  return slash == std::string::npos ? std::string() : server_path.substr(0, slash);
}

int64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  return kUnixEpochAsFileTime + seconds * 10000000LL + nanoseconds / 100;
}

bool StatItem(const std::string& full_path, ServerItem& item) {
  struct stat st;
  if (lstat(full_path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
  item.is_folder = S_ISDIR(st.st_mode);
  item.size = item.is_folder ? 0 : static_cast<int64_t>(st.st_size);
  item.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  item.inode = st.st_ino;
  // Linux keeps no creation time in stat; the change time is the nearest.
  item.times.creation = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  item.times.last_access = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  item.times.last_write = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return true;
}

bool ReadFolder(const std::string& full_path, std::vector<std::string>& names) {
  names.clear();
  DIR* dir = opendir(full_path.c_str());
  if (!dir) return false;
  while (const dirent* entry = readdir(dir)) {
    if (IsMirroredName(entry->d_name)) names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return true;
}

bool SetLastWriteTime(const std::string& full_path, int64_t file_time) {
  if (file_time <= kUnixEpochAsFileTime) return true;
  const int64_t ticks = file_time - kUnixEpochAsFileTime;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time stays
  times[1].tv_sec = ticks / 10000000LL;
  times[1].tv_nsec = (ticks % 10000000LL) * 100;
  return utimensat(AT_FDCWD, full_path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace mirror
