// The platform's work on a placeholder's data, shared by the file calls,
// the cloud-files calls and the client: waiting for missing ranges and
// populations, dehydrating, and recording application writes.
#pragma once

#include <cstdint>
#include <string>
#include <ctime>

#include "platform/types.h"

namespace corvane::platform::local {

// Makes [offset, offset+length) of the file (clipped at its end) present on
// disk, asking the connected provider for what is missing and waiting.
NTSTATUS EnsureOnDisk(int fd, const std::string& path, uint64_t offset, uint64_t length);

// A placeholder folder that is not populated yet asks the provider for its
// placeholders and waits; anything else succeeds at once.
NTSTATUS EnsurePopulated(const std::string& folder);

// Gives the range's disk space back and forgets it as hydrated; file times
// stay as they were (dehydration is not a change of the content).
bool DehydrateRange(int fd, uint64_t offset, uint64_t length);

// An application wrote [begin, end): that data is local now, and the item
// no longer matches the cloud.
bool RecordApplicationWrite(int fd, uint64_t begin, uint64_t end, bool truncated);
// The same, with the item's state lock held by the caller: held until the
// data has landed and RecordWrittenRangeLocked ran, so that nobody sees the
// new bytes before their record (they would pass for a write the platform
// cannot place, and the file could never be filled again).
bool RecordApplicationWriteLocked(int fd, uint64_t begin, uint64_t end, bool truncated);
// After the data landed: [begin, end) is local. Covers a file that became a
// placeholder while the write was under way, whose state then only knew the
// bytes that were there at that moment.
bool RecordWrittenRangeLocked(int fd, uint64_t begin, uint64_t end);

// Sets a file's times (futimens) as a change of its metadata only: a
// placeholder's data stays as the platform knows it.
bool SetTimesKeepingData(int fd, const timespec times[2]);

// Tell the provider (when one is connected) of an application's open of a
// placeholder file, and of its close. The close of every open told comes,
// also for a file renamed or deleted meanwhile: `path` is its name then,
// and `deleted` says it is gone.
bool NotifyOpen(const std::string& path);
void NotifyClose(const std::string& path, bool deleted);

constexpr uint64_t kPageSize = 4096;

}  // namespace corvane::platform::local
