#include "platform/local/data_access.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/local/local_item.h"
#include "platform/local/placeholder_store.h"
#include "platform/local/provider_link.h"
#include "platform/local/sync_roots.h"

namespace corvane::platform::local {
namespace {

bool RootOf(const std::string& path, std::string& root) {
  SyncRootRecord record;
  if (!FindSyncRootFor(CanonicalPath(path), record)) return false;
  root = record.root;
  return true;
}

// Writes zeros over a range where holes cannot be punched.
bool ZeroRange(int fd, uint64_t offset, uint64_t length) {
  std::vector<char> zeros(std::min<uint64_t>(length, 1 << 20), 0);
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    const ssize_t k = pwrite(fd, zeros.data(), n, static_cast<off_t>(offset));
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    offset += static_cast<uint64_t>(k);
    length -= static_cast<uint64_t>(k);
  }
  return true;
}

// The name the open file `fd` has now: a handle follows its file through
// renames, and a fetch sent under the name it was opened by would reach
// whatever file holds that name now. False when the file has no name left.
bool CurrentName(int fd, const std::string& opened_as, std::string& name) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_nlink == 0) return false;
  char link[64], buf[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, buf, sizeof buf);
  if (n > 0 && n < static_cast<ssize_t>(sizeof buf) && buf[0] == '/')
    name.assign(buf, static_cast<size_t>(n));
  else
    name = opened_as;
  return true;
}

}  // namespace

