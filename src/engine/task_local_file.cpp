// GetLocalFileData: the host reads the local file of a task (to upload it).

#include "engine/task_local_file.h"

#include <algorithm>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/task.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"

namespace corvane {
namespace {

void CloseLocalFile(intptr_t file) { platform::CloseHandle(file); }

bool StillTheReportedFile(const Task& task, platform::Handle file) {
  if (task.ReportedFileId < 0) return true;
  platform::BY_HANDLE_FILE_INFORMATION info;
  if (!platform::GetFileInformationByHandle(file, &info)) return false;
  const auto id = static_cast<int64_t>((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  return id == task.ReportedFileId;
}

// A placeholder with data still in the cloud: reading it for an upload would
// ask the host for its own bytes (and wait on this very engine).
bool NotAllOnDisk(Engine& engine, const std::u16string& path) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(path.c_str());
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) &&
         !IsWholePlaceholder(state);
}

// Ends a failed read: the lookup's reference goes back first.
int32_t Fail(Engine& engine, Task* task, int32_t code) {
  engine.tasks.ReleaseTask(task);
  return engine.diag.Record(code, ResultMessage(code));
}

}  // namespace

int32_t ReadTaskLocalData(Engine& engine, int64_t task_id, int64_t position, uint8_t* buffer, int32_t count,
                          int32_t* bytes_read) {
  LogSink* sink = engine.diag.log_sink();
  *bytes_read = 0;
  Task* task = nullptr;
  if (int32_t rc = engine.tasks.FindTask(task_id, false, &task); rc != kOk) return Fail(engine, task, rc);
  if (task == nullptr) return engine.diag.Record(kErrInvalidParameter, "No operation found by the provided OpId");

  int32_t failure = kOk;
  {
    // One reader at a time: the handle and the size are shared by all reads
    // of the task.
    RecursiveMutexLock lock(task->TaskLock);
    if (task->LocalPath.empty()) {
      failure = kErrReadBeyondEof;
    } else if (position < 0) {
      // A negative offset would read from wherever it wraps to.
      failure = kErrInvalidParameter;
    }
    if (failure == kOk && task->LocalFileOpened == 0) {
      LogF(sink, kLogVerbose, u"Opening local data file %s", task->LocalPath);
      const platform::Handle file =
          platform::CreateFileW(task->LocalPath.c_str(), platform::GENERIC_READ,
                                platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE,
                                nullptr, platform::OPEN_EXISTING, platform::FILE_FLAG_RANDOM_ACCESS, 0);
      if (file == platform::INVALID_HANDLE_VALUE) {
        LogF(sink, kLogVerbose, u"Opening local data file failed with system error code %d",
             platform::GetLastError());
        failure = kErrLocalDataFailed;
      } else if (!StillTheReportedFile(*task, file)) {
        // Moved away since its report, and another file moved to its path:
        // that file's bytes are not the reported item's.
        LogF(sink, kLogVerbose, u"The local data file %s is no longer the item that was reported", task->LocalPath);
        platform::CloseHandle(file);
        failure = kErrLocalDataFailed;
      } else if (NotAllOnDisk(engine, task->LocalPath)) {
        LogF(sink, kLogVerbose, u"The local data of %s is not all on disk: it is not read for an upload",
             task->LocalPath);
        platform::CloseHandle(file);
        failure = kErrLocalDataFailed;
      } else {
        task->LocalFile = file;
        task->LocalFileOpened = 1;
        task->CloseLocalFile = &CloseLocalFile;
      }
    }
    if (failure == kOk && task->LocalFileSize == -1) {
      platform::LARGE_INTEGER size = 0;
      if (!platform::GetFileSizeEx(task->LocalFile, &size)) {
        LogF(sink, kLogVerbose, u"Getting local data size failed with system error code %d",
             platform::GetLastError());
        failure = kErrLocalDataFailed;
      } else {
        task->LocalFileSize = size;
      }
    }
    if (failure == kOk && position > task->LocalFileSize) {
      Log(sink, kLogVerbose, u"Getting local data, reading beyond EOF");
      failure = kErrReadBeyondEof;
    }
    if (failure == kOk) {
      const int64_t to_read = std::min<int64_t>(count, task->LocalFileSize - position);
      if (to_read >= 1) {
        platform::DWORD read = 0;
        if (!platform::ReadFile(task->LocalFile, buffer, static_cast<platform::DWORD>(to_read), &read,
                                static_cast<uint64_t>(position)) ||
            read == 0) {
          LogF(sink, kLogVerbose, u"Getting local data failed with system error code %d", platform::GetLastError());
          failure = kErrLocalDataFailed;
        } else {
          *bytes_read = static_cast<int32_t>(read);
        }
      }
    }
  }
  if (failure != kOk) return Fail(engine, task, failure);
  engine.tasks.ReleaseTask(task);
  LogF(sink, kLogVerbose, u"Getting local data finished. Operation handle: %I64u, Bytes Read: '%d'",
       static_cast<uint64_t>(task_id), *bytes_read);
  return kOk;
}

}  // namespace corvane
