// The last known properties of items, by local path, kept in memory for one
// activation. Callbacks and change processing use it to tell items the
// engine already knows from new ones.
//
// Paths are keys exactly as given (case-sensitive), hashed: every event,
// listed item and change record looks items up, several times each, and a
// tree of long paths sharing their folders' prefixes made each lookup a
// walk of string comparisons. An entry stays small -- the name is an offset into the
// path -- since a sync root may hold hundreds of thousands of items.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/mutex.h"

namespace corvane {

class LogSink;

constexpr uint32_t kItemAttributeFolder = 0x40000000;

class CacheItem {
 public:
  int64_t Size = -1;
  uint64_t CreationTime = 0;
  uint64_t LastAccessTime = 0;
  uint64_t LastWriteTime = 0;
  uint32_t Attributes = 0;
  uint8_t Locked = 0;
  uint8_t CreateFailed = 0;
  // The server replaced the version the file's missing ranges belong to
  // while the file held local changes: they can no longer be fetched.
  uint8_t BaseReplaced = 0;

  // The item's name; `path` is the key the item is stored under.
  std::u16string_view ItemName(std::u16string_view path) const;
  void SetItemName(std::u16string_view path, std::u16string_view name);
  bool IsFolder() const { return (Attributes & kItemAttributeFolder) != 0; }

 private:
  uint32_t name_length_ = 0;  // the name is the last name_length_ units of the path
  // Only for a name that is not the end of its path (never in practice).
  std::unique_ptr<std::u16string> other_name_;
};

// An item the cache knows, as a stop leaves it for the next start.
struct KnownItem {
  std::u16string path;
  uint32_t attributes = 0;
};

class MetadataCache {
 public:
  static constexpr char16_t kSeparator = u'\\';

  explicit MetadataCache(LogSink* sink) : sink_(sink) {}

  int32_t AddNewItemToCache(std::u16string_view local_path, std::u16string_view item_name, uint32_t attributes,
                            int64_t size, uint64_t creation_time, uint64_t last_access_time,
                            uint64_t last_write_time);
  bool NoItemInCache(std::u16string_view path);

  bool GetAttributes(std::u16string_view path, uint32_t* attributes) const;
  bool GetLocked(std::u16string_view path, bool* locked) const;
  bool SetLocked(std::u16string_view path, bool locked);
  bool GetCreateFailed(std::u16string_view path, bool* create_failed) const;
  bool SetCreateFailed(std::u16string_view path, bool create_failed);
  bool SetBaseReplaced(std::u16string_view path, bool replaced);
  // Size always; attributes when not negative; each time when above 0.
  bool UpdateProperties(std::u16string_view path, int32_t attributes, int64_t size, int64_t creation_time,
                        int64_t last_access_time, int64_t last_write_time);
  // Removes the entry, and first everything below it when `children` is set
  // and the entry is a folder. False when the path has no entry.
  bool Remove(std::u16string_view path, bool children);
  // Moves the entry (and everything below a folder) to `new_path`; an entry
  // already at a target is replaced. False when `old_path` has no entry.
  bool Rename(std::u16string_view old_path, std::u16string_view new_path);
  void Clear();

  size_t Count() const;
  // Every entry but those of creates the host refused, in no order.
  std::vector<KnownItem> KnownItems() const;
  // A copy of the entry's properties; false when absent.
  bool Lookup(std::u16string_view path, CacheItem* item, std::u16string* name) const;
  // Puts back the properties and flags a Lookup copied; false when absent.
  bool PutBack(std::u16string_view path, const CacheItem& item);

 private:
  // Transparent, so that a string_view finds its key without a copy.
  struct PathHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view path) const noexcept { return std::hash<std::u16string_view>{}(path); }
  };
  struct PathEqual {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept { return a == b; }
  };
  using Map = std::unordered_map<std::u16string, CacheItem, PathHash, PathEqual>;

  bool SetFlag(std::u16string_view path, uint8_t CacheItem::*flag, bool value);

  LogSink* sink_;
  mutable Mutex mutex_;
  Map items_ GUARDED_BY(mutex_);
};

}  // namespace corvane
