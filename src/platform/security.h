// The security identifier of the current user, as ConvertSidToStringSidW
// writes it; part of the sync-root id.
#pragma once

#include <string>

#include "platform/types.h"

namespace corvane::platform {

// ERROR_SUCCESS with the text ("S-1-...") in `sid`, or the Win32 error of
// the failed query with `sid` left empty.
DWORD GetCurrentUserSidString(std::u16string& sid);

}  // namespace corvane::platform
