#include "engine/item_properties.h"

#include "diag/log.h"
#include "diag/result_codes.h"

namespace corvane {

int32_t CheckItemProperties(LogSink* sink, int32_t attributes, int64_t size, int64_t creation_time,
                            int64_t last_access_time, int64_t last_write_time, int32_t flags) {
  if (attributes < 0 || (static_cast<uint32_t>(attributes) & ~kItemAttributeMask) != 0) {
    Log(sink, kLogFailure, u"Invalid item attributes");
    return kErrInvalidItemAttributes;
  }
  if (size < 0) {
    Log(sink, kLogFailure, u"Invalid item size value");
    return kErrInvalidItemProperty;
  }
  if (creation_time < 0 || last_access_time < 0 || last_write_time < 0) {
    Log(sink, kLogFailure, u"Invalid item date value");
    return kErrInvalidItemProperty;
  }
  if (flags < 0) {
    Log(sink, kLogFailure, u"Invalid flags value");
    return kErrInvalidParameter;
  }
  return kOk;
}

void LogItemProperties(LogSink* sink, int32_t attributes, int64_t size, int64_t creation_time,
                       int64_t last_access_time, int64_t last_write_time) {
  LogF(sink, kLogVerbose, u"  Attributes(%x), Size(%I64u)", static_cast<uint32_t>(attributes),
       static_cast<uint64_t>(size));
  LogF(sink, kLogVerbose, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
       static_cast<uint64_t>(creation_time), static_cast<uint64_t>(last_access_time),
       static_cast<uint64_t>(last_write_time));
}

}  // namespace corvane
