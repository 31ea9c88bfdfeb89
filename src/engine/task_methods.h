// FinalizeTask's work, after the method layer has checked the state and the
// arguments.
#pragma once

#include <cstdint>

namespace corvane {

class Engine;

int32_t CompleteTask(Engine& engine, int64_t task_id, int32_t result_code);

}  // namespace corvane
