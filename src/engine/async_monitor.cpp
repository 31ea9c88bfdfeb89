// The async-operation monitor: finishes the tasks the host completed with
// FinalizeTask (or that were cancelled while asynchronous).
//
// A slice is chosen and its tasks referenced under the registry locks; the
// locks are then released before any event or local work runs. Handlers may
// call FinalizeTask or start new tasks, and a task's TaskLock may be held
// while the registry locks are taken, so holding the registry locks across
// that work could deadlock. The references keep the records ours meanwhile.
#include <algorithm>
#include <memory>
#include <vector>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/enumeration.h"
#include "engine/event_bridges.h"
#include "engine/exclusion.h"
#include "engine/host_events.h"
#include "engine/item_operations_create_update.h"
#include "engine/local_changes.h"
#include "engine/platform_requests.h"
#include "engine/retry_passes.h"
#include "engine/retry_queue.h"
#include "engine/retry_wrappers.h"
#include "engine/task.h"
#include "engine/task_cancel.h"
#include "halvex/corvane.h"
#include "platform/files.h"
#include "provider/create_update_states.h"
#include "provider/item_identity.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"

namespace corvane {
namespace {

constexpr const char* kTextAsyncFailed = "Asynchronous operation failed";

bool RaisesErrorEvent(int32_t type) {
  return type == OP_RENAME || type == OP_WRITE_DATA || type == OP_CREATE || type == OP_DELETE;
}

void FireError(Engine& engine, int32_t code) {
  if (engine.events == nullptr) return;
  try {
    engine.events->BeforeEvent(engine.code_page.load());
    engine.events->FireError(code, kTextAsyncFailed);
  } catch (...) {
  }
}

uint64_t U64(int64_t value) { return static_cast<uint64_t>(value); }

std::unique_ptr<RetryRecord> TakeRetryRecord(Task& task) {
  RecursiveMutexLock lock(task.TaskLock);
  return std::move(task.RetryRecord);
}

bool HasRetryRecord(Task& task) {
  RecursiveMutexLock lock(task.TaskLock);
  return task.RetryRecord != nullptr;
}

// Where the item of a create or an update stands now: a folder's move the
// host took while it held the answer carried the item along.
std::u16string ItemPathNow(Engine& engine, const std::u16string& path) {
  if (engine.ProbeItem(path) != ItemKind::kMissing) return path;
  return engine.taken_renames.Follow(path);
}

// Items moved out of a folder while stopped waited for the host's answer to
// the folder's move (their moves name the folder): the walk of where they
// are now tells them, from the path the answer left them at.
void WalkWhatWaitedForAnswer(Engine& engine, Task& task) {
  std::vector<std::u16string> folders;
  {
    RecursiveMutexLock lock(task.TaskLock);
    if (task.RenameInfo) folders.swap(task.RenameInfo->WalkWhenAnswered);
  }
  for (const std::u16string& folder : folders) engine.local_changes.WalkMovedFolder(engine, folder);
}

// The local side of a finished task; returns what the Error event reports.
int32_t FinishLocally(Engine& engine, const std::u16string& root, Task& task, int32_t code) {
  switch (task.OperationType) {
    case OP_WRITE_DATA:
    case OP_CREATE: {
      const std::u16string path = ItemPathNow(engine, task.Path);
      // An update taken of an item whose create the host refused meanwhile
      // puts nothing on the server: the item stays to be offered as new.
      bool refused = false;
      if (task.OperationType == OP_WRITE_DATA && engine.metadata_cache.GetCreateFailed(path, &refused) && refused) {
        LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' stays not in sync: the host refused its create", path);
        return kOk;
      }
      if (task.OperationType == OP_WRITE_DATA &&
          HandVersionToUnansweredCreate(engine, task.Path, task.ReportedSize, task.ReportedWriteTime,
                                        task.ReportedFileId, task.ReportedUsn))
        return kOk;
      if (task.OperationType == OP_CREATE) {
        engine.taken_renames.NameUsedAgain(task.Path);
        engine.metadata_cache.SetCreateFailed(path, false);
      }
      int64_t size, write_time, file_id, usn;
      {
        // An update answered meanwhile may have handed its version over.
        RecursiveMutexLock lock(task.TaskLock);
        task.AnswerSettled = true;
        size = task.ReportedSize;
        write_time = task.ReportedWriteTime;
        file_id = task.ReportedFileId;
        usn = task.ReportedUsn;
      }
      return MarkTakenVersionInSync(engine, path, size, write_time, file_id, usn);
    }
    case OP_READ_DATA: {
      const int32_t flushed = engine.platform_requests.FlushTransfer(engine, task, true);
      if (flushed != kOk && flushed != kErrCancelled) engine.platform_requests.AbandonFetch(engine, task, flushed);
      if (flushed != kOk && engine.settings.windows_update_icon_on_retrieve_errors.load())
        SetItemErrorMark(engine, root + task.Path, flushed != kErrPending);
      // The file may have changed since the read began: only the version
      // it began from, if that was in sync, is put back in sync.
      if (flushed != kOk) return kOk;
      return MarkTakenVersionInSync(engine, task.Path, task.ReportedSize, task.ReportedWriteTime, -1,
                                    task.ReportedUsn);
    }
    case OP_DELETE:
      ForgetDeletedItem(engine, root, task.Path);
      return kOk;
    case OP_LIST: return ProcessListing(engine, task.TaskId, false);
    case OP_RENAME: {
      if (!task.RenameInfo) return kOk;
      const int32_t result = FinishLocalRename(engine, root, task.RenameInfo->SourcePath,
                                               task.RenameInfo->TargetPath, task.RenameInfo.get());
      if (result == kOk && task.RenameInfo->WalkWhenTaken)
        engine.local_changes.WalkMovedFolder(engine, task.RenameInfo->TargetPath);
      if (result == kOk) TellDeletedBelow(engine, root, TakeDeletedBelow(task));
      WalkWhatWaitedForAnswer(engine, task);
      return result;
    }
    default: (void)code; return kErrInternal;
  }
}

// The host refused the change late, as it might have at once: what it was
// told of is not on the server, so nothing of it may stay in sync.
void NotTakenByTheHost(Engine& engine, const std::u16string& root, Task& task, int32_t code) {
  if (task.OperationType == OP_CREATE) {
    {
      RecursiveMutexLock lock(task.TaskLock);
      task.AnswerSettled = true;
    }
    const std::u16string path = ItemPathNow(engine, task.Path);
    engine.metadata_cache.SetCreateFailed(path, true);
    DoSetPlaceholderSyncState(engine, path, false);
  } else if (task.OperationType == OP_RENAME && task.RenameInfo) {
    const std::u16string& target = task.RenameInfo->TargetPath;
    const platform::DWORD attributes = platform::GetFileAttributesW((root + target).c_str());
    const bool folder = attributes != platform::INVALID_FILE_ATTRIBUTES &&
                        (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
    RefusedRename(engine, root, task.RenameInfo->SourcePath, target, folder, code);
    WalkWhatWaitedForAnswer(engine, task);
  } else if (task.OperationType == OP_DELETE && DeleteLeftNothing(code)) {
    ForgetDeletedItem(engine, root, task.Path);
  }
}

// The size of the file at `full`, or -1 when it cannot be read.
int64_t FileSizeAt(const std::u16string& full) {
  using namespace platform;
  Handle handle = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, 0);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!ok || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;
  return (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

}  // namespace

OwedDeletes TakeDeletedBelow(Task& task) {
  OwedDeletes owed;
  RecursiveMutexLock lock(task.TaskLock);
  if (!task.RenameInfo) return owed;
  owed.items.swap(task.RenameInfo->DeletedBelow);
  task.RenameInfo->DeletedBelowTold = true;
  owed.folder = task.RenameInfo->TargetPath;
  return owed;
}

void TellDeletedBelow(Engine& engine, const std::u16string& root, const OwedDeletes& owed) {
  for (const RenameInfo::Deleted& item : owed.items) {
    const std::u16string path = owed.folder + item.below;
    // Back since (made again, or moved back): nothing to tell.
    if (platform::GetFileAttributesW((root + path).c_str()) == platform::INVALID_FILE_ATTRIBUTES)
      ReportDeletedWhileStopped(engine, path, item.attributes);
  }
}

void FollowRenameWithIdentity(Engine& engine, const std::u16string& full, const std::u16string& source,
                              const std::u16string& target) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  std::u16string item_id;
  int64_t since = 0;
  uint16_t marks = 0;
  // The identity may name the item under a folder's name from before that
  // folder's move, which the host took: the rename's source follows it.
  if (manager == nullptr || !manager->GetItemIdByPath(full.c_str(), item_id, &since, &marks) ||
      (item_id != source && engine.taken_renames.Follow(item_id, since) != source))
    return;
  UpdatePlaceholderRequest request;
  request.path = full.c_str();
  request.keep_metadata = true;
  const ItemIdentity identity(target, IdentityTime(), marks);
  request.file_identity = identity.data();
  request.file_identity_length = identity.length();
  const platform::HRESULT hr = manager->UpdatePlaceholder(&request);
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' takes '%s' as its identity: 0x%x", full,
       target, static_cast<uint32_t>(hr));
}

bool RenameOntoItOutstanding(Engine& engine, std::u16string_view path) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  std::u16string identity;
  int64_t since = 0;
  const std::u16string full = engine.EffectiveSyncRootPath() + std::u16string(path);
  // A folder's state follows its listing, not a version of it.
  const platform::DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES || (attributes & platform::FILE_ATTRIBUTE_DIRECTORY))
    return false;
  if (manager == nullptr || !manager->GetItemIdByPath(full.c_str(), identity, &since) || identity.empty()) return false;
  return engine.taken_renames.Follow(std::move(identity), since) != path;
}

