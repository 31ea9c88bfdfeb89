// Hydration: the platform's request for file data becomes the host's
// GetFileData event; the bytes the host supplies leave for the platform in
// whole chunks, the remainder when the task is finalized.
#include "callbacks/fetch_data.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "callbacks/callback_dispatch.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/retry_wrappers.h"
#include "engine/task.h"
#include "engine/task_cancel.h"
#include "provider/create_update.h"
#include "provider/create_update_states.h"
#include "provider/item_identity.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"

namespace corvane {

using namespace platform;

namespace {

constexpr int64_t kChunkSize = 409600;
// The platform takes transfers in whole pages (but for the one ending the file).
constexpr size_t kPageSize = 4096;
static_assert(kChunkSize % kPageSize == 0);
// The most one answer carries: its copy stays small enough to be reused.
constexpr size_t kMaxTransfer = 8 * kChunkSize;
// Above this size the whole file is asked of the host at once.
constexpr int64_t kWholeFileThreshold = 0x100000000LL;

bool TaskRegistered(Engine& engine, const Task& task) {
  TaskRegistry::Lock lock(engine.tasks);
  return engine.tasks.IsRegisteredLocked(&task);
}

void ReportProgress(const CallbackTaskContext& context) {
  CfReportProviderProgress(context.answer.connection_key, context.answer.transfer_key, context.total,
                           context.sent_to.load() - context.required_offset);
}

// Fails the fetch towards the platform over the asked range, without data.
void AnswerFailure(Engine& engine, const CallbackTaskContext& context, int64_t length, int32_t code) {
  PlaceholderAction answer = context.answer;
  answer.offset = context.required_offset;
  answer.length = length;
  CompleteCallbackAction(engine, answer, code);
}

// Ends a fetch that cannot go on: an asynchronous task is marked completed
// so that it gets removed, the host is told through CancelTask. Returns `code`.
int32_t FailTransfer(Engine& engine, Task& task, int32_t code) {
  if (task.StartTime.load() > 0) task.Completed.exchange(1);
  int32_t answer = kOk;
  DoCancelTask(engine, task, task.Path, answer);
  engine.diag.RecordCode(code);
  return code;
}

}  // namespace

void AbandonFetch(Engine& engine, Task& task, int32_t code) {
  {
    RecursiveMutexLock lock(task.TaskLock);
    // A fetch that the platform cancelled or answered meanwhile refuses
    // this answer, which does no harm.
    auto* context = task.Context;
    if (context != nullptr) AnswerFailure(engine, *context, context->required_length, code);
  }
  ReleaseFetchContext(engine, task);
}

void CloseFetch(Engine& engine, Task& task) {
  RecursiveMutexLock lock(task.TaskLock);
  auto* context = task.Context;
  if (context == nullptr) return;
  // Data goes under the task's lock, so none of this fetch lands after
  // this. Refused harmlessly when the platform cancelled or answered the
  // fetch already.
  AnswerFailure(engine, *context, context->required_length, kErrCancelled);
}

namespace {

// Hands the fetch's next `length` bytes to the platform, from the host's
// buffer in the host's call: a deferred write would copy every byte first.
int32_t SendChunk(Engine& engine, CallbackTaskContext& context, const uint8_t* data, int64_t length) {
  PlaceholderAction answer = context.answer;
  answer.offset = context.sent_to.load();
  answer.length = length;
  answer.buffer = data;
  const HRESULT hr = CompleteCallbackAction(engine, answer, kOk);
  if (SUCCEEDED(hr)) {
    context.sent_to += length;
    return kOk;
  }
  if (hr == HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_REQUEST_CANCELED)) return kErrCancelled;
  // Data the platform could not take (a full disk, say) fails the fetch
  // now, or its reader would wait for the platform's time limit.
  engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
  AnswerFailure(engine, context, context.required_length, kErrOsCallFailed);
  return kErrOsCallFailed;
}

// Sends what the stream holds: whole chunks, and the rest too when `final`.
int32_t SendStream(Engine& engine, Task& task, CallbackTaskContext& context, bool final) {
  TransferStream& stream = *task.Transfer;
  const uint64_t size = stream.Size();
  const uint64_t whole = size / kChunkSize * kChunkSize;
  const uint64_t send = final ? size : whole;
  // Whole chunks are whole pages: a run of them goes as one answer.
  for (uint64_t at = 0; at < send;) {
    if (task.Cancelled.load() != 0) return kErrCancelled;
    const uint64_t n = std::min<uint64_t>(kMaxTransfer, send - at);
    if (int32_t rc = SendChunk(engine, context, stream.Data() + at, static_cast<int64_t>(n)); rc != kOk) return rc;
    at += n;
  }
  // What was not sent stays; new data goes after it.
  stream.Seek(send);
  stream.Compact();
  stream.Seek(stream.Size());
  return kOk;
}

// Takes the host's next `count` bytes (none for a plain flush) and sends
// what can go now; `final` sends the rest as well.
int32_t PutTransferData(Engine& engine, Task& task, const uint8_t* data, size_t count, bool final) {
  RecursiveMutexLock lock(task.TaskLock);
  auto* context = task.Context;
  if (context == nullptr || task.Transfer == nullptr) return kErrInvalidParameter;
  context->data_supplied = true;
  if (task.Cancelled.load() != 0) return FailTransfer(engine, task, kErrCancelled);

  TransferStream& stream = *task.Transfer;
  const int64_t sent_before = context->sent_to.load();
  int32_t result = kOk;
  // A chunk begun by earlier calls is completed first, so that every
  // transfer but the last starts and ends on a page.
  if (stream.Size() > 0 && count > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(count, kChunkSize - stream.Size() % kChunkSize));
    if (!stream.Write(data, take)) return FailTransfer(engine, task, kErrOutOfMemory);
    data += take;
    count -= take;
  }
  if (stream.Size() >= static_cast<uint64_t>(kChunkSize) || (final && count == 0)) {
    result = SendStream(engine, task, *context, final && count == 0);
  }
  // Whole pages go from the caller's buffer to the platform as they are;
  // only a tail shorter than a chunk waits in the stream for more.
  if (result == kOk && count >= static_cast<size_t>(kChunkSize)) {
    const size_t direct = count - count % kPageSize;
    for (size_t at = 0; result == kOk && at < direct;) {
      const size_t n = std::min<size_t>(kMaxTransfer, direct - at);
      if (task.Cancelled.load() != 0) {
        result = kErrCancelled;
      } else {
        result = SendChunk(engine, *context, data + at, static_cast<int64_t>(n));
      }
      at += n;
    }
    data += direct;
    count -= direct;
  }
  if (result == kOk && count > 0) {
    if (!stream.Write(data, count)) return FailTransfer(engine, task, kErrOutOfMemory);
    if (final) result = SendStream(engine, task, *context, true);
  }
  // One progress report per call, not per chunk.
  if (context->sent_to.load() != sent_before) ReportProgress(*context);
  // A fetch finalized without a single byte would leave the reader waiting
  // for data that never comes: it fails instead.
  if (result == kOk && final && context->sent_to.load() == context->required_offset) result = kErrNoData;
  if (result == kOk && final) stream.Clear();
  return result == kOk ? kOk : FailTransfer(engine, task, result);
}

}  // namespace

