// Property setters of the engine: the values that describe the sync root and
// may change only while the engine is stopped.
#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"

namespace corvane {
namespace {

constexpr const char* kTextInvalidSerializeEvents = "Invalid SerializeEvents value";

}  // namespace

int32_t Engine::RefuseWhileRunning() {
  return diag.Record(kErrAlreadyActive, ResultMessage(kErrAlreadyActive));
}

int32_t Engine::SetSerializeEvents(uint32_t value) {
  // The range is checked first, so a bad value is reported as such even
  // while the engine runs.
  if (value >= 3) return diag.Record(kErrInvalidParameter, kTextInvalidSerializeEvents);
  if (state.ActiveOrActivating()) return RefuseWhileRunning();
  settings.serialize_events.store(value);
  return kOk;
}

int32_t Engine::SetSyncRootIcon(std::u16string_view value) {
  LogF(diag.log_sink(), kLogVerbose, u"SetSyncRootIcon %s", value);
  if (state.ActiveOrActivating()) return RefuseWhileRunning();
  sync_root_icon_.Set(value);
  return kOk;
}

int32_t Engine::SetSyncRootLabel(std::u16string_view value) {
  LogF(diag.log_sink(), kLogVerbose, u"SetSyncRootLabel %s", value);
  if (state.ActiveOrActivating()) return RefuseWhileRunning();
  sync_root_label_.Set(value);
  return kOk;
}

int32_t Engine::SetSyncRootPath(std::u16string_view value) {
  LogF(diag.log_sink(), kLogVerbose, u"SetSyncRootPath %s", value);
  if (state.ActiveOrActivating()) return RefuseWhileRunning();
  sync_root_path_.Set(value);
  state.path_prepared.store(0);
  return kOk;
}

int32_t Engine::SetItemDomain(std::u16string_view value) {
  LogF(diag.log_sink(), kLogVerbose, u"SetItemDomain %s", value);
  if (state.ActiveOrActivating()) return RefuseWhileRunning();
  settings.item_domain.Set(value);
  return kOk;
}

void Engine::ResetSettings() {
  settings.Reset();
  state.path_prepared.store(0);
}

}  // namespace corvane
