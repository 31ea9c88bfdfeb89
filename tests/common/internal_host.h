// The shared test host with a way inside, for test programs linked against
// the core archive: the component and engine behind the handle, raw access
// to each event's slots, and an engine fed tasks by hand.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/host.h"
#include "component/component.h"
#include "diag/capture_sink.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/task.h"

namespace corvane::testing {

using test_common::Ptr;

class TestHost : public test_common::Host {
 public:
  // Sees every event's raw slots; its return is the sink's.
  using RawHandler = std::function<int32_t(int32_t id, int32_t count, intptr_t* params, int32_t* sizes)>;

  explicit TestHost(bool wide = false, RawHandler raw = {}) : Host(wide ? HALVEX_CREATE_WIDE_EVENTS : 0) {
    if (raw) answer = [raw](test_common::Event& e, intptr_t* p, int32_t* sizes) { return raw(e.id, e.count, p, sizes); };
  }
  Component& c() { return *static_cast<Component*>(handle()); }
  Engine& engine() { return c().engine; }
};

inline std::string NarrowAt(intptr_t* params, int i) { return reinterpret_cast<const char*>(params[i]); }
inline std::u16string WideAt(intptr_t* params, int i) { return reinterpret_cast<const char16_t*>(params[i]); }
inline int64_t Int64At(intptr_t* params, int i) { return *reinterpret_cast<const int64_t*>(params[i]); }

// Calls laid out slot by slot, for the tests of the exported methods,
// properties and settings. Engine flags a test set by hand are cleared
// before the teardown, which then sees a stopped engine.
class HostComponent : public TestHost {
 public:
  ~HostComponent() override {
    engine().state.active = 0;
    engine().state.activating = 0;
    Destroy();
  }

  // Config through one slot; `answer` receives slot 1.
  int32_t Config(const std::string& setting, std::string* answer = nullptr) {
    intptr_t params[2] = {Ptr(setting.c_str()), 0};
    int32_t sizes[2] = {0, 0};
    const int32_t rc = Halvex_Corvane_Do(handle(), HALVEX_METHOD_CONFIG, 1, params, sizes, nullptr);
    if (answer != nullptr) *answer = params[1] ? reinterpret_cast<const char*>(params[1]) : "<null>";
    return rc;
  }
  std::string Query(const std::string& name) {
    std::string answer;
    Config(name, &answer);
    return answer;
  }
  int32_t ConfigW(const std::u16string& setting, std::u16string* answer) {
    intptr_t params[2] = {Ptr(setting.c_str()), 0};
    int32_t sizes[2] = {0, 0};
    const int32_t rc = Halvex_Corvane_Do(handle(), 10000 + HALVEX_METHOD_CONFIG, 1, params, sizes, nullptr);
    *answer = params[1] ? reinterpret_cast<const char16_t*>(params[1]) : u"<null>";
    return rc;
  }
  // One string argument (8-bit) followed by zeros.
  int32_t DoPath(int32_t id, const char* path, size_t extra_slots = 2) {
    std::vector<intptr_t> params(1 + extra_slots, 0);
    params[0] = Ptr(path);
    return Do(id, params);
  }

  intptr_t Get(int32_t id) { return Halvex_Corvane_Get(handle(), id, 0, nullptr, nullptr); }
  int32_t Set(int32_t id, intptr_t value) { return Halvex_Corvane_Set(handle(), id, 0, value, 0); }
  int32_t SetText(int32_t id, const char* text) { return Set(id, Ptr(text)); }
  int32_t SetTextW(int32_t id, const char16_t* text) { return Set(id, Ptr(text)); }
  std::string LastText() { return LastError(); }
  void SetLast(int32_t code, const char* text) { Halvex_Corvane_SetLastErrorAndCode(handle(), code, text); }
};

// An engine fed tasks by hand; each task event is answered by `answer`.
class EngineHost {
 public:
  Engine& engine() { return host.engine(); }

  Task* NewTask(const std::u16string& path, int32_t type) {
    Task* task = engine().tasks.CreateTask(path, type, nullptr);
    engine().tasks.RegisterTask(task);
    return task;
  }
  std::vector<test_common::Event> Events(int32_t id) { return host.Events(id); }
  size_t EventCount() { return host.Events().size(); }

  // The answer written into the event's result slot (0 when unset).
  std::function<int32_t(int32_t id, const std::u16string& path)> answer;
  TestHost host{true};

  EngineHost() {
    host.answer = [this](test_common::Event& e, intptr_t* p, int32_t*) -> int32_t {
      if (e.id == HALVEX_EVENT_LOG || e.id == HALVEX_EVENT_ERROR) return 0;
      if (answer) p[e.count - 1] = answer(e.id, WideAt(p, 1));
      return 0;
    };
  }
};

}  // namespace corvane::testing
