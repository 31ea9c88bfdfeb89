#include "platform/local/sync_roots.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "platform/local/record_file.h"
#include "platform/local/state_dir.h"
#include "support/mutex.h"
#include "support/utf.h"

namespace corvane::platform::local {
namespace {

std::string RecordFile(const std::string& root) {
  const std::string dir = EnsureStateSubdir("syncroots");
  return dir.empty() ? std::string() : dir + "/" + RootKey(root) + ".root";
}

std::string Serialize(const SyncRootRecord& r) {
  Record out;
  out.Set("root", r.root);
  out.Set("name", Utf16ToUtf8Lossy(r.provider_name));
  out.Set("version", Utf16ToUtf8Lossy(r.provider_version));
  out.Set("identity", r.identity);
  out.Set("hydration", std::to_string(r.policies.Hydration.Primary) + "," + std::to_string(r.policies.Hydration.Modifier));
  out.Set("population",
          std::to_string(r.policies.Population.Primary) + "," + std::to_string(r.policies.Population.Modifier));
  out.SetNumber("insync", r.policies.InSync);
  out.SetNumber("hardlink", r.policies.HardLink);
  out.SetNumber("flags", r.flags);
  out.SetSigned("fileid", r.root_file_id);
  return WriteRecords("syncroot", {out});
}

// "primary,modifier" of a policy.
bool PolicyPair(const Record& record, const char* key, uint16_t& primary, uint16_t& modifier) {
  const std::string* text = record.Find(key);
  if (!text) return true;
  unsigned a = 0, b = 0;
  char tail = 0;
  if (sscanf(text->c_str(), "%u,%u%c", &a, &b, &tail) != 2 || a > 0xFFFF || b > 0xFFFF) return false;
  primary = static_cast<uint16_t>(a);
  modifier = static_cast<uint16_t>(b);
  return true;
}

bool Parse(const std::string& text, SyncRootRecord& r) {
  std::vector<Record> records;
  if (!ReadRecords(text, "syncroot", records) || records.size() != 1) return false;
  const Record& in = records[0];
  r = SyncRootRecord();
  const std::string* root = in.Find("root");
  const std::string* identity = in.Find("identity");
  if (!root || root->empty()) return false;
  r.root = *root;
  if (identity) r.identity = *identity;
  const std::string* name = in.Find("name");
  const std::string* version = in.Find("version");
  if (name) r.provider_name = Utf8ToUtf16Lossy(*name);
  if (version) r.provider_version = Utf8ToUtf16Lossy(*version);
  return PolicyPair(in, "hydration", r.policies.Hydration.Primary, r.policies.Hydration.Modifier) &&
         PolicyPair(in, "population", r.policies.Population.Primary, r.policies.Population.Modifier) &&
         in.Number("insync", r.policies.InSync) && in.Number("hardlink", r.policies.HardLink) &&
         in.Number("flags", r.flags) && in.Signed("fileid", r.root_file_id);
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
    return WithBacked([&](const std::map<std::string, SyncRootRecord>& records, const std::set<std::string>&) {
      return use(records);
    });
  }
  // The same, and the roots whose items are in their backing folder (behind
  // a mount): a mount and an unmount touch the records folder (see
  // NoteRootMoved), so the copy follows them as it follows registrations.
  template <typename Use>
  bool WithBacked(Use use) {
    const std::string dir = StateDir() + "/syncroots";
    MutexLock lock(mutex_);
    // A settled copy is trusted for a moment without a stat: the engine
    // converts a path a dozen times for each new file of a burst, and the
    // stat was a fifth of that work. This process's own changes invalidate
    // the copy at once; another's are seen within the moment.
    const auto now = std::chrono::steady_clock::now();
    if (valid_ && dir == dir_ && now - checked_ < kTrustChecked) return use(records_, backed_);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      valid_ = false;
      records_.clear();
      backed_.clear();
      return use(records_, backed_);
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
    checked_ = now;
    return use(records_, backed_);
  }

