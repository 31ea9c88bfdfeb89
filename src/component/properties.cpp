// Property dispatch: IDs up to 10000 take and give 8-bit strings in the code
// page, 10001 to 20000 the same properties with UTF-16 strings, and IDs above
// 20000 act as the ID minus 20000.
#include <new>

#include "component/component.h"
#include "component/strings.h"
#include "component/version.h"
#include "diag/result_codes.h"

namespace corvane {
namespace {

// Returns the base ID and tells whether strings are UTF-16.
int32_t NormalizePropertyId(int32_t id, bool* wide) {
  *wide = false;
  if (id > 20000) return id - 20000;
  if (id > 10000) {
    *wide = true;
    return id - 10000;
  }
  return id;
}

}  // namespace

intptr_t Component::GetProperty(int32_t id) {
  bool wide = false;
  id = NormalizePropertyId(id, &wide);
  // The version tag and the code page answer without touching the last error.
  if (id == HALVEX_PROP_VERSION) return reinterpret_cast<intptr_t>(kVersionTag);
  // Stored unsigned; handed back with the sign it was set with, as every
  // other integer property.
  if (id == HALVEX_PROP_CODE_PAGE) return static_cast<intptr_t>(static_cast<int32_t>(engine.code_page.load()));

  engine.diag.SetLastErrorCode(kOk);
  int slot = 0;
  switch (id) {
    case HALVEX_PROP_ACTIVATION_STATE:
      return engine.state.ActivationState();
    case HALVEX_PROP_SERIALIZE_EVENTS:
      return static_cast<intptr_t>(static_cast<int32_t>(engine.settings.serialize_events.load()));
    case HALVEX_PROP_SYNC_ROOT_ICON:
      slot = 0;
      break;
    case HALVEX_PROP_SYNC_ROOT_LABEL:
      slot = 1;
      break;
    case HALVEX_PROP_SYNC_ROOT_PATH:
      slot = 2;
      break;
    default:
      return 0;
  }
  try {
    const std::u16string text = slot == 0   ? engine.SyncRootIcon()
                                : slot == 1 ? engine.SyncRootLabel()
                                            : engine.SyncRootPath();
    PropertyTexts& texts = property_texts.Local();
    if (wide) {
      texts.wide[slot] = text;
      return reinterpret_cast<intptr_t>(texts.wide[slot].c_str());
    }
    std::string converted;
    if (WideToNarrow(engine.code_page.load(), text, converted) != kOk) return 0;
    texts.narrow[slot] = std::move(converted);
    return reinterpret_cast<intptr_t>(texts.narrow[slot].c_str());
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int32_t Component::SetProperty(int32_t id, intptr_t value) {
  bool wide = false;
  id = NormalizePropertyId(id, &wide);
  int32_t result = kOk;
  try {
    if (id == HALVEX_PROP_SERIALIZE_EVENTS) {
      result = engine.SetSerializeEvents(static_cast<uint32_t>(static_cast<uint64_t>(value)));
    } else if (id == HALVEX_PROP_SYNC_ROOT_ICON || id == HALVEX_PROP_SYNC_ROOT_LABEL ||
               id == HALVEX_PROP_SYNC_ROOT_PATH) {
      std::u16string text;
      if (value == 0 || wide) {
        text.assign(WideArg(reinterpret_cast<const void*>(value)));
      } else {
        result = NarrowToWide(engine.code_page.load(), reinterpret_cast<const char*>(value), text);
      }
      if (result == kOk) {
        if (id == HALVEX_PROP_SYNC_ROOT_ICON) result = engine.SetSyncRootIcon(text);
        if (id == HALVEX_PROP_SYNC_ROOT_LABEL) result = engine.SetSyncRootLabel(text);
        if (id == HALVEX_PROP_SYNC_ROOT_PATH) result = engine.SetSyncRootPath(text);
      }
    } else {
      return -1;
    }
  } catch (const std::bad_alloc&) {
    result = kErrOutOfMemory;
  }
  if (result == kErrOutOfMemory && engine.diag.LastError().text.empty()) {
    engine.diag.SetLastError(kErrOutOfMemory, kTextOutOfMemory);
  }
  engine.diag.SetLastErrorCode(result);
  return result;
}

}  // namespace corvane
