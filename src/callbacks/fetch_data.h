// The handler of a platform's request for file data, and the transfer of
// what the host supplies.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/cloud_files.h"

namespace corvane {

class Engine;
class Task;

// Asks the host for the range in `params` and answers the platform with what
// it supplies; run by the dispatcher with the callback's task. The range is
// copied into the task's context, since the fetch may outlive the callback.
int32_t HandleFetchData(Engine& engine, const platform::CF_CALLBACK_INFO* info,
                        const platform::CF_CALLBACK_PARAMETERS_FETCH_DATA& params, Task* task);

// Sends what the task's transfer stream holds; `final` sends the remainder.
int32_t FlushTransfer(Engine& engine, Task& task, bool final);
// Fails the application's read behind an asynchronous fetch that will get no
// more data (unless the platform cancelled it), then frees its context.
void AbandonFetch(Engine& engine, Task& task, int32_t code);
// Ends a cancelled fetch at once: its data still queued for the platform is
// dropped (a chunk under way lands first) and the application's read fails.
void CloseFetch(Engine& engine, Task& task);
// PutItemData's work, after the method layer has checked the state and the
// arguments.
int32_t AppendTaskData(Engine& engine, int64_t task_id, const uint8_t* data, int32_t count);

}  // namespace corvane
