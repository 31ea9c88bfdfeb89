// GetLocalFileData's work, after the method layer has checked the state and
// the arguments.
#pragma once

#include <cstdint>

namespace corvane {

class Engine;

int32_t ReadTaskLocalData(Engine& engine, int64_t task_id, int64_t position, uint8_t* buffer, int32_t count,
                          int32_t* bytes_read);

}  // namespace corvane
