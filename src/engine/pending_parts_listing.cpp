// Temporary: removed when the branches are merged.
// Stand-ins for entry points other subsystems build; each behaves as if its
// subsystem were absent (no retry queue, no exclusion rules, no error mark).
#include "engine/engine.h"
#include "engine/engine_parts.h"
#include "engine/event_bridges.h"

namespace corvane {

int32_t FireCreateWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t attributes,
                            int64_t size, int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                            int32_t& result) {
  return DoCreate(engine, task, path, is_dir, attributes, size, creation_time, last_access_time, last_write_time,
                  result);
}

int32_t FireUpdateWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir,
                            int32_t update_flags, int32_t attributes, int64_t size, int64_t creation_time,
                            int64_t last_access_time, int64_t last_write_time, int32_t& result) {
  return DoUpdate(engine, task, path, is_dir, update_flags, attributes, size, creation_time, last_access_time,
                  last_write_time, result);
}

int32_t FireListItemsWithRetry(Engine& engine, Task& task, const std::u16string& path, const std::u16string& mask,
                               int32_t& result) {
  return DoListItems(engine, task, path, mask, result);
}

int32_t ProcessExcludedState(Engine&, const std::u16string&, uint32_t, ExcludedState* state) {
  *state = ExcludedState::kDoNothing;
  return 0;
}

void SetItemErrorMark(Engine&, std::u16string_view, bool) {}

}  // namespace corvane
