#include "platform/local/placeholder_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/local/lock_stripes.h"
#include "platform/local/state_dir.h"
#include "support/hex.h"

namespace corvane::platform::local {
namespace {

constexpr const char* kStateName = "user.corvane.state";
constexpr const char* kRangesName = "user.corvane.ranges";
constexpr const char* kIdName = "user.corvane.id";
constexpr const char* kIdRefName = "user.corvane.idref";
constexpr const char* kStampName = "user.corvane.stamp";
// How often the data changed: the item's update sequence number. Absent
// on items stored before it existed, which read as never changed.
constexpr const char* kChangesName = "user.corvane.changes";
constexpr uint8_t kStampVersion = 1;
constexpr size_t kStampSize = 18;
constexpr uint8_t kStampUnknownWrites = 1;
constexpr uint8_t kStateVersion = 1;
constexpr size_t kStateSize = 16;
// ext4 keeps all attributes of an inode in one block; bigger identities
// live in a side file.
constexpr size_t kInlineIdentityLimit = 1024;

enum : uint8_t { kFlagPlaceholder = 1, kFlagInSync = 2, kFlagUnpopulated = 4, kFlagCreationTime = 8, kFlagSyncRoot = 16 };

// Reads an attribute through `get` (a bound fgetxattr or getxattr); a
// missing one gives an empty value and true. Most values are a few bytes
// and take one call; only a larger one (an identity) needs its size first.
template <typename Get>
bool ReadXattr(Get get, std::string& value) {
  value.clear();
  char small[256];
  ssize_t got = get(small, sizeof small);
  if (got >= 0) {
    value.assign(small, static_cast<size_t>(got));
    return true;
  }
  while (errno == ERANGE) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0) break;
    value.resize(static_cast<size_t>(size));
    got = get(value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<size_t>(got));
      return true;
    }
  }
  value.clear();
  return errno == ENODATA || errno == ENOTSUP;
}

bool GetXattr(int fd, const char* name, std::string& value) {
  return ReadXattr([&](void* buf, size_t size) { return fgetxattr(fd, name, buf, size); }, value);
}

bool GetXattrAt(const std::string& path, const char* name, std::string& value, bool follow_link = true) {
  return ReadXattr(
      [&](void* buf, size_t size) {
        return follow_link ? getxattr(path.c_str(), name, buf, size) : lgetxattr(path.c_str(), name, buf, size);
      },
      value);
}

bool RemoveXattr(int fd, const char* name) {
  if (fremovexattr(fd, name) == 0 || errno == ENODATA) return true;
  if (errno != EACCES && errno != EPERM) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_mode & S_IWUSR) || st.st_uid != geteuid()) return false;
  if (fchmod(fd, st.st_mode | S_IWUSR) != 0) return false;
  const bool ok = fremovexattr(fd, name) == 0 || errno == ENODATA;
  const int saved = errno;
  fchmod(fd, st.st_mode & 07777);
  errno = saved;
  return ok;
}

bool DecodeRecord(const std::string& bytes, PlaceholderRecord& record) {
  record = PlaceholderRecord();
  if (bytes.empty()) return true;
  if (bytes.size() < kStateSize || static_cast<uint8_t>(bytes[0]) != kStateVersion) {
    errno = EBADMSG;
    return false;
  }
  const auto u8 = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t flags = u8(1);
  record.placeholder = flags & kFlagPlaceholder;
  record.in_sync = flags & kFlagInSync;
  record.unpopulated = flags & kFlagUnpopulated;
  record.has_creation_time = flags & kFlagCreationTime;
  record.sync_root = flags & kFlagSyncRoot;
  record.pin = u8(2);
  record.attributes = 0;
  for (int i = 3; i >= 0; --i) record.attributes = (record.attributes << 8) | u8(4 + i);
  uint64_t time = 0;
  for (int i = 7; i >= 0; --i) time = (time << 8) | u8(8 + i);
  record.creation_time = static_cast<int64_t>(time);
  return true;
}

