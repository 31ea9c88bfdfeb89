#include "platform/local/shared_run.h"

#include <atomic>
#include <system_error>
#include <thread>

namespace corvane::platform::local {
namespace {

constexpr size_t kClaimRun = 8;

void TakeRuns(std::atomic<size_t>& next, size_t count, const std::function<void(size_t)>& work) {
  for (;;) {
    const size_t start = next.fetch_add(kClaimRun, std::memory_order_relaxed);
    if (start >= count) return;
    const size_t end = start + kClaimRun < count ? start + kClaimRun : count;
    for (size_t i = start; i < end; ++i) work(i);
  }
}

}  // namespace

void RunShared(size_t count, size_t min_shared, const std::function<void(size_t)>& work) {
  std::atomic<size_t> next{0};
  std::thread helper;
  if (count >= min_shared && count > kClaimRun) {
    try {
      helper = std::thread([&] { TakeRuns(next, count, work); });
    } catch (const std::system_error&) {
      // Alone, then.
    }
  }
  TakeRuns(next, count, work);
  if (helper.joinable()) helper.join();
}

}  // namespace corvane::platform::local
