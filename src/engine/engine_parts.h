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
// The one producer of delete events (mode 0: from the cache, 1: file, 2: folder).
int32_t ReportDelete(Engine& engine, const std::u16string& path, Task* task, int32_t mode);
// Threads started by the provider launch; Stop signals and joins them all, so
// no engine thread outlives its component.
bool StartAsyncMonitorThread(Engine& engine);
bool StartRetryQueueThread(Engine& engine);
int32_t StartCheckExpiredPendingTasksThread(Engine& engine);
void SignalEngineThreads(Engine& engine);
void JoinEngineThreads(Engine& engine);
// Joins the signalled threads and starts them again (not from one of them).
void RestartEngineThreads(Engine& engine);

// ---- Listing (src/engine/enumeration*) ----
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

}  // namespace corvane
