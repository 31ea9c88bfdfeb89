// Dispatch of the platform's callbacks: every callback entry hands its
// callback to one dispatcher, which checks the engine state, serialises under
// EventLock when asked, carries the callback in a task, passes the handler
// the platform's typed parameters of its kind and answers the platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/cloud_files.h"
#include "provider/placeholder_requests.h"

namespace corvane {

class Engine;
class Task;

// What a callback that got a task carries in the task's Context. A fetch
// sets all but the last two before its task can be found, and they stay
// fixed: the callback's own parameters die with the callback, and every
// answer sent is a copy of `answer`.
struct CallbackTaskContext {
  PlaceholderAction answer;
  int64_t required_offset = 0;
  int64_t required_length = 0;  // what the platform asked for
  int64_t total = 0;            // what the host was asked for; progress counts it
  // The callback's vector dies with the callback; asynchronous answers need
  // a copy of their own.
  platform::CORRELATION_VECTOR correlation_vector;
  // Where the next chunk starts, and whether the host has supplied data.
  std::atomic<int64_t> sent_to{0};
  std::atomic<bool> data_supplied{false};
};

// "CF_CALLBACK_TYPE_FETCH_DATA" ... by type value; "UNKNOWN" outside.
const char16_t* CallbackTypeName(uint32_t type);

// The engine a callback belongs to, from the callback context (the root
// connection whose callback_context is the engine); null when there is none.
Engine* EngineOfCallback(const platform::CF_CALLBACK_INFO* info);

// The engine of the provider object passed as the connection's owner.
Engine* EngineOfProvider(void* provider);

// A callback that needs an answer and gets no handler (engine not running,
// no memory for its task, a type nobody serves) is answered with a failure
// built from `params`, the platform's own parameters.
void DispatchPlaceholderCallback(platform::CF_CALLBACK_TYPE type, const platform::CF_CALLBACK_INFO* info,
                                 const platform::CF_CALLBACK_PARAMETERS* params);

// The item's path relative to the sync root ("\a\b.txt"); 0x21000004 (logged)
// for a path outside it or the root itself.
int32_t CallbackRelativePath(Engine& engine, std::u16string_view full_path, std::u16string& relative);

// Sets the completion status that `result_code` maps to and runs the answer.
platform::HRESULT CompleteCallbackAction(Engine& engine, PlaceholderAction& action, int32_t result_code);

// True on a thread that is inside a platform callback of this engine (and
// so inside the host's handler of that request, if one runs).
bool InsidePlatformCallback(const Engine& engine);
// Frees the callback context of a fetch task; whoever removes an
// asynchronous fetch (the async monitor) calls it first.
void ReleaseFetchContext(Engine& engine, Task& task);

}  // namespace corvane
