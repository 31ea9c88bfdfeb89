// New files of a host's listing made in batches: one platform call per
// batch, and the cache filled from the values asked for.
#include <algorithm>

#include "core/engine_core.h"
#include "core/listed_item.h"
#include "halvex/corvane.h"
#include "provider/create_update.h"
#include "provider/item_identity.h"
#include "provider/own_change.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"

namespace corvane {

using namespace platform;

namespace {

// Small enough that stopping waits for one batch only.
constexpr size_t kCreateBatch = 256;

// File times from 1970 up to 2038 every file system holds as given.
constexpr int64_t kTime32EndFileTime = kFileTimeUnixEpoch + 0x7FFFFFFFLL * 10000000LL;

bool Batchable(EngineCore& engine, const ListedEntry& entry) {
  return entry.added && (entry.item->Attributes & (HALVEX_ATTR_DIRECTORY | HALVEX_ATTR_PINNED)) == 0 &&
         !engine.settings.download_new_files.load();
}

bool HeldTime(int64_t time) { return time >= kFileTimeUnixEpoch && time < kTime32EndFileTime; }

// What the new file shows, when that is just what was asked for. A name
// starting with a dot shows hidden on some platforms, and a time left to
// the platform (0) or one the file system may round is read back instead.
bool ShownAsAsked(const ListedItem& item, ShownItem& shown) {
  if (item.Name.empty() || item.Name[0] == u'.' || !HeldTime(item.CreationTime) || !HeldTime(item.LastAccessTime) ||
      !HeldTime(item.LastWriteTime))
    return false;
  shown.attributes = FromPlatformAttributes(ToPlatformAttributes(static_cast<int32_t>(item.Attributes)));
  shown.size = item.Size;
  shown.creation_time = item.CreationTime;
  shown.last_access_time = item.LastAccessTime;
  shown.last_write_time = item.LastWriteTime;
  return true;
}

bool SameShown(const ShownItem& a, const ShownItem& b) {
  return a.attributes == b.attributes && a.size == b.size && a.creation_time == b.creation_time &&
         a.last_access_time == b.last_access_time && a.last_write_time == b.last_write_time;
}

// One batch: entries[i] for i in `chosen`. Their cache entries are held
// back from the watcher while the platform makes them, as for any change of
// the provider's own.
void CreateBatch(EngineCore& engine, PlaceholderManager& manager, const std::u16string& base,
                 std::vector<ListedEntry>& entries, const std::vector<size_t>& chosen) {
  const size_t count = chosen.size();
  std::vector<CF_PLACEHOLDER_CREATE_INFO> infos(count);
  std::vector<ItemIdentity> identities;
  identities.reserve(count);
  const int64_t made_at = IdentityTime();
  for (size_t k = 0; k < count; ++k) {
    const ListedEntry& entry = entries[chosen[k]];
    const ListedItem& item = *entry.item;
    CF_PLACEHOLDER_CREATE_INFO& info = infos[k];
    info.RelativeFileName = item.Name.c_str();
    info.FsMetadata.BasicInfo.CreationTime = item.CreationTime;
    info.FsMetadata.BasicInfo.LastAccessTime = item.LastAccessTime;
    info.FsMetadata.BasicInfo.LastWriteTime = item.LastWriteTime;
    info.FsMetadata.BasicInfo.ChangeTime = item.LastWriteTime;
    info.FsMetadata.BasicInfo.FileAttributes = ToPlatformAttributes(static_cast<int32_t>(item.Attributes));
    info.FsMetadata.FileSize = item.Size;
    // The item id (the path), as for a single create.
    const ItemIdentity& identity = identities.emplace_back(entry.path, made_at);
    info.FileIdentity = identity.data();
    info.FileIdentityLength = identity.length();
    info.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    info.Result = E_FAIL;
  }

  std::vector<char> was_locked(count, 1);
  {
    PathLockAll lock(engine.own_changes);
    for (size_t k = 0; k < count; ++k) {
      bool locked = true;
      const std::u16string& path = entries[chosen[k]].path;
      if (engine.metadata_cache.GetLocked(path, &locked) && !locked) engine.metadata_cache.SetLocked(path, true);
      was_locked[k] = locked ? 1 : 0;
    }
  }
  manager.CreatePlaceholders(base.c_str(), infos.data(), static_cast<DWORD>(count));

  PathLockAll lock(engine.own_changes);
  // One file of the batch read back checks the values asked for against
  // what this platform and file system show; any difference, and each file
  // is read back.
  bool trust_asked = true;
  bool checked = false;
  for (size_t k = 0; k < count; ++k) {
    ListedEntry& entry = entries[chosen[k]];
    if (infos[k].Result == S_OK) {
      entry.made = true;
      LogF(engine.diag.log_sink(), kLogVerbose, u"Created placeholder '%s'", entry.path);
      ShownItem asked;
      ShownItem read;
      const bool predicted = ShownAsAsked(*entry.item, asked);
      if (!predicted || !trust_asked || !checked) {
        const std::u16string full = JoinItemPath(base, entry.item->Name);
        if (ReadShownItem(full, read)) {
          if (predicted && !checked) {
            checked = true;
            trust_asked = SameShown(asked, read);
          }
          RecordShownItem(engine, entry.path, read);
        }
      } else {
        RecordShownItem(engine, entry.path, asked);
      }
    }
    if (!was_locked[k]) engine.metadata_cache.SetLocked(entry.path, false);
  }
}

}  // namespace

void CreateNewListedFiles(EngineCore& engine, std::u16string_view parent_path, std::vector<ListedEntry>& entries) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return;
  const std::u16string base = FullPathOf(engine, parent_path);
  std::vector<size_t> chosen;
  chosen.reserve(std::min(entries.size(), kCreateBatch));
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!Batchable(engine, entries[i])) continue;
    chosen.push_back(i);
    if (chosen.size() == kCreateBatch || i + 1 == entries.size()) {
      if (engine.state.stop_activating.load() != 0) return;
      CreateBatch(engine, *manager, base, entries, chosen);
      chosen.clear();
    }
  }
  if (!chosen.empty() && engine.state.stop_activating.load() == 0) CreateBatch(engine, *manager, base, entries, chosen);
}

}  // namespace corvane
