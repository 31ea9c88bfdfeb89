#include "core/engine_settings.h"

namespace corvane {

namespace {
void ResetTo(std::atomic<bool>& value, bool initial) { value = initial; }
void ResetTo(std::atomic<int32_t>& value, int32_t initial) { value = initial; }
void ResetTo(std::atomic<uint32_t>& value, uint32_t initial) { value = initial; }
void ResetTo(SharedText& value, std::u16string_view initial) { value.Set(initial); }
}  // namespace

void EngineSettings::Reset() {
#define CORVANE_SETTING_RESET(type, name, initial) ResetTo(name, initial);
  CORVANE_ENGINE_SETTINGS(CORVANE_SETTING_RESET)
#undef CORVANE_SETTING_RESET
}

ProcessSettings& GetProcessSettings() {
  static ProcessSettings settings;
  return settings;
}

}  // namespace corvane
