// A host sink for tests: forwards every event to a std::function and keeps
// the component it belongs to.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "component/component.h"

namespace corvane::testing {

using Handler = std::function<int32_t(int32_t id, int32_t count, intptr_t* params, int32_t* cbparams)>;

struct TestHost {
  Handler handler;
  std::unique_ptr<Component> component;

  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
    auto* host = static_cast<TestHost*>(context);
    return host->handler ? host->handler(id, count, params, cbparams) : 0;
  }

  explicit TestHost(bool wide, Handler h = {}) : handler(std::move(h)) {
    component = std::make_unique<Component>(&TestHost::Sink, this, wide);
  }
  Component& c() { return *component; }
};

inline std::string NarrowAt(intptr_t* params, int i) { return reinterpret_cast<const char*>(params[i]); }
inline std::u16string WideAt(intptr_t* params, int i) { return reinterpret_cast<const char16_t*>(params[i]); }
inline int64_t Int64At(intptr_t* params, int i) { return *reinterpret_cast<const int64_t*>(params[i]); }

}  // namespace corvane::testing
