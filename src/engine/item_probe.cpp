// The item check of the method layer: what a path relative to the sync root
// names on disk.
#include "engine/engine.h"
#include "engine/pending_operations.h"
#include "provider/placeholder_manager.h"
#include "platform/files.h"
#include "platform/types.h"

namespace corvane {

ItemKind Engine::ProbeItem(std::u16string_view relative_path) {
  std::u16string full = EffectiveSyncRootPath();
  if (!relative_path.empty() && relative_path.front() != u'\\' && (full.empty() || full.back() != u'\\')) {
    full.push_back(u'\\');
  }
  full.append(relative_path);
  const platform::DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) return ItemKind::kMissing;
  return (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0 ? ItemKind::kFolder : ItemKind::kFile;
}

bool Engine::HostMadeItemAt(const std::u16string& relative_path) {
  // Still being made: the method has taken the name into the cache before
  // its placeholder is on disk. Its mark alone does not tell: a record of
  // an older item of the user's, handled meanwhile, may have used it up.
  if (unseen_creations.BeingMade(relative_path)) return true;
  for (const bool is_dir : {false, true})
    if (pending.CountOf(relative_path, kOpUpdate, is_dir) > 0) return true;
  PlaceholderManager* manager = placeholder_manager.get();
  const std::u16string full = EffectiveSyncRootPath() + relative_path;
  if (manager == nullptr || platform::GetFileAttributesW(full.c_str()) == platform::INVALID_FILE_ATTRIBUTES)
    return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full.c_str());
  const auto wanted = platform::CF_PLACEHOLDER_STATE_PLACEHOLDER | platform::CF_PLACEHOLDER_STATE_IN_SYNC;
  if (state == platform::CF_PLACEHOLDER_STATE_INVALID || (state & wanted) != wanted) return false;
  std::u16string item_id;
  if (!manager->GetItemIdByPath(full.c_str(), item_id) || item_id != relative_path) return false;
  // What the host makes, the cache knows by that name. An item the user
  // moved back to a name it once had may still carry that name as identity
  // (moved on again before its rename was taken, the identity could not
  // follow it), but the cache knows it by the name it left for.
  return metadata_cache.Lookup(relative_path, nullptr, nullptr);
}

void Engine::HostTookItemAway(const std::u16string& relative_path) {
  newer_changes.Note(relative_path);
  unseen_creations.Forget(relative_path);
}

bool Engine::PathPassesLink(std::u16string_view relative_path) const {
  return platform::PathPassesLink(EffectiveSyncRootPath(), relative_path);
}

}  // namespace corvane
