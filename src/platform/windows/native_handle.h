// Handle (platform/files.h) carries the Windows HANDLE value itself, so a
// handle from CreateFileW passes to the Cloud Files calls unchanged.
#pragma once

#include "platform/files.h"

namespace corvane::platform::windows {

inline void* NativeHandle(Handle handle) { return reinterpret_cast<void*>(handle); }
inline Handle PortableHandle(void* handle) { return reinterpret_cast<Handle>(handle); }

}  // namespace corvane::platform::windows