bool RenamedItemMovedOn(Engine& engine, const std::u16string& target, int64_t moved_file_id) {
  if (moved_file_id == 0) return false;
  // Below 0: the record was read when the item had left the name already.
  if (moved_file_id < 0) return true;
  const FileVersion now = ReadFileVersion(engine, target, false);
  return now.file_id != 0 && now.file_id != moved_file_id;
}

bool AnotherItemTookTheName(Engine& engine, const std::u16string& target, const std::u16string& source,
                            const CacheItem& moved, bool target_known) {
  const std::u16string full = engine.EffectiveSyncRootPath() + target;
  // The update keeps the data and gives the file the renamed item's size:
  // over a file of another size it would fetch the host's bytes over the
  // user's (or cut them off) and mark the result in sync. That file's own
  // records (its rename, its write) follow and set its state.
  const int64_t size = moved.IsFolder() ? -1 : FileSizeAt(full);
  if (size >= 0 && size != moved.Size) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' is no longer the item renamed from '%s'", full, source);
    FollowRenameWithIdentity(engine, full, source, target);
    return true;
  }
  PlaceholderManager* manager = engine.placeholder_manager.get();
  std::u16string item_id;
  if (manager == nullptr || !manager->GetItemIdByPath(full.c_str(), item_id)) return false;
  // An item the cache knows by another name, gone from that name, moved
  // here since; its own records come later. Taken for the renamed item (a
  // folder has no size to tell), it would be given the renamed item's
  // identity and state, and its own move would then read as the host's item
  // at this name and never reach the host.
  if (!item_id.empty() && item_id != source && item_id != target &&
      engine.metadata_cache.Lookup(item_id, nullptr, nullptr) &&
      platform::GetFileAttributesW((engine.EffectiveSyncRootPath() + item_id).c_str()) ==
          platform::INVALID_FILE_ATTRIBUTES) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' is the known '%s', moved there after '%s' was", full, item_id,
         source);
    return true;
  }
  // The renamed item may carry any earlier name of it, even this one (moved
  // back here while an earlier rename of it was taken, its identity could
  // not follow); but an item known by this very name that the cache knew
  // here too was made here since (by the host), and what the host has under
  // the name now is the renamed item, not it.
  if (item_id != target || item_id == source || !target_known) return false;
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' is no longer the item renamed from '%s'", full, source);
  DoSetPlaceholderSyncState(engine, target, false);
  return true;
}

