// errno values of the Linux calls behind the local platform services, in the
// Win32 numbering the library expects.
#pragma once

#include <cstdint>

namespace corvane::platform::local {

uint32_t Win32ErrorFromErrno(int error);

}  // namespace corvane::platform::local
