#include "platform/windows/cldapi.h"

#include "platform/windows/win32.h"

namespace corvane::platform::windows {
namespace {

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& fn) {
  // GetProcAddress returns a generic FARPROC; the target type is cf_api.h's.
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

CloudFilesApi Load() {
  CloudFilesApi api;
  // System32 only: a cldapi.dll planted next to the application must not load.
  HMODULE module = ::LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return api;
  Resolve(module, "CfRegisterSyncRoot", api.RegisterSyncRoot);
  Resolve(module, "CfUnregisterSyncRoot", api.UnregisterSyncRoot);
  Resolve(module, "CfGetSyncRootInfoByPath", api.GetSyncRootInfoByPath);
  Resolve(module, "CfConnectSyncRoot", api.ConnectSyncRoot);
  Resolve(module, "CfDisconnectSyncRoot", api.DisconnectSyncRoot);
  Resolve(module, "CfCreatePlaceholders", api.CreatePlaceholders);
  Resolve(module, "CfConvertToPlaceholder", api.ConvertToPlaceholder);
  Resolve(module, "CfUpdatePlaceholder", api.UpdatePlaceholder);
  Resolve(module, "CfHydratePlaceholder", api.HydratePlaceholder);
  Resolve(module, "CfDehydratePlaceholder", api.DehydratePlaceholder);
  Resolve(module, "CfGetPlaceholderInfo", api.GetPlaceholderInfo);
  Resolve(module, "CfGetPlaceholderStateFromFindData", api.GetPlaceholderStateFromFindData);
  Resolve(module, "CfSetPinState", api.SetPinState);
  Resolve(module, "CfSetInSyncState", api.SetInSyncState);
  Resolve(module, "CfExecute", api.Execute);
  Resolve(module, "CfReportProviderProgress", api.ReportProviderProgress);
  Resolve(module, "CfOpenFileWithOplock", api.OpenFileWithOplock);
  Resolve(module, "CfCloseHandle", api.CloseHandle);
  return api;
}

}  // namespace

const CloudFilesApi& CloudFiles() {
  static const CloudFilesApi api = Load();  // C++11 magic statics: once, thread-safe
  return api;
}

}  // namespace corvane::platform::windows