NTSTATUS EnsureOnDisk(int fd, const std::string& path, uint64_t offset, uint64_t length) {
  LocalItem info;
  if (!ReadLocalItem(fd, info)) return STATUS_CLOUD_FILE_UNSUCCESSFUL;
  if (!info.record.placeholder || info.is_dir) return STATUS_SUCCESS;
  const uint64_t end = std::min(info.size, offset + std::min(length, UINT64_MAX - offset));
  if (offset >= end || info.ranges.Covers(offset, end)) return STATUS_SUCCESS;
  // A program's own writes are never fetched over; where they are cannot be
  // told in a file that holds unknown writes, so nothing of it is fetched.
  if (!SettleOutsideWrites(fd) || !ReadLocalItem(fd, info)) return STATUS_CLOUD_FILE_UNSUCCESSFUL;
  if (info.ranges.Covers(offset, end)) return STATUS_SUCCESS;
  if (info.unknown_writes) return STATUS_CLOUD_FILE_NOT_IN_SYNC;
  ProviderRequest request;
  if (!CurrentName(fd, path, request.path)) return STATUS_CLOUD_FILE_UNSUCCESSFUL;
  std::string root;
  if (!RootOf(request.path, root)) return STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
  request.type = RequestType::kFetchData;
  request.dev = info.dev;
  request.ino = info.ino;
  request.offset = offset;
  request.length = end - offset;
  const NTSTATUS status = AskProvider(root, request, true);
  if (status != STATUS_SUCCESS) return status;
  ByteRanges ranges;
  if (!LoadRanges(fd, ranges) || !ranges.Covers(offset, end)) return STATUS_CLOUD_FILE_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS EnsurePopulated(const std::string& folder) {
  PlaceholderRecord record;
  if (!LoadRecordAt(folder, record) || !record.placeholder || !record.unpopulated) return STATUS_SUCCESS;
  std::string root;
  if (!RootOf(folder, root)) return STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
  ProviderRequest request;
  request.type = RequestType::kFetchPlaceholders;
  request.path = folder;
  request.pattern.assign(1, '*');
  return AskProvider(root, request, true);
}

bool DehydrateRange(int fd, uint64_t offset, uint64_t length) {
  ItemStateLock lock(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  // Only whole pages can be given back; a partial page at the end of the
  // file counts as whole.
  uint64_t begin = (offset + kPageSize - 1) / kPageSize * kPageSize;
  uint64_t end = length >= size || offset + length >= size ? size : (offset + length) / kPageSize * kPageSize;
  if (offset == 0) begin = 0;
  if (begin >= end) return true;
  if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(begin),
                static_cast<off_t>(end - begin)) != 0) {
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    if (begin == 0 && end == size) {
      if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
    } else if (!ZeroRange(fd, begin, end - begin)) {
      return false;
    }
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  futimens(fd, times);
  ByteRanges ranges;
  if (!LoadRanges(fd, ranges)) return false;
  ranges.Remove(begin, end);
  return StoreRanges(fd, ranges, -1, &st);
}

namespace {

// What a write to a placeholder changes, read under its state lock: the
// record, the ranges on disk and the file's size. False when the file
// cannot be read; `placeholder` false when there is nothing to keep.
struct WriteState {
  PlaceholderRecord record;
  ByteRanges ranges;
  uint64_t size = 0;
  bool placeholder = false;
  struct stat st = {};  // the status the size is from: the ranges' basis
};

bool LoadWriteState(int fd, WriteState& state) {
  if (!LoadRecord(fd, state.record)) return false;
  state.placeholder = state.record.placeholder;
  if (!state.placeholder) return true;
  if (!LoadRanges(fd, state.ranges) || fstat(fd, &state.st) != 0) return false;
  state.size = static_cast<uint64_t>(state.st.st_size);
  return true;
}

}  // namespace

bool RecordApplicationWrite(int fd, uint64_t begin, uint64_t end, bool truncated) {
  ItemStateLock lock(fd);
  return RecordApplicationWriteLocked(fd, begin, end, truncated);
}

bool RecordApplicationWriteLocked(int fd, uint64_t begin, uint64_t end, bool truncated) {
  if (!SettleOutsideWritesLocked(fd)) return false;
  WriteState state;
  if (!LoadWriteState(fd, state)) return false;
  if (!state.placeholder) return true;
  if (truncated) state.ranges.Clear();
  state.ranges.Truncate(state.size);
  state.ranges.Add(begin, end);
  if (truncated) state.ranges.Add(0, state.size);
  state.record.in_sync = false;
  // Emptied, the file holds only what is written from now on.
  return CountDataChangeLocked(fd) && StoreRanges(fd, state.ranges, truncated ? 0 : -1, &state.st) &&
         StoreRecord(fd, state.record);
}

bool RecordWrittenRangeLocked(int fd, uint64_t begin, uint64_t end) {
  WriteState state;
  if (!LoadWriteState(fd, state)) return false;
  if (!state.placeholder) return true;
  state.ranges.Truncate(state.size);
  state.ranges.Add(begin, std::min(end, state.size));
  // Stored even when nothing is new: the write moved the file's time, which
  // must not pass for a write outside the platform.
  return StoreRanges(fd, state.ranges, -1, &state.st);
}

bool SetTimesKeepingData(int fd, const timespec times[2]) {
  ItemStateLock lock(fd);
  if (!SettleOutsideWritesLocked(fd)) return false;
  if (futimens(fd, times) != 0) return false;
  PlaceholderRecord record;
  struct stat st;
  if (!LoadRecord(fd, record) || fstat(fd, &st) != 0) return false;
  if (!record.placeholder || !S_ISREG(st.st_mode)) return true;
  ByteRanges ranges;
  return LoadRanges(fd, ranges) && StoreRanges(fd, ranges);
}

bool NotifyOpen(const std::string& path) {
  PlaceholderRecord record;
  if (!LoadRecordAt(path, record) || !record.placeholder) return false;
  std::string root;
  if (!RootOf(path, root)) return false;
  ProviderRequest request;
  request.type = RequestType::kOpenFile;
  request.path = path;
  AskProvider(root, request, false);
  return true;
}

void NotifyClose(const std::string& path, bool deleted) {
  std::string root;
  if (!RootOf(path, root)) return;
  ProviderRequest request;
  request.type = RequestType::kCloseFile;
  request.path = path;
  request.flags = deleted ? CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED : 0;
  AskProvider(root, request, false);
}

}  // namespace corvane::platform::local
