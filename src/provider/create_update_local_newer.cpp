// Protects a local edit from a listing: when the local copy of a file
// (whole, or holding local changes) was written after the host's version, the host receives UpdateFile
// with the local properties instead of the local file being overwritten.
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/retry_wrappers.h"
#include "halvex/corvane.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/create_update.h"
#include "provider/create_update_states.h"

namespace corvane {

using namespace platform;

namespace {

int32_t FailOpen(Engine& engine, const char16_t* format, std::u16string_view path, uint32_t error) {
  engine.diag.SetOsLastError(error);
  LogF(engine.diag.log_sink(), kLogFailure, format, path, error);
  return kErrOsCallFailed;
}

// Hands the newer local copy to the host; 0 unless the in-sync state could
// not be changed. The host's own answer shows only in the error mark.
int32_t SendLocalVersion(Engine& engine, std::u16string_view full_path, std::u16string_view relative_path,
                         const BY_HANDLE_FILE_INFORMATION& local, int64_t creation_time, int64_t last_access_time,
                         int32_t attributes, bool whole) {
  LogSink* sink = engine.diag.log_sink();
  const std::u16string relative(relative_path);
  Task* task = engine.tasks.CreateTask(relative, OP_WRITE_DATA, nullptr);
  if (task == nullptr) return engine.diag.Record(kErrOutOfMemory, kTextOutOfMemory);
  task->LocalPath = std::u16string(full_path);
  engine.tasks.RegisterTask(task);

  if (int32_t rc = DoSetPlaceholderSyncState(engine, relative, false); rc != kOk) {
    const uint32_t error = GetLastError();
    engine.diag.SetOsLastError(error);
    LogF(sink, kLogFailure, u"Failed to set placeholder sync state to false: '%s'. OS error code: 0x%x", relative,
         error);
    engine.tasks.RemoveTask(task, task->TaskId, false);
    return rc;
  }
  const int32_t local_attributes = FromPlatformAttributes(local.dwFileAttributes) & ~HALVEX_ATTR_DIRECTORY;
  // Partly local data is no content the host can take as a whole: it hears
  // of the new time and reads the written ranges itself.
  int32_t update_flags = whole ? 0x40 : 0x04;
  if (local_attributes != (attributes & ~HALVEX_ATTR_DIRECTORY)) update_flags |= 0x20;
  if (local.ftCreationTime != creation_time) update_flags |= 0x2;
  if (local.ftLastAccessTime != last_access_time) update_flags |= 0x8;
  const int64_t size = static_cast<int64_t>((static_cast<uint64_t>(local.nFileSizeHigh) << 32) | local.nFileSizeLow);
  int32_t answer = kOk;
  const int32_t fired = FireUpdateWithRetry(engine, *task, relative, false, update_flags, local_attributes, size,
                                            local.ftCreationTime, local.ftLastAccessTime, local.ftLastWriteTime,
                                            answer);
  const bool async = answer == kErrPending;
  if (async) {
    Log(sink, kLogVerbose, u"UpdateItem fired in async mode");
    task->StartTime.store(CurrentTimeMs());
  } else if (answer != kErrRetry && engine.settings.windows_update_icon_on_update_errors.load()) {
    SetItemErrorMark(engine, full_path, answer != kOk);
  }
  if (fired != 0) task->LeaveHandler();
  int32_t result = kOk;
  if (!async && answer == kOk) {
    if (int32_t rc = DoSetPlaceholderSyncState(engine, relative, true); rc != kOk) {
      const uint32_t error = GetLastError();
      engine.diag.SetOsLastError(error);
      LogF(sink, kLogFailure, u"Failed to set placeholder sync state to true: '%s'. OS error code: 0x%x", relative,
           error);
      result = rc;
    }
  }
  if (!async) engine.tasks.RemoveTask(task, task->TaskId, false);
  return result;
}

}  // namespace

int32_t CheckLocalFileNewer(Engine& engine, std::u16string_view full_path, std::u16string_view relative_path,
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
  if (*newer) result = SendLocalVersion(engine, full_path, relative_path, info, creation_time, last_access_time, attributes,
                                       whole);
  LogF(sink, kLogVerbose, u"Checking if local file is newer finished for: '%s'. Result: 0x%x", relative_path,
       static_cast<uint32_t>(result));
  return result;
}

}  // namespace corvane
