// The cloud-files, directory-change, shell and search bindings against the
// real system. Under Wine there is no cldapi.dll, no Windows Runtime class
// and no search service: each must answer with its documented code. Directory
// changes are real on both (Wine has only the short-record call).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/directory_changes.h"
#include "platform/search.h"
#include "platform/shell.h"
#include "platform/windows/cldapi.h"
#include "platform/windows/winrt.h"
#include "windows/temp_folder.h"
// Windows' headers come last: they redefine names the headers above use.
#include "platform/windows/win32.h"

namespace corvane::testing {
namespace {

namespace cp = corvane::platform;

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

void Touch(const std::u16string& path, const char* text) {
  HANDLE file = ::CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ::DWORD written = 0;
  ::WriteFile(file, text, static_cast<::DWORD>(std::strlen(text)), &written, nullptr);
  ::CloseHandle(file);
}

TEST(CloudFilesBinding, WithoutCldapiEveryCallFailsWithItsCode) {
  HMODULE cldapi = ::LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (cldapi != nullptr) {
    ::FreeLibrary(cldapi);
    GTEST_SKIP() << "cldapi.dll is present on this system";
  }
  const cp::HRESULT unavailable = cp::windows::kCloudFilesUnavailable;
  cp::CF_SYNC_REGISTRATION registration;
  cp::CF_SYNC_POLICIES policies;
  EXPECT_EQ(cp::CfRegisterSyncRoot(u"C:\\", &registration, &policies, 0), unavailable);
  const cp::CF_CALLBACK_REGISTRATION table[] = {cp::CF_CALLBACK_REGISTRATION_END};
  cp::CF_CONNECTION_KEY key;
  EXPECT_EQ(cp::CfConnectSyncRoot(u"C:\\", table, nullptr, 0, &key), unavailable);
  cp::CF_SYNC_ROOT_BASIC_INFO basic;
  cp::DWORD returned = 0;
  EXPECT_EQ(cp::CfGetSyncRootInfoByPath(u"C:\\", cp::CF_SYNC_ROOT_INFO_BASIC, &basic, sizeof basic, &returned),
            unavailable);
  cp::CF_OPERATION_INFO info;
  cp::CF_OPERATION_PARAMETERS params{};
  EXPECT_EQ(cp::CfExecute(&info, &params), unavailable);
}

class DirectoryChanges : public ::testing::Test {
 protected:
  static constexpr cp::DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                       FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;

  void Reissue() { ASSERT_EQ(watch.Request(buffer.data(), kBufferSize, true, kFilter), 0u); }

  // Collects records until one with `action` on `name` arrives (2 s at most).
  bool WaitFor(cp::DWORD action, const std::u16string& name, cp::DWORD* attributes = nullptr) {
    for (int slice = 0; slice < 40; ++slice) {
      if (watch.Wait(50) != cp::kWaitSignalled) continue;
      cp::DWORD bytes = 0;
      const cp::DWORD error = watch.GetResult(bytes);
      bool seen = false;
      for (size_t at = 0; error == 0 && bytes > 0;) {
        const auto* record =
            reinterpret_cast<const cp::FILE_NOTIFY_EXTENDED_INFORMATION*>(reinterpret_cast<char*>(buffer.data()) + at);
        if (record->Action == action && std::u16string(record->FileName, record->FileNameLength / 2) == name) {
          seen = true;
          if (attributes != nullptr) *attributes = record->FileAttributes;
        }
        if (record->NextEntryOffset == 0) break;
        at += record->NextEntryOffset;
      }
      Reissue();
      if (seen) return true;
    }
    return false;
  }

