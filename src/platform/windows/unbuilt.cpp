// Temporary: removed when the cloud-files bindings land. Until then every
// cloud-files, directory-change, shell-registration and search call fails
// with E_NOTIMPL (or ERROR_CALL_NOT_IMPLEMENTED), so the library reports a
// clear failure instead of linking without them.
#include "platform/change_attributes.h"
#include "platform/cloud_files.h"
#include "platform/directory_changes.h"
#include "platform/search.h"
#include "platform/shell.h"

namespace corvane::platform {
namespace {
constexpr DWORD kNotImplemented = 120;  // ERROR_CALL_NOT_IMPLEMENTED
}  // namespace

HRESULT CfRegisterSyncRoot(const char16_t*, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, CF_REGISTER_FLAGS) {
  return E_NOTIMPL;
}
HRESULT CfUnregisterSyncRoot(const char16_t*) { return E_NOTIMPL; }
HRESULT CfGetSyncRootInfoByPath(const char16_t*, CF_SYNC_ROOT_INFO_CLASS, void*, DWORD, DWORD*) { return E_NOTIMPL; }
HRESULT CfConnectSyncRoot(const char16_t*, const CF_CALLBACK_REGISTRATION*, const void*, CF_CONNECT_FLAGS,
                          CF_CONNECTION_KEY*) {
  return E_NOTIMPL;
}
HRESULT CfDisconnectSyncRoot(CF_CONNECTION_KEY) { return E_NOTIMPL; }
HRESULT CfCreatePlaceholders(const char16_t*, CF_PLACEHOLDER_CREATE_INFO*, DWORD, CF_CREATE_FLAGS, DWORD* processed) {
  if (processed != nullptr) *processed = 0;
  return E_NOTIMPL;
}
HRESULT CfConvertToPlaceholder(Handle, const void*, DWORD, CF_CONVERT_FLAGS, USN*, void*) { return E_NOTIMPL; }
HRESULT CfUpdatePlaceholder(Handle, const CF_FS_METADATA*, const void*, DWORD, const CF_FILE_RANGE*, DWORD,
                            CF_UPDATE_FLAGS, USN*, void*) {
  return E_NOTIMPL;
}
HRESULT CfHydratePlaceholder(Handle, LARGE_INTEGER, LARGE_INTEGER, CF_HYDRATE_FLAGS, void*) { return E_NOTIMPL; }
HRESULT CfDehydratePlaceholder(Handle, LARGE_INTEGER, LARGE_INTEGER, CF_DEHYDRATE_FLAGS, void*) { return E_NOTIMPL; }
HRESULT CfGetPlaceholderInfo(Handle, CF_PLACEHOLDER_INFO_CLASS, void*, DWORD, DWORD*) { return E_NOTIMPL; }
CF_PLACEHOLDER_STATE CfGetPlaceholderStateFromFindData(const WIN32_FIND_DATAW*) { return CF_PLACEHOLDER_STATE_INVALID; }
HRESULT CfSetPinState(Handle, CF_PIN_STATE, CF_SET_PIN_FLAGS, void*) { return E_NOTIMPL; }
HRESULT CfSetInSyncState(Handle, CF_IN_SYNC_STATE, CF_SET_IN_SYNC_FLAGS, USN*) { return E_NOTIMPL; }
HRESULT CfExecute(const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*) { return E_NOTIMPL; }
HRESULT CfReportProviderProgress(CF_CONNECTION_KEY, CF_TRANSFER_KEY, LARGE_INTEGER, LARGE_INTEGER) { return E_NOTIMPL; }
HRESULT CfOpenFileWithOplock(const char16_t*, CF_OPEN_FILE_FLAGS, Handle* handle) {
  if (handle != nullptr) *handle = INVALID_HANDLE_VALUE;
  return E_NOTIMPL;
}
void CfCloseHandle(Handle) {}

struct DirectoryChangeWatch::Impl {};
DirectoryChangeWatch::DirectoryChangeWatch() = default;
DirectoryChangeWatch::~DirectoryChangeWatch() = default;
DWORD DirectoryChangeWatch::Open(std::u16string_view) { return kNotImplemented; }
DWORD DirectoryChangeWatch::Request(void*, DWORD, bool, DWORD) { return kNotImplemented; }
DWORD DirectoryChangeWatch::Wait(DWORD) { return kWaitFailed; }
DWORD DirectoryChangeWatch::GetResult(DWORD& bytes) {
  bytes = 0;
  return kNotImplemented;
}
void DirectoryChangeWatch::Close() {}
void DirectoryChangeWatch::SetAttributeReader(AttributeReader) {}
AttributeReader FileLayerAttributeReader() { return {}; }

HRESULT StorageProviderSyncRootManager::Register(const StorageProviderSyncRootInfo&) { return E_NOTIMPL; }
HRESULT StorageProviderSyncRootManager::Unregister(std::u16string_view) { return E_NOTIMPL; }

SearchCrawlScopeManager::SearchCrawlScopeManager(std::u16string catalog) : catalog_(std::move(catalog)) {}
HRESULT SearchCrawlScopeManager::AddDefaultScopeRule(std::u16string_view, bool, DWORD) { return E_NOTIMPL; }
HRESULT SearchCrawlScopeManager::RemoveDefaultScopeRule(std::u16string_view) { return E_NOTIMPL; }
HRESULT SearchCrawlScopeManager::SaveAll() { return E_NOTIMPL; }
HRESULT OpenSearchCrawlScopeManager(std::u16string_view, std::unique_ptr<SearchCrawlScopeManager>& manager) {
  manager.reset();
  return E_NOTIMPL;
}

}  // namespace corvane::platform
