#include "engine/task.h"

#include <chrono>

#include "platform/types.h"
#include "provider/create_update_states.h"

namespace corvane {

const char16_t* OperationTypeName(int32_t type) {
  static const char16_t* const kNames[] = {u"OP_UNDEFINED", u"OP_RENAME", u"OP_READ_DATA", u"OP_WRITE_DATA",
                                           u"OP_CREATE",    u"OP_DELETE", u"OP_LIST",      u"OP_INTERNAL_LIST"};
  if (type < OP_UNDEFINED || type > OP_INTERNAL_LIST) return u"OP_UNKNOWN";
  return kNames[type + 1];
}

Task::~Task() { Reset(); }

void Task::Prepare(std::u16string_view path, int32_t type, CallbackTaskContext* context) {
  Path.assign(path);
  LocalPath.clear();
  LocalFile = -1;
  LocalFileOpened = 0;
  CloseLocalFile = nullptr;
  LocalFileSize = -1;
  ReportedSize = -1;
  ReportedWriteTime = 0;
  ReportedFileId = -1;
  ReportedUsn = 0;
  AnswerSettled = false;
  OperationType = type;
  Context = context;
  ResultCode.store(0);
  RetryRecord.reset();
  Cancelled.store(0);
  HandlerBusy.store(0);
  StartTime.store(0);
  Completed.store(0);
  if (type == OP_READ_DATA) Transfer = std::make_unique<TransferStream>();
  if (type == OP_RENAME) RenameInfo = std::make_unique<corvane::RenameInfo>();
  if (type == OP_LIST || type == OP_INTERNAL_LIST) Listing = std::make_unique<corvane::Listing>();
}

void Task::Reset() {
  if (LocalFileOpened != 0 && CloseLocalFile != nullptr) CloseLocalFile(LocalFile);
  LocalFile = -1;
  LocalFileOpened = 0;
  CloseLocalFile = nullptr;
  TaskId = -1;
  // Swapping with empty strings hands the memory back; clear() would keep it.
  std::u16string().swap(Path);
  std::u16string().swap(LocalPath);
  Transfer.reset();
  RenameInfo.reset();
  Listing.reset();
  RetryRecord.reset();
  Context = nullptr;
}

void Task::EnterHandler() {
  HandlerLock.Lock();
  handler_owner_.store(std::this_thread::get_id());
  HandlerBusy.store(1);
}

void Task::LeaveHandler() {
  if (!HandlerHeldByThisThread()) return;
  HandlerBusy.store(0);
  handler_owner_.store(std::thread::id());
  HandlerLock.Unlock();
}

bool Task::HandlerHeldByThisThread() const {
  return HandlerBusy.load() != 0 && handler_owner_.load() == std::this_thread::get_id();
}

int64_t CurrentTimeMs() {
  using namespace std::chrono;
  const int64_t unix_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return unix_ms + platform::kFileTimeUnixEpoch / 10000;
}

void NoteReportedVersion(EngineCore& engine, Task& task, bool folder, int64_t size, int64_t last_write_time,
                         int64_t known_file_id, int64_t known_usn) {
  task.ReportedSize = folder ? -1 : size;
  task.ReportedWriteTime = last_write_time;
  if (folder) return;
  if (known_file_id > 0 && known_usn != 0) {
    task.ReportedFileId = known_file_id;
    task.ReportedUsn = known_usn;
    return;
  }
  const FileVersion version = ReadFileVersion(engine, task.Path);
  task.ReportedFileId = version.file_id;
  task.ReportedUsn = version.usn;
}

}  // namespace corvane
