// A component whose engine the tests drive directly, with every task event
// recorded and answered by a test-supplied function.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "component/test_host.h"
#include "diag/capture_sink.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/task.h"

namespace corvane::testing {

struct FiredEvent {
  int32_t id;
  int64_t task_id;       // the error code for Error events
  std::u16string path;
  int32_t result_in;     // the result slot as the handler saw it
  int32_t arg2 = 0;      // the first argument after the path, when an integer
};

class EngineHost {
 public:
  Engine& engine() { return host.c().engine; }

  Task* NewTask(const std::u16string& path, int32_t type) {
    Task* task = engine().tasks.CreateTask(path, type, nullptr);
    engine().tasks.RegisterTask(task, true);
    return task;
  }

  std::vector<FiredEvent> Events(int32_t id) {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<FiredEvent> out;
    for (const auto& e : fired)
      if (e.id == id) out.push_back(e);
    return out;
  }
  size_t EventCount() {
    std::lock_guard<std::mutex> lock(mu);
    return fired.size();
  }

  std::mutex mu;
  std::vector<FiredEvent> fired;
  // The answer written into the event's result slot (0 when unset).
  std::function<int32_t(int32_t id, const std::u16string& path)> answer;
  TestHost host{true, [this](int32_t id, int32_t count, intptr_t* p, int32_t*) -> int32_t {
                  if (id == HALVEX_EVENT_LOG) return 0;
                  std::lock_guard<std::mutex> lock(mu);
                  if (id == HALVEX_EVENT_ERROR) {
                    fired.push_back({id, static_cast<int32_t>(p[0]), u"", 0});
                    return 0;
                  }
                  const std::u16string path = WideAt(p, 1);
                  const int32_t arg2 = count > 3 ? static_cast<int32_t>(p[2]) : 0;
                  fired.push_back({id, Int64At(p, 0), path, static_cast<int32_t>(p[count - 1]), arg2});
                  if (answer) p[count - 1] = answer(id, path);
                  return 0;
                }};
};

}  // namespace corvane::testing
