// The local file of a task, which the host reads through GetLocalFileData
// (for example to upload it).
#pragma once

#include <cstdint>

namespace corvane {

class Engine;

// GetLocalFileData after the method layer checked the state and arguments:
// finds the task, opens and sizes its local file on first use and reads
// from `position` into `buffer`.
int32_t ReadTaskLocalData(Engine& engine, int64_t task_id, int64_t position, uint8_t* buffer, int32_t count,
                          int32_t* bytes_read);

}  // namespace corvane
