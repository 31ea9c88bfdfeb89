#include "engine/engine_threads.h"

#include <chrono>
#include <system_error>

#include "diag/log.h"
#include "engine/engine.h"
#include "engine/host_events.h"
#include "engine/retry_passes.h"

namespace corvane {
namespace {

bool Stopping(Engine& engine, const std::atomic<bool>& stop) {
  return stop.load() || engine.state.deactivating.load() != 0;
}

// Every engine thread tells the component's hook when it starts and ends.
template <class Body>
void WithHook(Engine& engine, Body&& body) {
  if (engine.thread_hook != nullptr) engine.thread_hook->OnThreadStart();
  body();
  if (engine.thread_hook != nullptr) engine.thread_hook->OnThreadEnd();
}

template <class Body>
bool Launch(std::thread& slot, Body&& body) {
  if (slot.joinable()) return false;
  try {
    slot = std::thread(std::forward<Body>(body));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

EngineThreads& ThreadsOf(Engine& engine) {
  std::call_once(engine.engine_threads_once, [&] { engine.engine_threads = MakeOwned<EngineThreads>(); });
  return *engine.engine_threads;
}

}  // namespace

EngineThreads::~EngineThreads() {
  Signal();
  Join();
}

bool EngineThreads::Sleep(Engine& engine, const std::atomic<bool>& stop, int ms) {
  MutexLock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!Stopping(engine, stop) && wake_.WaitUntil(mutex_, deadline)) {
  }
  return !Stopping(engine, stop);
}

bool EngineThreads::StartMonitor(Engine& engine) {
  monitor_stop.store(false);
  return Launch(monitor_, [this, &engine] { WithHook(engine, [&] { MonitorProc(engine); }); });
}

bool EngineThreads::StartRetry(Engine& engine) {
  retry_stop.store(false);
  return Launch(retry_, [this, &engine] { WithHook(engine, [&] { RetryProc(engine); }); });
}

bool EngineThreads::StartExpiry(Engine& engine) {
  const int32_t timeout = engine.settings.pending_task_timeout.load();
  if (timeout < 1) return false;
  expiry_stop.store(false);
  const int64_t limit_ms = static_cast<int64_t>(timeout) * 1000;
  return Launch(expiry_, [this, &engine, limit_ms] { WithHook(engine, [&] { ExpiryProc(engine, limit_ms); }); });
}

void EngineThreads::Signal() {
  {
    MutexLock lock(mutex_);
    monitor_stop.store(true);
    retry_stop.store(true);
    expiry_stop.store(true);
  }
  wake_.NotifyAll();
}

void EngineThreads::Join() {
  for (std::thread* thread : {&monitor_, &retry_, &expiry_}) {
    if (!thread->joinable()) continue;
    // A handler on one of these threads may deactivate the engine; that
    // thread cannot join itself and ends as soon as its handler returns.
    if (thread->get_id() == std::this_thread::get_id()) {
      thread->detach();
    } else {
      thread->join();
    }
  }
}

bool EngineThreads::IsOwnThread() const {
  const std::thread::id self = std::this_thread::get_id();
  return monitor_.get_id() == self || retry_.get_id() == self || expiry_.get_id() == self;
}

void EngineThreads::MonitorProc(Engine& engine) {
  const int32_t batch = engine.settings.pending_ops_processing_batch_size.load();
  const size_t batch_size = batch > 0 ? static_cast<size_t>(batch) : 1;
  size_t cursor = 0;
  while (Sleep(engine, monitor_stop, cursor != 0 ? 50 : 500)) cursor = RunMonitorPass(engine, cursor, batch_size);
}

void EngineThreads::RetryProc(Engine& engine) {
  const std::u16string root = engine.EffectiveSyncRootPath();
  int wait_ms = 500;
  while (Sleep(engine, retry_stop, wait_ms)) {
    if (engine.settings.event_retry_interval.load() <= 0) {
      wait_ms = 1000;
      continue;
    }
    RunRetryPass(engine, root);
    wait_ms = 500;
  }
}

void EngineThreads::ExpiryProc(Engine& engine, int64_t limit_ms) {
  while (Sleep(engine, expiry_stop, 1000)) RunExpiryPass(engine, limit_ms);
}

bool StartAsyncMonitorThread(Engine& engine) { return ThreadsOf(engine).StartMonitor(engine); }
bool StartRetryQueueThread(Engine& engine) { return ThreadsOf(engine).StartRetry(engine); }

int32_t StartCheckExpiredPendingTasksThread(Engine& engine) {
  // Expiry is off below one second: nothing to start, nothing failed.
  if (engine.settings.pending_task_timeout.load() < 1) return 0;
  return ThreadsOf(engine).StartExpiry(engine) ? 0 : -1;
}

void SignalEngineThreads(Engine& engine) {
  if (engine.engine_threads) engine.engine_threads->Signal();
}

void JoinEngineThreads(Engine& engine) {
  if (engine.engine_threads) engine.engine_threads->Join();
}

void RestartEngineThreads(Engine& engine) {
  // From one of these threads (a handler that deactivated) the old thread
  // cannot be joined; it keeps its loop only if the stop is never set.
  if (!engine.engine_threads || engine.engine_threads->IsOwnThread()) return;
  JoinEngineThreads(engine);
  StartAsyncMonitorThread(engine);
  StartRetryQueueThread(engine);
  StartCheckExpiredPendingTasksThread(engine);
}

}  // namespace corvane
