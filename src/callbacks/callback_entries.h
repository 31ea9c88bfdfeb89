// The functions the platform calls, one per callback type, and the engine's
// way to the code that serves them.
#pragma once

#include "engine/platform_requests.h"

namespace corvane {

struct PlaceholderCallbackEntries;

// The callback table handed to the platform when the root is connected.
const PlaceholderCallbackEntries& ProviderCallbackEntries();

// The callbacks as the engine sees them; one for the process, without state
// of its own (each engine keeps its tasks and connection).
const PlatformRequests& CallbackPlatformRequests();

}  // namespace corvane
