#include "platform/shell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/error_mark.h"
#include "platform/local/native_path.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform_local_services/child_process.h"
#include "platform_local_services/temp_dirs.h"

namespace corvane::platform {
namespace {

using testing::InChildProcess;
using testing::TempDir;

const HRESULT kNotFound = static_cast<HRESULT>(0x80070490);

std::u16string ManagerKey(const std::u16string& id) {
  return std::u16string(kSyncRootManagerKey) + u"\\" + id;
}

// The NamespaceCLSID value of a registration, empty when there is none.
std::u16string NamespaceClsid(const std::u16string& id) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ManagerKey(id).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char16_t buffer[128] = {};
  DWORD size = sizeof buffer, type = 0;
  const LSTATUS status =
      RegQueryValueExW(key, u"NamespaceCLSID", nullptr, &type, reinterpret_cast<uint8_t*>(buffer), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ ? std::u16string(buffer) : std::u16string();
}

bool KeyExists(HKEY root, const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class ShellTest : public ::testing::Test {
 protected:
  StorageProviderSyncRootInfo Info(const std::u16string& id) {
    StorageProviderSyncRootInfo info;
    info.Id = id;
    info.Path = local::FromNativePath(folder_.path());
    info.DisplayNameResource = u"Label";
    info.IconResource = u",0";
    info.HydrationPolicy = kHydrationPolicyFull;
    info.PopulationPolicy = kPopulationPolicyAlwaysFull;
    info.InSyncPolicy = kInSyncPolicyFileCreationTime | kInSyncPolicyDirectoryCreationTime;
    info.Version = u"1.0.0.0";
    info.AllowPinning = true;
    return info;
  }

  testing::TempStateDir state_;
  TempDir folder_;
};

TEST_F(ShellTest, RegistrationIsSeenByAnotherProcessWithItsRegistryEntries) {
  StorageProviderSyncRootInfo info = Info(u"Corvane!S-1-22-1-5!Account");
  info.RecycleBinUri = u"https://example.com/bin";
  ASSERT_EQ(StorageProviderSyncRootManager::Register(info), S_OK);

  const std::u16string clsid = NamespaceClsid(info.Id);
  ASSERT_EQ(clsid.size(), 38u);
  EXPECT_EQ(clsid.front(), u'{');
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::u16string(kClassesClsidKey) + u"\\" + clsid));

  EXPECT_TRUE(InChildProcess([&] {
    StorageProviderSyncRootInfo seen;
    return StorageProviderSyncRootManager::GetSyncRootInformationForId(u"corvane!s-1-22-1-5!account", seen) == S_OK &&
           seen.Id == info.Id && seen.Path == info.Path && seen.InSyncPolicy == 17 && seen.AllowPinning &&
           !seen.ShowSiblingsAsGroup && seen.PopulationPolicy == kPopulationPolicyAlwaysFull &&
           seen.RecycleBinUri == info.RecycleBinUri;
  }));

  // Re-registering updates the record and keeps the namespace class.
  info.DisplayNameResource = u"New label";
  info.RecycleBinUri.reset();
  ASSERT_EQ(StorageProviderSyncRootManager::Register(info), S_OK);
  EXPECT_EQ(NamespaceClsid(info.Id), clsid);
  std::vector<StorageProviderSyncRootInfo> roots;
  ASSERT_EQ(StorageProviderSyncRootManager::GetCurrentSyncRoots(roots), S_OK);
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].DisplayNameResource, u"New label");
  EXPECT_FALSE(roots[0].RecycleBinUri.has_value());

  ASSERT_EQ(StorageProviderSyncRootManager::Unregister(info.Id), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ManagerKey(info.Id)));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::u16string(kClassesClsidKey) + u"\\" + clsid));
  EXPECT_EQ(StorageProviderSyncRootManager::Unregister(info.Id), kNotFound);
  StorageProviderSyncRootInfo gone;
  EXPECT_EQ(StorageProviderSyncRootManager::GetSyncRootInformationForId(info.Id, gone), kNotFound);
}

}  // namespace
}  // namespace corvane::platform
