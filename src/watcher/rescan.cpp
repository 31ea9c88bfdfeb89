#include "watcher/rescan.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/enumeration_report.h"
#include "engine/event_bridges.h"
#include "engine/exclusion.h"
#include "engine/item_operations_create_update.h"
#include "engine/retry_passes.h"
#include "engine/retry_wrappers.h"
#include "engine/task.h"
#include "halvex/corvane.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/create_update.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"
#include "support/sync_root_path.h"
#include "watcher/change_processing.h"
#include "watcher/deleted_while_stopped.h"
#include "watcher/item_attributes.h"
#include "watcher/lock_files.h"

namespace corvane {
namespace {

using platform::WIN32_FIND_DATAW;

bool StopRequested(Engine& engine) { return engine.state.deactivating.load() != 0; }

std::u16string SearchPattern(const std::u16string& folder) {
  std::u16string pattern = folder;
  if (pattern.empty() || pattern.back() != u'\\') pattern.push_back(u'\\');
  pattern.push_back(u'*');
  return pattern;
}

std::u16string JoinPath(const std::u16string& folder, const std::u16string& name) {
  if (!folder.empty() && folder.back() == u'\\') return folder + name;
  return folder + u"\\" + name;
}

// The root's full path without a trailing separator.
std::u16string RootPath(Engine& engine) {
  std::u16string root = engine.EffectiveSyncRootPath();
  while (!root.empty() && root.back() == u'\\') root.pop_back();
  return root;
}

bool IsPlaceholder(PlaceholderManager& manager, const std::u16string& full) {
  const platform::CF_PLACEHOLDER_STATE state = manager.GetPlaceholderState(full.c_str());
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER);
}

bool IsOutOfSync(PlaceholderManager& manager, const std::u16string& full) {
  const platform::CF_PLACEHOLDER_STATE state = manager.GetPlaceholderState(full.c_str());
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && !(state & platform::CF_PLACEHOLDER_STATE_IN_SYNC);
}

// The path below the sync root ("\a\b"), or the full path when it is not below.
std::u16string RelativeToRoot(Engine& engine, const std::u16string& full_path) {
  const std::u16string root = RootPath(engine);
  if (full_path.size() > root.size() && full_path.compare(0, root.size(), root) == 0 &&
      full_path[root.size()] == u'\\')
    return full_path.substr(root.size());
  return full_path;
}

LocalItemValues ValuesOf(const WIN32_FIND_DATAW& data) {
  LocalItemValues values;
  values.attributes = ItemAttributesFromPlatform(data.dwFileAttributes);
  values.folder = (data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
  values.size = values.folder ? 0 : (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  values.creation_time = data.ftCreationTime;
  values.last_access_time = data.ftLastAccessTime;
  values.last_write_time = data.ftLastWriteTime;
  return values;
}

bool IsDotEntry(const std::u16string& name) { return name == u"." || name == u".."; }

// Checks the folder and opens the search; false (logged) when it cannot.
bool OpenFolder(Engine& engine, const std::u16string& folder, platform::Handle& find, WIN32_FIND_DATAW& data) {
  LogSink* sink = engine.diag.log_sink();
  const platform::DWORD attributes = platform::GetFileAttributesW(folder.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) {
    LogF(sink, kLogFailure, u"Failed to get attributes for '%s'. OS error code: 0x%x", folder,
         platform::GetLastError());
    return false;
  }
  if ((attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0) {
    LogF(sink, kLogFailure, u"Target is not a directory: '%s'", folder);
    return false;
  }
  const std::u16string pattern = SearchPattern(folder);
  LogF(sink, kLogVerbose, u"Checking files in folder: '%s'", pattern);
  find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) {
    LogF(sink, kLogFailure, u"Failed to search for directory content: '%s'. OS error: 0x%x", folder,
         platform::GetLastError());
    return false;
  }
  return true;
}

// False when the entry is to be skipped.
bool PassesExclusion(Engine& engine, const std::u16string& rel, uint32_t platform_attributes) {
  ExcludedState state = ExcludedState::kDoNothing;
  const int32_t rc = ProcessExcludedState(engine, rel, platform_attributes, &state);
  if (rc != 0) {
    LogF(engine.diag.log_sink(), kLogFailure, u"Failed to process excluded state for: '%s', error: 0x%x", rel,
         static_cast<uint32_t>(rc));
    return true;
  }
  return state != ExcludedState::kSkip && state != ExcludedState::kNewlyExcluded;
}

// A known file that changed while its changes went unseen: not in sync, and
// its size or last write time differs from the cache.
bool KnownFileChanged(Engine& engine, const std::u16string& full, const CacheItem& cached,
                      const LocalItemValues& values) {
  if (values.folder) return false;
  if (cached.Size == values.size && cached.LastWriteTime == static_cast<uint64_t>(values.last_write_time))
    return false;
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return true;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full.c_str());
  const bool in_sync = state != platform::CF_PLACEHOLDER_STATE_INVALID &&
                       (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) &&
                       (state & platform::CF_PLACEHOLDER_STATE_IN_SYNC);
  return !in_sync;
}

// A placeholder not in the cache under its own path may be a known item
// renamed: its identity still names the path the cache knows it by. True
// with that old path and its cache entry when the old path is gone.
bool FindRenamedKnownItem(Engine& engine, const std::u16string& full, const std::u16string& rel,
                          std::u16string& old_rel, CacheItem& cached) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return false;
  if (!IsPlaceholder(*manager, full)) return false;
  if (!manager->GetItemIdByPath(full.c_str(), old_rel) || old_rel.empty() || old_rel[0] != u'\\') return false;
  if (EqualsIgnoringAsciiCase(old_rel, rel) || !engine.metadata_cache.Lookup(old_rel, &cached, nullptr))
    return false;
  // Renamed on from that name, the host not having answered yet: taken, the
  // host has it under the new name, and the move is told from there (the
  // check of a moved item by its identity waits for that answer).
  if (RenameFromUnanswered(engine, old_rel)) return false;
  const std::u16string root = RootPath(engine);
  return platform::GetFileAttributesW((root + old_rel).c_str()) == platform::INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int32_t RescanMissingFiles(Engine& engine, const std::u16string& folder) {
  if (StopRequested(engine)) return 0;
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Scan directory for missing files: '%s'", folder);
  platform::Handle find = platform::INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data;
  if (!OpenFolder(engine, folder, find, data)) return 0;
  int32_t result = 0;
  do {
    if (StopRequested(engine)) {
      platform::FindClose(find);
      return 0;
    }
    if (IsDotEntry(data.cFileName)) continue;
    if (IsSymbolicLink(data.dwFileAttributes, data.dwReserved0)) continue;
    const std::u16string full = JoinPath(folder, data.cFileName);
    const std::u16string rel = RelativeToRoot(engine, full);
    if (platform::HoldsUnrepresentableName(data.cFileName)) {
      ReportUnrepresentableName(engine, rel);
      continue;
    }
    if (HandleFoundLockFile(engine, rel)) continue;
    if (!PassesExclusion(engine, rel, data.dwFileAttributes)) continue;
    const LocalItemValues values = ValuesOf(data);
    CacheItem cached;
    PathLockAll report_lock(engine.item_reports);
    if (engine.metadata_cache.Lookup(rel, &cached, nullptr)) {
      report_lock.Unlock();
      // Known items are checked too: after an overflow a change inside a
      // known folder would otherwise never reach the host.
      if (KnownFileChanged(engine, full, cached, values)) UpdateLocalItem(engine, nullptr, rel, full, values);
      if (values.folder) RescanMissingFiles(engine, full);
      continue;
    }
    if (HasRenameTask(engine, rel)) continue;  // its rename waits for the host
    if (AdoptKnownPlaceholder(engine, rel, full, values)) {
      report_lock.Unlock();
      UpdateLocalItem(engine, nullptr, rel, full, values);
      if (values.folder) RescanMissingFiles(engine, full);
      continue;
    }
    std::u16string old_rel;
    CacheItem old_cached;
    if (FindRenamedKnownItem(engine, full, rel, old_rel, old_cached)) {
      // Reported as new, the item would reach the host twice: once created
      // here and once renamed by the watcher's records, still to come.
      LogF(sink, kLogVerbose, u"Known item was renamed from '%s' to '%s'", old_rel, rel);
      ReportLocalRename(engine, old_rel, rel, full, old_cached, 0);
      report_lock.Unlock();
      if (values.folder) RescanMissingFiles(engine, full);
      continue;
    }
    // Known by a name its folder had before a move the host took, or not
    // known since a start: its identity still tells.
    int32_t moved = 0;
    if (ReportedAsUnpairedMove(engine, rel, full, values, moved)) {
      report_lock.Unlock();
      // Written while stopped: the move carried none of that.
      if (moved == 0 && !values.folder && IsOutOfSync(*engine.placeholder_manager, full))
        UpdateLocalItem(engine, nullptr, rel, full, values);
      if (values.folder) RescanMissingFiles(engine, full);
      continue;
    }
    result = 1;
    LogF(sink, kLogVerbose,
         values.folder ? u"Folder is not in the cache, report it as new one: '%s'"
                       : u"File is not in the cache, report it as new one: '%s'",
         full);
    ReportNewLocalFile(engine, full, values.attributes, values.size, values.creation_time, values.last_access_time,
                       values.last_write_time, false, values.file_id);
    report_lock.Unlock();
    if (values.folder) RescanMissingFiles(engine, full);
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  LogF(sink, kLogVerbose, u"Scan directory for missing files finished for '%s'", folder);
  return result;
}

namespace {

int64_t NowMs() { return CurrentTimeMs(); }

// The host's answer: 0 when it accepted the rename.
int32_t ReportOfflineRename(Engine& engine, const std::u16string& full, const std::u16string& rel,
                            const std::u16string& item_id, const LocalItemValues& values,
                            uint32_t platform_attributes) {
  Task* task = engine.tasks.CreateTask(rel, OP_RENAME, nullptr);
  if (task == nullptr) return kErrOutOfMemory;
  task->LocalPath = full;
  task->RenameInfo = std::make_unique<RenameInfo>();
  task->RenameInfo->SourcePath = item_id;
  task->RenameInfo->TargetPath = rel;
  // The cache does not know the item: a late acceptance takes it in with these.
  task->RenameInfo->HasSource = true;
  task->RenameInfo->SourceSize = values.size;
  task->RenameInfo->SourceCreationTime = static_cast<uint64_t>(values.creation_time);
  task->RenameInfo->SourceLastAccessTime = static_cast<uint64_t>(values.last_access_time);
  task->RenameInfo->SourceLastWriteTime = static_cast<uint64_t>(values.last_write_time);
  task->RenameInfo->SourceAttributes = static_cast<uint32_t>(values.attributes);
  task->RenameInfo->WalkWhenTaken = values.folder;
  const int64_t reported_at = task->RenameInfo->ReportedAt;
  const int64_t task_id = engine.tasks.RegisterTask(task);
  int32_t answer = 0;
  FireRenameWithRetry(engine, *task, item_id, rel, values.folder, answer);
  task->LeaveHandler();
  if (answer == kErrPending) {
    task->StartTime.store(NowMs());
    engine.tasks.ReleaseTask(task);
    return answer;
  }
  engine.tasks.ReleaseTask(task);
  if (answer == 0) {
    UpdateFileInt(engine, rel, values.attributes, values.size, values.creation_time, values.last_access_time,
                  values.last_write_time, 0x142);
    PassesExclusion(engine, rel, platform_attributes);
    // What waits for a retry below the folder, or moved out of it while
    // stopped and met later in the walk, names it where the host has it now.
    if (values.folder) {
      FollowQueuedFolderRename(engine, item_id, rel);
      engine.taken_renames.Note(item_id, rel, reported_at);
    }
  } else {
    // Refused: handled as a rename seen live.
    AfterRefusedRename(engine, item_id, rel, values.folder, answer);
  }
  engine.tasks.RemoveTask(nullptr, task_id, false);
  return answer;
}

// Folder renames the host accepted, outermost first: what is below such a
// folder still names the folder's old path in its identity.
struct FolderMove {
  std::u16string from;
  std::u16string to;
};
using FolderMoves = std::vector<FolderMove>;

// The path the host knows an item by, from its identity.
std::u16string KnownPath(const FolderMoves& moves, std::u16string id) {
  for (const FolderMove& move : moves) {
    const size_t n = move.from.size();
    if (id.size() > n && id.compare(0, n, move.from) == 0 && id[n] == u'\\') id = move.to + id.substr(n);
  }
  return id;
}

std::u16string ParentOf(const std::u16string& path) {
  const size_t cut = path.rfind(u'\\');
  return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
}

// A folder a listing made has no identity of its own: the host knows it by
// the folder its placeholders' identities name, unless that one is still
// there (then they were moved in one by one).
std::u16string KnownFolderPath(Engine& engine, const std::u16string& full, const std::u16string& rel,
                               const FolderMoves& moves) {
  PlaceholderManager& manager = *engine.placeholder_manager;
  WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW(SearchPattern(full).c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return rel;
  std::map<std::u16string, int> votes;
  bool stays = false;
  do {
    if (IsDotEntry(data.cFileName) || IsSymbolicLink(data.dwFileAttributes, data.dwReserved0)) continue;
    const std::u16string child = JoinPath(full, data.cFileName);
    std::u16string id;
    if (!IsPlaceholder(manager, child) || !manager.GetItemIdByPath(child.c_str(), id) || id.empty() ||
        id[0] != u'\\')
      continue;
    const std::u16string parent = ParentOf(KnownPath(moves, id));
    stays = EqualsIgnoringAsciiCase(parent, rel);
    ++votes[parent];
  } while (!stays && platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  if (stays || votes.empty()) return rel;
  auto best = votes.begin();
  for (auto it = votes.begin(); it != votes.end(); ++it)
    if (it->second > best->second) best = it;
  if (best->first.empty()) return rel;
  const std::u16string root = RootPath(engine);
  if (platform::GetFileAttributesW((root + best->first).c_str()) != platform::INVALID_FILE_ATTRIBUTES) return rel;
  return best->first;
}

// An item carried by a folder's rename: only its identity is behind.
void RewriteIdentity(Engine& engine, const std::u16string& rel, const LocalItemValues& values) {
  UpdateFileInt(engine, rel, values.attributes, values.size, values.creation_time, values.last_access_time,
                values.last_write_time, HALVEX_FLAG_KEEP_DATA | HALVEX_FLAG_KEEP_TASKS | kFlagIdentityOnly);
}

void FollowFolderRenameIn(Engine& engine, const std::u16string& folder, const FolderMoves& moves) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW(SearchPattern(folder).c_str(), &data);
  if (manager == nullptr || find == platform::INVALID_HANDLE_VALUE) return;
  do {
    if (IsDotEntry(data.cFileName) || IsSymbolicLink(data.dwFileAttributes, data.dwReserved0)) continue;
    const std::u16string full = JoinPath(folder, data.cFileName);
    const std::u16string rel = RelativeToRoot(engine, full);
    if (!IsPlaceholder(*manager, full)) continue;
    const LocalItemValues values = ValuesOf(data);
    std::u16string id;
    // One renamed on its own as well keeps its identity: its own rename says where it went.
    if (manager->GetItemIdByPath(full.c_str(), id) && !id.empty() && id != rel && KnownPath(moves, id) == rel)
      RewriteIdentity(engine, rel, values);
    if (values.folder) FollowFolderRenameIn(engine, full, moves);
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
}

// New items, reported once the walk is done: one may stand at the name of
// an item that moved offline to where the walk has not reached yet (the
// cache, rebuilt at a start, may not know that name), and the move must
// reach the host first, or the host moves the new item with it. New
// folders go first, each walked as it is told, so that what moved into
// them is told as moved; new files last.
using NewItems = std::vector<std::pair<std::u16string, LocalItemValues>>;
struct LaterItems {
  NewItems folders;
  NewItems files;
  // Folders whose move the host refused, put back at their old paths, which
  // the walk may have passed already: what moved into them while stopped
  // is still to be told.
  std::vector<std::u16string> moved_back;
  // What the host had at the last stop; the walk claims what moved.
  LastStop last_stop;
  // Files moved while stopped, told once the walk is done (`renames_due`),
  // in an order where a move onto a name follows the move away of the item
  // the host has there, wherever the walk met the two.
  struct Rename {
    std::u16string full, rel, source;
    int64_t since;  // when the item took its identity (0: not known)
    WIN32_FIND_DATAW data;
    FolderMoves moves;
  };
  std::vector<Rename> renames;
  bool renames_due = false;
  // Paths the host answered a move from with "no such item": what names
  // them, or a place below them, is new to it.
  std::vector<std::u16string> lacked;
};

bool AtOrBelowAny(const std::vector<std::u16string>& paths, const std::u16string& path) {
  const std::u16string folded = FoldAsciiCase(path);
  return std::any_of(paths.begin(), paths.end(), [&](const std::u16string& p) {
    const std::u16string top = FoldAsciiCase(p);
    return folded == top || IsBelowFolder(folded, top);
  });
}

bool OfflineCheckIn(Engine& engine, const std::u16string& folder, const FolderMoves& moves, LaterItems& later);

// The placeholder at `source` is the host's item of that name, in place.
// Another one naming that item too is not its move: a copy that kept the
// extended attributes (cp -a), or an identity left behind by an item that
// once had the name.
bool StaysInPlace(Engine& engine, const std::u16string& source) {
  PlaceholderManager& manager = *engine.placeholder_manager;
  const std::u16string full = RootPath(engine) + source;
  std::u16string id;
  int64_t since = 0;
  if (!IsPlaceholder(manager, full) || !manager.GetItemIdByPath(full.c_str(), id, &since) || id.empty()) return false;
  return EqualsIgnoringAsciiCase(id, source) || engine.taken_renames.Follow(std::move(id), since) == source;
}

// A placeholder the host has under this path, not in sync: a change of it
// went unreported (its update refused, or its answer lost with the stop).
// Taken into the cache; a file's local version is offered as an update.
void OfferUnsentChange(Engine& engine, const std::u16string& rel, const std::u16string& full,
                       const LocalItemValues& values) {
  PlaceholderManager& manager = *engine.placeholder_manager;
  std::u16string id;
  // A listed folder has no identity.
  if (!manager.GetItemIdByPath(full.c_str(), id) || (id != rel && !(values.folder && id.empty()))) return;
  const platform::CF_PLACEHOLDER_STATE state = manager.GetPlaceholderState(full.c_str());
  if (state == platform::CF_PLACEHOLDER_STATE_INVALID || (state & platform::CF_PLACEHOLDER_STATE_IN_SYNC) != 0) return;
  engine.metadata_cache.AddNewItemToCache(rel, rel.substr(rel.find_last_of(u'\\') + 1),
                                          static_cast<uint32_t>(values.attributes), values.size, values.creation_time,
                                          values.last_access_time, values.last_write_time);
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' holds a change the host has not taken: offered as an update", rel);
  if (values.folder) return;
  const platform::Handle file = platform::CreateFileW(full.c_str(), platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                      nullptr, platform::OPEN_EXISTING, 0, 0);
  if (file == platform::INVALID_HANDLE_VALUE) return;
  platform::BY_HANDLE_FILE_INFORMATION info;
  const bool read = platform::GetFileInformationByHandle(file, &info) != 0;
  platform::CloseHandle(file);
  if (read)
    engine.SendNewerLocalVersion(full, rel, info, values.creation_time, values.last_access_time, values.attributes,
                                 IsWholePlaceholder(state));
}

// Whether the item at `full`, below the folder of `move`, has the identity
// it would have had if only the folder had moved.
bool NamedAsInFolder(Engine& engine, const std::u16string& id, const std::u16string& full, const FolderMove& move) {
  const std::u16string rel = RelativeToRoot(engine, full);
  return IsBelowFolder(rel, move.to) && id == move.from + rel.substr(move.to.size());
}

// What a folder left unwalked holds may have moved into it while stopped:
// the host still has such an item under its old name, which must not count
// as deleted. With `waiting_move` (the folder's move that waits for the
// host: its path there and here), an item moved into it from outside, or
// renamed inside it, is noted: its own move is told once the folder's is.
void ClaimNamesWithin(Engine& engine, const std::u16string& folder, LastStop& last_stop,
                      const FolderMove* waiting_move = nullptr) {
  PlaceholderManager& manager = *engine.placeholder_manager;
  WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW(SearchPattern(folder).c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return;
  do {
    if (IsDotEntry(data.cFileName) || IsSymbolicLink(data.dwFileAttributes, data.dwReserved0)) continue;
    const std::u16string child = JoinPath(folder, data.cFileName);
    std::u16string id;
    if (IsPlaceholder(manager, child) && manager.GetItemIdByPath(child.c_str(), id) && !id.empty()) {
      last_stop.Claim(id);
      if (waiting_move != nullptr && !NamedAsInFolder(engine, id, child, *waiting_move))
        engine.moved_into_waiting_folders.Note(id, waiting_move->from);
    }
    if (data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY)
      ClaimNamesWithin(engine, child, last_stop, waiting_move);
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
}

// A placeholder: reported as renamed when the host knows it by another
// path; a folder is then checked with its content carried along.
bool CheckOfflinePlaceholder(Engine& engine, const std::u16string& full, const std::u16string& rel,
                             const WIN32_FIND_DATAW& data, FolderMoves moves, LaterItems& later) {
  LogSink* sink = engine.diag.log_sink();
  const LocalItemValues values = ValuesOf(data);
  LogF(sink, kLogVerbose, u"Item is a placeholder, checking if its was renamed offline: '%s'", full);
  std::u16string item_id;
  int64_t since = 0;
  if (!engine.placeholder_manager->GetItemIdByPath(full.c_str(), item_id, &since)) {
    LogF(sink, kLogFailure, u"Failed to get item ID for placeholder: '%s'", full);
    return !values.folder || OfflineCheckIn(engine, full, moves, later);
  }
  std::u16string known;
  if (values.folder && item_id.empty()) {
    known = KnownFolderPath(engine, full, rel, moves);
    if (known != rel && engine.metadata_cache.NoItemInCache(known))
      known = engine.taken_renames.Follow(std::move(known));
  } else {
    // The renames the host took since the item took its identity lead to
    // where the host has it, out of a folder whose own move this walk told
    // first too. They name paths as they were then: a name another folder
    // has taken since is not the item's.
    known = item_id;
    if (!known.empty() && known != rel && engine.metadata_cache.NoItemInCache(known)) {
      known = engine.taken_renames.Follow(std::move(known), since);
    } else if (!known.empty() && since != 0) {
      // Back at its old name, after a move of it the host took too late to
      // rename it here (a stop had cancelled it): the host has it where
      // that move took it, while nothing here stands there.
      std::u16string moved = engine.taken_renames.Follow(known, since);
      if (moved != known && !PathExists(RootPath(engine) + moved)) known = std::move(moved);
    }
    known = KnownPath(moves, known);
  }
  // A folder's move the host takes carries what it held: what of that is
  // gone now was deleted (below).
  if (!known.empty() && !EqualsIgnoringAsciiCase(known, rel) && !values.folder) later.last_stop.Claim(known);
  if (!item_id.empty() && item_id != known && !EqualsIgnoringAsciiCase(item_id, rel)) later.last_stop.Claim(item_id);
  // Moved out of a folder whose move this start told and the host has not
  // answered: the host has the item under that folder's old or new path,
  // which only its answer tells, and which the component takes in only once
  // the start is over. Told now, the move would wait for that in vain and
  // then name the old path; it is looked for where it is once the answer comes.
  if (later.renames_due && !values.folder && !EqualsIgnoringAsciiCase(known, rel) &&
      WalkWhenMoveAboveAnswered(engine, known, ParentOf(rel))) {
    LogF(sink, kLogVerbose, u"'%s' names '%s', in a folder whose move waits for the host: looked for once it answers",
         rel, known);
    return true;
  }
  if (!EqualsIgnoringAsciiCase(known, rel) &&
      (AtOrBelowAny(later.lacked, item_id) || AtOrBelowAny(later.lacked, known))) {
    LogF(sink, kLogVerbose, u"'%s' names '%s', which the host does not have: it is reported as new", rel, known);
    (values.folder ? later.folders : later.files).emplace_back(full, values);
    return true;
  }
  if (!EqualsIgnoringAsciiCase(known, rel) && StaysInPlace(engine, known)) {
    LogF(sink, kLogVerbose, u"'%s' names '%s', which is still in place: it is reported as new", rel, known);
    (values.folder ? later.folders : later.files).emplace_back(full, values);
    return true;
  }
  if (!EqualsIgnoringAsciiCase(known, rel) && !values.folder && !later.renames_due) {
    later.renames.push_back({full, rel, known, since, data, std::move(moves)});
    return true;
  }
  if (!EqualsIgnoringAsciiCase(known, rel)) {
    // Its content moves with it: reported one by one, it would go into a
    // folder the host never heard of.
    const int32_t answer = ReportOfflineRename(engine, full, rel, known, values, data.dwFileAttributes);
    if (answer == kErrItemNotFound) {
      // Told again at each start, the move would name that path for good
      // (and, followed through the host's later moves, paths nobody had).
      LogF(sink, kLogVerbose, u"The host has no '%s': '%s' is reported as new", known, rel);
      later.last_stop.Claim(known);
      if (values.folder) ClaimNamesWithin(engine, full, later.last_stop);
      later.lacked.push_back(known);
      (values.folder ? later.folders : later.files).emplace_back(full, values);
      return true;
    }
    if (answer != 0 && !values.folder) return true;
    if (answer != 0) later.last_stop.Claim(known);
    if (answer != 0) {
      const std::u16string back = RootPath(engine) + known;
      if (answer != kErrPending && !PathExists(full) && PathExists(back)) {
        LogF(sink, kLogVerbose, u"Folder rename not accepted, its content is checked where it went back: '%s'", back);
        later.moved_back.push_back(back);
      } else {
        LogF(sink, kLogVerbose, u"Folder rename not accepted, its content is checked next time: '%s'", full);
        const bool waits = answer == kErrPending || answer == kErrRetry;
        const FolderMove waiting{known, rel};
        ClaimNamesWithin(engine, full, later.last_stop, waits ? &waiting : nullptr);
        // Answered late, or to be asked again: what was deleted below it is
        // told once the host takes the move.
        if (answer == kErrPending || answer == kErrRetry) later.last_stop.FolderMoveUnanswered(known, rel);
      }
      return true;
    }
    if (values.folder) {
      moves.push_back({known, rel});
      later.last_stop.FolderMoved(known, rel);
    }
  } else if (!item_id.empty() && known != item_id) {
    RewriteIdentity(engine, rel, values);
  }
  // Known to the host as it stands (now that it took the move, or the
  // identity names the path it has): its first change here is an update.
  // Left out of the cache, a rename of it was lost when its folder moved
  // on before the record was read.
  if (engine.metadata_cache.NoItemInCache(rel) && !AdoptKnownPlaceholder(engine, rel, full, values))
    OfferUnsentChange(engine, rel, full, values);
  return !values.folder || OfflineCheckIn(engine, full, moves, later);
}

bool ReportNewAndWalk(Engine& engine, const std::u16string& full, const LocalItemValues& values, LaterItems& later) {
  const std::u16string rel = RelativeToRoot(engine, full);
  const KnownItem* had = values.folder ? nullptr : later.last_stop.StillHostsAt(rel);
  if (had != nullptr && !(had->attributes & kItemAttributeFolder)) {
    // Put over the host's file while stopped (an editor's save): that
    // file's new content, as such a save is told while running. As a new
    // file it reached a host that has one there already.
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' replaced the host's file while stopped: reported as its update",
         rel);
    engine.metadata_cache.AddNewItemToCache(rel, rel.substr(rel.rfind(u'\\') + 1), had->attributes, -1, 0, 0, 0);
    UpdateLocalItem(engine, nullptr, rel, full, values);
    return true;
  }
  LogF(engine.diag.log_sink(), kLogVerbose, u"File is not a placeholder, report it as new one: '%s'", full);
  ReportNewLocalFile(engine, full, values.attributes, values.size, values.creation_time, values.last_access_time,
                     values.last_write_time, false, values.file_id);
  return !values.folder || OfflineCheckIn(engine, full, {}, later);
}

bool OfflineCheckIn(Engine& engine, const std::u16string& folder, const FolderMoves& moves, LaterItems& later) {
  LogSink* sink = engine.diag.log_sink();
  platform::Handle find = platform::INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data;
  if (!OpenFolder(engine, folder, find, data)) return false;
  PlaceholderManager* manager = engine.placeholder_manager.get();
  bool result = true;
  do {
    if (IsDotEntry(data.cFileName)) continue;
    if (IsSymbolicLink(data.dwFileAttributes, data.dwReserved0)) continue;
    const std::u16string full = JoinPath(folder, data.cFileName);
    const std::u16string rel = RelativeToRoot(engine, full);
    if (platform::HoldsUnrepresentableName(data.cFileName)) {
      ReportUnrepresentableName(engine, rel);
      continue;
    }
    if (HandleFoundLockFile(engine, rel)) continue;
    if (!PassesExclusion(engine, rel, data.dwFileAttributes)) continue;
    const LocalItemValues values = ValuesOf(data);
    const platform::CF_PLACEHOLDER_STATE state =
        manager ? manager->GetPlaceholderState(full.c_str()) : platform::CF_PLACEHOLDER_STATE_INVALID;
    LogF(sink, kLogVerbose, u"Checking file '%s', state: %d", full, static_cast<int32_t>(state));
    if (state == platform::CF_PLACEHOLDER_STATE_INVALID) {
      LogF(sink, kLogVerbose, u"Skip file as its placeholder state is invalid: '%s'", full);
      continue;
    }
    if (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) {
      if (!CheckOfflinePlaceholder(engine, full, rel, data, moves, later)) {
        result = false;
        break;
      }
      continue;
    }
    (values.folder ? later.folders : later.files).emplace_back(full, values);
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  LogF(sink, kLogVerbose, u"Checking folder finished for '%s'. Result: %s", folder, result ? u"true" : u"false");
  return result;
}

// Two files naming the same item of the host as theirs: the one that took
// the identity last is the item (came back from the host after a refused
// move, then moved itself); the other is a copy of it, new to the host.
// Told as moves both, the host moved its item to the wrong one, and the
// other showed in sync with nothing on the server.
void SortOutSharedSources(Engine& engine, LaterItems& later) {
  std::unordered_map<std::u16string, size_t> latest;  // folded source → rename
  for (size_t i = 0; i < later.renames.size(); ++i) {
    auto [it, first] = latest.emplace(FoldAsciiCase(later.renames[i].source), i);
    if (!first && later.renames[i].since > later.renames[it->second].since) it->second = i;
  }
  std::vector<LaterItems::Rename> kept;
  for (size_t i = 0; i < later.renames.size(); ++i) {
    LaterItems::Rename& r = later.renames[i];
    if (latest[FoldAsciiCase(r.source)] == i) {
      kept.push_back(std::move(r));
      continue;
    }
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' names '%s', which a later item has as its own: reported as new",
         r.rel, r.source);
    later.files.emplace_back(r.full, ValuesOf(r.data));
  }
  later.renames.swap(kept);
}

// Told before it, the move onto a name reached the host while it still had
// its own item there, which its move away then took (a swap of names, a
// file moved onto the name of one moved on). A cycle goes in walk order.
std::vector<size_t> RenameOrder(const std::vector<LaterItems::Rename>& renames) {
  std::unordered_map<std::u16string, size_t> from;  // folded source → rename
  for (size_t i = 0; i < renames.size(); ++i) from.emplace(FoldAsciiCase(renames[i].source), i);
  std::vector<size_t> order;
  std::vector<char> state(renames.size(), 0);  // 1: on the chain being followed, 2: placed
  for (size_t first = 0; first < renames.size(); ++first) {
    std::vector<size_t> chain;
    for (size_t i = first; state[i] == 0;) {
      state[i] = 1;
      chain.push_back(i);
      const auto away = from.find(FoldAsciiCase(renames[i].rel));
      if (away == from.end() || away->second == i) break;
      i = away->second;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      state[*it] = 2;
      order.push_back(*it);
    }
  }
  return order;
}

}  // namespace

bool OfflineCheck(Engine& engine, const std::u16string& folder) {
  LaterItems later;
  later.last_stop = LastStop(engine.known_at_stop.Take(engine.EffectiveSyncRootPath()));
  later.last_stop.NoteReplacedNames(engine);
  engine.moved_into_waiting_folders.Clear();
  bool result = OfflineCheckIn(engine, folder, {}, later);
  // A folder whose move the host refused is walked where it went back; one
  // met only inside a new folder goes back after the walk, and what moved
  // into it while stopped would otherwise count as deleted.
  size_t walked_back = 0;
  const auto walk_moved_back = [&] {
    for (; result && walked_back < later.moved_back.size(); ++walked_back) {
      const std::u16string back = later.moved_back[walked_back];
      if (PathExists(back)) result = OfflineCheckIn(engine, back, {}, later);
    }
  };
  walk_moved_back();
  later.renames_due = true;
  SortOutSharedSources(engine, later);
  for (const size_t i : RenameOrder(later.renames)) {
    LaterItems::Rename& r = later.renames[i];
    if (result && PathExists(r.full)) result = CheckOfflinePlaceholder(engine, r.full, r.rel, r.data, r.moves, later);
  }
  // Walking a new folder may defer more of both; a folder walked twice
  // (met again where it went back) defers its items twice.
  std::set<std::u16string> reported;
  size_t folders_done = 0, files_done = 0;
  while (result && (folders_done < later.folders.size() || files_done < later.files.size())) {
    for (auto [items, done] : {std::pair{&later.folders, &folders_done}, std::pair{&later.files, &files_done}}) {
      for (; result && *done < items->size(); ++*done) {
        const auto [full, values] = (*items)[*done];
        if (PathExists(full) && reported.insert(full).second)
          result = ReportNewAndWalk(engine, full, values, later);
      }
    }
    walk_moved_back();
  }
  if (result) later.last_stop.ReportDeletes(engine);
  return result;
}

void FollowFolderRename(Engine& engine, const std::u16string& old_rel, const std::u16string& rel) {
  const std::u16string root = RootPath(engine);
  FollowFolderRenameIn(engine, root + rel, {{old_rel, rel}});
}

bool DeleteEmptyLocalFolders(Engine& engine, const std::u16string& folder) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Deleting local empty directories in '%s'", folder);
  WIN32_FIND_DATAW data;
  const std::u16string pattern = SearchPattern(folder);
  platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) {
    LogF(sink, kLogFailure, u"Failed to search for directory content: '%s'. OS error: 0x%x", folder,
         platform::GetLastError());
    return false;
  }
  bool result = true;
  bool holds_file = false;
  do {
    if (IsDotEntry(data.cFileName)) continue;
    const std::u16string full = JoinPath(folder, data.cFileName);
    // A link to a folder is content of this folder, not a folder to clear.
    if ((data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) &&
        !IsSymbolicLink(data.dwFileAttributes, data.dwReserved0)) {
      // One failing subfolder must not make an earlier failure look like success.
      if (!DeleteEmptyLocalFolders(engine, full)) result = false;
      LogF(sink, kLogVerbose, u"Deletion of local empty subdirectories finished for '%s'. Result: %s", full,
           result ? u"true" : u"false");
    } else {
      holds_file = true;
    }
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  if (!holds_file) {
    const platform::DWORD attributes = platform::GetFileAttributesW(folder.c_str());
    if (attributes != platform::INVALID_FILE_ATTRIBUTES)
      platform::SetFileAttributesW(folder.c_str(), attributes & ~0x25u);
    if (!EqualsIgnoringAsciiCase(folder, RootPath(engine)) && !platform::RemoveDirectoryW(folder.c_str())) result = false;
  }
  LogF(sink, kLogVerbose, u"Deletion of local empty directories finished for '%s'. Result: %s", folder,
       result ? u"true" : u"false");
  return result;
}

}  // namespace corvane
