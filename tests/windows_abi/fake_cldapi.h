// A stand-in for cldapi.dll: the test sets the entry points it needs.
#pragma once

#include "platform/windows/cldapi.h"

namespace corvane::platform::windows {

// What CloudFiles() returns; reset to all-null before each test.
extern CloudFilesApi fake_cldapi;

}  // namespace corvane::platform::windows
