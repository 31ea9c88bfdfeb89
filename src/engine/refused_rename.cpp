// The host refused a rename the user already made on disk.
#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/delete_rename_reset.h"
#include "engine/engine.h"
#include "engine/event_bridges.h"
#include "engine/folder_children.h"
#include "engine/local_changes.h"
#include "engine/retry_passes.h"
#include "platform/directory_changes.h"
#include "platform/files.h"
#include "provider/create_update.h"
#include "provider/own_change.h"
#include "provider/placeholder_manager.h"

namespace corvane {
namespace {

// A placeholder at `full` not all here: a file whose data, or a folder whose
// listing, is partly only on the server.
bool PartlyOnServer(PlaceholderManager& manager, const std::u16string& full) {
  const platform::CF_PLACEHOLDER_STATE state = manager.GetPlaceholderState(full.c_str());
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) &&
         !IsWholePlaceholder(state);
}

// Some item at or below `full` has data, or a listing, that is only on the
// server.
bool HoldsServerOnlyData(PlaceholderManager& manager, const std::u16string& full, bool is_dir) {
  if (PartlyOnServer(manager, full)) return true;
  if (!is_dir) return false;
  bool found = false;
  ForEachChild(full, [&](const std::u16string& child, bool child_is_dir) {
    found = HoldsServerOnlyData(manager, child, child_is_dir);
    return !found;
  });
  return found;
}

enum class Outcome { kMovedBack, kStranded, kStays };

// Moves the item back where the host still has it, when it cannot stand on
// its own under the new name: data the server holds only under the old one
// could never be read there nor offered to the host as new. Only the item
// itself goes back (its identity still names the old path; records not yet
// handled may show that it moved on, or that another took the name). Its
// records then show it where the cache knows it, as it was: nothing to report.
// When it cannot go back (its folder is gone, or the name taken) it is
// stranded: its data must come from the host's old name before that goes.
Outcome MoveBack(Engine& engine, const std::u16string& root, const std::u16string& source,
                 const std::u16string& target, bool is_dir) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return Outcome::kStays;
  // An item inside a folder whose rename the host took still carries the
  // identity it was made with.
  std::u16string identity;
  int64_t since = 0;
  if (!manager->GetItemIdByPath((root + target).c_str(), identity, &since) ||
      !(identity == source || (is_dir && identity.empty()) ||
        (!identity.empty() && engine.taken_renames.Follow(identity, since) == source)))
    return Outcome::kStays;
  if (!HoldsServerOnlyData(*manager, root + target, is_dir)) return Outcome::kStays;
  LogSink* sink = engine.diag.log_sink();
  if (engine.ProbeItem(source) != ItemKind::kMissing) {
    LogF(sink, kLogWarning, u"'%s' holds data only the server has, under '%s', which is taken again: it stays",
         target, source);
    return Outcome::kStranded;
  }
  if (DoRenamePlaceholder(engine, target, source, false) != kOk) {
    LogF(sink, kLogWarning, u"'%s' holds data only the server has, under '%s', and cannot go back there", target,
         source);
    return Outcome::kStranded;
  }
  LogF(sink, kLogWarning,
       u"The host refused to rename '%s' to '%s', and part of its data is only on the server: moved back", source,
       target);
  // A start's walk takes an item into the cache under the name it finds it
  // at, and this one was at the new name then: unknown back here, its next
  // change would offer it as new, data the host has only under this name.
  ShownItem shown;
  if (!engine.metadata_cache.Lookup(source, nullptr, nullptr) && ReadShownItem(root + source, shown)) {
    engine.metadata_cache.AddNewItemToCache(source, source.substr(source.rfind(u'\\') + 1),
                                            static_cast<uint32_t>(shown.attributes), shown.size,
                                            shown.creation_time, shown.last_access_time, shown.last_write_time);
  }
  return Outcome::kMovedBack;
}

// Fetches every part of the item at `full` that is only on the server; false
// when some part could not be had.
bool FetchServerOnlyData(Engine& engine, PlaceholderManager& manager, const std::u16string& full) {
  const platform::DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) return true;  // gone: nothing of it to keep
  const bool is_dir = (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!HoldsServerOnlyData(manager, full, is_dir)) return true;
  if (!is_dir) return DoHydratePlaceholder(engine, full) == kOk && !HoldsServerOnlyData(manager, full, false);
  // A folder never listed: what it holds is known only to the server, under
  // the name it has there, and a listing here would ask for this one.
  if (PartlyOnServer(manager, full)) return false;
  bool fetched = true;
  if (!ForEachChild(full, [&](const std::u16string& child, bool) {
        fetched = FetchServerOnlyData(engine, manager, child) && fetched;
        return true;
      }))
    return false;
  return fetched;
}