void ForgetDeletedItem(Engine& engine, const std::u16string& root, const std::u16string& path) {
  // What is at the path now (made since) is not what the host deleted, nor
  // is anything below it.
  const bool host_made = engine.HostMadeItemAt(path);
  CacheItem known;
  const bool host_made_file =
      host_made && engine.metadata_cache.Lookup(path, &known, nullptr) && !known.IsFolder();
  // A file the host made at the name after it took the delete (its answer
  // taken in late) is the host's: its entry and its name stay, or the
  // user's later delete of it would never be told.
  if (!host_made_file) {
    engine.metadata_cache.Remove(path, true);
    engine.HostTookItemAway(path);
  }
  engine.taken_renames.ForgetInto(path);
  // A folder made again and filled, its content reported before the stale
  // delete was: the host dropped that content with the folder, so it must be
  // offered again, not taken back as known. (A folder moved here, known by
  // another name, has its own rename to come; one the host made is its own.)
  const std::u16string full = root + path;
  const platform::DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES || (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      host_made)
    return;
  std::u16string item_id;
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager != nullptr && manager->GetItemIdByPath(full.c_str(), item_id) && !item_id.empty() && item_id != path)
    return;
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' was made again before the host deleted it: not in sync", path);
  SetTreeNotInSync(engine, root, path, true);
}

