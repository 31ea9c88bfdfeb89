// The sixteen exported functions. No C++ exception leaves them.
#include <new>

#include "component/component.h"
#include "diag/result_codes.h"
#include "support/mutex.h"

namespace {

using corvane::Component;

void* module_handle = nullptr;

Component* AsComponent(void* handle) { return static_cast<Component*>(handle); }

// Runs `body`, turning any escaping exception into `on_error`.
template <class R, class F>
R Guarded(R on_error, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return on_error;
  } catch (...) {
    return on_error;
  }
}

}  // namespace

extern "C" {

HALVEX_API int32_t Halvex_Corvane_StaticInit(void* module) {
  module_handle = module;
  return 0;
}

HALVEX_API int32_t Halvex_Corvane_StaticDestroy(void) { return 0; }

HALVEX_API void* Halvex_Corvane_Create(HalvexEventSink sink, void* context, void* reserved, int32_t flags) {
  (void)reserved;
  Component* component = nullptr;
  try {
    corvane::MutexLock lock(corvane::CreationLock());
    component = new Component(sink, context, (flags & HALVEX_CREATE_WIDE_EVENTS) != 0);
  } catch (...) {
    return nullptr;
  }
  // Every component starts with UTF-8 strings at the boundary.
  static const char kInitialCodePage[] = "CodePage=65001";
  intptr_t params[2] = {reinterpret_cast<intptr_t>(kInitialCodePage), 0};
  int32_t cbparams[2] = {0, 0};
  Guarded<int32_t>(0, [&] { return component->DoMethod(HALVEX_METHOD_CONFIG, 1, params, cbparams); });
  return component;
}

HALVEX_API int32_t Halvex_Corvane_Destroy(void* handle) {
  if (handle == nullptr) return 0;
  try {
    delete AsComponent(handle);
  } catch (...) {
  }
  return 0;
}

HALVEX_API int32_t Halvex_Corvane_CheckIndex(void* handle, int32_t property_id, int32_t index) {
  (void)property_id;
  (void)index;
  return handle == nullptr ? corvane::kErrOutOfMemory : 0;
}

HALVEX_API intptr_t Halvex_Corvane_Get(void* handle, int32_t property_id, int32_t index, int32_t* length,
                                       int64_t* value64) {
  (void)index;
  (void)length;
  (void)value64;
  if (handle == nullptr) return 0;
  return Guarded<intptr_t>(0, [&] { return AsComponent(handle)->GetProperty(property_id); });
}

HALVEX_API int32_t Halvex_Corvane_Set(void* handle, int32_t property_id, int32_t index, intptr_t value,
                                      int32_t length) {
  (void)index;
  (void)length;
  if (handle == nullptr) return corvane::kErrOutOfMemory;
  return Guarded<int32_t>(corvane::kErrOutOfMemory,
                          [&] { return AsComponent(handle)->SetProperty(property_id, value); });
}

HALVEX_API int32_t Halvex_Corvane_Do(void* handle, int32_t method_id, int32_t param_count, intptr_t* params,
                                     int32_t* cbparams, int64_t* result64) {
  (void)result64;
  if (handle == nullptr) return corvane::kErrOutOfMemory;
  return Guarded<int32_t>(corvane::kErrOutOfMemory, [&] {
    return AsComponent(handle)->DoMethod(method_id, param_count, params, cbparams);
  });
}

HALVEX_API const char* Halvex_Corvane_GetLastError(void* handle) {
  if (handle == nullptr) return nullptr;
  return Guarded<const char*>("", [&] { return AsComponent(handle)->engine.diag.LastErrorText().c_str(); });
}

HALVEX_API int32_t Halvex_Corvane_GetLastErrorCode(void* handle) {
  if (handle == nullptr) return corvane::kErrOutOfMemory;
  return AsComponent(handle)->engine.diag.LastErrorCode();
}

HALVEX_API int32_t Halvex_Corvane_SetLastErrorAndCode(void* handle, int32_t code, const char* text) {
  if (handle == nullptr) return corvane::kErrOutOfMemory;
  return Guarded<int32_t>(corvane::kErrOutOfMemory, [&] {
    AsComponent(handle)->engine.diag.SetLastError(code, text != nullptr ? text : "");
    return code;
  });
}

HALVEX_API const char* Halvex_Corvane_GetEventError(void* handle) {
  if (handle == nullptr) return nullptr;
  return Guarded<const char*>("", [&] { return AsComponent(handle)->engine.diag.EventErrorText().c_str(); });
}

HALVEX_API int32_t Halvex_Corvane_GetEventErrorCode(void* handle) {
  if (handle == nullptr) return corvane::kErrOutOfMemory;
  return AsComponent(handle)->engine.diag.EventErrorCode();
}

HALVEX_API int32_t Halvex_Corvane_SetEventErrorAndCode(void* handle, int32_t code, const char* text) {
  if (handle == nullptr) return corvane::kErrOutOfMemory;
  return Guarded<int32_t>(corvane::kErrOutOfMemory, [&] {
    AsComponent(handle)->engine.diag.SetEventError(code, text != nullptr ? text : "");
    return code;
  });
}

}  // extern "C"
