#include "engine/task_cancel.h"

#include <chrono>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/event_bridges.h"
#include "engine/host_events.h"
#include "engine/platform_requests.h"
#include "engine/retry_wrappers.h"
#include "engine/task.h"
#include "provider/create_update_states.h"
#include "support/mutex.h"

namespace corvane {
namespace {

uint64_t U64(int64_t value) { return static_cast<uint64_t>(value); }
uint32_t U32(int32_t value) { return static_cast<uint32_t>(value); }

// What a rename or a create (or an update: it offers a version the same
// way) told the host, for when its answer comes after the stop.
CancelledTasks::Cancelled Told(const Task& task) {
  CancelledTasks::Cancelled told;
  told.task_id = task.TaskId;
  told.path = task.Path;
  if (task.OperationType == OP_RENAME && task.RenameInfo != nullptr) {
    told.operation_type = OP_RENAME;
    told.path = task.RenameInfo->SourcePath;
    told.target = task.RenameInfo->TargetPath;
    told.reported_at = task.RenameInfo->ReportedAt;
  } else if (task.OperationType == OP_CREATE || task.OperationType == OP_WRITE_DATA) {
    told.operation_type = OP_CREATE;
    told.size = task.ReportedSize;
    told.write_time = task.ReportedWriteTime;
    told.file_id = task.ReportedFileId;
    told.usn = task.ReportedUsn;
  } else if (task.OperationType == OP_DELETE) {
    told.operation_type = OP_DELETE;
  }
  return told;
}

// A delete the host carried out after the stop began: the cache may still
// know the item, and the next start must not tell the delete again.
void ForgetTakenDelete(Engine& engine, const std::u16string& path) {
  engine.metadata_cache.Remove(path, true);
  engine.known_at_stop.Forget(path);
}

// A task the host finished during the stop (the watcher may still report a
// change while the tasks are cancelled, and its task is not among them),
// after the monitor that would have finished it locally left: what the host
// took is settled as for a cancelled task it finished late.
void KeepWhatTheHostTook(Engine& engine, const Task& task) {
  if (task.Cancelled.load() != 0 || task.ResultCode.load() != kOk) return;
  // An update taken of an item whose create the host refused put nothing
  // on the server: the item stays to be offered.
  bool refused = false;
  if (engine.metadata_cache.GetCreateFailed(task.Path, &refused) && refused) return;
  CancelledTasks::Cancelled taken = Told(task);
  if (taken.operation_type == OP_RENAME) engine.taken_renames.Note(taken.path, taken.target, taken.reported_at);
  if (taken.operation_type == OP_CREATE) engine.cancelled_tasks.KeepTakenCreate(std::move(taken));
  if (taken.operation_type == OP_DELETE) ForgetTakenDelete(engine, taken.path);
}

}  // namespace

// The monitor that would remove cancelled or finished asynchronous tasks has
// been told to stop before the cancel, so without this the wait for the
// registry to empty would always run out. A task goes once its producer is
// done with it (it may turn asynchronous only after it was cancelled). The
// platform answers its fetches when the root is disconnected.
void SettleAnsweredTasks(Engine& engine) {
  std::vector<Task*> done;
  {
    TaskRegistry::Lock lock(engine.tasks);
    const size_t count = engine.tasks.CountLocked();
    for (size_t index = 0; index < count; ++index) {
      Task* task = engine.tasks.AcquireAtLocked(index);
      if (task == nullptr) continue;
      const bool over = task->Cancelled.load() != 0 || task->Completed.load() != 0;
      if (over && task->StartTime.load() > 0 && task->HandlerBusy.load() == 0) {
        done.push_back(task);
      } else {
        engine.tasks.ReleaseLocked(task);
      }
    }
  }
  for (Task* task : done) {
    {
      RecursiveMutexLock task_lock(task->TaskLock);
      KeepWhatTheHostTook(engine, *task);
    }
    if (task->OperationType == OP_READ_DATA) engine.platform_requests.ReleaseFetchContext(engine, *task);
    engine.tasks.RemoveTask(nullptr, task->TaskId, false);
    engine.tasks.ReleaseTask(task);
  }
}

int32_t DoCancelTask(Engine& engine, Task& task, const std::u16string& path, int32_t& result) {
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoCancelTask called for '%s', id: %I64u", path, U64(task.TaskId));
  result = kOk;
  engine.diag.ClearEventError();
  bool registered = false;
  {
    RecursiveMutexLock task_lock(task.TaskLock);
    // Internal listings have no host side to tell.
    if (task.Cancelled.load() == 0 && task.OperationType < OP_INTERNAL_LIST && engine.events != nullptr) {
      bool threw = false;
      try {
        engine.events->BeforeEvent(engine.code_page.load());
        engine.events->FireCancelTask(task.TaskId, path, result);
      } catch (...) {
        threw = true;
      }
      // A failing handler (event error or exception) must not leave the task
      // marked as cancelled, so the answer is settled before it is used.
      result = EventResult(engine, result, threw);
      if (result == kErrCancelled) result = kOk;
    }
    {
      TaskRegistry::Lock lock(engine.tasks);
      registered = engine.tasks.IsRegisteredLocked(&task);
    }
    if (registered) {
      if (result == kOk) task.Cancelled.store(1);
      if (task.StartTime.load() > 0) task.Completed.exchange(1);
    }
  }
  if (registered) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"DoCancelTask task retrieved after cancel id: %I64u",
         U64(task.TaskId));
  }
  LogHandlerOutcome(engine, u"CancelTask", path, result);
  return 1;
}

