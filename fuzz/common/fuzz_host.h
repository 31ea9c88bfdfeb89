// One component per fuzz process, made on first use and kept for the run, in
// a temporary sync root and platform state folder. The event sink answers
// every event with 0 and does nothing else.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "halvex/corvane.h"

namespace corvane::fuzz {

inline int32_t QuietSink(void*, int32_t, int32_t, intptr_t*, int32_t*) { return 0; }

inline const std::string& TemporaryBase() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& base = *new std::string([] {
    char name[] = "/tmp/corvane-fuzz-XXXXXX";
    const char* made = mkdtemp(name);
    std::string path = made != nullptr ? made : "/tmp";
    std::filesystem::create_directories(path + "/state");
    std::filesystem::create_directories(path + "/root");
    setenv("CORVANE_STATE_DIR", (path + "/state").c_str(), 1);
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(TemporaryBase(), ignored);
    });
    return path;
  }());
  return base;
}

inline int32_t Method(void* handle, int32_t id, const char* text) {
  intptr_t params[2] = {reinterpret_cast<intptr_t>(text), 0};
  int32_t sizes[2] = {0, 0};
  return Halvex_Corvane_Do(handle, id, 2, params, sizes, nullptr);
}

// True when the temporary base holds nothing but the sync root and the
// state folder: no path given to the library escaped the root.
inline bool NothingOutsideRoot() {
  for (const auto& entry : std::filesystem::directory_iterator(TemporaryBase())) {
    const std::string name = entry.path().filename().string();
    if (name != "root" && name != "state") return false;
  }
  return true;
}

// A component with its sync root set. `active`: installed and activated
// synchronously, so that methods reach the engine and the platform.
inline void* Component(bool active) {
  static void* handle = [active] {
    const std::string base = TemporaryBase();
    void* made = Halvex_Corvane_Create(&QuietSink, nullptr, nullptr, 0);
    Method(made, HALVEX_METHOD_CONFIG, "WaitForInstallToComplete=1");
    const std::string root = base + "/root";
    Halvex_Corvane_Set(made, HALVEX_PROP_SYNC_ROOT_PATH, 0, reinterpret_cast<intptr_t>(root.c_str()), 0);
    if (active) {
      Method(made, HALVEX_METHOD_INSTALL, nullptr);
      intptr_t params[1] = {1};
      int32_t sizes[1] = {0};
      Halvex_Corvane_Do(made, HALVEX_METHOD_ACTIVATE, 1, params, sizes, nullptr);
    }
    return made;
  }();
  return handle;
}

}  // namespace corvane::fuzz
