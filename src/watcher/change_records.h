// Walking one buffer of directory-change records. The buffer comes from the
// platform, but a record is only used when all of it lies inside the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/directory_changes.h"

namespace corvane {

using ChangeRecord = platform::FILE_NOTIFY_EXTENDED_INFORMATION;

// The records of `buffer` in order. The walk ends at the first record whose
// header or name runs past the end, or whose next offset is not a multiple
// of 8 (records hold 64-bit fields); the records before it are kept.
std::vector<const ChangeRecord*> SplitChangeRecords(const std::vector<uint8_t>& buffer);

// The record's name as a path relative to the watched folder ("\a\b").
std::u16string RelativePathOf(const ChangeRecord& record);

}  // namespace corvane
