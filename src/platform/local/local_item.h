// What Windows would report about a file or folder (attributes, times, size,
// placeholder state), derived from the inode and its cloud state.
#pragma once

#include <cstdint>
#include <string>

#include "platform/cloud_files.h"
#include "platform/local/byte_ranges.h"
#include "platform/local/placeholder_store.h"

namespace corvane::platform::local {

// Windows shows an unpopulated placeholder folder with this bit.
constexpr DWORD FILE_ATTRIBUTE_RECALL_ON_OPEN = 0x40000;

// Reparse-tag bits that carry the placeholder state in find data.
constexpr DWORD kTagInSync = 0x1000;
constexpr DWORD kTagPartial = 0x2000;
constexpr DWORD kTagPartiallyOnDisk = 0x4000;
constexpr DWORD kTagSyncRoot = 0x8000;

// Attributes a caller may store; the rest are derived.
constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_TEMPORARY | 0x2000 /* NOT_CONTENT_INDEXED */;

struct LocalItem {
  bool is_dir = false;
  uint64_t size = 0;
  uint64_t allocated = 0;  // bytes the data takes on disk
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t nlink = 0;
  uint32_t mode = 0;
  FILETIME creation_time = 0;
  FILETIME last_access_time = 0;
  FILETIME last_write_time = 0;
  FILETIME change_time = 0;
  PlaceholderRecord record;  // not in sync once a program wrote outside the platform
  ByteRanges ranges;         // as the data is now (LoadDataView)
  bool unknown_writes = false;
  bool outside_write = false;  // written outside the platform since its last store

  bool FullyOnDisk() const { return is_dir ? !record.unpopulated : ranges.Covers(0, size); }
  DWORD Attributes(const std::string& name) const;
  CF_PLACEHOLDER_STATE State() const;
  DWORD ReparseTag() const;
};

// From an open descriptor or a path; false with errno set on failure.
bool ReadLocalItem(int fd, LocalItem& info);
// A placeholder the platform has just made through `fd` with `record` and
// no data yet: only its status is read.
bool ReadNewPlaceholder(int fd, const PlaceholderRecord& record, LocalItem& info);
// SettleOutsideWritesLocked, then the item as it stands; the record of an
// item that is no placeholder is read once.
bool SettleAndReadLocked(int fd, LocalItem& info);
// A symbolic link at `path` is followed unless `follow_link` is false; then
// it fails with ELOOP.
bool ReadLocalItemAt(const std::string& path, LocalItem& info, bool follow_link = true);

// Applies Windows attributes to an open item: read-only through the mode,
// pinned/unpinned through the pin state, the rest stored. With
// `pin_from_bits`, attributes without either pin bit clear that pin state.
bool ApplyWindowsAttributes(int fd, DWORD attributes, bool pin_from_bits);

std::string BaseName(const std::string& path);
std::string ParentPath(const std::string& path);

}  // namespace corvane::platform::local
