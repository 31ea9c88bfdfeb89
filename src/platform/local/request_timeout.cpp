#include "platform/local/request_timeout.h"

#include <atomic>
#include <cstdlib>

namespace corvane::platform::local {
namespace {
constexpr int64_t kDefaultTimeoutMs = 60000;
std::atomic<int64_t> override_ms{0};
}  // namespace

int64_t RequestTimeoutMs() {
  if (const int64_t ms = override_ms.load()) return ms;
  if (const char* env = std::getenv("CORVANE_REQUEST_TIMEOUT_MS")) {
    const long long ms = std::atoll(env);
    if (ms > 0) return ms;
  }
  return kDefaultTimeoutMs;
}

void SetRequestTimeoutMs(int64_t ms) { override_ms.store(ms > 0 ? ms : 0); }

}  // namespace corvane::platform::local