// The file's size and last-write time when its ranges were stored.
struct Stamp {
  bool present = false;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  bool unknown_writes = false;
};

// Only compared for equality, so it may wrap: a host may set a time far
// past what nanoseconds in 64 bits hold (the signed product overflowed).
int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                              static_cast<uint64_t>(st.st_mtim.tv_nsec));
}

void DecodeStamp(const std::string& bytes, Stamp& stamp) {
  stamp = Stamp();
  // Files stored before stamps existed are taken as they are.
  if (bytes.size() != kStampSize || static_cast<uint8_t>(bytes[0]) != kStampVersion) return;
  uint64_t size = 0, mtime = 0;
  for (int i = 7; i >= 0; --i) size = (size << 8) | static_cast<uint8_t>(bytes[1 + i]);
  for (int i = 7; i >= 0; --i) mtime = (mtime << 8) | static_cast<uint8_t>(bytes[9 + i]);
  stamp.present = true;
  stamp.size = size;
  stamp.mtime_ns = static_cast<int64_t>(mtime);
  stamp.unknown_writes = static_cast<uint8_t>(bytes[17]) & kStampUnknownWrites;
}

bool StoreStamp(int fd, const Stamp& stamp) {
  uint8_t bytes[kStampSize] = {};
  bytes[0] = kStampVersion;
  for (int i = 0; i < 8; ++i) bytes[1 + i] = static_cast<uint8_t>(stamp.size >> (8 * i));
  const uint64_t mtime = static_cast<uint64_t>(stamp.mtime_ns);
  for (int i = 0; i < 8; ++i) bytes[9 + i] = static_cast<uint8_t>(mtime >> (8 * i));
  bytes[17] = stamp.unknown_writes ? kStampUnknownWrites : 0;
  return SetXattr(fd, kStampName, bytes, sizeof bytes);
}

// The stamp of data as it is in `st`.
bool StoreStampOf(int fd, const struct stat& st, Stamp stamp) {
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.mtime_ns = MtimeNs(st);
  return StoreStamp(fd, stamp);
}

// The view of a file from its stored ranges and stamp and its status now.
bool MakeView(const ByteRanges& stored, const std::string& stamp_bytes, const struct stat& st, DataView& view) {
  view = DataView();
  Stamp stamp;
  DecodeStamp(stamp_bytes, stamp);
  view.ranges = stored;
  view.unknown_writes = stamp.unknown_writes;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  view.written = stamp.present && (stamp.size != size || stamp.mtime_ns != MtimeNs(st));
  if (!view.written) return true;
  if ((!stamp.unknown_writes && stored.Covers(0, stamp.size)) || size == 0) {
    view.ranges.Clear();
    view.ranges.Add(0, size);
    view.unknown_writes = false;
  } else {
    view.ranges.Truncate(size);
    view.unknown_writes = true;
  }
  return true;
}

std::string IdentitySideFile(const std::string& ref) {
  const std::string dir = EnsureStateSubdir("identities");
  return dir.empty() ? std::string() : dir + "/" + ref;
}

std::string NewReference() {
  std::random_device rd;
  std::string ref;
  for (int i = 0; i < 32; ++i) ref.push_back(HexDigit(rd()));
  return ref;
}

}  // namespace

bool SetXattr(int fd, const char* name, const void* value, size_t size) {
  if (fsetxattr(fd, name, value, size, 0) == 0) return true;
  if (errno != EACCES && errno != EPERM) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_mode & S_IWUSR) || st.st_uid != geteuid()) return false;
  if (fchmod(fd, st.st_mode | S_IWUSR) != 0) return false;
  const bool ok = fsetxattr(fd, name, value, size, 0) == 0;
  const int saved = errno;
  fchmod(fd, st.st_mode & 07777);
  errno = saved;
  return ok;
}

