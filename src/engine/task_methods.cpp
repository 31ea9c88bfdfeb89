// FinalizeTask's work and the task counts that settings read.
#include "engine/task_methods.h"

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/task.h"
#include "support/mutex.h"

namespace corvane {

int32_t CompleteTask(Engine& engine, int64_t task_id, int32_t result_code) {
  Task* task = nullptr;
  if (int32_t rc = engine.tasks.FindTask(task_id, false, &task); rc != kOk) {
    engine.tasks.ReleaseTask(task);
    return engine.diag.Record(rc, ResultMessage(rc));
  }
  if (task == nullptr) return engine.diag.Record(kErrInvalidParameter, "No operation found by the provided OpId");
  // Finalized from inside the GetFileData handler: the producer's hold on
  // HandlerLock ends here. Only the thread that holds it can let go of it.
  if (task->OperationType == OP_READ_DATA && task->HandlerBusy.load() != 0 && task->StartTime.load() < 1) {
    task->LeaveHandler();
  }
  {
    RecursiveMutexLock lock(task->TaskLock);
    task->ResultCode.store(static_cast<uint32_t>(result_code));
    task->Completed.exchange(1);
  }
  // The lookup's reference; the registration's stays until the task is removed.
  engine.tasks.ReleaseTask(task);
  LogF(engine.diag.log_sink(), kLogVerbose,
       u"Completing async transfer finished. Operation handle: %I64u. Error code: 0x%x",
       static_cast<uint64_t>(task_id), static_cast<uint32_t>(result_code));
  return kOk;
}

int32_t Engine::StatPendingTasks() const { return static_cast<int32_t>(tasks.AsyncCount()); }

int32_t Engine::PendingOperationCount() const { return static_cast<int32_t>(tasks.Count()); }

}  // namespace corvane
