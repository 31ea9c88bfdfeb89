// Registration of a sync root with the shell, after the Windows Runtime's
// StorageProviderSyncRootManager. A registration survives the process and
// leaves the registry entries Windows leaves:
// the key <id> under kSyncRootManagerKey of HKEY_LOCAL_MACHINE with the REG_SZ
// value "NamespaceCLSID" = "{GUID}", and the key {GUID} under kClassesClsidKey
// of HKEY_CURRENT_USER.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace corvane::platform {

// StorageProviderHydrationPolicy
constexpr uint32_t kHydrationPolicyPartial = 0;
constexpr uint32_t kHydrationPolicyProgressive = 1;
constexpr uint32_t kHydrationPolicyFull = 2;
constexpr uint32_t kHydrationPolicyAlwaysFull = 3;
// StorageProviderHydrationPolicyModifier
constexpr uint32_t kHydrationPolicyModifierNone = 0;
constexpr uint32_t kHydrationPolicyModifierAutoDehydrationAllowed = 4;
// StorageProviderPopulationPolicy
constexpr uint32_t kPopulationPolicyFull = 1;
constexpr uint32_t kPopulationPolicyAlwaysFull = 2;
// StorageProviderInSyncPolicy
constexpr uint32_t kInSyncPolicyFileCreationTime = 1;
constexpr uint32_t kInSyncPolicyDirectoryCreationTime = 16;
// StorageProviderHardlinkPolicy
constexpr uint32_t kHardlinkPolicyNone = 0;
constexpr uint32_t kHardlinkPolicyAllowed = 1;

constexpr std::u16string_view kSyncRootManagerKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager";
constexpr std::u16string_view kClassesClsidKey = u"Software\\Classes\\CLSID";

struct StorageProviderSyncRootInfo {
  std::u16string Id;
  std::u16string Path;  // Windows form
  std::u16string DisplayNameResource;
  std::u16string IconResource;
  uint32_t HydrationPolicy = kHydrationPolicyPartial;
  uint32_t HydrationPolicyModifier = kHydrationPolicyModifierNone;
  uint32_t PopulationPolicy = kPopulationPolicyFull;
  uint32_t InSyncPolicy = 0;
  std::u16string Version;
  bool ShowSiblingsAsGroup = false;
  bool AllowPinning = false;
  uint32_t HardlinkPolicy = kHardlinkPolicyNone;
  std::optional<std::u16string> RecycleBinUri;
};

// Every call's answer on a system without the shell's registration service
// (Windows editions without the shell, Wine): the runtime class is missing.
constexpr HRESULT kShellRegistrationUnavailable = HRESULT_FROM_WIN32(50);  // ERROR_NOT_SUPPORTED

class StorageProviderSyncRootManager {
 public:
  // Registers or re-registers `info.Id`. E_INVALIDARG for an empty id or one
  // with a backslash; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND /
  // ERROR_PATH_NOT_FOUND / ERROR_DIRECTORY) when Path is not a folder.
  static HRESULT Register(const StorageProviderSyncRootInfo& info);
  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for an id that is not registered.
  static HRESULT Unregister(std::u16string_view id);
  static HRESULT GetSyncRootInformationForId(std::u16string_view id, StorageProviderSyncRootInfo& info);
  static HRESULT GetCurrentSyncRoots(std::vector<StorageProviderSyncRootInfo>& roots);
};

}  // namespace corvane::platform