bool LoadRecord(int fd, PlaceholderRecord& record) {
  std::string bytes;
  return GetXattr(fd, kStateName, bytes) && DecodeRecord(bytes, record);
}

bool LoadRecordAt(const std::string& path, PlaceholderRecord& record, bool follow_link) {
  std::string bytes;
  return GetXattrAt(path, kStateName, bytes, follow_link) && DecodeRecord(bytes, record);
}

bool StoreRecord(int fd, const PlaceholderRecord& record) {
  uint8_t bytes[kStateSize] = {};
  bytes[0] = kStateVersion;
  bytes[1] = (record.placeholder ? kFlagPlaceholder : 0) | (record.in_sync ? kFlagInSync : 0) |
             (record.unpopulated ? kFlagUnpopulated : 0) | (record.has_creation_time ? kFlagCreationTime : 0) |
             (record.sync_root ? kFlagSyncRoot : 0);
  bytes[2] = record.pin;
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(record.attributes >> (8 * i));
  const uint64_t time = static_cast<uint64_t>(record.creation_time);
  for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<uint8_t>(time >> (8 * i));
  return SetXattr(fd, kStateName, bytes, sizeof bytes);
}

bool LoadRanges(int fd, ByteRanges& ranges) {
  std::string bytes;
  if (!GetXattr(fd, kRangesName, bytes)) return false;
  if (!ranges.Decode(bytes)) {
    errno = EBADMSG;
    return false;
  }
  return true;
}

bool LoadRangesAt(const std::string& path, ByteRanges& ranges, bool follow_link) {
  std::string bytes;
  if (!GetXattrAt(path, kRangesName, bytes, follow_link)) return false;
  if (!ranges.Decode(bytes)) {
    errno = EBADMSG;
    return false;
  }
  return true;
}

bool StoreRanges(int fd, const ByteRanges& ranges, int unknown_writes, const struct stat* basis) {
  struct stat st;
  if (basis) st = *basis;
  else if (fstat(fd, &st) != 0) return false;
  Stamp stamp;
  if (unknown_writes < 0) {
    std::string bytes;
    if (!GetXattr(fd, kStampName, bytes)) return false;
    DecodeStamp(bytes, stamp);
  } else {
    stamp.unknown_writes = unknown_writes != 0;
  }
  if (ranges.empty()) {
    if (!RemoveXattr(fd, kRangesName)) return false;
  } else {
    const std::string bytes = ranges.Encode();
    if (!SetXattr(fd, kRangesName, bytes.data(), bytes.size())) return false;
  }
  return StoreStampOf(fd, st, stamp);
}

bool StoreNoRangesOfNewFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && StoreStampOf(fd, st, Stamp());
}

namespace {

bool LoadDataView(int fd, DataView& view, struct stat& st) {
  ByteRanges stored;
  std::string stamp;
  return LoadRanges(fd, stored) && GetXattr(fd, kStampName, stamp) && fstat(fd, &st) == 0 &&
         MakeView(stored, stamp, st, view);
}

}  // namespace

bool LoadDataView(int fd, DataView& view) {
  struct stat st;
  return LoadDataView(fd, view, st);
}

bool LoadDataViewAt(const std::string& path, DataView& view) {
  ByteRanges stored;
  std::string stamp;
  struct stat st;
  return LoadRangesAt(path, stored) && GetXattrAt(path, kStampName, stamp) && stat(path.c_str(), &st) == 0 &&
         MakeView(stored, stamp, st, view);
}

bool LoadDataView(int fd, const struct stat& now, DataView& view) {
  ByteRanges stored;
  std::string stamp;
  return LoadRanges(fd, stored) && GetXattr(fd, kStampName, stamp) && MakeView(stored, stamp, now, view);
}

bool LoadDataViewAt(const std::string& path, const struct stat& now, DataView& view, bool follow_link) {
  ByteRanges stored;
  std::string stamp;
  return LoadRangesAt(path, stored, follow_link) && GetXattrAt(path, kStampName, stamp, follow_link) &&
         MakeView(stored, stamp, now, view);
}

