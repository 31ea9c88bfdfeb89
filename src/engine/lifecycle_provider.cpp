// The engine's half of the provider: initialisation of the platform objects,
// the launch with its registration thread, and their undoing.
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/engine_threads.h"
#include "engine/enumeration.h"
#include "engine/host_events.h"
#include "engine/local_changes.h"
#include "engine/task_cancel.h"
#include "engine/platform_requests.h"
#include "platform/cloud_files.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/open_files.h"
#include "provider/placeholder_manager.h"
#include "provider/provider.h"
#include "provider/registration.h"
#include "support/mutex.h"

namespace corvane {
namespace {

constexpr uint32_t kWaitTimeout = 0x102;  // what a timed-out wait reports
constexpr int32_t kPopulationBatchLimit = 1000;

constexpr const char* kAsyncFailedText = "Asynchronous operation failed";

// The body of the registration thread: thread hook, RegisterSyncProvider,
// the Error event on failure; the result lands in the job.
void RunRegistrationThread(Engine& engine, RegistrationJob& job) {
  if (engine.thread_hook != nullptr) engine.thread_hook->OnThreadStart();
  const int32_t result = RegisterSyncProvider(engine, job);
  if (result != kOk && engine.events != nullptr) engine.events->FireError(result, kAsyncFailedText);
  if (engine.thread_hook != nullptr) engine.thread_hook->OnThreadEnd();
  MutexLock lock(job.mutex);
  job.result = result;
  job.finished = true;
  job.finished_cv.NotifyAll();
}

bool IsDirectory(const std::u16string& path) {
  const platform::DWORD attributes = platform::GetFileAttributesW(path.c_str());
  return attributes != platform::INVALID_FILE_ATTRIBUTES && (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool Engine::Initialize() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Initializing OS dependent internal objects (Windows)");
  if (placeholder_manager) {
    Log(sink, kLogVerbose, u"Engine event handler is already initialized");
    return true;
  }
  placeholder_manager = MakeOwned<PlaceholderManager>(diag);
  Provider* made = Provider::Create(*this, EffectiveSyncRootPath());
  if (made == nullptr) {
    Log(sink, kLogFailure, u"Failed to initialize placeholder manager");
    placeholder_manager.reset();
    return false;
  }
  provider = Owned<Provider>(made, [](Provider* p) { delete p; });
  // A mark left from an earlier activation would swallow the change the
  // offline check finds at its path.
  pending.Clear();
  unseen_creations.Clear();
  method_calls.Open();
  Log(sink, kLogVerbose, u"Windows cloud API engine initialized");
  if (settings.serialize_events.load() != 0) event_lock = MakeOwned<Mutex>();
  // Open counts of the online-only mode outlive one activation, like the engine.
  if (!open_files) open_files = MakeOwned<OpenFiles>();
  Log(sink, kLogVerbose, u"OS dependent internal objects initialization finished");
  return true;
}

int32_t Engine::LaunchProvider() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Launching Cloud API provider");
  state.installing.store(0);
  // Threads of an earlier launch were only signalled; they are gone before
  // their successors start.
  JoinEngineThreads(*this);

  int32_t result = RegisterProvider();
  if (result == kOk && !settings.windows_create_placeholders_on_demand.load()) {
    Log(sink, kLogVerbose, u"Creating placeholders...");
    result = ProcessDirectory(*this, u"\\", u"*", 0, kPopulationBatchLimit, true);
    LogF(sink, kLogVerbose, u"Creating placeholders finished. Error code: 0x%x", result);
  }
  if (result == kOk && !local_changes.Start(*this)) {
    Log(sink, kLogFailure, u"Failed to start directory changes watcher");
    result = kErrInitFailed;
  }
  if (result == kOk && !StartAsyncMonitorThread(*this)) {
    LogF(sink, kLogFailure, u"Failed to create thread for async operations monitoring. OS error code: 0x%x",
         diag.OsLastError());
    result = kErrInitFailed;
  }
  if (result == kOk && !StartRetryQueueThread(*this)) {
    LogF(sink, kLogFailure, u"Failed to create thread for retry events queue monitoring. OS error code: 0x%x",
         diag.OsLastError());
    result = kErrInitFailed;
  }
  if (result != kOk) {
    SignalEngineThreads(*this);
    JoinEngineThreads(*this);
    DeactivateProvider();
    diag.Record(result, ResultMessage(result));
  }
  state.active.store(result == kOk ? 1 : 0);
  LogF(sink, kLogVerbose, u"Launching provider finished with result: 0x%x", result);
  return result;
}

int32_t Engine::RegisterProvider() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Registering Cloud API provider");
  const std::u16string configured = SyncRootPath();
  if (configured.empty() || !IsDirectory(configured)) {
    LogF(sink, kLogFailure, u"Invalid SyncSyncRootPath value: '%s'", configured);
    return diag.Record(kErrInitFailed, ResultMessage(kErrInitFailed));
  }
  const std::u16string root = EffectiveSyncRootPath();
  bool created_now = false;
  if (root != configured && !IsDirectory(root)) {
    if (!platform::CreateDirectoryW(root.c_str(), nullptr)) {
      diag.SetOsLastError(platform::GetLastError());
      LogF(sink, kLogVerbose, u"Failed to create directory '%s' for sync root", root);
      return diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
    }
    created_now = true;
  }