  static constexpr cp::DWORD kBufferSize = 64 * 1024;
  TempFolder root;
  cp::DirectoryChangeWatch watch;
  std::vector<uint64_t> buffer = std::vector<uint64_t>(kBufferSize / 8);
};

TEST_F(DirectoryChanges, OpenReportsMissingFoldersAndFiles) {
  EXPECT_EQ(watch.Open(root.Path(u"missing")), static_cast<cp::DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(watch.Open(root.Path(u"missing\\deeper")), static_cast<cp::DWORD>(ERROR_PATH_NOT_FOUND));
  Touch(root.Path(u"file"), "x");
  EXPECT_EQ(watch.Open(root.Path(u"file")), static_cast<cp::DWORD>(ERROR_DIRECTORY));
}

TEST_F(DirectoryChanges, CreateRenameDeleteArriveAsExtendedRecords) {
  ASSERT_EQ(watch.Open(root.Path()), 0u);
  Reissue();
  cp::DWORD bytes = 0;
  EXPECT_EQ(watch.GetResult(bytes), static_cast<cp::DWORD>(ERROR_IO_INCOMPLETE));

  Touch(root.Path(u"a.txt"), "hello");
  cp::DWORD attributes = 0;
  ASSERT_TRUE(WaitFor(FILE_ACTION_ADDED, u"a.txt", &attributes));
  // The item's own attributes, whichever call made the record.
  EXPECT_NE(attributes, 0u);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

  ASSERT_TRUE(::MoveFileW(Wide(root.Path(u"a.txt")), Wide(root.Path(u"b.txt"))));
  EXPECT_TRUE(WaitFor(FILE_ACTION_RENAMED_NEW_NAME, u"b.txt"));
  ASSERT_TRUE(::DeleteFileW(Wide(root.Path(u"b.txt"))));
  EXPECT_TRUE(WaitFor(FILE_ACTION_REMOVED, u"b.txt"));

  // Closing with a request outstanding cancels it and lets go of the folder.
  watch.Close();
  EXPECT_EQ(watch.Wait(10), cp::kWaitFailed);
  watch.Close();
  EXPECT_TRUE(::RemoveDirectoryW(Wide(root.Path())));
}

TEST_F(DirectoryChanges, RecordsThatCannotFitAskForARescan) {
  ASSERT_EQ(watch.Open(root.Path()), 0u);
  ASSERT_EQ(watch.Request(buffer.data(), 128, true, FILE_NOTIFY_CHANGE_FILE_NAME), 0u);
  Touch(root.Path(std::u16string(60, u'n') + u".txt"), "x");
  ASSERT_EQ(watch.Wait(2000), cp::kWaitSignalled);
  cp::DWORD bytes = 1;
  EXPECT_EQ(watch.GetResult(bytes), static_cast<cp::DWORD>(ERROR_NOTIFY_ENUM_DIR));
  EXPECT_EQ(bytes, 0u);
}

TEST(SyncRootRegistration, BadInputIsRefusedAndAMissingRuntimeIsReported) {
  TempFolder folder;
  cp::StorageProviderSyncRootInfo info;
  info.Id = u"Corvane.PlatformTest!S-1-5-21!Account";
  info.Path = folder.Path();
  info.DisplayNameResource = u"Platform test";
  info.HydrationPolicy = cp::kHydrationPolicyFull;
  info.AllowPinning = true;

  cp::StorageProviderSyncRootInfo bad = info;
  bad.Id = u"a\\b";
  EXPECT_EQ(cp::StorageProviderSyncRootManager::Register(bad), E_INVALIDARG);
  bad = info;
  bad.Path = folder.Path(u"missing");
  EXPECT_EQ(cp::StorageProviderSyncRootManager::Register(bad), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  const cp::HRESULT registered = cp::StorageProviderSyncRootManager::Register(info);
  if (registered != cp::windows::kWinRtUnavailable) {
    // A real shell: the registration reads back and goes away again.
    ASSERT_EQ(registered, S_OK);
    cp::StorageProviderSyncRootInfo back;
    EXPECT_EQ(cp::StorageProviderSyncRootManager::GetSyncRootInformationForId(info.Id, back), S_OK);
    EXPECT_EQ(back.HydrationPolicy, cp::kHydrationPolicyFull);
    EXPECT_TRUE(back.AllowPinning);
    EXPECT_EQ(cp::StorageProviderSyncRootManager::Unregister(info.Id), S_OK);
    EXPECT_EQ(cp::StorageProviderSyncRootManager::Unregister(info.Id), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    return;
  }
  cp::StorageProviderSyncRootInfo none;
  EXPECT_EQ(cp::StorageProviderSyncRootManager::GetSyncRootInformationForId(info.Id, none), registered);
  std::vector<cp::StorageProviderSyncRootInfo> roots;
  EXPECT_EQ(cp::StorageProviderSyncRootManager::GetCurrentSyncRoots(roots), registered);
  EXPECT_TRUE(roots.empty());
  EXPECT_EQ(cp::StorageProviderSyncRootManager::Unregister(info.Id), registered);
}

TEST(SearchCrawlScope, WithoutTheServiceTheCallsSaySoAndNothingIsKept) {
  std::unique_ptr<cp::SearchCrawlScopeManager> manager;
  const cp::HRESULT opened = cp::OpenSearchCrawlScopeManager(u"SystemIndex", manager);
  if (opened == S_OK) GTEST_SKIP() << "a search service is running";
  const cp::HRESULT disabled = HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED);
  EXPECT_EQ(opened, disabled);
  EXPECT_EQ(manager, nullptr);
  std::vector<cp::CrawlScopeRule> rules;
  EXPECT_EQ(cp::ListDefaultScopeRules(u"SystemIndex", rules), disabled);
  cp::SearchCrawlScopeManager offline(u"SystemIndex");
  EXPECT_EQ(offline.AddDefaultScopeRule(u"not a url", true, 0), E_INVALIDARG);
  EXPECT_EQ(offline.AddDefaultScopeRule(u"file:///C:/Root/", true, 0), S_OK);
  EXPECT_EQ(offline.SaveAll(), disabled);
}

}  // namespace
}  // namespace corvane::testing
