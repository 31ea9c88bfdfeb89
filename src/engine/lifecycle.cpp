// Install, Activate, Deactivate and Uninstall as the method layer enters
// them: state checks, the one-time preparation of the sync-root path and the
// flag protocol. Registration with the platform and the provider launch are
// built with the provider; until then Install, Activate and Uninstall fail
// with "Initialization failed" instead of pretending to succeed.
#include <chrono>
#include <thread>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/sync_root_path.h"

namespace corvane {
namespace {

const char16_t* TrueFalse(bool value) { return value ? u"true" : u"false"; }

}  // namespace

void Engine::PrepareSyncRootPathOnce() {
  if (state.path_prepared.exchange(1) != 0) return;
  sync_root_path_ = PrepareSyncRootPath(sync_root_path_);
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

int32_t Engine::RegisterProvider() {
  Log(diag.log_sink(), kLogVerbose, u"Registering Cloud API provider");
  // The registration of the sync root with the platform and the shell is not
  // built yet; nothing is registered, so this must not report success.
  return diag.Record(kErrInitFailed, ResultMessage(kErrInitFailed));
}

int32_t Engine::do_Activate(bool synchronous) {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Starting...");
  LogF(sink, kLogVerbose, u"do_Activate %s", TrueFalse(synchronous));
  if (state.ActiveOrActivating()) return RefuseWhileRunning();
  state.stop_activating.store(0);
  state.activating.store(1);
  PrepareSyncRootPathOnce();
  // Without the provider there is no work for an activation thread, so an
  // asynchronous request is answered at once with the same outcome.
  return IntActivate(synchronous);
}

int32_t Engine::IntActivate(bool synchronous) {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"> Activating...");
  LogF(sink, kLogVerbose, u"IntActivate Synchronous(%s)", TrueFalse(synchronous));
  // Initialisation of the platform objects and the provider launch are not
  // built yet: the engine cannot become active.
  int32_t result = diag.Record(kErrInitFailed, ResultMessage(kErrInitFailed));
  state.activating.store(0);
  LogF(sink, kLogVerbose, u"IntActivate result 0x%x", result);
  return result;
}

int32_t Engine::do_Deactivate() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Stopping...");
  Log(sink, kLogVerbose, u"do_Deactivate");
  if (!state.ActiveOrActivating()) return diag.Record(kErrNotReady, kTextNotActive);
  if (state.deactivating.load() != 0) return kOk;
  if (state.activating.load() != 0) IntStopActivating();
  state.deactivating.store(1);
  return IntDeactivate();
}

void Engine::IntStopActivating() {
  Log(diag.log_sink(), kLogVerbose, u"IntStopActivating");
  state.stop_activating.store(1);
  while (activation_thread_running_.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

int32_t Engine::IntDeactivate() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"> Deactivating...");
  Log(sink, kLogVerbose, u"IntDeactivate");
  int32_t result = CancelAllTransfers();
  if (result == kOk) {
    if (DeactivateProvider() == kOk) state.active.store(0);
    result = IntUninitialize();
  }
  Log(sink, kLogVerbose, u"< Deactivated");
  state.deactivating.store(0);
  LogF(sink, kLogVerbose, u"IntDeactivate result 0x%x", result);
  return result;
}

int32_t Engine::DeactivateProvider() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Deactivating Windows Cloud provider...");
  // No watcher or sync-root connection exists before the provider is built.
  LogF(sink, kLogVerbose, u"Deactivating Windows Cloud provider finished. Error code: 0x%x", 0);
  return kOk;
}

int32_t Engine::IntUninitialize() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"> Uninitializing...");
  Log(sink, kLogVerbose, u"IntUninitialize");
  Log(sink, kLogVerbose, u"Uninitializing OS dependent internal objects");
  Log(sink, kLogVerbose, u"OS dependent internal objects uninitialization finished");
  Log(sink, kLogVerbose, u"< Uninitialized");
  return kOk;
}

void Engine::StopForDestroy() {
  if (state.activating.load() != 0) IntStopActivating();
  while (state.deactivating.load() != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (state.active.load() != 0) do_Deactivate();
}

int32_t Engine::do_Uninstall() {
  if (state.ActiveOrActivating()) do_Deactivate();
  return Uninstall();
}

int32_t Engine::Uninstall() {
  Log(diag.log_sink(), kLogMilestone, u"Uninstallation started");
  // Unregistering from the platform, the shell and the registry is built with
  // the registration; until then nothing can be uninstalled.
  return diag.Record(kErrInitFailed, ResultMessage(kErrInitFailed));
}

}  // namespace corvane