// A file that stays over an item the host has at `target` (an editor's
// save whose rename was refused) goes on as that item: its changes are told
// as updates there. Its identity must say so, or the next start would tell
// the host the refused rename again, and the host would move its stale copy
// of the source over what the updates gave it. It stays not in sync.
void TakeOverReplacedItem(Engine& engine, const std::u16string& root, const std::u16string& source,
                          const std::u16string& target) {
  if (engine.metadata_cache.Lookup(target, nullptr, nullptr))
    FollowRenameWithIdentity(engine, root + target, source, target);
}

}  // namespace

void RefusedRename(Engine& engine, const std::u16string& root, const std::u16string& source,
                   const std::u16string& target, bool is_dir, int32_t answer) {
  // Not found: the host has nothing under the old name to go back to.
  const Outcome outcome = answer != kErrItemNotFound ? MoveBack(engine, root, source, target, is_dir) : Outcome::kStays;
  if (outcome == Outcome::kMovedBack) {
    if (!is_dir) return;
    engine.returned_folders.Note(target, source);
    SetMissedMarksAgain(engine, source, source);
    engine.local_changes.WalkMovedFolder(engine, source);
    return;
  }
  // The host has no item at the old name: an entry left there would make
  // the next item of that name an update of one the host never had.
  if (answer == kErrItemNotFound && engine.ProbeItem(source) == ItemKind::kMissing)
    engine.metadata_cache.Remove(source, is_dir);
  if (outcome == Outcome::kStranded) engine.stranded.Note(target, source);
  if (outcome == Outcome::kStays && !is_dir) TakeOverReplacedItem(engine, root, source, target);
  // The host keeps the old name: the item here is not what it has.
  SetTreeNotInSync(engine, root, target, is_dir);
}

bool FetchStrandedData(Engine& engine, std::u16string_view path) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return true;
  bool fetched = true;
  for (const auto& [local, host] : engine.stranded.At(path)) {
    const std::u16string full = engine.EffectiveSyncRootPath() + local;
    LogF(engine.diag.log_sink(), kLogVerbose, u"The data of '%s' is fetched from '%s' before the host's '%s' changes",
         local, host, path);
    if (FetchServerOnlyData(engine, *manager, full)) {
      engine.stranded.Forget(local);
    } else {
      LogF(engine.diag.log_sink(), kLogFailure,
           u"The data of '%s' is only on the server, under '%s', and could not be fetched: the event for '%s' waits",
           local, host, path);
      fetched = false;
    }
  }
  return fetched;
}

bool FetchDataBeforeOfferingAsNew(Engine& engine, const std::u16string& relative_path) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return true;
  const std::u16string full = engine.EffectiveSyncRootPath() + relative_path;
  if (!HoldsServerOnlyData(*manager, full, false)) return true;
  // A rename to this path the host has not answered yet: once taken, the
  // server holds the item here, and its identity says so.
  AwaitAnswerAt(engine, relative_path, false);
  std::u16string identity;
  int64_t since = 0;
  if (!manager->GetItemIdByPath(full.c_str(), identity, &since) || identity.empty()) return true;
  identity = engine.taken_renames.Follow(std::move(identity), since);
  if (identity == relative_path) return true;
  // Another item stands at that name here: what the host holds there is
  // that item (or is about to be), not the data this one lacks.
  if (engine.ProbeItem(identity) != ItemKind::kMissing) return true;
  LogF(engine.diag.log_sink(), kLogVerbose, u"The data of '%s' is fetched from '%s' before it is offered as new",
       relative_path, identity);
  // The platform asks the host for it by the name the host holds it under.
  const bool ask_by_identity = engine.stranded.HostPathOf(relative_path).empty();
  if (ask_by_identity) engine.stranded.Note(relative_path, identity);
  const bool fetched = FetchServerOnlyData(engine, *manager, full);
  if (ask_by_identity) engine.stranded.Forget(relative_path);
  if (!fetched)
    LogF(engine.diag.log_sink(), kLogFailure,
         u"The data of '%s' is only on the server, under '%s', and could not be fetched: it is not offered as new",
         relative_path, identity);
  return fetched;
}

}  // namespace corvane
