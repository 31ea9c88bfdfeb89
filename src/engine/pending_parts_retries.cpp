// Temporary: removed when the branches are merged.
// Stand-ins for entry points other subsystems are building, each behaving
// as if that subsystem were absent.
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/engine_parts.h"

namespace corvane {

int32_t FlushTransfer(Engine&, Task&, bool) { return kErrNotReady; }
void SetItemErrorMark(Engine&, std::u16string_view, bool) {}
int32_t ProcessListing(Engine& engine, int64_t task_id, bool remove_task) {
  if (remove_task) engine.tasks.RemoveTask(nullptr, task_id, false);
  return kOk;
}
int32_t DoSetPlaceholderSyncState(Engine&, std::u16string_view, bool) { return kErrNotReady; }
int32_t DoSetPlaceholderExcludedState(Engine&, std::u16string_view, bool) { return kErrNotReady; }
int32_t IsItemExcluded(Engine&, std::u16string_view, bool* excluded) {
  *excluded = false;
  return kOk;
}

}  // namespace corvane
