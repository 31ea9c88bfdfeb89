// errno -> Win32 error codes, the one place that knows how they correspond.
#pragma once

#include "platform/types.h"

namespace corvane::platform::local {

DWORD Win32ErrorOfErrno(int err);
// Stores the Win32 form of errno as the platform's last error.
void SetLastErrorFromErrno();
// Stores `error` as the last error and returns false (for one-line failures).
bool FailWith(DWORD error);

}  // namespace corvane::platform::local
