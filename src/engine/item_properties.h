// The check of the item properties that methods hand to the engine.
#pragma once

#include <cstdint>

namespace corvane {

class LogSink;

// The only attribute bits a host may pass: read-only, hidden, system,
// pinned, unpinned and the folder bit.
constexpr uint32_t kItemAttributeMask = 0x4030000E;

// 0, or the code of the first property that is out of range (logged).
int32_t CheckItemProperties(LogSink* sink, int32_t attributes, int64_t size, int64_t creation_time,
                            int64_t last_access_time, int64_t last_write_time, int32_t flags);

// The two verbose lines that the item steps log under their call line:
// attributes and size, then the three times.
void LogItemProperties(LogSink* sink, int32_t attributes, int64_t size, int64_t creation_time,
                       int64_t last_access_time, int64_t last_write_time);

}  // namespace corvane
