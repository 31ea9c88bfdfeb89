// The configuration handler behind the Config method: parses one setting
// text and writes or answers the key it names, engine keys first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class Engine;

constexpr const char* kTextUnknownSetting = "Unknown config setting.";

// `*answer` points into the calling thread's answer buffer (empty for a
// write) and stays valid until that thread's next Config call on the engine.
int32_t Configure(Engine& engine, std::string_view setting_text, const char** answer);

}  // namespace corvane
