#include "server_paths.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace mirror {

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

bool ReadFolder(const std::string& full_path, std::vector<std::string>& names) {
  names.clear();
  std::error_code ec;
  const std::u8string folder(full_path.begin(), full_path.end());
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::u8string name = it->path().filename().u8string();
    std::string utf8(name.begin(), name.end());
    if (IsMirroredName(utf8)) names.push_back(std::move(utf8));
  }
  if (ec) return false;
  std::sort(names.begin(), names.end());
  return true;
}

}  // namespace mirror
