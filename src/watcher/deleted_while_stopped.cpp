#include "watcher/deleted_while_stopped.h"

#include <algorithm>
#include <utility>

#include "diag/log.h"
#include "engine/engine.h"
#include "engine/exclusion.h"
#include "engine/retry_passes.h"
#include "engine/retry_queue.h"
#include "engine/retry_wrappers.h"
#include "platform/files.h"
#include "provider/placeholder_manager.h"
#include "support/sync_root_path.h"
#include "watcher/change_processing.h"
#include "watcher/item_attributes.h"

namespace corvane {
namespace {

// A root with nothing in it at all is more likely one whose files are not
// there (a drive or mount missing, the folder replaced) than one whose
// user deleted everything: the host's copies are worth more than the
// deletes.
bool RootIsEmpty(const std::u16string& root) {
  platform::WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW((root + u"\\*").c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    const std::u16string name = data.cFileName;
    if (name != u"." && name != u"..") empty = false;
  } while (empty && platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  return empty;
}

// A folder the host has not listed yet (placeholders made on demand) shows
// none of its items: that they are not there is no delete.
bool Unlisted(Engine& engine, const std::u16string& full_folder) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full_folder.c_str());
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) &&
         (state & platform::CF_PLACEHOLDER_STATE_PARTIAL);
}

}  // namespace

LastStop::LastStop(std::vector<KnownItem> items) : items_(std::move(items)) {
  std::sort(items_.begin(), items_.end(), [](const KnownItem& a, const KnownItem& b) { return a.path < b.path; });
}

void LastStop::Claim(const std::u16string& host_path) {
  if (!items_.empty()) moved_.insert(FoldAsciiCase(host_path));
}

// The path or a folder above it: one lookup per level, as a folder of many
// items moved while stopped claims each of them.
bool LastStop::Claimed(const std::u16string& path) const { return ClaimedBelow(path, u""); }

void LastStop::FolderMoved(const std::u16string& from, const std::u16string& to) {
  if (!items_.empty()) folder_moves_.emplace_back(from, to);
}

void LastStop::FolderMoveUnanswered(const std::u16string& from, const std::u16string& to) {
  if (!items_.empty()) unanswered_moves_.emplace_back(from, to);
}

bool LastStop::ClaimedBelow(const std::u16string& path, const std::u16string& top) const {
  if (moved_.empty()) return false;
  std::u16string at = FoldAsciiCase(path);
  while (at.size() > top.size()) {
    if (moved_.count(at) != 0) return true;
    const size_t cut = at.rfind(u'\\');
    if (cut == std::u16string::npos) break;
    at.resize(cut);
  }
  return false;
}

// Told now, the delete would name a path the host has only once it takes
// the move; left for the next start, the host kept the item until then.
void LastStop::OweDeleteAfterMove(Engine& engine, const std::u16string& root, const KnownItem& item) const {
  for (const auto& [from, to] : unanswered_moves_) {
    if (!IsBelowFolder(item.path, from)) continue;
    if (ClaimedBelow(item.path, from)) return;
    const std::u16string below = item.path.substr(from.size());
    const std::u16string path = to + below;
    if (PathExists(root + path)) return;
    // What a deleted folder held goes with the folder's own delete.
    const std::u16string parent = path.substr(0, path.rfind(u'\\'));
    if (!PathExists(root + parent) || Unlisted(engine, root + parent)) return;
    if (KeptFromHost(engine, path, PlatformAttributesFromItem(static_cast<int32_t>(item.attributes)))) return;
    Task* task = nullptr;
    {
      TaskRegistry::Lock lock(engine.tasks);
      task = engine.tasks.AcquireByKeyLocked(to, OP_RENAME);
    }
    bool owed = false;
    bool taken = false;
    const RenameInfo::Deleted deleted{below, item.attributes};
    if (task != nullptr) {
      {
        RecursiveMutexLock lock(task->TaskLock);
        taken = task->RenameInfo && task->RenameInfo->DeletedBelowTold;
        if (task->RenameInfo && !taken) {
          task->RenameInfo->DeletedBelow.push_back(deleted);
          // Asked again if the host answers "retry" after all.
          if (task->RetryRecord) task->RetryRecord->DeletedBelow.push_back(deleted);
          owed = true;
        }
      }
      engine.tasks.ReleaseTask(task);
    } else {
      owed = RetryQueueOf(engine).OweDeleteAfterRename(from, to, deleted);
    }
    if (owed) {
      LogF(engine.diag.log_sink(), kLogVerbose,
           u"'%s' was deleted while the provider was stopped: told once the host takes its folder's move", path);
      return;
    }
    // Answered meanwhile: only a move the host took put the folder there.
    if (taken || !engine.metadata_cache.NoItemInCache(to)) ReportDeletedWhileStopped(engine, path, item.attributes);
    return;
  }
}

