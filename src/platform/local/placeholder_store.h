// Cloud state of one file or folder, kept in extended attributes so that it
// moves with the inode (renames keep it) and every process sees it:
//   user.corvane.state   versioned fixed record (flags, pin, attributes, birth)
//   user.corvane.ranges  the byte ranges of a file whose data is on disk
//   user.corvane.id      the provider's identity blob (or .idref to a side file
//                        under the state folder when it is too big for ext4)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/local/byte_ranges.h"
#include "platform/types.h"

namespace corvane::platform::local {

struct PlaceholderRecord {
  bool placeholder = false;
  bool in_sync = false;
  bool unpopulated = false;  // folder: the provider still has to list it
  bool sync_root = false;    // the registered root folder itself
  bool has_creation_time = false;
  uint8_t pin = 0;           // CF_PIN_STATE
  DWORD attributes = 0;      // stored bits: hidden, system, archive, temporary ...
  int64_t creation_time = 0; // FILETIME
};

// Loads fail only on I/O errors (errno set); a missing attribute loads as
// the default value.
bool LoadRecord(int fd, PlaceholderRecord& record);
bool StoreRecord(int fd, const PlaceholderRecord& record);
bool LoadRanges(int fd, ByteRanges& ranges);
bool StoreRanges(int fd, const ByteRanges& ranges);
bool LoadIdentity(int fd, std::string& identity);
bool StoreIdentity(int fd, std::string_view identity);  // empty removes it
// StoreIdentity for an item made just now, which has no identity to replace.
bool StoreNewIdentity(int fd, std::string_view identity);
// Removes every trace of cloud state (the item becomes an ordinary one).
bool RemoveCloudState(int fd);

// The same loads by path, for listings.
bool LoadRecordAt(const std::string& path, PlaceholderRecord& record);
bool LoadRangesAt(const std::string& path, ByteRanges& ranges);

// Serialises read-modify-write of one item's state between threads and
// processes (a process-wide mutex plus flock on a lock file that stands for
// the item).
class ItemStateLock {
 public:
  explicit ItemStateLock(int fd);
  ~ItemStateLock();
  ItemStateLock(const ItemStateLock&) = delete;
  ItemStateLock& operator=(const ItemStateLock&) = delete;

 private:
  int fd_;
  int lock_fd_ = -1;
};

// Opens a native path for the platform's own writes (hydration, state):
// works on read-only files the user owns, as the platform can on Windows.
// Returns -1 with errno set on failure.
int OpenForPlatformWrite(const std::string& path);
// Runs fsetxattr, lending the owner write permission for the call when the
// file is read-only.
bool SetXattr(int fd, const char* name, const void* value, size_t size);

}  // namespace corvane::platform::local
