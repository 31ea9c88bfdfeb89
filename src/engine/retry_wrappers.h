// The retry wrappers around the event bridges, and ReportDelete.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

class Engine;
class Task;

// Fire through the bridge; on a retry answer queue the event again, on a
// pending answer keep a record in the task. Return whether the event fired;
// the answer is in `result`.
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
// The delete of an item the user removed while the provider was stopped,
// known to the cache again for it: a start takes in only what it finds.
int32_t ReportDeletedWhileStopped(Engine& engine, const std::u16string& path, uint32_t attributes);
// After a delete answered `answer` the host has no such item: it took the
// delete, or it had none. Known here on, the item would be told again.
bool DeleteLeftNothing(int32_t answer);

}  // namespace corvane
