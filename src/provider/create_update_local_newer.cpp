// Protects a local edit from a listing: when the local copy of a file
// (whole, or holding local changes) was written after the host's version,
// the engine sends it to the host instead of the local file being overwritten.
#include "core/engine_core.h"
#include "diag/result_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/create_update.h"

namespace corvane {

using namespace platform;

namespace {

int32_t FailOpen(EngineCore& engine, const char16_t* format, std::u16string_view path, uint32_t error) {
  engine.diag.SetOsLastError(error);
  LogF(engine.diag.log_sink(), kLogFailure, format, path, error);
  return kErrOsCallFailed;
}

}  // namespace

int32_t CheckLocalFileNewer(EngineCore& engine, std::u16string_view full_path, std::u16string_view relative_path,
                            int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                            int32_t attributes, bool whole, bool* newer, bool* locked) {
  LogSink* sink = engine.diag.log_sink();
  *newer = false;
  *locked = false;
  LogF(sink, kLogVerbose, u"Checking if local file is newer than remote: '%s'", relative_path);
  const std::u16string full(full_path);
  const Handle file = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, 0);
  if (file == INVALID_HANDLE_VALUE) {
    const uint32_t error = GetLastError();
    *locked = error == ERROR_SHARING_VIOLATION;
    return FailOpen(engine, u"Failed to open file: '%s'. OS error code: 0x%x", relative_path, error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL got = GetFileInformationByHandle(file, &info);
  const uint32_t info_error = got ? 0 : GetLastError();
  CloseHandle(file);
  if (!got) return FailOpen(engine, u"Failed to get file information: '%s'. OS error code: 0x%x", relative_path,
                            info_error);

  *newer = info.ftLastWriteTime > last_write_time;
  LogF(sink, kLogVerbose, u"Local file is newer: %s", *newer ? u"true" : u"false");
  int32_t result = kOk;
  if (*newer) {
    result = engine.SendNewerLocalVersion(full_path, relative_path, info, creation_time, last_access_time, attributes,
                                          whole);
  }
  LogF(sink, kLogVerbose, u"Checking if local file is newer finished for: '%s'. Result: 0x%x", relative_path,
       static_cast<uint32_t>(result));
  return result;
}

}  // namespace corvane
