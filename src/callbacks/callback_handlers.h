// The handlers of the platform's smaller callbacks, run by the dispatcher
// while the callback waits.
#pragma once

#include <cstdint>

#include "platform/cloud_files.h"

namespace corvane {

class Engine;

int32_t HandleFetchPlaceholders(Engine& engine, const platform::CF_CALLBACK_INFO* info);
int32_t HandleOpen(Engine& engine, const platform::CF_CALLBACK_INFO* info);
int32_t HandleClose(Engine& engine, const platform::CF_CALLBACK_INFO* info,
                    const platform::CF_CALLBACK_PARAMETERS_CLOSE_COMPLETION& params);
int32_t HandleDehydrate(Engine& engine, const platform::CF_CALLBACK_INFO* info);

}  // namespace corvane
