// Install, Activate, Deactivate and Uninstall as the method layer enters
// them: state checks, the one-time preparation of the sync-root path, the
// activation thread and the flag protocol between them.
#include <chrono>
#include <future>
#include <system_error>
#include <thread>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/engine_threads.h"
#include "engine/host_events.h"
#include "engine/local_changes.h"
#include "engine/platform_requests.h"
#include "engine/task_cancel.h"
#include "support/sync_root_path.h"

namespace corvane {
namespace {

const char16_t* TrueFalse(bool value) { return value ? u"true" : u"false"; }

void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

}  // namespace

void Engine::PrepareSyncRootPathOnce() {
  if (state.path_prepared.exchange(1) != 0) return;
  sync_root_path_.Set(PrepareSyncRootPath(sync_root_path_.Get()));
}

int32_t Engine::do_Install() {
  PrepareSyncRootPathOnce();
  return Install();
}

int32_t Engine::Install() {
  Log(diag.log_sink(), kLogMilestone, u"Installation started");
  if (state.ActiveOrActivating()) return RefuseWhileRunning();
  state.installing.store(1);
  return RegisterProvider();
}

int32_t Engine::do_Activate(bool synchronous) {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Starting...");
  LogF(sink, kLogVerbose, u"do_Activate %s", TrueFalse(synchronous));
  // The exchange lets only one of two racing callers through.
  if (state.active.load() != 0 || state.activating.exchange(1) != 0) return RefuseWhileRunning();
  state.stop_activating.store(0);
  PrepareSyncRootPathOnce();
  if (synchronous) {
    // Set before the first step, so a Deactivate from another thread waits.
    activation_runner.store(std::this_thread::get_id());
    return IntActivate(true);
  }

  JoinActivationThread();
  activation_threads_running_.fetch_add(1);
  // Created held, like a suspended thread, until its handle is stored: an
  // Activated handler may look at that handle from the thread itself.
  std::promise<void> stored;
  try {
    activation_thread = std::thread([this, handle_stored = stored.get_future()]() mutable {
      handle_stored.wait();
      IntActivate(false);
      activation_threads_running_.fetch_sub(1);
    });
    stored.set_value();
  } catch (const std::system_error& error) {
    activation_threads_running_.fetch_sub(1);
    state.activating.store(0);
    const int32_t code = error.code().value();
    if (events != nullptr) events->FireActivated(code);
    LogF(sink, kLogVerbose, u"do_Activate result 0x%x", code);
    return code;
  }
  Log(sink, kLogVerbose, u"do_Activate result 0");
  return kOk;
}

void Engine::JoinActivationThread() {
  if (!activation_thread.joinable()) return;
  if (activation_thread.get_id() == std::this_thread::get_id()) {
    // Activate again from the Activated handler: this very thread ends
    // right after the handler, so it is let go and counted until then.
    activation_thread.detach();
    return;
  }
  activation_thread.join();
}

void Engine::WaitForActivationThreads() {
  const bool on_activation_thread =
      activation_thread.joinable() && activation_thread.get_id() == std::this_thread::get_id();
  while (!on_activation_thread && activation_threads_running_.load() != 0) Nap();
}

int32_t Engine::IntActivate(bool synchronous) {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"> Activating...");
  LogF(sink, kLogVerbose, u"IntActivate Synchronous(%s)", TrueFalse(synchronous));
  activation_runner.store(std::this_thread::get_id());

  int32_t result = kOk;
  if (!Initialize()) {
    result = diag.Record(kErrInitFailed, ResultMessage(kErrInitFailed));
  } else if (state.stop_activating.load() != 0) {
    result = diag.Record(kErrCancelled, ResultMessage(kErrCancelled));
  } else if ((result = LaunchProvider()) == kOk && (result = StartCheckExpiredPendingTasksThread(*this)) == kOk) {
    if (state.stop_activating.load() != 0) {
      result = diag.Record(kErrCancelled, ResultMessage(kErrCancelled));
    } else {
      Log(sink, kLogVerbose, u"< Activated successfully");
    }
  }
  if (result != kOk) {
    // A launched provider is taken down too: an activation that failed must
    // not leave the root connected and the engine marked active.
    if (state.active.load() != 0) ShutDownProvider();
    IntUninitialize();
  }
  activation_runner.store(std::thread::id());
  state.activating.store(0);
  if (!synchronous && state.stop_activating.load() == 0 && events != nullptr) events->FireActivated(result);
  LogF(sink, kLogVerbose, u"IntActivate result 0x%x", result);
  return result;
}