int32_t Engine::CancelAllTransfers() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Cancelling all component transfers...");
  const size_t count = tasks.Count();
  LogF(sink, kLogVerbose, u"Pending transfers count: %I64u", static_cast<uint64_t>(count));
  for (size_t index = count; index-- > 0;) {
    Task* task = nullptr;
    {
      TaskRegistry::Lock lock(tasks);
      if (index < tasks.CountLocked()) task = tasks.AcquireAtLocked(index);
    }
    if (task == nullptr) continue;
    // Answered already: nothing is left to cancel, and the wait below
    // settles what the host took.
    if (task->Completed.load() != 0 && task->Cancelled.load() == 0) {
      tasks.ReleaseTask(task);
      continue;
    }
    // The reference taken above keeps the record ours while the host's
    // handler runs, even if another thread removes the task meanwhile.
    const std::u16string path = task->Path;
    const int64_t task_id = task->TaskId;
    int32_t result = kOk;
    {
      RecursiveMutexLock task_lock(task->TaskLock);
      LogF(sink, kLogVerbose, u"Canceling transfer for item: '%s', operation type: %s, id: %I64u", path,
           OperationTypeName(task->OperationType), U64(task_id));
      // A rename, create or delete the host holds, or is about to, may be
      // carried out on its side all the same. It is kept before the host
      // hears of the cancel: an answer that crosses it finds it there, where
      // the stop would otherwise refuse that answer and lose it.
      bool kept = false;
      if (task->OperationType == OP_RENAME || task->OperationType == OP_CREATE || task->OperationType == OP_DELETE) {
        CancelledTasks::Cancelled told = Told(*task);
        kept = told.operation_type >= 0;
        if (kept) cancelled_tasks.Keep(std::move(told));
      }
      DoCancelTask(*this, *task, path, result);
      CancelledTasks::Cancelled not_cancelled;
      if (kept && result != kOk) cancelled_tasks.Take(task_id, &not_cancelled);
    }
    tasks.ReleaseTask(task);
    LogF(sink, kLogVerbose, u"CancelTask result for item: '%s', id %I64u: 0x%x", path, U64(task_id), U32(result));
    if (result != kOk) {
      LogF(sink, kLogVerbose, u"Cancelling all component transfers finished with result %d", result);
      return result;
    }
  }
  // Cancelled tasks leave the registry when their producers or the monitor
  // finish them; wait for that, within the budget.
  int32_t budget = cancel_wait_budget_ms.load();
  size_t remaining;
  do {
    SettleAnsweredTasks(*this);
    remaining = tasks.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    budget -= 100;
  } while (remaining > 0 && budget > 0);
  tasks.DestroySpares();
  LogF(sink, kLogVerbose, u"Cancelling all component transfers finished with result %d", 0);
  return kOk;
}

