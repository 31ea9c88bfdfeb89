// The functions the platform calls, one per callback type.
#pragma once

namespace corvane {

struct PlaceholderCallbackEntries;

// The callback table handed to the platform when the root is connected.
const PlaceholderCallbackEntries& ProviderCallbackEntries();

}  // namespace corvane
