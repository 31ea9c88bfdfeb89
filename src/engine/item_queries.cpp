// The item operations behind the attribute, status and sync methods, and the
// placeholder of a listed item.
#include "engine/item_queries.h"

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/item_operations_create_update.h"
#include "halvex/corvane.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/create_update.h"
#include "provider/create_update_states.h"
#include "provider/own_change.h"
#include "provider/placeholder_manager.h"
#include "support/sync_root_path.h"

namespace corvane {

using namespace platform;

namespace {

constexpr int32_t kInSync = 0x400000;
constexpr int32_t kNotInSync = 0x800000;
constexpr int32_t kFullyOnDisk = 0x1;

int32_t RecordOsFailure(Engine& engine) {
  engine.diag.SetOsLastError(GetLastError());
  return engine.diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
}

bool IsForbiddenNameCharacter(char16_t c) {
  switch (c) {
    case u'"':
    case u'*':
    case u'/':
    case u':':
    case u'<':
    case u'>':
    case u'?':
    case u'\\':
    case u'|':
      return true;
    default:
      // Control characters make a name no application can type or open.
      return c < 0x20 || c == 0x7F;
  }
}

}  // namespace

bool ValidateItemName(Engine& engine, std::u16string_view name) {
  bool valid = !name.empty() && IsSafeItemName(name);
  for (size_t i = 0; valid && i < name.size(); ++i) valid = !IsForbiddenNameCharacter(name[i]);
  if (!valid) LogF(engine.diag.log_sink(), kLogFailure, u"Item name validation failed for '%s'", name);
  return valid;
}

int32_t GetItemAttributes(Engine& engine, std::u16string_view path, bool is_folder, int32_t* attributes) {
  *attributes = 0;
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, path);
  const uint32_t on_disk = GetFileAttributesW(full.c_str());
  if (on_disk == INVALID_FILE_ATTRIBUTES) return RecordOsFailure(engine);
  if (((on_disk & FILE_ATTRIBUTE_DIRECTORY) != 0) != is_folder) {
    return engine.diag.Record(kErrInvalidParameter, ResultMessage(kErrInvalidParameter));
  }
  int32_t value = FromPlatformAttributes(on_disk) & ~HALVEX_ATTR_DIRECTORY;
  const CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full.c_str());
  if (state != CF_PLACEHOLDER_STATE_INVALID) value |= (state & CF_PLACEHOLDER_STATE_IN_SYNC) ? kInSync : kNotInSync;
  *attributes = value;
  return kOk;
}

int32_t SetItemAttributes(Engine& engine, std::u16string_view path, bool /*is_folder*/, int32_t attributes) {
  if (ManagerOrRecord(engine) == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, path);
  // A folder keeps its folder bit: the platform would refuse to drop it.
  uint32_t platform_attributes = ToPlatformAttributes(attributes);
  const uint32_t on_disk = GetFileAttributesW(full.c_str());
  if (on_disk != INVALID_FILE_ATTRIBUTES && (on_disk & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    platform_attributes = (platform_attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_DIRECTORY;
  }
  // The attribute write and the in-sync mark are two changes on disk; the
  // second may be seen after the pending entry took the first.
  const std::u16string relative(path);
  OwnChange own_change(engine, relative, full);
  if (!SetFileAttributesW(full.c_str(), platform_attributes)) return RecordOsFailure(engine);
  int32_t result = kOk;
  if ((attributes & (kInSync | kNotInSync)) != 0) {
    result = DoSetPlaceholderSyncState(engine, path, (attributes & kInSync) != 0);
  }
  if (result == kOk) own_change.Succeeded();
  return result;
}

int32_t GetItemStatus(Engine& engine, std::u16string_view path, int32_t* status) {
  *status = 0;
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, path);
  const CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full.c_str());
  if (state == CF_PLACEHOLDER_STATE_INVALID) return RecordOsFailure(engine);
  int32_t value = (state & CF_PLACEHOLDER_STATE_IN_SYNC) ? kInSync : kNotInSync;
  if (IsWholePlaceholder(state)) value |= kFullyOnDisk;
  *status = value;
  return kOk;
}

int32_t SyncItem(Engine& engine, std::u16string_view path) {
  CacheItem item;
  std::u16string name;
  if (!engine.metadata_cache.Lookup(path, &item, &name)) {
    return engine.diag.Record(kErrInternal, ResultMessage(kErrInternal));
  }
  return UpdateFileInt(engine, path, 0, item.Size < 0 ? 0 : item.Size, 0, 0, 0, HALVEX_FLAG_RETRIEVE);
}

int32_t CreateListedItemPlaceholder(Engine& engine, std::u16string_view parent_path, const ListedItem& item,
                                   bool only_if_present) {
  const std::u16string item_id = JoinItemPath(parent_path, item.Name);
  const int32_t flags = HALVEX_FLAG_FROM_LISTING | HALVEX_FLAG_MARK_SYNCED |
                        (engine.settings.download_new_files.load() ? HALVEX_FLAG_RETRIEVE : 0) |
                        (only_if_present ? kFlagOnlyWhatIsOnDisk : 0);
  return DoCreateOrUpdatePlaceholder(engine, parent_path, item.Name, item_id, item.Size, item.CreationTime,
                                     item.LastAccessTime, item.LastWriteTime, static_cast<int32_t>(item.Attributes),
                                     flags);
}

}  // namespace corvane
