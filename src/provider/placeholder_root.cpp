// Sync-root operations of the placeholder manager: connection with the
// callback table, registration with the platform, and the search scope.
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/search.h"
#include "provider/placeholder_manager.h"

namespace corvane {

using namespace platform;

namespace {

constexpr HRESULT kNotUnderSyncRoot = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
constexpr HRESULT kSearchDisabled = HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED);
constexpr DWORD kSyncRootInfoBufferSize = 1064;
// The policies without the placeholder-management member.
constexpr DWORD kSyncPoliciesShortSize = 20;
static_assert(offsetof(CF_SYNC_POLICIES, PlaceholderManagement) == kSyncPoliciesShortSize);

bool EqualIgnoringCase(const char16_t* a, const char16_t* b) {
  if (a == nullptr || b == nullptr) return a == b;
  for (;; ++a, ++b) {
    char16_t x = *a, y = *b;
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// The registered name fields are fixed arrays that may lack their NUL.
std::u16string FixedText(const char16_t* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n] != 0) ++n;
  return std::u16string(text, n);
}

bool SameRegistration(const CF_SYNC_ROOT_STANDARD_INFO& info, const RegisterRootRequest& request) {
  const std::u16string name = FixedText(info.ProviderName, CF_MAX_PROVIDER_NAME_LENGTH + 1);
  const std::u16string version = FixedText(info.ProviderVersion, CF_MAX_PROVIDER_VERSION_LENGTH + 1);
  const char16_t* wanted_name = request.provider_name != nullptr ? request.provider_name : u"";
  const char16_t* wanted_version = request.provider_version != nullptr ? request.provider_version : u"";
  return info.HardLinkPolicy == request.hard_link_policy && info.InSyncPolicy == request.in_sync_policy &&
         info.HydrationPolicy.Primary == request.hydration_primary &&
         info.HydrationPolicy.Modifier == request.hydration_modifier &&
         info.PopulationPolicy.Primary == request.population_primary &&
         info.PopulationPolicy.Modifier == request.population_modifier &&
         EqualIgnoringCase(name.c_str(), wanted_name) && EqualIgnoringCase(version.c_str(), wanted_version);
}

// The platform answers for any folder under a root too: only a folder whose
// own file id is the root's is the root.
bool IsTheRegisteredRoot(const char16_t* path, LARGE_INTEGER sync_root_file_id) {
  const Handle folder =
      CreateFileW(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, INVALID_HANDLE_VALUE);
  if (folder == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION file_info;
  const bool read = GetFileInformationByHandle(folder, &file_info) != 0;
  CloseHandle(folder);
  const int64_t file_id =
      static_cast<int64_t>((static_cast<uint64_t>(file_info.nFileIndexHigh) << 32) | file_info.nFileIndexLow);
  return read && file_id == sync_root_file_id;
}

}  // namespace

HRESULT PlaceholderManager::ConnectPlaceholderRoot(ConnectRootRequest* request, void* provider,
                                                   const PlaceholderCallbackEntries& entries) {
  if (request == nullptr || request->size != sizeof(ConnectRootRequest) || request->sync_root_path == nullptr ||
      request->callback_context == nullptr) {
    LogExit(E_INVALIDARG, u"ConnectPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"ConnectPlaceholderRoot called '%s', flags: 0x%x", request->sync_root_path,
       request->connect_flags);

  auto connection = std::make_unique<RootConnection>();
  connection->callback_context = request->callback_context;
  connection->provider = provider;

  const bool delete_rename = request->delete_rename_notifications != 0;
  const bool open_close = request->open_close_notifications != 0;
  // Only callbacks the provider implements go into the table: the platform
  // refuses an entry without a function.
  const CF_CALLBACK_REGISTRATION wanted[] = {
      {CF_CALLBACK_TYPE_FETCH_DATA, entries.fetch_data},
      {CF_CALLBACK_TYPE_VALIDATE_DATA, entries.validate_data},
      {CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, entries.cancel_fetch_data},
      {CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS, entries.fetch_placeholders},
      {CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS, entries.cancel_fetch_placeholders},
      {CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE, entries.dehydrate},
      {CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION, entries.dehydrate_completion},
      {CF_CALLBACK_TYPE_NOTIFY_DELETE, delete_rename ? entries.delete_entry : nullptr},
      {CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION, delete_rename ? entries.delete_completion : nullptr},
      {CF_CALLBACK_TYPE_NOTIFY_RENAME, delete_rename ? entries.rename : nullptr},
      {CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION, delete_rename ? entries.rename_completion : nullptr},
      {CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION, open_close ? entries.open_completion : nullptr},
      {CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, open_close ? entries.close_completion : nullptr},
  };
  CF_CALLBACK_REGISTRATION table[std::size(wanted) + 1];
  size_t used = 0;
  for (const CF_CALLBACK_REGISTRATION& entry : wanted) {
    if (entry.Callback != nullptr) table[used++] = entry;
  }
  table[used] = CF_CALLBACK_REGISTRATION_END;

  CF_CONNECTION_KEY key;
  const HRESULT hr =
      CfConnectSyncRoot(request->sync_root_path, table, connection.get(), request->connect_flags, &key);
  if (SUCCEEDED(hr)) {
    connection->key = key;
    request->connection = connection.release();
  }
  LogExit(hr, u"ConnectPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::DisconnectPlaceholderRoot(RootConnection* connection) {
  if (connection == nullptr) return E_INVALIDARG;
  std::unique_ptr<RootConnection> owned(connection);
  LogF(sink(), kLogCloudTrace, u"DisconnectPlaceholderRoot called for handle 0x%x", owned->key.Internal);
  return CfDisconnectSyncRoot(owned->key);
}

HRESULT PlaceholderManager::RegisterPlaceholderRoot(const RegisterRootRequest* request) {
  if (request == nullptr || request->size != sizeof(RegisterRootRequest) || request->sync_root_path == nullptr) {
    LogExit(E_INVALIDARG, u"RegisterPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  const char16_t* path = request->sync_root_path;
  LogF(sink(), kLogCloudTrace, u"RegisterPlaceholderRoot called for '%s', flags: 0x%x", path, 1);

  // Indexing is a convenience for the shell; registration goes on without it.
  const HRESULT index_hr = SetupFolderForIndex(path, true);
  if (SUCCEEDED(index_hr)) {
    LogF(sink(), kLogCloudTrace, u"SetupFolderForIndex '%s' ok", path);
  } else {
    LogF(sink(), kLogCloudTrace, u"SetupFolderForIndex called for '%s' returned 0x%x", path,
         static_cast<uint32_t>(index_hr));
  }

  std::vector<uint64_t> buffer(kSyncRootInfoBufferSize / sizeof(uint64_t));
  HRESULT hr = CfGetSyncRootInfoByPath(path, CF_SYNC_ROOT_INFO_STANDARD, buffer.data(), kSyncRootInfoBufferSize,
                                       nullptr);
  // A sync-root identity longer than the buffer still leaves the fixed part
  // filled in, which is all the comparison needs.
  if (hr == HRESULT_FROM_WIN32(ERROR_MORE_DATA)) hr = S_OK;
  if (hr == kNotUnderSyncRoot) {
    LogF(sink(), kLogCloudTrace,
         u"CfGetSyncRootInfoByPath called for '%s' returned ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT, which is expected",
         path);
  } else if (FAILED(hr)) {
    LogF(sink(), kLogVerbose, u"CfGetSyncRootInfoByPath called for '%s' returned 0x%x", path,
         static_cast<uint32_t>(hr));
  } else {
    const auto& existing = *reinterpret_cast<const CF_SYNC_ROOT_STANDARD_INFO*>(buffer.data());
    if (IsTheRegisteredRoot(path, existing.SyncRootFileId) && SameRegistration(existing, *request)) return S_OK;
  }

  CF_SYNC_REGISTRATION registration;
  registration.ProviderName = request->provider_name;
  registration.ProviderVersion = request->provider_version;
  CF_SYNC_POLICIES policies;
  policies.StructSize = kSyncPoliciesShortSize;
  policies.Hydration.Primary = request->hydration_primary;
  policies.Hydration.Modifier = request->hydration_modifier;
  policies.Population.Primary = request->population_primary;
  policies.Population.Modifier = request->population_modifier;
  policies.InSync = request->in_sync_policy;
  policies.HardLink = request->hard_link_policy;

  LogF(sink(), kLogCloudTrace, u"RegisterPlaceholderRoot name:'%s' version:'%s'", request->provider_name,
       request->provider_version);
  LogF(sink(), kLogCloudTrace, u"RegisterPlaceholderRoot flags:0x%08X path:'%s'", request->register_flags, path);
  LogF(sink(), kLogCloudTrace, u"RegisterPlaceholderRoot pop.primary:0x%04hX pop.mod:0x%04hX",
       static_cast<uint32_t>(request->population_primary), static_cast<uint32_t>(request->population_modifier));
  LogF(sink(), kLogCloudTrace, u"RegisterPlaceholderRoot hyd.primary:0x%04hX hyd.mod:0x%04hX",
       static_cast<uint32_t>(request->hydration_primary), static_cast<uint32_t>(request->hydration_modifier));

  hr = CfRegisterSyncRoot(path, &registration, &policies, request->register_flags);
  if (SUCCEEDED(hr)) {
    LogF(sink(), kLogCloudTrace, u"RegisterPlaceholderRoot result code: 0x%x", static_cast<uint32_t>(hr));
  } else {
    LogExit(hr, u"CfRegisterSyncRoot called for '%s' returned 0x%x", {path, static_cast<uint32_t>(hr)});
  }
  return hr;
}

HRESULT PlaceholderManager::UnregisterPlaceholderRoot(const char16_t* path) {
  if (path == nullptr) {
    LogExit(E_INVALIDARG, u"UnregisterPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"UnregisterPlaceholderRoot called for '%s'", path);
  // The search scope goes first, whether or not the folder is still a root:
  // like at registration it is a convenience, so its failure is only logged
  // and never reported for a root that is already gone.
  const HRESULT index_hr = SetupFolderForIndex(path, false);
  if (FAILED(index_hr)) {
    LogF(sink(), kLogVerbose, u"SetupFolderForIndex called for '%s' returned 0x%x", path,
         static_cast<uint32_t>(index_hr));
  }
  HRESULT hr = CfUnregisterSyncRoot(path);
  if (hr == kNotUnderSyncRoot) hr = S_OK;
  LogExit(hr, u"UnregisterPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::SetupFolderForIndex(const char16_t* path, bool add) {
  if (path == nullptr) return E_INVALIDARG;
  std::u16string_view local(path);
  if (local.substr(0, 4) == u"\\\\?\\") local.remove_prefix(4);
  std::u16string url = u"file:///";
  url += local;

  std::unique_ptr<SearchCrawlScopeManager> scopes;
  HRESULT hr = OpenSearchCrawlScopeManager(u"SystemIndex", scopes);
  if (hr == kSearchDisabled) {
    LogF(sink(), kLogMilestone, u"SetupFolderForIndex called for '%s' failed as Windows Search service is disabled",
         path);
    return S_OK;
  }
  if (FAILED(hr)) return hr;
  if (!scopes) return E_FAIL;
  hr = add ? scopes->AddDefaultScopeRule(url, true, FF_INDEXCOMPLEXURLS) : scopes->RemoveDefaultScopeRule(url);
  if (FAILED(hr)) return hr;
  return scopes->SaveAll();
}

bool PlaceholderManager::IsSyncRoot(const char16_t* path) {
  if (path == nullptr) return false;
  CF_SYNC_ROOT_BASIC_INFO info;
  DWORD returned = 0;
  return CfGetSyncRootInfoByPath(path, CF_SYNC_ROOT_INFO_BASIC, &info, sizeof info, &returned) == S_OK &&
         IsTheRegisteredRoot(path, info.SyncRootFileId);
}

}  // namespace corvane
