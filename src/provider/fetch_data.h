// The handler of a platform's request for file data.
#pragma once

#include <cstdint>

#include "platform/cloud_files.h"

namespace corvane {

class Engine;
class Task;

// Asks the host for the range in `params` and answers the platform with what
// it supplies; run by the dispatcher with the callback's task. The range is
// copied into the task's context, since the fetch may outlive the callback.
int32_t HandleFetchData(Engine& engine, const platform::CF_CALLBACK_INFO* info,
                        const platform::CF_CALLBACK_PARAMETERS_FETCH_DATA& params, Task* task);

}  // namespace corvane
