// The engine work that the methods hand over to is built with the task
// registry, the placeholder manager and the listing. Until then the engine can
// never become active, so none of these is reached by a method on a real
// component: the method layer refuses first with code 21. They answer the
// same way, through one place, in case a test flips the state flags by hand.
// Each definition here is removed when its real implementation arrives.
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/item_operations.h"

namespace corvane {
namespace {

int32_t NotBuiltYet(Engine& engine) { return engine.diag.Record(kErrNotReady, kTextNotActive); }

}  // namespace

int32_t CreateFileInt(Engine& engine, std::u16string_view, int32_t, int64_t, int64_t, int64_t, int64_t,
                      int32_t) {
  return NotBuiltYet(engine);
}
int32_t UpdateFileInt(Engine& engine, std::u16string_view, int32_t, int64_t, int64_t, int64_t, int64_t,
                      int32_t) {
  return NotBuiltYet(engine);
}
int32_t DoDeletePlaceholder(Engine& engine, std::u16string_view, bool) { return NotBuiltYet(engine); }
int32_t DoRenamePlaceholder(Engine& engine, std::u16string_view, std::u16string_view, bool) {
  return NotBuiltYet(engine);
}
int32_t DoClearPlaceholder(Engine& engine, std::u16string_view) { return NotBuiltYet(engine); }
int32_t GetItemAttributes(Engine& engine, std::u16string_view, bool, int32_t*) { return NotBuiltYet(engine); }
int32_t SetItemAttributes(Engine& engine, std::u16string_view, bool, int32_t) { return NotBuiltYet(engine); }
int32_t GetItemStatus(Engine& engine, std::u16string_view, int32_t*) { return NotBuiltYet(engine); }
int32_t DoSetPlaceholderPinnedState(Engine& engine, std::u16string_view, bool) { return NotBuiltYet(engine); }
int32_t SyncItem(Engine& engine, std::u16string_view) { return NotBuiltYet(engine); }
int32_t IntListItem(Engine& engine, int64_t, std::u16string_view, bool, int32_t, int64_t, int64_t, int64_t,
                    int64_t) {
  return NotBuiltYet(engine);
}
int32_t AppendTaskData(Engine& engine, int64_t, const uint8_t*, int32_t) { return NotBuiltYet(engine); }


}  // namespace corvane