  void Invalidate() {
    MutexLock lock(mutex_);
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
    // Seconds first, so that a time far in the future cannot overflow.
    const auto settled = [&](const timespec& t) {
      return t.tv_sec < now.tv_sec - 3 ||
             (t.tv_sec <= now.tv_sec &&
              (now.tv_sec - t.tv_sec) * 1'000'000'000LL + (now.tv_nsec - t.tv_nsec) > margin_ns);
    };
    return settled(st.st_mtim) && settled(st.st_ctim);
  }

  bool Load(const std::string& dir) REQUIRES(mutex_) {
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
    std::set<std::string> backed;
    for (const auto& entry : records) {
      const std::string backing = BackingFolderOf(entry.first);
      struct stat st;
      if (!backing.empty() && stat(backing.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) backed.insert(entry.first);
    }
    records_ = std::move(records);
    backed_ = std::move(backed);
    return true;
  }

  static constexpr std::chrono::milliseconds kTrustChecked{1};

  Mutex mutex_;
  bool valid_ GUARDED_BY(mutex_) = false;
  std::chrono::steady_clock::time_point checked_ GUARDED_BY(mutex_);
  std::string dir_ GUARDED_BY(mutex_);
  struct stat seen_ GUARDED_BY(mutex_) = {};
  std::map<std::string, SyncRootRecord> records_ GUARDED_BY(mutex_);
  std::set<std::string> backed_ GUARDED_BY(mutex_);
};

constexpr std::string_view kBackingSuffix = ".corvane-backing";

// `native` with a registered root's backing folder in it as the root.
std::string BackedRoot(const std::map<std::string, SyncRootRecord>& records, const std::string& native) {
  for (size_t at = native.find(kBackingSuffix); at != std::string::npos; at = native.find(kBackingSuffix, at + 1)) {
    const size_t end = at + kBackingSuffix.size();
    if (end != native.size() && native[end] != '/') continue;
    const size_t slash = native.rfind('/', at);
    if (slash == std::string::npos || slash + 2 >= at || native[slash + 1] != '.') continue;
    const std::string root = native.substr(0, slash + 1) + native.substr(slash + 2, at - slash - 2);
    if (records.count(root)) return root + native.substr(end);
  }
  return native;
}

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
    std::string path = BackedRoot(records, native_path);
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

std::vector<std::string> RegisteredRoots() {
  std::vector<std::string> roots;
  Records().With([&](const std::map<std::string, SyncRootRecord>& records) {
    for (const auto& entry : records) roots.push_back(entry.first);
    return true;
  });
  return roots;
}

bool RemoveSyncRoot(const std::string& root) {
  const std::string file = RecordFile(root);
  const bool removed = !file.empty() && unlink(file.c_str()) == 0;
  const int saved = errno;
  Records().Invalidate();
  errno = saved;
  return removed;
}

std::string BackingFolderOf(const std::string& root) {
  const size_t slash = root.find_last_of('/');
  if (slash == std::string::npos || slash + 1 == root.size()) return std::string();
  return root.substr(0, slash + 1) + "." + root.substr(slash + 1) + std::string(kBackingSuffix);
}

std::string ToBackingPath(const std::string& native) {
  if (native.empty() || native[0] != '/') return native;
  std::string out = native;
  // Made for every path the platform is given: one stat of the records
  // folder, no copy of a record, no stat of the backing folder.
  Records().WithBacked([&](const std::map<std::string, SyncRootRecord>& records, const std::set<std::string>& backed) {
    if (backed.empty() || BackedRoot(records, native) != native) return true;  // none, or a backing path already
    for (std::string path = native;;) {
      if (records.count(path)) {
        if (backed.count(path)) out = BackingFolderOf(path) + native.substr(path.size());
        return true;
      }
      const size_t slash = path.find_last_of('/');
      if (path == "/" || slash == std::string::npos) return true;
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
  });
  return out;
}

void NoteRootMoved() {
  const std::string dir = StateDir() + "/syncroots";
  utimensat(AT_FDCWD, dir.c_str(), nullptr, 0);
  Records().Invalidate();
}

std::string ToRootPath(const std::string& native) {
  if (native.find(kBackingSuffix) == std::string::npos) return native;
  std::string out = native;
  Records().With([&](const std::map<std::string, SyncRootRecord>& records) {
    out = BackedRoot(records, native);
    return true;
  });
  return out;
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