int32_t Engine::do_Deactivate() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Stopping...");
  Log(sink, kLogVerbose, u"do_Deactivate");
  if (!state.ActiveOrActivating()) return diag.Record(kErrNotReady, kTextNotActive);
  // Disconnecting waits for every platform callback to end, this thread's
  // own among them: from inside one it could only hang or leave the root
  // connected to a stopped engine.
  if (platform_requests.InsidePlatformCallback(*this)) return diag.Record(kErrOperationDenied, kTextStopInsideCallback);
  // Deactivating waits for the running method calls, this thread's own
  // among them, which would go on with freed parts.
  if (method_calls.HeldByThisThread()) return diag.Record(kErrOperationDenied, kTextStopInsideMethod);
  if (state.deactivating.load() != 0) return kOk;
  if (state.activating.load() != 0) IntStopActivating();
  // An activation that ended just now may still be announcing itself: the
  // host hears its Activated before the deactivation, never after it.
  WaitForActivationThreads();
  state.deactivating.store(1);
  return IntDeactivate();
}

void Engine::IntStopActivating() {
  Log(diag.log_sink(), kLogVerbose, u"IntStopActivating");
  state.stop_activating.store(1);
  // A synchronous activation on another thread is waited for as well, or
  // the deactivation would tear down what it is still launching; a handler
  // that runs inside the activation itself cannot wait for it.
  if (activation_runner.load() == std::this_thread::get_id()) return;
  while (activation_threads_running_.load() != 0 ||
         (state.activating.load() != 0 && activation_runner.load() != std::thread::id())) {
    Nap();
  }
}

int32_t Engine::IntDeactivate() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"> Deactivating...");
  Log(sink, kLogVerbose, u"IntDeactivate");
  const int32_t result = ShutDownProvider();
  Log(sink, kLogVerbose, u"< Deactivated");
  state.deactivating.store(0);
  // The host refused a cancel: the provider stays up, and so must the
  // monitors that the deactivation stopped first, or its asynchronous tasks
  // and retries would never end.
  if (result != kOk && state.active.load() != 0) RestartEngineThreads(*this);
  LogF(sink, kLogVerbose, u"IntDeactivate result 0x%x", result);
  return result;
}

int32_t Engine::ShutDownProvider() {
  // The monitor, retry and expiry loops leave on their next pass; they are
  // joined before new ones start and before the engine goes.
  SignalEngineThreads(*this);
  int32_t result = CancelAllTransfers();
  if (result != kOk) return result;
  if (DeactivateProvider() == kOk) state.active.store(0);
  SettleAnsweredTasks(*this);
  return IntUninitialize();
}

void Engine::StopForDestroy() {
  if (state.activating.load() != 0) IntStopActivating();
  WaitForActivationThreads();
  JoinActivationThread();
  while (state.deactivating.load() != 0) Nap();
  if (state.active.load() != 0) do_Deactivate();
  if (state.active.load() != 0) {
    // The deactivation failed (tasks that would not go): the component goes
    // anyway, so nothing that calls into it may stay behind.
    DeactivateProvider();
    state.active.store(0);
    IntUninitialize();
  }
  JoinRegistrationThread();
  SignalEngineThreads(*this);
  JoinEngineThreads(*this);
  local_changes.Stop(*this);
  const std::u16string root = EffectiveSyncRootPath();
  if (!root.empty() && !known_at_stop.LeaveForNextProcess(root))
    LogF(diag.log_sink(), kLogFailure, u"Failed to keep the items known at the stop for the next start: '%s'", root);
}

int32_t Engine::do_Uninstall() {
  if (state.ActiveOrActivating() && platform_requests.InsidePlatformCallback(*this)) {
    return diag.Record(kErrOperationDenied, kTextStopInsideCallback);
  }
  if (state.ActiveOrActivating()) do_Deactivate();
  return Uninstall();
}

}  // namespace corvane
