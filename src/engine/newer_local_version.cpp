// The engine's answer to a listing that found a file's local copy newer than
// the host's version: the host is sent that copy as an update.
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/enumeration_report.h"
#include "engine/retry_wrappers.h"
#include "engine/task.h"
#include "halvex/corvane.h"
#include "platform/errors.h"
#include "provider/create_update.h"
#include "provider/create_update_states.h"

namespace corvane {

using namespace platform;

// The host's own answer shows only in the error mark.
int32_t Engine::SendNewerLocalVersion(std::u16string_view full_path, std::u16string_view relative_path,
                                      const BY_HANDLE_FILE_INFORMATION& local, int64_t creation_time,
                                      int64_t last_access_time, int32_t attributes, bool whole) {
  LogSink* sink = diag.log_sink();
  const std::u16string relative(relative_path);
  Task* task = tasks.CreateTask(relative, OP_WRITE_DATA, nullptr);
  if (task == nullptr) return diag.Record(kErrOutOfMemory, kTextOutOfMemory);
  task->LocalPath = std::u16string(full_path);
  const int64_t size = static_cast<int64_t>((static_cast<uint64_t>(local.nFileSizeHigh) << 32) | local.nFileSizeLow);
  // The user may write again while the host takes this copy.
  NoteReportedVersion(*this, *task, false, size, local.ftLastWriteTime);
  tasks.RegisterTask(task);

  if (int32_t rc = DoSetPlaceholderSyncState(*this, relative, false); rc != kOk) {
    const uint32_t error = GetLastError();
    diag.SetOsLastError(error);
    LogF(sink, kLogFailure, u"Failed to set placeholder sync state to false: '%s'. OS error code: 0x%x", relative,
         error);
    tasks.RemoveTask(task, task->TaskId, false);
    return rc;
  }
  const int32_t local_attributes = FromPlatformAttributes(local.dwFileAttributes) & ~HALVEX_ATTR_DIRECTORY;
  // Partly local data is no content the host can take as a whole: it hears
  // of the new time and reads the written ranges itself.
  int32_t update_flags = whole ? 0x40 : 0x04;
  if (local_attributes != (attributes & ~HALVEX_ATTR_DIRECTORY)) update_flags |= 0x20;
  if (local.ftCreationTime != creation_time) update_flags |= 0x2;
  if (local.ftLastAccessTime != last_access_time) update_flags |= 0x8;
  int32_t answer = kOk;
  const int32_t fired = FireUpdateWithRetry(*this, *task, relative, false, update_flags, local_attributes, size,
                                            local.ftCreationTime, local.ftLastAccessTime, local.ftLastWriteTime,
                                            answer);
  const bool async = answer == kErrPending;
  if (async) {
    Log(sink, kLogVerbose, u"UpdateItem fired in async mode");
    task->StartTime.store(CurrentTimeMs());
  } else if (answer != kErrRetry && settings.windows_update_icon_on_update_errors.load()) {
    SetItemErrorMark(*this, full_path, answer != kOk);
  }
  if (fired != 0) task->LeaveHandler();
  int32_t result = kOk;
  if (!async && answer == kOk) {
    if (int32_t rc = MarkTakenVersionInSync(*this, relative, task->ReportedSize, task->ReportedWriteTime,
                                            task->ReportedFileId, task->ReportedUsn);
        rc != kOk) {
      const uint32_t error = GetLastError();
      diag.SetOsLastError(error);
      LogF(sink, kLogFailure, u"Failed to set placeholder sync state to true: '%s'. OS error code: 0x%x", relative,
           error);
      result = rc;
    }
  }
  if (!async) tasks.RemoveTask(task, task->TaskId, false);
  // The host has no such item (a create it refused, or whose answer a stop
  // lost): the file is offered as what it is to the host, new.
  if (answer == kErrItemNotFound) {
    LogF(sink, kLogVerbose, u"The host does not have '%s': it is offered as new", relative);
    return ReportNewLocalFile(*this, std::u16string(full_path), local_attributes, size, local.ftCreationTime,
                              local.ftLastAccessTime, local.ftLastWriteTime, false);
  }
  return result;
}


}  // namespace corvane
