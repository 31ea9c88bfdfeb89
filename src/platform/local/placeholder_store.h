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
#include "support/mutex.h"

struct stat;

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
// The stored ranges as stored. They hold for the file as it was when they
// were stored: see LoadDataView for the file as it is now.
bool LoadRanges(int fd, ByteRanges& ranges);
// Stores the ranges with the file's size and last-write time of this moment
// (so call it after the platform's own changes of either). The unknown-writes
// mark is kept, unless `unknown_writes` says what it is now. Ranges worked
// out from an earlier status pass it as `basis`: they are stamped with that
// size and time, so a program's write landing in between shows as one.
bool StoreRanges(int fd, const ByteRanges& ranges, int unknown_writes = -1, const struct stat* basis = nullptr);
// The same for a file made just now, which has no ranges yet to remove.
bool StoreNoRangesOfNewFile(int fd);

// A file's data as it is now. Programs that write straight to the file
// (write(2), truncate(2)) do not pass through the platform, so the ranges
// stored last may be stale: a change of size or last-write time since then
// shows such a write. A file that was whole stays whole (every byte is on
// disk); in a file that was not, nobody can tell which bytes a program wrote
// and which are holes, so it is marked as holding unknown writes: its data is
// then never fetched over nor declared in sync.
struct DataView {
  ByteRanges ranges;
  bool written = false;         // written outside the platform since the last store
  bool unknown_writes = false;  // written where the platform cannot tell
};
bool LoadDataView(int fd, DataView& view);
bool LoadDataViewAt(const std::string& path, DataView& view);
// The same against the item's status as the caller has just read it.
bool LoadDataView(int fd, const struct stat& now, DataView& view);
bool LoadDataViewAt(const std::string& path, const struct stat& now, DataView& view, bool follow_link = true);
// Records what LoadDataView finds: a written file is no longer in sync.
// The Locked form is for a caller holding the item's ItemStateLock.
bool SettleOutsideWrites(int fd);
// `settled`, when given, receives the item's record as it stands once settled.
bool SettleOutsideWritesLocked(int fd, PlaceholderRecord* settled = nullptr);
// The item's update sequence number: it moves with every change of the
// data (an application's write, a truncation, a write outside the platform
// once seen), never with the platform's own state changes. 0 for an item
// that is no placeholder.
bool LoadChangeUsnLocked(int fd, int64_t& usn);
// The same for a placeholder whose writes the caller settled under the lock
// it still holds: a write since then is not counted, so the number no longer
// matches once that write is seen.
bool LoadSettledUsnLocked(int fd, int64_t& usn);
bool CountDataChangeLocked(int fd);
// SettleOutsideWritesLocked, then the item's record, data view and number
// as they are once settled, each read once (a change of the in-sync state
// read them three times). `view` and `usn` are left alone for an item that
// is no placeholder.
bool SettleAndLoadLocked(int fd, PlaceholderRecord& record, DataView& view, int64_t& usn);
bool LoadIdentity(int fd, std::string& identity);
bool StoreIdentity(int fd, std::string_view identity);  // empty removes it
// StoreIdentity for an item made just now, which has no identity to replace.
bool StoreNewIdentity(int fd, std::string_view identity);
// Removes every trace of cloud state (the item becomes an ordinary one).
bool RemoveCloudState(int fd);

// The same loads by path, for listings.
bool LoadRecordAt(const std::string& path, PlaceholderRecord& record, bool follow_link = true);
bool LoadRangesAt(const std::string& path, ByteRanges& ranges, bool follow_link = true);

class LockStripe;

// Serialises read-modify-write of one item's state between threads and
// processes (a mutex plus flock on a lock file, both standing for a stripe
// of items that holds this one).
class ItemStateLock {
 public:
  explicit ItemStateLock(int fd);
  // For a descriptor whose device and inode the caller read already (an
  // inode of 0 is read here).
  ItemStateLock(int fd, uint64_t dev, uint64_t ino);
  ~ItemStateLock();
  // Whether this thread holds an item's lock (one at a time).
  static bool HeldHere();
  ItemStateLock(const ItemStateLock&) = delete;
  ItemStateLock& operator=(const ItemStateLock&) = delete;

 private:
  LockStripe& stripe_;
  int fd_;
  int locked_fd_;
};

// Opens a native path for the platform's own writes (hydration, state):
// works on read-only files the user owns, as the platform can on Windows.
// Returns -1 with errno set on failure.
int OpenForPlatformWrite(const std::string& path);
// Runs fsetxattr, lending the owner write permission for the call when the
// file is read-only.
bool SetXattr(int fd, const char* name, const void* value, size_t size);

}  // namespace corvane::platform::local