bool SettleOutsideWrites(int fd) {
  ItemStateLock lock(fd);
  return SettleOutsideWritesLocked(fd);
}

bool SettleOutsideWritesLocked(int fd, PlaceholderRecord* settled) {
  PlaceholderRecord local_record;
  PlaceholderRecord& record = settled != nullptr ? *settled : local_record;
  if (!LoadRecord(fd, record)) return false;
  if (!record.placeholder) return true;
  DataView view;
  struct stat st;
  if (!LoadDataView(fd, view, st)) return false;
  if (!view.written) return true;
  if (record.in_sync) {
    record.in_sync = false;
    if (!StoreRecord(fd, record)) return false;
  }
  return CountDataChangeLocked(fd) && StoreRanges(fd, view.ranges, view.unknown_writes ? 1 : 0, &st);
}

namespace {

bool LoadChangeCount(int fd, uint64_t& count) {
  std::string value;
  if (!GetXattr(fd, kChangesName, value)) return false;
  count = 0;
  if (value.size() == sizeof(count)) std::memcpy(&count, value.data(), sizeof(count));
  return true;
}

// Never 0, which asks for no check.
int64_t UsnOf(uint64_t changes) { return static_cast<int64_t>((changes + 1) & INT64_MAX); }

}  // namespace

bool CountDataChangeLocked(int fd) {
  uint64_t count = 0;
  if (!LoadChangeCount(fd, count)) return false;
  ++count;
  return SetXattr(fd, kChangesName, &count, sizeof(count));
}

bool LoadSettledUsnLocked(int fd, int64_t& usn) {
  uint64_t count = 0;
  if (!LoadChangeCount(fd, count)) return false;
  usn = UsnOf(count);
  return true;
}

bool LoadChangeUsnLocked(int fd, int64_t& usn) {
  usn = 0;
  PlaceholderRecord record;
  if (!LoadRecord(fd, record)) return false;
  if (!record.placeholder) return true;
  uint64_t count = 0;
  DataView view;
  if (!LoadChangeCount(fd, count) || !LoadDataView(fd, view)) return false;
  // A write the platform has not settled yet counts as the change settling
  // it will record.
  usn = UsnOf(count + (view.written ? 1 : 0));
  return true;
}

bool SettleAndLoadLocked(int fd, PlaceholderRecord& record, DataView& view, int64_t& usn) {
  usn = 0;
  if (!LoadRecord(fd, record)) return false;
  if (!record.placeholder) return true;
  struct stat st;
  if (!LoadDataView(fd, view, st)) return false;
  if (view.written) {
    if (record.in_sync) {
      record.in_sync = false;
      if (!StoreRecord(fd, record)) return false;
    }
    if (!CountDataChangeLocked(fd) || !StoreRanges(fd, view.ranges, view.unknown_writes ? 1 : 0, &st) ||
        !LoadDataView(fd, view, st))
      return false;
  }
  uint64_t count = 0;
  if (!LoadChangeCount(fd, count)) return false;
  usn = UsnOf(count + (view.written ? 1 : 0));
  return true;
}

bool LoadIdentity(int fd, std::string& identity) {
  if (!GetXattr(fd, kIdName, identity)) return false;
  if (!identity.empty()) return true;
  std::string ref;
  if (!GetXattr(fd, kIdRefName, ref)) return false;
  if (ref.empty()) return true;
  const std::string side = IdentitySideFile(ref);
  if (side.empty() || !ReadWholeFile(side, identity)) {
    identity.clear();
    errno = EBADMSG;
    return false;
  }
  return true;
}

