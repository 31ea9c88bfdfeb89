// Temporary: removed when the branches are merged.
#include <map>
#include <mutex>

#include "engine/engine.h"
#include "engine/engine_parts.h"
#include "engine/event_bridges.h"
#include "provider/callback_dispatch.h"

namespace corvane {

// No retry queue yet: the plain bridge.
int32_t FireGetItemDataWithRetry(Engine& engine, Task& task, const std::u16string& path, int64_t offset,
                                 int64_t length, int32_t& result) {
  return DoGetItemData(engine, task, path, offset, length, result);
}

// No listing yet: lists nothing.
int32_t ProcessDirectory(Engine&, const std::u16string&, const std::u16string&, int64_t, int32_t, bool) {
  return 0;
}

// No provider object yet: a connection owned by one finds no engine.
Engine* EngineOfProvider(void*) { return nullptr; }

// The engine's EventLock, until the lifecycle gives the engine its own.
namespace {
std::mutex& EventLockOf(Engine& engine) {
  static std::mutex table_mu;
  static std::map<Engine*, std::mutex> locks;
  std::lock_guard<std::mutex> lock(table_mu);
  return locks[&engine];
}
}  // namespace

void EnterEventLock(Engine& engine) { EventLockOf(engine).lock(); }
void LeaveEventLock(Engine& engine) { EventLockOf(engine).unlock(); }

}  // namespace corvane
