#include "provider/registration.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/engine_core.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/shell.h"
#include "provider/placeholder_manager.h"
#include "provider/provider.h"

namespace corvane {

using namespace platform;

namespace {

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

const char16_t* TrueFalse(bool value) { return value ? u"true" : u"false"; }

bool EqualPathText(std::u16string_view a, std::u16string_view b) {
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool IsDirectory(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The one policy set of a root, asked of the platform and of the shell alike.
// Hard links stay off: a link from outside the root would change a file
// without the watcher seeing it.
constexpr CF_HYDRATION_POLICY_PRIMARY kRootHydration = CF_HYDRATION_POLICY_FULL;
constexpr CF_HYDRATION_POLICY_MODIFIER kRootHydrationModifier = CF_HYDRATION_POLICY_MODIFIER_AUTO_DEHYDRATION_ALLOWED;
constexpr CF_INSYNC_POLICY kRootInSync = CF_INSYNC_POLICY_TRACK_ALL;
constexpr CF_HARDLINK_POLICY kRootHardLinks = CF_HARDLINK_POLICY_NONE;
// The shell numbers these the same way (population aside, chosen per root).
static_assert(kHydrationPolicyFull == CF_HYDRATION_POLICY_FULL &&
              kHydrationPolicyModifierAutoDehydrationAllowed == CF_HYDRATION_POLICY_MODIFIER_AUTO_DEHYDRATION_ALLOWED &&
              kHardlinkPolicyNone == CF_HARDLINK_POLICY_NONE && kHardlinkPolicyAllowed == CF_HARDLINK_POLICY_ALLOWED &&
              kInSyncPolicyFileCreationTime == CF_INSYNC_POLICY_TRACK_FILE_CREATION_TIME);

// Without the shell's registration service the root is the platform's
// registration alone; said once per process, as it holds for every root.
bool ShellUnavailable(LogSink* sink, HRESULT hr) {
  if (hr != kShellRegistrationUnavailable) return false;
  static std::atomic<bool> said{false};
  if (!said.exchange(true))
    Log(sink, kLogWarning,
        u"Windows shell sync-root registration is not available on this system; sync roots are registered with the "
        u"platform only");
  return true;
}

RegisterRootRequest MakeRegisterRequest(const RegistrationInputs& inputs) {
  RegisterRootRequest request;
  request.sync_root_path = inputs.root.c_str();
  request.provider_name = inputs.provider_name.c_str();
  request.provider_version = inputs.provider_version.c_str();
  request.hydration_primary = kRootHydration;
  request.hydration_modifier = kRootHydrationModifier;
  request.population_primary = inputs.on_demand ? CF_POPULATION_POLICY_FULL : CF_POPULATION_POLICY_ALWAYS_FULL;
  request.population_modifier = CF_POPULATION_POLICY_MODIFIER_NONE;
  request.in_sync_policy = kRootInSync;
  request.hard_link_policy = kRootHardLinks;
  request.register_flags = CF_REGISTER_FLAG_MARK_IN_SYNC_ON_ROOT;
  return request;
}

// Platform registration and shell registration of a folder that is not yet
// a sync root; a folder that already is one is left as it is.
int32_t RegisterRoot(EngineCore& engine, PlaceholderManager& manager, const RegistrationInputs& inputs,
                     HRESULT* failed_hr) {
  LogSink* sink = engine.diag.log_sink();
  if (manager.IsSyncRoot(inputs.root.c_str())) return kOk;
  LogF(sink, kLogVerbose, u"Directory is not sync root. Registering sync provider: '%s'", inputs.root);
  RemoveStaleShellRegistration(engine, inputs);
  const RegisterRootRequest request = MakeRegisterRequest(inputs);
  const HRESULT hr = manager.RegisterPlaceholderRoot(&request);
  if (FAILED(hr)) {
    if (hr == kAccessDenied) {
      Log(sink, kLogFailure,
          u"Failed to register placeholder root: Access Denied error was reported. Ensure that the installation "
          u"code is run with proper privileges (under an administrative or elevated account).");
    } else {
      LogF(sink, kLogFailure, u"Failed to register placeholder root. Error code: 0x%x", static_cast<uint32_t>(hr));
    }
    engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
    *failed_hr = hr;
    return kErrInitFailed;
  }
  LogF(sink, kLogVerbose, u"Registering sync provider in shell: '%s'", inputs.root);
  int32_t result = RegisterShellSyncRoot(engine, inputs);
  if (FAILED(result)) {
    // The shell's HRESULT has no message of its own: it is kept as the
    // Windows last error and the install fails with the registration code.
    LogF(sink, kLogFailure, u"Failed to register sync root in shell. Error code: 0x%x", static_cast<uint32_t>(result));
    engine.diag.SetOsLastError(static_cast<uint32_t>(result));
    *failed_hr = result;
    result = kErrInitFailed;
  }
  if (result == kOk) {
    LogF(sink, kLogVerbose, u"Registration finished with result code: 0x%x", 0);
  } else {
    // A root the platform knows is never registered again, so a half-done
    // install could not be repaired by the next one: undo it.
    manager.UnregisterPlaceholderRoot(inputs.root.c_str());
  }
  return result;
}

int32_t ConnectRoot(EngineCore& engine, PlaceholderManager& manager, RegistrationJob& job, HRESULT* failed_hr) {
  LogSink* sink = engine.diag.log_sink();
  const RegistrationInputs& inputs = job.inputs;
  LogF(sink, kLogVerbose, u"Connecting sync root: '%s'", inputs.root);
  if (!manager.IsSyncRoot(inputs.root.c_str())) return kErrNotInstalled;

  auto connection = std::make_unique<SyncRootConnection>();
  connection->path = inputs.root;
  ConnectRootRequest& request = connection->request;
  request.sync_root_path = connection->path.c_str();
  // Every callback finds its engine from the connection's context.
  request.callback_context = &engine;
  // The provider reads its own placeholders (the watcher, item queries):
  // those reads must not hydrate them.
  request.connect_flags = CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO | CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH |
                          CF_CONNECT_FLAG_BLOCK_SELF_IMPLICIT_HYDRATION;
  request.open_close_notifications = inputs.online_only ? 1 : 0;
  request.delete_rename_notifications = 0;
  const HRESULT hr = manager.ConnectPlaceholderRoot(&request, job.provider, *job.callbacks);
  if (FAILED(hr)) {
    LogF(sink, kLogFailure, u"Failed to connect placeholder root. Error code: 0x%x", static_cast<uint32_t>(hr));
    engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
    *failed_hr = hr;
    return kErrInitFailed;
  }
  connection->connection = request.connection;

  // A waiter that gave up has already torn the launch down: this connection
  // would belong to nobody, so it goes again at once.
  MutexLock lock(job.mutex);
  if (job.abandoned) {
    manager.DisconnectPlaceholderRoot(connection->connection);
    return kErrCancelled;
  }
  SyncRootConnection* raw = connection.release();
  engine.root_connection = Owned<SyncRootConnection>(raw, [](SyncRootConnection* p) { delete p; });
  return kOk;
}

}  // namespace

RegistrationInputs ReadRegistrationInputs(EngineCore& engine) {
  RegistrationInputs inputs;
  inputs.root = engine.EffectiveSyncRootPath();
  inputs.installing = engine.state.installing.load() != 0;
  inputs.on_demand = engine.settings.windows_create_placeholders_on_demand.load();
  inputs.online_only = engine.settings.online_only.load();
  inputs.label = EffectiveLabel(engine.SyncRootLabel());
  inputs.icon = engine.SyncRootIcon().empty() ? u",0" : engine.SyncRootIcon();
  inputs.provider_id = engine.settings.windows_storage_provider_id.Get();
  inputs.provider_account = engine.settings.windows_storage_provider_account.Get();
  inputs.provider_name = engine.settings.windows_registration_provider_name.Get();
  inputs.provider_version = engine.settings.windows_registration_provider_version.Get();
  inputs.recycle_bin_url = engine.settings.windows_recycle_bin_url.Get();
  inputs.has_item_domain = !engine.settings.item_domain.Get().empty();
  inputs.wait_for_install_ms = engine.settings.wait_for_install_to_complete.load();
  return inputs;
}

std::u16string EffectiveLabel(std::u16string_view label) {
  return label.empty() ? std::u16string(u"Corvane") : std::u16string(label);
}

bool BuildSyncRootId(const RegistrationInputs& inputs, std::u16string* id) {
  std::u16string sid;
  if (GetCurrentUserSidString(sid) != ERROR_SUCCESS || sid.empty()) return false;
  *id = inputs.provider_id.empty() ? inputs.label : inputs.provider_id;
  id->push_back(u'!');
  id->append(sid);
  id->push_back(u'!');
  id->append(inputs.provider_account.empty() ? inputs.label : inputs.provider_account);
  return true;
}

int32_t RegisterSyncProvider(EngineCore& engine, RegistrationJob& job) {
  LogSink* sink = engine.diag.log_sink();
  const RegistrationInputs& inputs = job.inputs;
  LogF(sink, kLogVerbose, u"Registering sync provider for directory: '%s'", inputs.root);
  LogF(sink, kLogVerbose, u"Install mode: '%s'", TrueFalse(inputs.installing));
  // The local platform needs no COM apartment for the calls below.
  PlaceholderManager manager(engine.diag);
  HRESULT failed_hr = S_OK;
  const int32_t result = inputs.installing ? RegisterRoot(engine, manager, inputs, &failed_hr)
                                           : ConnectRoot(engine, manager, job, &failed_hr);
  if (failed_hr != S_OK) {
    LogF(sink, kLogVerbose,
         u"Registering sync provider for directory '%s' has finished with an error (OS error code 0x%x)",
         inputs.root, static_cast<uint32_t>(failed_hr));
  } else {
    LogF(sink, kLogVerbose, u"Registering sync provider for directory '%s' has finished", inputs.root);
  }
  if (result != kOk) engine.diag.Record(result, ResultMessage(result));
  return result;
}

int32_t RegisterShellSyncRoot(EngineCore& engine, const RegistrationInputs& inputs) {
  LogSink* sink = engine.diag.log_sink();
  Log(sink, kLogVerbose, u"Registering sync provider in Windows shell...");
  std::u16string id;
  if (!BuildSyncRootId(inputs, &id)) return kErrInitFailed;
  if (inputs.has_item_domain && !IsDirectory(inputs.root) && !CreateDirectoryW(inputs.root.c_str(), nullptr)) {
    LogF(sink, kLogVerbose, u"Failed to create directory '%s' for a root", inputs.root);
    return kErrInitFailed;
  }
  StorageProviderSyncRootInfo info;
  LogF(sink, kLogVerbose, u"Sync folder label: %s", inputs.label);
  info.DisplayNameResource = inputs.label;
  info.IconResource = inputs.icon;
  info.HydrationPolicy = kRootHydration;
  info.HydrationPolicyModifier = kRootHydrationModifier;
  info.PopulationPolicy = inputs.on_demand ? kPopulationPolicyFull : kPopulationPolicyAlwaysFull;
  info.InSyncPolicy = kRootInSync;
  info.Version = inputs.provider_version;
  info.ShowSiblingsAsGroup = false;
  info.AllowPinning = true;
  info.HardlinkPolicy = kRootHardLinks;
  if (!inputs.recycle_bin_url.empty()) info.RecycleBinUri = inputs.recycle_bin_url;
  LogF(sink, kLogVerbose, u"Sync Root Id is %s", id);
  info.Id = id;
  info.Path = inputs.root;
  const HRESULT hr = StorageProviderSyncRootManager::Register(info);
  if (ShellUnavailable(sink, hr)) return kOk;
  if (FAILED(hr)) {
    LogF(sink, kLogVerbose, u"Registering sync provider in Windows shell failed. Error code: 0x%x",
         static_cast<uint32_t>(hr));
    return hr;
  }
  if (inputs.wait_for_install_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(inputs.wait_for_install_ms));
  }
  return kOk;
}

int32_t UnregisterShellSyncRoot(EngineCore& engine, const RegistrationInputs& inputs) {
  LogSink* sink = engine.diag.log_sink();
  Log(sink, kLogVerbose, u"Unregistering sync provider from Windows shell...");
  std::u16string id;
  if (!BuildSyncRootId(inputs, &id)) return kOk;
  LogF(sink, kLogVerbose, u"Sync Root Id is %s", id);
  const HRESULT hr = StorageProviderSyncRootManager::Unregister(id);
  if (ShellUnavailable(sink, hr)) return kOk;
  if (SUCCEEDED(hr)) {
    Log(sink, kLogVerbose, u"Unregistering sync provider from Windows shell succeeded");
    return kOk;
  }
  if (hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) {
    Log(sink, kLogVerbose,
        u"Unregistering sync provider from Windows shell succeeded with CfApi returning ERROR_NOT_FOUND ('No such "
        u"element')");
    return kOk;
  }
  LogF(sink, kLogVerbose, u"Unregistering sync provider from Windows shell failed. Error code: 0x%x",
       static_cast<uint32_t>(hr));
  engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
  return engine.diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
}

bool RemoveStaleShellRegistration(EngineCore& engine, const RegistrationInputs& inputs) {
  std::u16string id;
  if (!BuildSyncRootId(inputs, &id)) return false;
  StorageProviderSyncRootInfo registered;
  if (FAILED(StorageProviderSyncRootManager::GetSyncRootInformationForId(id, registered))) return false;
  // The id may belong to another folder that is still a sync root: that
  // registration is not stale.
  PlaceholderManager manager(engine.diag);
  if (!EqualPathText(registered.Path, inputs.root) && manager.IsSyncRoot(registered.Path.c_str())) return false;
  LogF(engine.diag.log_sink(), kLogVerbose, u"Removing stale shell registration '%s' of '%s'", id, registered.Path);
  return SUCCEEDED(StorageProviderSyncRootManager::Unregister(id));
}

void DisconnectSyncRoot(EngineCore& engine) {
  if (!engine.root_connection) return;
  if (engine.root_connection->connection != nullptr) {
    if (engine.placeholder_manager) {
      engine.placeholder_manager->DisconnectPlaceholderRoot(engine.root_connection->connection);
    } else {
      PlaceholderManager manager(engine.diag);
      manager.DisconnectPlaceholderRoot(engine.root_connection->connection);
    }
  }
  engine.root_connection.reset();
}

}  // namespace corvane