bool StoreIdentity(int fd, std::string_view identity) {
  std::string old_ref;
  GetXattr(fd, kIdRefName, old_ref);
  bool ok;
  if (identity.empty()) {
    ok = RemoveXattr(fd, kIdName) && RemoveXattr(fd, kIdRefName);
  } else if (identity.size() <= kInlineIdentityLimit) {
    ok = SetXattr(fd, kIdName, identity.data(), identity.size()) && RemoveXattr(fd, kIdRefName);
  } else {
    const std::string ref = NewReference();
    const std::string side = IdentitySideFile(ref);
    ok = !side.empty() && WriteFileAtomically(side, std::string(identity)) &&
         SetXattr(fd, kIdRefName, ref.data(), ref.size()) && RemoveXattr(fd, kIdName);
    if (!ok && !side.empty()) unlink(side.c_str());
  }
  if (ok && !old_ref.empty()) {
    const std::string side = IdentitySideFile(old_ref);
    if (!side.empty()) unlink(side.c_str());
  }
  return ok;
}

bool StoreNewIdentity(int fd, std::string_view identity) {
  if (identity.empty()) return true;
  if (identity.size() <= kInlineIdentityLimit) return SetXattr(fd, kIdName, identity.data(), identity.size());
  return StoreIdentity(fd, identity);
}

bool RemoveCloudState(int fd) {
  PlaceholderRecord record;
  if (!LoadRecord(fd, record)) return false;
  // Attributes and birth time are the item's own, not cloud state.
  PlaceholderRecord plain;
  plain.attributes = record.attributes;
  plain.has_creation_time = record.has_creation_time;
  plain.creation_time = record.creation_time;
  return StoreIdentity(fd, {}) && RemoveXattr(fd, kRangesName) && RemoveXattr(fd, "user.corvane.progress") &&
         RemoveXattr(fd, kStampName) &&
         StoreRecord(fd, plain);
}

// The lock between processes is taken on a lock file, not on the item:
// applications take flock() on their own files, and one that held a lock
// would stall the platform's writes to the item, and through the stripe's
// mutex those of other items.
namespace {
thread_local bool item_lock_held = false;

LockStripe& StripeOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? LockStripe::For(st) : LockStripe::Fallback();
}

}  // namespace

bool ItemStateLock::HeldHere() { return item_lock_held; }

// The stripe's mutex is held from here to the destructor, which the
// analysis cannot follow across the two.
ItemStateLock::ItemStateLock(int fd) NO_THREAD_SAFETY_ANALYSIS : stripe_(StripeOf(fd)),
                                                                 fd_(fd),
                                                                 locked_fd_(stripe_.Acquire(fd)) {
  item_lock_held = true;
}

ItemStateLock::ItemStateLock(int fd, uint64_t dev, uint64_t ino) NO_THREAD_SAFETY_ANALYSIS
    : stripe_(ino != 0 ? LockStripe::For(dev, ino) : StripeOf(fd)),
      fd_(fd),
      locked_fd_(stripe_.Acquire(fd)) {
  item_lock_held = true;
}

ItemStateLock::~ItemStateLock() NO_THREAD_SAFETY_ANALYSIS {
  stripe_.Release(fd_, locked_fd_);
  item_lock_held = false;
}

int OpenForPlatformWrite(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0 || (errno != EACCES && errno != EPERM)) return fd;
  const int ro = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (ro < 0) return -1;
  int saved = 0;
  {
    // Windows lets the provider write a read-only file without a change of
    // its attributes; readers under the lock never see it writable.
    ItemStateLock lock(ro);
    struct stat st;
    if (fstat(ro, &st) != 0 || st.st_uid != geteuid() || fchmod(ro, st.st_mode | S_IWUSR) != 0) {
      saved = EACCES;
    } else {
      const std::string self = "/proc/self/fd/" + std::to_string(ro);
      fd = open(self.c_str(), O_RDWR | O_CLOEXEC);
      saved = errno;
      fchmod(ro, st.st_mode & 07777);
    }
  }
  close(ro);
  errno = saved;
  return fd;
}

}  // namespace corvane::platform::local
