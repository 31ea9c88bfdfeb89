// Cancels asynchronous tasks that the host left unfinished for too long.
// As in the monitor, the tasks are picked and referenced under the registry
// locks, and the CancelTask events fire after the locks are released.
#include <vector>

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/event_bridges.h"
#include "engine/host_events.h"
#include "engine/platform_requests.h"
#include "engine/retry_passes.h"
#include "engine/task.h"
#include "support/mutex.h"

namespace corvane {

size_t RunExpiryPass(Engine& engine, int64_t limit_ms) {
  std::vector<Task*> expired;
  const int64_t now = CurrentTimeMs();
  {
    TaskRegistry::Lock lock(engine.tasks);
    const size_t count = engine.tasks.CountLocked();
    for (size_t index = 0; index < count; ++index) {
      Task* task = engine.tasks.AcquireAtLocked(index);
      if (task == nullptr) continue;
      const int64_t start = task->StartTime.load();
      if (start >= 1 && task->Cancelled.load() == 0 && now - start > limit_ms) {
        expired.push_back(task);
      } else {
        engine.tasks.ReleaseLocked(task);
      }
    }
  }
  for (Task* task : expired) {
    const int64_t task_id = task->TaskId;
    const std::u16string path = task->Path;
    {
      RecursiveMutexLock task_lock(task->TaskLock);
      int32_t result = kErrTaskExpired;
      bool threw = false;
      engine.diag.ClearEventError();
      if (engine.events != nullptr) {
        try {
          engine.events->BeforeEvent(engine.code_page.load());
          engine.events->FireCancelTask(task_id, path, result);
        } catch (...) {
          threw = true;
        }
      }
      // The answer is logged only: an expired task goes whatever it says.
      const int32_t answer = EventResult(engine, result, threw);
      if (answer != kErrTaskExpired) LogHandlerOutcome(engine, u"CancelTask", path, answer);
      // Without an answer the application's read would wait for the
      // platform's own time limit.
      if (task->OperationType == OP_READ_DATA) engine.platform_requests.AbandonFetch(engine, *task, kErrTaskExpired);
    }
    engine.tasks.RemoveTask(nullptr, task_id, false);
    engine.tasks.ReleaseTask(task);
  }
  return expired.size();
}

}  // namespace corvane