bool RenameLeavesHostItem(Engine& engine, const std::u16string& source, int64_t moved_file_id) {
  // The host may make its item while its answer to the rename is on the
  // way: its method runs on another thread, or inside the event handler.
  if (!engine.unseen_creations.BeingMade(source) && !engine.unseen_creations.HeldByAnother(source, moved_file_id))
    return false;
  engine.newer_changes.Note(source);
  return true;
}

int32_t RenameTakenFlags(bool source_in_sync) {
  const int32_t keep = HALVEX_FLAG_KEEP_DATA | HALVEX_FLAG_KEEP_TASKS;
  return source_in_sync ? keep | HALVEX_FLAG_MARK_SYNCED : keep;
}

int32_t FinishLocalRename(Engine& engine, const std::u16string& root, const std::u16string& source,
                          const std::u16string& target, const RenameInfo* info) {
  CacheItem moved;
  std::u16string name;
  const bool target_known = engine.metadata_cache.Lookup(target, nullptr, nullptr);
  // The name names the moved item on the host now, not one a rename the
  // host took earlier moved away from it.
  engine.taken_renames.NameUsedAgain(target);
  // The host's own rename is made now.
  const int64_t reported_at = info != nullptr ? info->ReportedAt : IdentityTime();
  const bool file = info != nullptr && info->HasSource && (info->SourceAttributes & kItemAttributeFolder) == 0;
  const bool host_item_at_source = file && RenameLeavesHostItem(engine, source, info->MovedFileId);
  if (!host_item_at_source) engine.HostTookItemAway(source);
  // A folder's times move with what is done inside it: unlike it, the entry
  // is another folder's only when one stands at the source again.
  const auto another_at_source = [&] {
    return !moved.IsFolder() ||
           platform::GetFileAttributesW((root + source).c_str()) != platform::INVALID_FILE_ATTRIBUTES;
  };
  if (info != nullptr && info->HasSource &&
      (host_item_at_source ||
       (engine.metadata_cache.Lookup(source, &moved, nullptr) &&
        (moved.Size != info->SourceSize || moved.LastWriteTime != info->SourceLastWriteTime ||
         moved.Attributes != info->SourceAttributes) &&
        another_at_source()))) {
    const size_t slash = target.rfind(u'\\');
    engine.metadata_cache.AddNewItemToCache(target, slash == std::u16string::npos ? target : target.substr(slash + 1),
                                            info->SourceAttributes, info->SourceSize, info->SourceCreationTime,
                                            info->SourceLastAccessTime, info->SourceLastWriteTime);
  } else if (!engine.metadata_cache.Rename(source, target)) {
    // The host's own rename of an item the cache does not know (not seen
    // since a start): the host knows it by the new name now.
    if (info == nullptr) {
      FollowRenameWithIdentity(engine, root + target, source, target);
      return kOk;
    }
    // Not known under the source: reported from the item's identity after
    // the cache was rebuilt (a restart). The item still carrying that
    // identity (or one a folder's taken move leads to it) is the one
    // renamed; the values it was reported with are its.
    std::u16string item_id;
    int64_t since = 0;
    if (info == nullptr || !info->HasSource || engine.placeholder_manager == nullptr ||
        !engine.placeholder_manager->GetItemIdByPath((root + target).c_str(), item_id, &since) ||
        (item_id != source && engine.taken_renames.Follow(item_id, since) != source))
      return kOk;
    const size_t slash = target.rfind(u'\\');
    engine.metadata_cache.AddNewItemToCache(target, slash == std::u16string::npos ? target : target.substr(slash + 1),
                                            info->SourceAttributes, info->SourceSize, info->SourceCreationTime,
                                            info->SourceLastAccessTime, info->SourceLastWriteTime);
  }
  if (!engine.metadata_cache.Lookup(target, &moved, &name)) return kOk;
  const std::u16string full = root + target;
  const platform::DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES ||
      (info != nullptr && RenamedItemMovedOn(engine, target, info->MovedFileId))) {
    engine.taken_renames.Note(source, target, reported_at);
    if (moved.IsFolder()) FollowQueuedFolderRename(engine, source, target);
    return kOk;
  }
  if (AnotherItemTookTheName(engine, target, source, moved, target_known)) return kOk;
  const int32_t result =
      UpdateFileInt(engine, target, static_cast<int32_t>(moved.Attributes), moved.Size,
                    static_cast<int64_t>(moved.CreationTime), static_cast<int64_t>(moved.LastAccessTime),
                    static_cast<int64_t>(moved.LastWriteTime), RenameTakenFlags(info == nullptr || info->SourceInSync));
  if (result != kOk && platform::GetFileAttributesW(full.c_str()) == platform::INVALID_FILE_ATTRIBUTES) {
    // Moved on or deleted since the look above: no failure, as if gone then.
    engine.taken_renames.Note(source, target, reported_at);
    return kOk;
  }
  if (result == kOk && moved.IsFolder()) {
    engine.taken_renames.Note(source, target, reported_at);
    FollowQueuedFolderRename(engine, source, target);
    engine.local_changes.FollowFolderRename(engine, source, target);
  }
  ExcludedState state = ExcludedState::kDoNothing;
  const int32_t excluded = ProcessExcludedState(engine, target, attributes, &state);
  if (excluded != kOk) {
    LogF(engine.diag.log_sink(), kLogFailure, u"Failed to process excluded state for: '%s', error: 0x%x", target,
         static_cast<uint32_t>(excluded));
  }
  return result;
}