int32_t FlushTransfer(Engine& engine, Task& task, bool final) {
  return PutTransferData(engine, task, nullptr, 0, final);
}

namespace {

// The version a read starts from: the host's late answer puts the file back
// in sync only when it was in sync then and nothing has changed it since
// (on some systems the platform's own writes flip its time for a moment,
// and a change seen then took it out of sync).
void NoteVersionAtStart(Engine& engine, Task& task) {
  task.ReportedSize = kContentNotTaken;
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr || task.Path.empty()) return;
  const CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(FullPathOf(engine, task.Path).c_str());
  if (state == CF_PLACEHOLDER_STATE_INVALID || (state & CF_PLACEHOLDER_STATE_IN_SYNC) == 0) return;
  const FileVersion version = ReadFileVersion(engine, task.Path);
  if (version.size < 0 || version.folder) return;
  task.ReportedSize = version.size;
  task.ReportedWriteTime = version.last_write_time;
  task.ReportedUsn = version.usn;
}

// A file the user edited while the server replaced its version: the ranges
// it lacks are no longer on the server, and the new version's bytes in
// their place would make a file of both versions. Once the host has put the
// file back in sync, its data is the server's again. The mark is in the
// cache and in the placeholder's identity, which outlives the cache.
bool LacksAReplacedVersion(Engine& engine, const Task& task, const CF_CALLBACK_INFO& info) {
  CacheItem known;
  const bool cached = engine.metadata_cache.Lookup(task.Path, &known, nullptr) && known.BaseReplaced != 0;
  if (task.ReportedSize != kContentNotTaken) {
    if (cached) engine.metadata_cache.SetBaseReplaced(task.Path, false);
    return false;
  }
  if (cached) return true;
  if (info.FileIdentity == nullptr || info.FileIdentityLength < sizeof(char16_t)) return false;
  std::u16string stored(info.FileIdentityLength / sizeof(char16_t), u'\0');
  std::memcpy(stored.data(), info.FileIdentity, stored.size() * sizeof(char16_t));
  std::u16string item_id;
  int64_t since = 0;
  uint16_t marks = 0;
  ItemIdentity::Parse(stored.data(), stored.size(), item_id, since, &marks);
  return (marks & kMarkBaseReplaced) != 0;
}

}  // namespace

