#include "platform/local/sync_roots.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "platform/local/state_dir.h"
#include "support/utf.h"

namespace corvane::platform::local {
namespace {

constexpr const char* kFormat = "corvane-syncroot 1";

std::string Hex(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xF]);
  }
  return out;
}

bool Unhex(const std::string& hex, std::string& out) {
  if (hex.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const std::string byte = hex.substr(i, 2);
    char* end = nullptr;
    const long v = strtol(byte.c_str(), &end, 16);
    if (*end) return false;
    out.push_back(static_cast<char>(v));
  }
  return true;
}

std::string RecordFile(const std::string& root) {
  const std::string dir = EnsureStateSubdir("syncroots");
  return dir.empty() ? std::string() : dir + "/" + RootKey(root) + ".root";
}

std::string Serialize(const SyncRootRecord& r) {
  std::ostringstream out;
  out << kFormat << "\n"
      << "root=" << Hex(r.root) << "\n"
      << "name=" << Hex(Utf16ToUtf8Lossy(r.provider_name)) << "\n"
      << "version=" << Hex(Utf16ToUtf8Lossy(r.provider_version)) << "\n"
      << "identity=" << Hex(r.identity) << "\n"
      << "hydration=" << r.policies.Hydration.Primary << "," << r.policies.Hydration.Modifier << "\n"
      << "population=" << r.policies.Population.Primary << "," << r.policies.Population.Modifier << "\n"
      << "insync=" << r.policies.InSync << "\n"
      << "hardlink=" << r.policies.HardLink << "\n"
      << "flags=" << r.flags << "\n"
      << "fileid=" << r.root_file_id << "\n";
  return out.str();
}

bool Parse(const std::string& text, SyncRootRecord& r) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kFormat) return false;
  r = SyncRootRecord();
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    std::string bytes;
    unsigned a = 0, b = 0;
    if (key == "root") {
      if (!Unhex(value, r.root)) return false;
    } else if (key == "name" && Unhex(value, bytes)) {
      r.provider_name = Utf8ToUtf16Lossy(bytes);
    } else if (key == "version" && Unhex(value, bytes)) {
      r.provider_version = Utf8ToUtf16Lossy(bytes);
    } else if (key == "identity") {
      Unhex(value, r.identity);
    } else if (key == "hydration" && sscanf(value.c_str(), "%u,%u", &a, &b) == 2) {
      r.policies.Hydration = {static_cast<uint16_t>(a), static_cast<uint16_t>(b)};
    } else if (key == "population" && sscanf(value.c_str(), "%u,%u", &a, &b) == 2) {
      r.policies.Population = {static_cast<uint16_t>(a), static_cast<uint16_t>(b)};
    } else if (key == "insync") {
      r.policies.InSync = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
    } else if (key == "hardlink") {
      r.policies.HardLink = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
    } else if (key == "flags") {
      r.flags = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
    } else if (key == "fileid") {
      r.root_file_id = strtoll(value.c_str(), nullptr, 10);
    }
  }
  return !r.root.empty();
}

