// A clean-up that runs when a thread ends, after everything the thread did
// (the per-thread tables drop the thread's entries with it).
#pragma once

#include <cstdint>

namespace corvane::platform {

using ThreadExitCallback = void (*)(uint64_t value);

// Runs `callback(value)` once when the calling thread ends. The callback is
// the same for every call of the process; a thread arms it at most once.
void ArmThreadExit(ThreadExitCallback callback, uint64_t value);

}  // namespace corvane::platform
