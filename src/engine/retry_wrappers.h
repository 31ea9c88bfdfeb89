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
// The one producer of delete events (mode 0: from the cache, 1: file, 2: folder).
int32_t ReportDelete(Engine& engine, const std::u16string& path, Task* task, int32_t mode);

}  // namespace corvane
