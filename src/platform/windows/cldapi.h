// cldapi.dll, loaded on first use. Windows without the Cloud Files API (or
// Wine) has no cldapi.dll; every call then fails with kCloudFilesUnavailable
// instead of failing to load the whole library.
#pragma once

#include "platform/types.h"
#include "platform/windows/cf_api.h"

namespace corvane::platform::windows {

// What every Cf* call returns when cldapi.dll or the entry point it needs is
// missing: HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_SUPPORTED), 0x8007017B.
constexpr HRESULT kCloudFilesUnavailable = HRESULT_FROM_WIN32(379);

struct CloudFilesApi {
  cf::CfRegisterSyncRootFn RegisterSyncRoot = nullptr;
  cf::CfUnregisterSyncRootFn UnregisterSyncRoot = nullptr;
  cf::CfGetSyncRootInfoByPathFn GetSyncRootInfoByPath = nullptr;
  cf::CfConnectSyncRootFn ConnectSyncRoot = nullptr;
  cf::CfDisconnectSyncRootFn DisconnectSyncRoot = nullptr;
  cf::CfCreatePlaceholdersFn CreatePlaceholders = nullptr;
  cf::CfConvertToPlaceholderFn ConvertToPlaceholder = nullptr;
  cf::CfUpdatePlaceholderFn UpdatePlaceholder = nullptr;
  cf::CfHydratePlaceholderFn HydratePlaceholder = nullptr;
  cf::CfDehydratePlaceholderFn DehydratePlaceholder = nullptr;
  cf::CfGetPlaceholderInfoFn GetPlaceholderInfo = nullptr;
  cf::CfGetPlaceholderStateFromFindDataFn GetPlaceholderStateFromFindData = nullptr;
  cf::CfSetPinStateFn SetPinState = nullptr;
  cf::CfSetInSyncStateFn SetInSyncState = nullptr;
  cf::CfExecuteFn Execute = nullptr;
  cf::CfReportProviderProgressFn ReportProviderProgress = nullptr;
  cf::CfOpenFileWithOplockFn OpenFileWithOplock = nullptr;
  cf::CfCloseHandleFn CloseHandle = nullptr;
};

// Resolved once, thread-safely; the DLL stays loaded for the process. An
// entry point cldapi.dll lacks stays null.
const CloudFilesApi& CloudFiles();

}  // namespace corvane::platform::windows