size_t RunMonitorPass(Engine& engine, size_t cursor, size_t batch_size, size_t* looked_at) {
  LogSink* sink = engine.diag.log_sink();
  if (batch_size == 0) batch_size = 1;
  std::vector<Task*> slice;
  size_t next = 0;
  {
    TaskRegistry::Lock lock(engine.tasks);
    const size_t count = engine.tasks.CountLocked();
    const size_t start = cursor < count ? cursor : 0;
    const size_t end = start + batch_size < count ? start + batch_size : count;
    slice.reserve(end - start);
    for (size_t index = start; index < end; ++index) slice.push_back(engine.tasks.AcquireAtLocked(index));
    next = end < count ? end : 0;
  }
  if (looked_at != nullptr) *looked_at = slice.size();

  const std::u16string root = engine.EffectiveSyncRootPath();
  const int32_t interval = engine.settings.event_retry_interval.load();
  std::vector<std::unique_ptr<RetryRecord>> to_queue;
  std::vector<int64_t> finished;
  for (Task* task : slice) {
    if (task == nullptr) continue;
    LogF(sink, kLogCloudTrace, u"Checking if pending operation is finished: %I64u, type: %s", U64(task->TaskId),
         OperationTypeName(task->OperationType));
    LogF(sink, kLogCloudTrace, u"Operation canceled: %s", task->Cancelled.load() ? u"true" : u"false");
    if (task->Cancelled.load() != 0) {
      // The host agreed to drop an asynchronous task: nobody else would ever
      // remove it, and deactivation waits for the registry to empty. A task
      // whose producer is still at work is left to that producer. One
      // cancelled while its handler ran had no start time then, so the
      // cancel did not mark it finished: its start time now is enough.
      if (task->StartTime.load() > 0 && task->HandlerBusy.load() == 0) {
        finished.push_back(task->TaskId);
        LogF(sink, kLogVerbose, u"Pending operation is finished: %I64u, type: %s", U64(task->TaskId),
             OperationTypeName(task->OperationType));
      }
      continue;
    }
    // A producer still busy with the handler's answer owns the task until it
    // lets go of HandlerLock; finishing it now would pull it from under it.
    // So does a handler that has not returned (no start time yet): one that
    // finalized its own read inline has let go of the lock already.
    if (task->Completed.load() == 0 || task->HandlerBusy.load() != 0 || task->StartTime.load() < 1) {
      LogF(sink, kLogCloudTrace, u"Pending operation is not finished yet: %I64u", U64(task->TaskId));
      continue;
    }
    const int32_t code = static_cast<int32_t>(task->ResultCode.load());
    const int32_t type = task->OperationType;
    if (code == kErrRetry && type == OP_READ_DATA && interval > 0 && HasRetryRecord(*task)) {
      // The read stays registered; GetFileData fires again for the same task.
      auto record = TakeRetryRecord(*task);
      record->QueuedAt = CurrentTimeMs();
      to_queue.push_back(std::move(record));
      task->Completed.exchange(0);
      task->StartTime.store(CurrentTimeMs());
      continue;
    }
    finished.push_back(task->TaskId);
    LogF(sink, kLogVerbose, u"Pending operation is finished: %I64u, type: %s", U64(task->TaskId),
         OperationTypeName(type));
    if ((type == OP_READ_DATA || type == OP_WRITE_DATA || type == OP_CREATE) &&
        engine.settings.windows_update_icon_on_update_errors.load()) {
      SetItemErrorMark(engine, root + task->Path, code != kOk);
    }
    if (code == kErrRetry && interval > 0 && HasRetryRecord(*task)) {
      auto record = TakeRetryRecord(*task);
      record->QueuedAt = CurrentTimeMs();
      to_queue.push_back(std::move(record));
      continue;
    }
    if (code != kOk) {
      // The host gave the read up: the application's read fails with its code
      // instead of receiving whatever was put so far.
      if (type == OP_READ_DATA && code != kErrCancelled) {
        engine.platform_requests.AbandonFetch(engine, *task, code);
        FireError(engine, code);
        continue;
      }
      // A listing that failed is not a listing: what came of it so far is
      // dropped, and the folder is asked for again when next listed.
      if (RaisesErrorEvent(type) || (type == OP_LIST && code != kErrCancelled)) {
        NotTakenByTheHost(engine, root, *task, code);
        FireError(engine, code);
        continue;
      }
      if (code == kErrCancelled) {
        int32_t answer = kOk;
        const std::u16string path = task->Path;
        DoCancelTask(engine, *task, path, answer);
        FireError(engine, code);
        continue;
      }
    }
    const int32_t local = FinishLocally(engine, root, *task, code);
    if (local != kOk) FireError(engine, local);
  }

  for (Task* task : slice) {
    if (task != nullptr && task->OperationType == OP_READ_DATA &&
        std::find(finished.begin(), finished.end(), task->TaskId) != finished.end())
      engine.platform_requests.ReleaseFetchContext(engine, *task);
  }
  for (int64_t task_id : finished) engine.tasks.RemoveTask(nullptr, task_id, false);
  for (Task* task : slice)
    if (task != nullptr) engine.tasks.ReleaseTask(task);
  if (!to_queue.empty()) RetryQueueOf(engine).AppendAll(to_queue);
  return next;
}

}  // namespace corvane
