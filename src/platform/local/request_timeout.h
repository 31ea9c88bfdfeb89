// How long an application call waits for the provider before it gives up
// (60 s as on Windows). CORVANE_REQUEST_TIMEOUT_MS overrides it, and tests
// can shorten it in-process.
#pragma once

#include <cstdint>

namespace corvane::platform::local {

int64_t RequestTimeoutMs();
// 0 restores the default (or the environment's value).
void SetRequestTimeoutMs(int64_t ms);

}  // namespace corvane::platform::local