bool CancelTransferByPath(Engine& engine, std::u16string_view path, int32_t type) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogMilestone, u"Cancelling transfer by path: '%s', operation type: %d", path, type);
  const int32_t first = type == -1 ? OP_RENAME : type;
  const int32_t last = type == -1 ? OP_INTERNAL_LIST : type;
  bool found = false;
  int32_t result = kOk;
  for (int32_t current = first; current <= last && result == kOk; ++current) {
    // Every task of the key is cancelled: two reads of one file are two
    // tasks, and a cancelled file must not keep either waiting.
    std::vector<Task*> matches;
    {
      TaskRegistry::Lock lock(engine.tasks);
      engine.tasks.AcquireAllByKeyLocked(path, current, matches);
    }
    size_t next = 0;
    for (; next < matches.size() && result == kOk; ++next) {
      Task* task = matches[next];
      found = true;
      const std::u16string task_path = task->Path;
      {
        RecursiveMutexLock task_lock(task->TaskLock);
        LogF(sink, kLogVerbose, u"Canceling transfer for item: '%s', operation type: %d", task_path, current);
        DoCancelTask(engine, *task, task_path, result);
        // What the host sent for it must not land after whatever replaces it.
        if (result == kOk && current == OP_READ_DATA) engine.platform_requests.CloseFetch(engine, *task);
      }
      LogF(sink, kLogVerbose, u"CancelTask result for '%s': 0x%x", task_path, U32(result));
      engine.tasks.ReleaseTask(task);
    }
    for (; next < matches.size(); ++next) engine.tasks.ReleaseTask(matches[next]);
  }
  const bool succeeded = result == kOk && found;
  LogF(sink, kLogMilestone, u"Cancelling transfer by path finished: '%s', result: %s", path,
       succeeded ? u"true" : u"false");
  return succeeded;
}

void TakeCancelledTask(Engine& engine, CancelledTasks::Cancelled task, int32_t result_code) {
  LogSink* sink = engine.diag.log_sink();
  if (task.operation_type == OP_RENAME) {
    LogF(sink, kLogVerbose, u"Cancelled rename of '%s' to '%s' finished by the host. Error code: 0x%x", task.path,
         task.target, U32(result_code));
    if (result_code == kOk) engine.taken_renames.Note(task.path, task.target, task.reported_at);
    return;
  }
  if (task.operation_type == OP_DELETE) {
    LogF(sink, kLogVerbose, u"Cancelled delete of '%s' finished by the host. Error code: 0x%x", task.path,
         U32(result_code));
    if (DeleteLeftNothing(result_code)) ForgetTakenDelete(engine, task.path);
    return;
  }
  LogF(sink, kLogVerbose, u"Cancelled create of '%s' finished by the host. Error code: 0x%x", task.path,
       U32(result_code));
  if (result_code != kOk) return;
  engine.taken_renames.NameUsedAgain(task.path);
  // Stopped (or stopping), nothing can be marked: the next start does it.
  if (MarkTakenVersionInSync(engine, task.path, task.size, task.write_time, task.file_id, task.usn) == kErrNotReady)
    engine.cancelled_tasks.KeepTakenCreate(std::move(task));
}

void SettleTakenCreates(Engine& engine) {
  for (const CancelledTasks::Cancelled& create : engine.cancelled_tasks.TakeTakenCreates())
    MarkTakenVersionInSync(engine, create.path, create.size, create.write_time, create.file_id, create.usn);
}

}  // namespace corvane