  // One registration at a time: one that outlived its limit ends first.
  JoinRegistrationThread();
  auto job = std::make_shared<RegistrationJob>(ReadRegistrationInputs(*this));
  job->provider = provider.get();
  job->callbacks = &platform_requests.CallbackEntries();
  try {
    registration_thread = std::thread([this, job] { RunRegistrationThread(*this, *job); });
  } catch (const std::system_error& error) {
    LogF(sink, kLogFailure, u"Failed to create thread for provider registration. Error code: 0x%x",
         static_cast<uint32_t>(error.code().value()));
    return diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
  }
  registration_job = job;

  int32_t result = kOk;
  {
    MutexLock lock(job->mutex);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(registration_time_limit_ms.load());
    while (!job->finished && job->finished_cv.WaitUntil(job->mutex, deadline)) {
    }
    if (!job->finished) {
      // Left running; whatever it connects from now on it releases itself.
      job->abandoned = true;
      lock.Unlock();
      LogF(sink, kLogFailure, u"Provider registration thread execution took too much time. Error code: 0x%x",
           kWaitTimeout);
      return diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
    }
    result = job->result;
  }
  JoinRegistrationThread();
  if (result != kOk) return diag.Record(result, ResultMessage(result));
  if (state.installing.load() != 0 || created_now) return result;

  SettleTakenCreates(*this);
  if (!local_changes.OfflineCheck(*this, root)) {
    LogF(sink, kLogVerbose, u"Failed to scan directory: '%s'", root);
    return diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
  }
  return result;
}

void Engine::JoinRegistrationThread() {
  if (registration_thread.joinable()) registration_thread.join();
  registration_job.reset();
}

int32_t Engine::DeactivateProvider() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"Deactivating Windows Cloud provider...");
  local_changes.Stop(*this);
  DisconnectSyncRoot(*this);
  LogF(sink, kLogVerbose, u"Deactivating Windows Cloud provider finished. Error code: 0x%x", 0);
  return kOk;
}

int32_t Engine::IntUninitialize() {
  LogSink* sink = diag.log_sink();
  Log(sink, kLogVerbose, u"> Uninitializing...");
  Log(sink, kLogVerbose, u"IntUninitialize");
  Log(sink, kLogVerbose, u"Uninitializing OS dependent internal objects");
  method_calls.CloseAndDrain();
  event_lock.reset();
  provider.reset();
  placeholder_manager.reset();
  Log(sink, kLogVerbose, u"OS dependent internal objects uninitialization finished");
  known_at_stop.Keep(metadata_cache.KnownItems());
  metadata_cache.Clear();
  Log(sink, kLogVerbose, u"< Uninitialized");
  return kOk;
}

int32_t Engine::Uninstall() {
  Log(diag.log_sink(), kLogMilestone, u"Uninstallation started");
  const std::u16string root = EffectiveSyncRootPath();
  if (root.empty() || platform::GetFileAttributesW(root.c_str()) == platform::INVALID_FILE_ATTRIBUTES) {
    return diag.Record(kErrInvalidParameter, "The specified SyncRootPath is not a valid synchronization root");
  }
  platform::CF_SYNC_ROOT_BASIC_INFO info;
  if (platform::FAILED(platform::CfGetSyncRootInfoByPath(root.c_str(), platform::CF_SYNC_ROOT_INFO_BASIC, &info, sizeof info,
                                               nullptr))) {
    return diag.Record(kErrInvalidParameter, ResultMessage(kErrInvalidParameter));
  }
  // A registration still running would register again behind our back.
  JoinRegistrationThread();

  // Element-not-found means nothing is left to unregister, which is fine;
  // the shell's answer decides the outcome.
  PlaceholderManager manager(diag);
  manager.UnregisterPlaceholderRoot(root.c_str());
  known_at_stop.Drop(root);
  const RegistrationInputs inputs = ReadRegistrationInputs(*this);
  const int32_t shell_result = UnregisterShellSyncRoot(*this, inputs);
  RemoveStaleShellRegistration(*this, inputs);
  if (shell_result != kOk) return diag.Record(shell_result, ResultMessage(shell_result));
  if (IsDirectory(root)) local_changes.DeleteEmptyLocalFolders(*this, root);
  return kOk;
}

}  // namespace corvane
