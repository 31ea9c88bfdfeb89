// The platform's per-thread last error, in Win32 numbering. Platform calls
// that fail the Win32 way (a false or invalid result) store their error here,
// exactly like SetLastError/GetLastError, so callers read it the same way on
// every system.
#pragma once

#include <cstdint>

namespace corvane::platform {

uint32_t GetLastError();
void SetLastError(uint32_t error);

}  // namespace corvane::platform