int32_t HandleFetchData(Engine& engine, const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS_FETCH_DATA& params,
                        Task* task) {
  LogSink* sink = engine.diag.log_sink();
  const char16_t* path = info->NormalizedPath != nullptr ? info->NormalizedPath : u"";
  LogF(sink, kLogVerbose, u"Fetch file callback fired for '%s'", path);
  auto* context = task->Context;

  std::u16string relative;
  int32_t result = CallbackRelativePath(engine, path, relative);
  task->Prepare(relative, OP_READ_DATA, context);
  task->LocalPath = std::u16string(info->VolumeDosName != nullptr ? info->VolumeDosName : u"") + path;
  if (result == kOk) NoteVersionAtStart(engine, *task);
  if (result == kOk && LacksAReplacedVersion(engine, *task, *info)) {
    LogF(sink, kLogFailure,
         u"'%s' has local changes and the server replaced its version: the data it lacks is no longer there",
         relative.c_str());
    result = kErrNoData;
  }

  // All a fetch keeps of its callback, set before the task can be found.
  PlaceholderAction& answer = context->answer;
  answer.operation_type = CF_OPERATION_TYPE_TRANSFER_DATA;
  answer.connection_key = info->ConnectionKey;
  answer.transfer_key = info->TransferKey;
  if (info->CorrelationVector != nullptr) {
    context->correlation_vector = *info->CorrelationVector;
    answer.correlation_vector = &context->correlation_vector;
  }
  const int64_t offset = result == kOk ? int64_t{params.RequiredFileOffset} : 0;
  context->required_offset = offset;
  context->required_length = result == kOk ? int64_t{params.RequiredLength} : 0;
  // Very large files are asked for whole, from the offset to the end.
  const int64_t length = result == kOk && info->FileSize > kWholeFileThreshold && info->FileSize > offset
                             ? info->FileSize - offset
                             : context->required_length;
  context->total = length;
  context->sent_to = offset;

  engine.tasks.RegisterTask(task);
  // The dispatcher's reference stays apart from the registration's, so a
  // cancel or the monitor removing the task never frees it under this thread.
  Task* held = nullptr;
  engine.tasks.FindTask(task->TaskId, true, &held);

  bool answered_elsewhere = false;
  if (result == kOk) {
    int32_t answer_code = kOk;
    // An item a refused rename stranded is asked for where the host holds it.
    const std::u16string held_as = engine.stranded.HostPathOf(relative);
    FireGetItemDataWithRetry(engine, *task, held_as.empty() ? relative : held_as, offset, length, answer_code);
    const bool retry_later = answer_code == kErrRetry && engine.settings.event_retry_interval.load() > 0;

    if (task->Cancelled.load() != 0 || !TaskRegistered(engine, *task)) {
      task->LeaveHandler();
      LogF(sink, kLogVerbose, u"Fetch operation cancelled while waiting for GetItemData handler to return");
      result = kErrCancelled;
      answered_elsewhere = true;
    } else if (answer_code == kErrPending || retry_later) {
      LogF(sink, kLogVerbose,
           answer_code == kErrPending ? u"GetItemData fired in async mode"
                                      : u"GetItemData retry queued, keeping FETCH_DATA alive");
      {
        RecursiveMutexLock lock(task->TaskLock);
        ReportProgress(*context);
      }
      task->StartTime.store(CurrentTimeMs());
      task->LeaveHandler();
      result = kErrPending;
    } else if (answer_code == kOk || answer_code == kErrRetry) {
      LogF(sink, kLogVerbose, u"GetItemData fired in sync mode");
      task->LeaveHandler();
      result = answer_code;
      const bool completed = task->Completed.load() != 0;
      const int32_t finalized_with = static_cast<int32_t>(task->ResultCode.load());
      if (result == kOk && completed && finalized_with != kOk) {
        // The host finalized the task with a failure: nothing is sent.
        result = finalized_with;
      } else if (result == kOk && completed) {
        result = FlushTransfer(engine, *task, true);
      }
      // A failed flush was told to the host already; the platform still
      // gets its failed answer below.
      if (result == kOk && task->Cancelled.load() != 0) {
        result = kErrCancelled;
      } else if (result == kOk && (!context->data_supplied.load() || !completed)) {
        LogF(sink, kLogFailure, u"PutItemData or FinalizeTask was not called from GetItemData event handler");
        result = kErrNoData;
      }
    } else {
      task->LeaveHandler();
      result = answer_code;
    }
  }

  if (result != kOk && result != kErrPending && !answered_elsewhere) {
    RecursiveMutexLock lock(task->TaskLock);
    AnswerFailure(engine, *context, length, result);
  }
  if (engine.settings.windows_update_icon_on_retrieve_errors.load())
    SetItemErrorMark(engine, task->LocalPath, result != kOk && result != kErrPending);
  return result;
}

