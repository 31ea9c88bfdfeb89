#include "platform/local/sync_roots.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
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
  return !file.empty() && WriteFileAtomically(file, Serialize(record));
}

bool LoadSyncRootExact(const std::string& root, SyncRootRecord& record) {
  const std::string file = RecordFile(root);
  std::string text;
  // A hash collision is told apart by the stored path.
  return !file.empty() && ReadWholeFile(file, text) && Parse(text, record) && record.root == root;
}

bool FindSyncRootFor(const std::string& native_path, SyncRootRecord& record) {
  std::string path = native_path;
  for (;;) {
    if (LoadSyncRootExact(path, record)) return true;
    if (path == "/" || path.empty()) return false;
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return false;
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

bool RemoveSyncRoot(const std::string& root) {
  const std::string file = RecordFile(root);
  return !file.empty() && unlink(file.c_str()) == 0;
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