// Every registration of the state folder, kept in memory: a lookup is made
// for every placeholder created, and reading the records from disk each time
// cost more than creating the placeholder. Other processes register and
// unregister by renaming and unlinking files in the records folder, which
// changes its modification time, so one stat() tells whether the copy is
// still good.
class RecordCache {
 public:
  // Calls `use` with the current records; false when the folder is unreadable.
  template <typename Use>
  bool With(Use use) {
    const std::string dir = StateDir() + "/syncroots";
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      valid_ = false;
      records_.clear();
      return use(records_);
    }
    if (!valid_ || dir != dir_ || !SameState(st, seen_)) {
      if (!Load(dir)) {
        valid_ = false;
        return false;
      }
      dir_ = dir;
      seen_ = st;
      // A change in the same clock tick as the stat would leave the time
      // alone: trust the copy only once the folder's time is safely past.
      valid_ = Settled(st);
    }
    return use(records_);
  }

  void Invalidate() {
    std::lock_guard<std::mutex> lock(mutex_);
    valid_ = false;
  }

 private:
  static bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_nlink == b.st_nlink &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
  }

  static bool Settled(const struct stat& st) {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    // Whole-second times mean a file system with coarse time stamps.
    const int64_t margin_ns = st.st_mtim.tv_nsec == 0 ? 2'000'000'000LL : 50'000'000LL;
    const auto ns = [](const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec; };
    return ns(st.st_mtim) + margin_ns < ns(now) && ns(st.st_ctim) + margin_ns < ns(now);
  }

  bool Load(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    std::map<std::string, SyncRootRecord> records;
    while (dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      constexpr std::string_view kSuffix = ".root";
      if (name.size() <= kSuffix.size() || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
        continue;
      std::string text;
      SyncRootRecord record;
      // A record removed while we read is simply gone.
      if (!ReadWholeFile(dir + "/" + name, text) || !Parse(text, record)) continue;
      // A file whose name does not match its root is not the root's record.
      if (RootKey(record.root) + ".root" != name) continue;
      records[record.root] = std::move(record);
    }
    closedir(d);
    records_ = std::move(records);
    return true;
  }

  std::mutex mutex_;
  bool valid_ = false;
  std::string dir_;
  struct stat seen_ = {};
  std::map<std::string, SyncRootRecord> records_;
};

RecordCache& Records() {
  // Never destroyed: a host that exits with the provider still running has
  // worker threads looking up roots while static objects are torn down.
  static RecordCache* cache = new RecordCache;
  return *cache;
}

bool FindCached(const std::string& root, SyncRootRecord& record) {
  return Records().With([&](const std::map<std::string, SyncRootRecord>& records) {
    const auto it = records.find(root);
    if (it == records.end()) return false;
    record = it->second;
    return true;
  });
}

}  // namespace

std::string RootKey(const std::string& root) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : root) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  char buf[17];
  snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::string ProviderSocketPath(const std::string& root) {
  const std::string dir = EnsureStateSubdir("sockets");
  return dir.empty() ? std::string() : dir + "/" + RootKey(root) + ".sock";
}

std::string ProviderLockPath(const std::string& root) {
  const std::string dir = EnsureStateSubdir("sockets");
  return dir.empty() ? std::string() : dir + "/" + RootKey(root) + ".lock";
}

bool SaveSyncRoot(const SyncRootRecord& record) {
  const std::string file = RecordFile(record.root);
  const bool saved = !file.empty() && WriteFileAtomically(file, Serialize(record));
  Records().Invalidate();
  return saved;
}

bool LoadSyncRootExact(const std::string& root, SyncRootRecord& record) {
  // A hash collision is told apart by the stored path (the cache is keyed by it).
  return FindCached(root, record);
}

bool FindSyncRootFor(const std::string& native_path, SyncRootRecord& record) {
  return Records().With([&](const std::map<std::string, SyncRootRecord>& records) {
    if (records.empty()) return false;
    std::string path = native_path;
    for (;;) {
      if (const auto it = records.find(path); it != records.end()) {
        record = it->second;
        return true;
      }
      if (path == "/" || path.empty()) return false;
      const size_t slash = path.find_last_of('/');
      if (slash == std::string::npos) return false;
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
  });
}

bool RemoveSyncRoot(const std::string& root) {
  const std::string file = RecordFile(root);
  const bool removed = !file.empty() && unlink(file.c_str()) == 0;
  const int saved = errno;
  Records().Invalidate();
  errno = saved;
  return removed;
}

std::string CanonicalPath(const std::string& native_path) {
  char buf[PATH_MAX];
  if (realpath(native_path.c_str(), buf)) return buf;
  // Resolve the longest existing parent, then append the rest cleaned up.
  std::vector<std::string> parts;
  std::string part;
  std::stringstream ss(native_path);
  while (std::getline(ss, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string clean;
  for (const std::string& p : parts) clean += "/" + p;
  if (clean.empty()) clean = "/";
  const size_t slash = clean.find_last_of('/');
  if (slash != 0 && realpath(clean.substr(0, slash).c_str(), buf)) return std::string(buf) + clean.substr(slash);
  return clean;
}

}  // namespace corvane::platform::local