void LastStop::NoteReplacedNames(Engine& engine) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return;
  std::u16string root = engine.EffectiveSyncRootPath();
  while (!root.empty() && root.back() == u'\\') root.pop_back();
  // From the renames' side: a start may know many items, and few were moved.
  for (const std::u16string& path : engine.taken_renames.RenamedItems()) {
    const auto known = std::lower_bound(items_.begin(), items_.end(), path,
                                        [](const KnownItem& item, const std::u16string& p) { return item.path < p; });
    if (known == items_.end() || known->path != path) continue;
    int64_t when = 0;
    std::u16string moved = engine.taken_renames.FollowRenamedItem(path, &when);
    if (moved == path) continue;
    const std::u16string full = root + path;
    if (!PathExists(full)) continue;  // gone: the delete follows the rename anyway
    // The item itself, moved back while stopped, still has the identity it
    // had before the rename was told; read before the walk changes it.
    std::u16string identity;
    int64_t since = 0;
    if (manager->GetItemIdByPath(full.c_str(), identity, &since) && identity == path && since < when) continue;
    replaced_.emplace(path, std::move(moved));
  }
}

std::u16string LastStop::HostPathNow(std::u16string path) const {
  for (const auto& [from, to] : folder_moves_) {
    if (path.compare(0, from.size(), from) == 0 && (path.size() == from.size() || path[from.size()] == u'\\'))
      path = to + path.substr(from.size());
  }
  return path;
}

const KnownItem* LastStop::StillHostsAt(const std::u16string& path) const {
  const auto it = std::lower_bound(items_.begin(), items_.end(), path,
                                   [](const KnownItem& item, const std::u16string& p) { return item.path < p; });
  if (it == items_.end() || it->path != path || Claimed(path) || HostPathNow(path) != path) return nullptr;
  return &*it;
}

void LastStop::ReportDeletes(Engine& engine) const {
  if (items_.empty()) return;
  LogSink* sink = engine.diag.log_sink();
  std::u16string root = engine.EffectiveSyncRootPath();
  while (!root.empty() && root.back() == u'\\') root.pop_back();
  if (RootIsEmpty(root)) {
    LogF(sink, kLogFailure, u"The sync root is empty: the deletes of %d items known at the last stop are not reported",
         static_cast<int32_t>(items_.size()));
    return;
  }
  for (const KnownItem& item : items_) {
    if (item.path.size() < 2) continue;
    if (Claimed(item.path)) {
      OweDeleteAfterMove(engine, root, item);
      continue;
    }
    std::u16string path = HostPathNow(item.path);
    // Moved by a rename the host finished after a stop had cancelled it: the
    // host has the item where that rename took it, and nothing under this
    // name (another item may stand there now).
    if (const auto replaced = replaced_.find(item.path); replaced != replaced_.end() && path == item.path) {
      if (PathExists(root + replaced->second) || Claimed(replaced->second)) continue;
      path = replaced->second;
    } else if (PathExists(root + path)) {
      continue;
    } else if (std::u16string moved = engine.taken_renames.FollowRenamedItem(path); moved != path) {
      if (PathExists(root + moved)) continue;
      path = std::move(moved);
    }
    if (path != item.path && Claimed(path)) continue;
    // What a deleted folder held goes with the folder's own delete.
    const std::u16string parent = path.substr(0, path.rfind(u'\\'));
    if (!parent.empty() && !PathExists(root + parent)) continue;
    if (Unlisted(engine, root + parent)) continue;
    if (KeptFromHost(engine, path, PlatformAttributesFromItem(static_cast<int32_t>(item.attributes)))) continue;
    ReportDeletedWhileStopped(engine, path, item.attributes);
  }
}

}  // namespace corvane
