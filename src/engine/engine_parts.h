// Entry points that the engine's subsystems offer one another: the lifecycle
// starts and stops them, the callbacks, the watcher, the listing and the
// retry machinery call into each other through these. Each is defined by the
// subsystem named above it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class Engine;
class Task;
struct PlaceholderCallbackEntries;

// ---- Callback dispatch and hydration (src/provider/callback_*, fetch_*) ----
// The callback table handed to the platform when the root is connected.
const PlaceholderCallbackEntries& ProviderCallbackEntries();
// Sends what the task's transfer stream holds; `final` sends the remainder.
int32_t FlushTransfer(Engine& engine, Task& task, bool final);
// Sets (or clears) the item's last-sync-error mark; failures are swallowed.
void SetItemErrorMark(Engine& engine, std::u16string_view full_path, bool set);
// Fails the application's read behind an asynchronous fetch that will get no
// more data (unless the platform cancelled it), then frees its context.
void AbandonFetch(Engine& engine, Task& task, int32_t code);
// Ends a cancelled fetch at once: its data still queued for the platform is
// dropped (a chunk under way lands first) and the application's read fails.
void CloseFetch(Engine& engine, Task& task);
// True on a thread that is inside a platform callback of this engine (and
// so inside the host's handler of that request, if one runs).
bool InsidePlatformCallback(const Engine& engine);
// Frees the callback context of a fetch task; whoever removes an
// asynchronous fetch (the async monitor) calls it first.
void ReleaseFetchContext(Engine& engine, Task& task);

// ---- Retry queue, async monitor, task expiry (src/engine/retry_*, monitor, expiry) ----
// Retry wrappers: fire through the bridge; on a retry answer queue the event
// again, on a pending answer keep a record in the task. Return whether the
// event fired; the answer is in `result`.
int32_t FireCreateWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir,
                            int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                            int64_t last_write_time, int32_t& result);
int32_t FireUpdateWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir,
                            int32_t update_flags, int32_t attributes, int64_t size, int64_t creation_time,
                            int64_t last_access_time, int64_t last_write_time, int32_t& result);
int32_t FireRenameWithRetry(Engine& engine, Task& task, const std::u16string& path, const std::u16string& new_path,
                            bool is_dir, int32_t& result);
int32_t FireDeleteWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t flags,
                            int32_t& result);
int32_t FireGetItemDataWithRetry(Engine& engine, Task& task, const std::u16string& path, int64_t offset,
                                 int64_t length, int32_t& result);
int32_t FireListItemsWithRetry(Engine& engine, Task& task, const std::u16string& path, const std::u16string& mask,
                               int32_t& result);
// What a reported delete is of: whatever the metadata cache knows at the
// path (checked against the host's own and unanswered changes first), or an
// item the caller knows to be a file or a folder.
enum class DeleteOf : int32_t { kCachedItem = 0, kFile = 1, kFolder = 2 };
// The one producer of delete events.
int32_t ReportDelete(Engine& engine, const std::u16string& path, Task* task, DeleteOf mode);
// Threads started by the provider launch; Stop signals and joins them all, so
// no engine thread outlives its component.
bool StartAsyncMonitorThread(Engine& engine);
bool StartRetryQueueThread(Engine& engine);
int32_t StartCheckExpiredPendingTasksThread(Engine& engine);
void SignalEngineThreads(Engine& engine);
void JoinEngineThreads(Engine& engine);
// Joins the signalled threads and starts them again (not from one of them).
void RestartEngineThreads(Engine& engine);

// ---- Exclusion rules and lock files (src/watcher/exclusion*, lock_files*) ----
enum class ExcludedState : int32_t { kDoNothing = 0, kSkip = 1, kIncluded = 2, kNewlyExcluded = 3 };
int32_t ProcessExcludedState(Engine& engine, const std::u16string& relative_path, uint32_t platform_attributes,
                             ExcludedState* state);

// ---- Listing and placeholders (src/engine/enumeration*, src/provider/create_update*, item_queries*) ----
int32_t ProcessDirectory(Engine& engine, const std::u16string& folder, const std::u16string& mask, int64_t context,
                         int32_t batch_limit, bool recursive);
// The same for one folder an application lists: an asynchronous answer is
// waited for (until it is finished, cancelled or the engine stops), so the
// folder is called populated only once the host's listing has arrived.
// kOk, or the code the listing ended with; `reported` tells whether that
// code has had its Error event already.
int32_t ListFolderForApplication(Engine& engine, const std::u16string& folder, int32_t batch_limit,
                                 bool* reported);
int32_t ProcessListing(Engine& engine, int64_t task_id, bool remove_task);
int32_t ReportNewLocalFile(Engine& engine, const std::u16string& full_path, int32_t attributes, int64_t size,
                           int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                           bool check_exclusion);
int32_t DoSetPlaceholderSyncState(Engine& engine, std::u16string_view relative_path, bool synced);
// In sync after the host took the file version of `size` bytes written at
// `last_write_time`, but only while the file is still that version: one
// edited since stays not in sync until its own change is taken. A folder,
// or a negative `size`, is marked at once. A `file_id` of 0 or more must
// also still be the item's: another file moved to that path is not it. A
// `usn` other than 0 must be the file's still; the platform checks it as it
// sets the state, so a write landing after the checks here still counts.
int32_t MarkTakenVersionInSync(Engine& engine, std::u16string_view relative_path, int64_t size,
                               int64_t last_write_time, int64_t file_id = -1, int64_t usn = 0);
// A file's size, last-write time, file-system id and update sequence number
// now; size -1 when it cannot be read, usn 0 where the platform has none.
struct FileVersion {
  int64_t size = -1;
  int64_t last_write_time = 0;
  int64_t file_id = -1;
  int64_t usn = 0;
  bool folder = false;
};
FileVersion ReadFileVersion(Engine& engine, std::u16string_view relative_path);
// The `size` of an update that carried no content over local changes the
// host never took: its completion leaves the file not in sync.
constexpr int64_t kContentNotTaken = INT64_MIN;
int32_t DoSetPlaceholderExcludedState(Engine& engine, std::u16string_view relative_path, bool excluded);
int32_t IsItemExcluded(Engine& engine, std::u16string_view relative_path, bool* excluded);

// ---- Directory watcher and rescans (src/watcher/) ----
bool StartDirectoryWatcher(Engine& engine);
void StopDirectoryWatcher(Engine& engine);
// Offline check of the whole root at activation; false when the walk failed.
bool OfflineCheck(Engine& engine, const std::u16string& folder_full_path);
// After the host accepted a folder's rename: what moved with the folder gets
// identities naming its new path.
void FollowFolderRename(Engine& engine, const std::u16string& old_relative_path,
                        const std::u16string& relative_path);
// Removes the empty folders below the root at uninstall (the root stays).
bool DeleteEmptyLocalFolders(Engine& engine, const std::u16string& folder_full_path);

}  // namespace corvane
