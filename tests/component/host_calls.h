// A component driven through the exported functions only, as a host would:
// Config, Get, Set and Do with laid-out argument slots, plus the log lines
// it delivered. `engine()` reaches inside for tests that must simulate an
// engine state that cannot be reached through the exports yet.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "component/component.h"
#include "halvex/corvane.h"

namespace corvane::testing {

class HostComponent {
 public:
  HostComponent() { handle_ = Halvex_Corvane_Create(&HostComponent::Sink, this, nullptr, 0); }
  ~HostComponent() {
    // Flags set by hand are cleared so the teardown sees a stopped engine.
    engine().state.active = 0;
    engine().state.activating = 0;
    Halvex_Corvane_Destroy(handle_);
  }
  HostComponent(const HostComponent&) = delete;
  HostComponent& operator=(const HostComponent&) = delete;

  void* handle() const { return handle_; }
  Engine& engine() { return static_cast<Component*>(handle_)->engine; }

  // Config through method 3; `answer` receives slot 1.
  int32_t Config(const std::string& setting, std::string* answer = nullptr) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    int32_t cbparams[2] = {0, 0};
    int32_t rc = Halvex_Corvane_Do(handle_, HALVEX_METHOD_CONFIG, 1, params, cbparams, nullptr);
    if (answer != nullptr) *answer = params[1] ? reinterpret_cast<const char*>(params[1]) : "<null>";
    return rc;
  }
  std::string Query(const std::string& name) {
    std::string answer;
    Config(name, &answer);
    return answer;
  }
  int32_t ConfigW(const std::u16string& setting, std::u16string* answer) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    int32_t cbparams[2] = {0, 0};
    int32_t rc = Halvex_Corvane_Do(handle_, 10000 + HALVEX_METHOD_CONFIG, 1, params, cbparams, nullptr);
    *answer = params[1] ? reinterpret_cast<const char16_t*>(params[1]) : u"<null>";
    return rc;
  }

  int32_t Do(int32_t id, std::vector<intptr_t>& params, std::vector<int32_t>* cbparams = nullptr) {
    std::vector<int32_t> zero(params.size(), 0);
    std::vector<int32_t>& sizes = cbparams ? *cbparams : zero;
    return Halvex_Corvane_Do(handle_, id, static_cast<int32_t>(params.size()), params.data(), sizes.data(),
                             nullptr);
  }
  // One string argument (8-bit) followed by zeros.
  int32_t DoPath(int32_t id, const char* path, size_t extra_slots = 2) {
    std::vector<intptr_t> params(1 + extra_slots, 0);
    params[0] = reinterpret_cast<intptr_t>(path);
    return Do(id, params);
  }

  intptr_t Get(int32_t id) { return Halvex_Corvane_Get(handle_, id, 0, nullptr, nullptr); }
  int32_t Set(int32_t id, intptr_t value) { return Halvex_Corvane_Set(handle_, id, 0, value, 0); }
  int32_t SetText(int32_t id, const char* text) { return Set(id, reinterpret_cast<intptr_t>(text)); }
  int32_t SetTextW(int32_t id, const char16_t* text) { return Set(id, reinterpret_cast<intptr_t>(text)); }

  int32_t LastCode() { return Halvex_Corvane_GetLastErrorCode(handle_); }
  std::string LastText() { return Halvex_Corvane_GetLastError(handle_); }
  void SetLast(int32_t code, const char* text) { Halvex_Corvane_SetLastErrorAndCode(handle_, code, text); }

  std::vector<std::string> Logs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
  }
  bool Logged(const std::string& fragment) {
    for (const std::string& line : Logs()) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

 private:
  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t*) {
    auto* self = static_cast<HostComponent*>(context);
    if (id == 10 && count == 2 && params[1] != 0) {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->logs_.emplace_back(reinterpret_cast<const char*>(params[1]));
    }
    return 0;
  }

  void* handle_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> logs_;
};

inline intptr_t Ptr(const void* p) { return reinterpret_cast<intptr_t>(p); }

}  // namespace corvane::testing
