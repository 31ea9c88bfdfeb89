// Attribute bits and paths as the placeholder work needs them.
#include "core/engine_core.h"
#include "diag/result_codes.h"
#include "halvex/corvane.h"
#include "platform/types.h"
#include "provider/create_update.h"

namespace corvane {

using namespace platform;

uint32_t ToPlatformAttributes(int32_t attributes) {
  const uint32_t a = static_cast<uint32_t>(attributes);
  uint32_t out = 0;
  if (a & HALVEX_ATTR_READONLY) out |= FILE_ATTRIBUTE_READONLY;
  if (a & HALVEX_ATTR_HIDDEN) out |= FILE_ATTRIBUTE_HIDDEN;
  if (a & HALVEX_ATTR_SYSTEM) out |= FILE_ATTRIBUTE_SYSTEM;
  if (a & HALVEX_ATTR_DIRECTORY) out |= FILE_ATTRIBUTE_DIRECTORY;
  if (a & HALVEX_ATTR_PINNED) {
    out |= FILE_ATTRIBUTE_PINNED;
  } else if (a & HALVEX_ATTR_UNPINNED) {
    out |= FILE_ATTRIBUTE_UNPINNED;
  }
  return out == 0 ? FILE_ATTRIBUTE_NORMAL : out;
}

int32_t FromPlatformAttributes(uint32_t a) {
  int32_t out = 0;
  if (a & FILE_ATTRIBUTE_READONLY) out |= HALVEX_ATTR_READONLY;
  if (a & FILE_ATTRIBUTE_HIDDEN) out |= HALVEX_ATTR_HIDDEN;
  if (a & FILE_ATTRIBUTE_SYSTEM) out |= HALVEX_ATTR_SYSTEM;
  if (a & FILE_ATTRIBUTE_DIRECTORY) out |= HALVEX_ATTR_DIRECTORY;
  if (a & FILE_ATTRIBUTE_PINNED) {
    out |= HALVEX_ATTR_PINNED;
  } else if (a & FILE_ATTRIBUTE_UNPINNED) {
    out |= HALVEX_ATTR_UNPINNED;
  }
  return out;
}

std::u16string JoinItemPath(std::u16string_view parent, std::u16string_view name) {
  std::u16string path(parent);
  if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
  path.append(name);
  return path;
}

std::u16string FullPathOf(EngineCore& engine, std::u16string_view relative) {
  std::u16string full = engine.EffectiveSyncRootPath();
  if (relative.empty() || relative == u"\\") return full;
  if (!full.empty() && full.back() == u'\\' && relative.front() == u'\\') relative.remove_prefix(1);
  if (relative.front() != u'\\' && (full.empty() || full.back() != u'\\')) full.push_back(u'\\');
  full.append(relative);
  return full;
}

PlaceholderManager* ManagerOrRecord(EngineCore& engine) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) engine.diag.Record(kErrNotReady, kTextNotActive);
  return manager;
}

}  // namespace corvane
