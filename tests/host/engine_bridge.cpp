// Stands in for the engine: raises events on a component made by the shared
// library. It uses only the component's virtual operations, so it needs the
// internal headers but none of the library's hidden symbols.
#include <string>

#include "component/component.h"

namespace {
corvane::EventInterface* Events(void* handle) { return static_cast<corvane::Component*>(handle); }
}  // namespace

extern "C" int32_t bridge_fire_create_file(void* handle, const char16_t* path, int64_t size, int32_t* result_code) {
  return Events(handle)->FireCreateFile(1001, path, 0x2, size, 1, 2, 3, *result_code);
}

extern "C" int32_t bridge_fire_list_directory(void* handle, const char16_t* path, int32_t* result_code) {
  return Events(handle)->FireListDirectory(1002, path, u"*", *result_code);
}

extern "C" int32_t bridge_fire_log(void* handle, const char16_t* message) {
  return Events(handle)->FireLog(3, message);
}