int32_t AppendTaskData(Engine& engine, int64_t task_id, const uint8_t* data, int32_t count) {
  Task* task = nullptr;
  if (int32_t rc = engine.tasks.FindTask(task_id, true, &task); rc != kOk) {
    if (task != nullptr) engine.tasks.ReleaseTask(task);
    return engine.diag.Record(rc, ResultMessage(rc));
  }
  if (task == nullptr || task->OperationType != OP_READ_DATA || task->Transfer == nullptr) {
    if (task != nullptr) engine.tasks.ReleaseTask(task);
    return engine.diag.Record(kErrInvalidParameter, "No operation found by the provided OpId");
  }
  // From inside the GetFileData handler: the producer's hold ends here.
  if (task->StartTime.load() < 1) task->LeaveHandler();

  int32_t result = kOk;
  {
    RecursiveMutexLock lock(task->TaskLock);
    if (task->Context == nullptr) {
      result = engine.diag.Record(kErrInvalidParameter, "No operation found by the provided OpId");
    } else if (task->Cancelled.load() != 0) {
      result = FailTransfer(engine, *task, kErrCancelled);
    } else {
      result = PutTransferData(engine, *task, data, static_cast<size_t>(count), false);
    }
  }
  engine.tasks.ReleaseTask(task);
  return result;
}

}  // namespace corvane
