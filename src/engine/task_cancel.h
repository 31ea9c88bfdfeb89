// Cancellation of tasks: one task (the host's CancelTask event), the tasks of
// one path, and all tasks at deactivation (Engine::CancelAllTransfers).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/cancelled_tasks.h"

namespace corvane {

class Engine;
class Task;

// Fires CancelTask for a task that is not cancelled yet (never for
// OP_INTERNAL_LIST) and marks it Cancelled when the host agreed; an
// asynchronous task is also marked Completed so that it gets finished.
// Returns 1; the host's answer is in `result` (HALVEX_ERR_CANCELLED counts
// as 0). The caller holds a reference to the task.
int32_t DoCancelTask(Engine& engine, Task& task, const std::u16string& path, int32_t& result);

// Cancels the tasks of `path` of one type, or of every type 0..6 in order
// when `type` is -1, stopping at the first refusal. True when at least one
// task was found and none refused.
bool CancelTransferByPath(Engine& engine, std::u16string_view path, int32_t type);

// The host's late answer to a rename or create cancelled at a stop: a rename
// it made is followed from now on; the version a create offered is marked in
// sync, now if the provider runs, else at the next start.
void TakeCancelledTask(Engine& engine, CancelledTasks::Cancelled task, int32_t result_code);
// Once nothing can make new tasks any more (the watcher stopped): the tasks
// the host answered after the stop's wait for answers ended are settled as
// the monitor would have, and dropped.
void SettleAnsweredTasks(Engine& engine);
// At a start, before it looks for what is new: the creates the host finished
// while stopped.
void SettleTakenCreates(Engine& engine);

}  // namespace corvane
