#include "engine/known_items_file.h"

#include <cstdint>
#include <cstring>

#include "platform/files.h"
#include "support/sync_root_path.h"

namespace corvane {
namespace {

constexpr char kMagic[8] = {'C', 'V', 'K', 'N', 'O', 'W', 'N', '1'};
// Longer than any path the platform takes; a length past it is damage.
constexpr uint32_t kLongestPath = 32767;
// A list of millions of items stays far below this.
constexpr uint64_t kLargestFile = uint64_t{1} << 31;

// One file per root, named by a hash of the root's path as the platform
// compares it (ASCII letters in either case).
std::u16string FileOf(const std::u16string& root) {
  std::u16string folder;
  if (!platform::ProviderStateFolder(folder)) return {};
  std::u16string folded = FoldAsciiCase(root);
  while (!folded.empty() && folded.back() == u'\\') folded.pop_back();
  uint64_t hash = 14695981039346656037ull;
  for (char16_t c : folded) hash = (hash ^ c) * 1099511628211ull;
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string name = u"\\known-";
  for (int shift = 60; shift >= 0; shift -= 4) name.push_back(kHex[(hash >> shift) & 0xF]);
  return folder + name + u".bin";
}

void Put32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool Get32(const std::string& in, size_t& at, uint32_t& value) {
  if (in.size() - at < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(in[at + i])) << (8 * i);
  at += 4;
  return true;
}

// A path below the root as the cache keys it ("\a\b": no empty or "."
// part), and one that stays inside it. Anything else in the file is damage,
// and a damaged list must not turn into deletes.
bool IsItemPath(const std::u16string& path) {
  return path.size() >= 2 && path[0] == u'\\' && path.back() != u'\\' && !path.ends_with(u"\\.") &&
         path.find(u"\\\\") == std::u16string::npos && path.find(u"\\.\\") == std::u16string::npos &&
         IsSafeRelativePath(path);
}

bool Parse(const std::string& bytes, std::vector<KnownItem>& items) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return false;
  size_t at = sizeof kMagic;
  uint32_t count = 0;
  if (!Get32(bytes, at, count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    KnownItem item;
    uint32_t length = 0;
    if (!Get32(bytes, at, item.attributes) || !Get32(bytes, at, length) || length > kLongestPath ||
        bytes.size() - at < size_t{length} * 2)
      return false;
    item.path.resize(length);
    for (uint32_t k = 0; k < length; ++k, at += 2)
      item.path[k] = static_cast<char16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
    if (!IsItemPath(item.path)) return false;
    items.push_back(std::move(item));
  }
  return at == bytes.size();
}

}  // namespace

bool SaveKnownItems(const std::u16string& root, const std::vector<KnownItem>& items) {
  const std::u16string file = FileOf(root);
  if (file.empty()) return false;
  std::string bytes(kMagic, sizeof kMagic);
  Put32(bytes, static_cast<uint32_t>(items.size()));
  for (const KnownItem& item : items) {
    Put32(bytes, item.attributes);
    Put32(bytes, static_cast<uint32_t>(item.path.size()));
    for (char16_t c : item.path) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
  }
  if (bytes.size() > kLargestFile) return false;
  // Written aside and renamed over: a reader never sees half a list.
  const std::u16string written = file + u".new";
  const platform::Handle handle = platform::CreateFileW(written.c_str(), platform::GENERIC_WRITE, 0, nullptr,
                                                        platform::CREATE_ALWAYS, 0, 0);
  if (handle == platform::INVALID_HANDLE_VALUE) return false;
  platform::DWORD done = 0;
  const bool whole = platform::WriteFile(handle, bytes.data(), static_cast<platform::DWORD>(bytes.size()), &done, 0) &&
                     done == bytes.size();
  const bool closed = platform::CloseHandle(handle) != 0;
  if (whole && closed &&
      platform::MoveFileExW(written.c_str(), file.c_str(), platform::MOVEFILE_REPLACE_EXISTING))
    return true;
  platform::DeleteFileW(written.c_str());
  return false;
}

bool LoadKnownItems(const std::u16string& root, std::vector<KnownItem>& items) {
  items.clear();
  const std::u16string file = FileOf(root);
  if (file.empty()) return false;
  const platform::Handle handle =
      platform::CreateFileW(file.c_str(), platform::GENERIC_READ, platform::FILE_SHARE_READ, nullptr,
                            platform::OPEN_EXISTING, 0, 0);
  if (handle == platform::INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  std::string chunk(size_t{1} << 16, '\0');
  bool read = true;
  for (;;) {
    platform::DWORD got = 0;
    if (!platform::ReadFile(handle, chunk.data(), static_cast<platform::DWORD>(chunk.size()), &got, bytes.size()) ||
        bytes.size() + got > kLargestFile) {
      read = false;
      break;
    }
    if (got == 0) break;
    bytes.append(chunk.data(), got);
  }
  platform::CloseHandle(handle);
  platform::DeleteFileW(file.c_str());
  if (read && Parse(bytes, items)) return true;
  items.clear();
  return false;
}

void DropKnownItems(const std::u16string& root) {
  const std::u16string file = FileOf(root);
  if (!file.empty()) platform::DeleteFileW(file.c_str());
}

}  // namespace corvane
