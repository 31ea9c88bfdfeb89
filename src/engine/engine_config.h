// The engine's own Config keys, tried before the component's general keys.
#pragma once

#include <cstdint>
#include <string>

#include "support/setting_text.h"

namespace corvane {

class Engine;

// When `request` names an engine key: writes or answers it, sets `*result`
// and returns true. `answer` receives a query's text.
bool ConfigureEngineKey(Engine& engine, const SettingRequest& request, std::string& answer,
                        int32_t* result);

constexpr size_t kMaxRegistrationTextLength = 255;

}  // namespace corvane
