// The Windows platform against the real system calls, for Wine (and
// Windows): no Cloud Files, no search service, but real directory changes
// and a real registry. A plain program, since the Windows build has no
// GoogleTest; it prints each failed check and exits non-zero.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/directory_changes.h"
#include "platform/search.h"
#include "platform/shell.h"
#include "platform/windows/cldapi.h"
#include "platform/windows/winrt.h"
#include "platform/windows/win32.h"

namespace cp = corvane::platform;

namespace {

int failures = 0;

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) {                                                   \
      std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string TempFolder(const char16_t* name) {
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  std::u16string path(reinterpret_cast<const char16_t*>(base));
  path += name;
  path += u"-" + std::u16string(1, static_cast<char16_t>(u'a' + ::GetCurrentProcessId() % 26));
  ::CreateDirectoryW(Wide(path), nullptr);
  return path;
}

void CloudFilesWithoutCldapi() {
  HMODULE cldapi = ::LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (cldapi != nullptr) {
    std::printf("skipped: cldapi.dll is present\n");
    ::FreeLibrary(cldapi);
    return;
  }
  const cp::HRESULT unavailable = corvane::platform::windows::kCloudFilesUnavailable;
  cp::CF_SYNC_REGISTRATION registration;
  cp::CF_SYNC_POLICIES policies;
  CHECK(cp::CfRegisterSyncRoot(u"C:\\", &registration, &policies, 0) == unavailable);
  const cp::CF_CALLBACK_REGISTRATION table[] = {cp::CF_CALLBACK_REGISTRATION_END};
  cp::CF_CONNECTION_KEY key;
  CHECK(cp::CfConnectSyncRoot(u"C:\\", table, nullptr, 0, &key) == unavailable);
  cp::CF_SYNC_ROOT_BASIC_INFO basic;
  cp::DWORD returned = 0;
  CHECK(cp::CfGetSyncRootInfoByPath(u"C:\\", cp::CF_SYNC_ROOT_INFO_BASIC, &basic, sizeof basic, &returned) ==
        unavailable);
  cp::CF_OPERATION_INFO info;
  cp::CF_OPERATION_PARAMETERS params{};
  CHECK(cp::CfExecute(&info, &params) == unavailable);
}

struct Change {
  cp::DWORD action;
  std::u16string name;
  cp::DWORD attributes;
  int64_t size;
};

// Collects records until `want` has been seen or two seconds pass.
bool WaitFor(cp::DirectoryChangeWatch& watch, std::vector<uint64_t>& buffer, cp::DWORD action,
             const std::u16string& name, Change* found = nullptr) {
  for (int slice = 0; slice < 40; ++slice) {
    if (watch.Wait(50) != cp::kWaitSignalled) continue;
    cp::DWORD bytes = 0;
    const cp::DWORD error = watch.GetResult(bytes);
    bool seen = false;
    if (error == 0) {
      const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
      for (;;) {
        const auto* record = reinterpret_cast<const cp::FILE_NOTIFY_EXTENDED_INFORMATION*>(at);
        const std::u16string record_name(record->FileName, record->FileNameLength / 2);
        if (record->Action == action && record_name == name) {
          seen = true;
          if (found != nullptr) *found = {record->Action, record_name, record->FileAttributes, record->FileSize};
        }
        if (record->NextEntryOffset == 0) break;
        at += record->NextEntryOffset;
      }
    }
    CHECK(watch.Request(buffer.data(), static_cast<cp::DWORD>(buffer.size() * 8), true,
                        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                            FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE) == 0);
    if (seen) return true;
  }
  return false;
}

void DirectoryChangesOfCreateRenameDelete() {
  const bool extended = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "ReadDirectoryChangesExW") != nullptr;
  std::printf("directory changes through %s\n", extended ? "ReadDirectoryChangesExW" : "ReadDirectoryChangesW");
  const std::u16string root = TempFolder(u"corvane-watch");
  cp::DirectoryChangeWatch watch;
  CHECK(watch.Open(root + u"\\missing") == ERROR_FILE_NOT_FOUND);
  CHECK(watch.Open(root + u"\\missing\\deeper") == ERROR_PATH_NOT_FOUND);
  const std::u16string file = root + u"\\a.txt";
  HANDLE handle = ::CreateFileW(Wide(file), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ::CloseHandle(handle);
  CHECK(watch.Open(file) == ERROR_DIRECTORY);
  ::DeleteFileW(Wide(file));

  CHECK(watch.Open(root) == 0);
  std::vector<uint64_t> buffer(64 * 1024 / 8);
  CHECK(watch.Request(buffer.data(), 64 * 1024, true, FILE_NOTIFY_CHANGE_FILE_NAME) == 0);
  cp::DWORD bytes = 0;
  CHECK(watch.GetResult(bytes) == ERROR_IO_INCOMPLETE);

  handle = ::CreateFileW(Wide(file), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ::DWORD written = 0;
  ::WriteFile(handle, "hello", 5, &written, nullptr);
  ::CloseHandle(handle);
  Change added{};
  CHECK(WaitFor(watch, buffer, FILE_ACTION_ADDED, u"a.txt", &added));
  // The item's own attributes, whichever way the record was made.
  CHECK(added.attributes != 0 && (added.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0);

  CHECK(::MoveFileW(Wide(file), Wide(root + u"\\b.txt")));
  CHECK(WaitFor(watch, buffer, FILE_ACTION_RENAMED_NEW_NAME, u"b.txt"));
  CHECK(::DeleteFileW(Wide(root + u"\\b.txt")));
  CHECK(WaitFor(watch, buffer, FILE_ACTION_REMOVED, u"b.txt"));

  // Records that cannot fit the caller's buffer are lost: the caller is told
  // to rescan, never handed a partial or empty batch as if nothing happened.
  for (;;) {
    if (watch.Wait(200) != cp::kWaitSignalled) break;
    watch.GetResult(bytes);
    CHECK(watch.Request(buffer.data(), 64 * 1024, true, FILE_NOTIFY_CHANGE_FILE_NAME) == 0);
  }
  watch.Close();
  CHECK(watch.Open(root) == 0);
  CHECK(watch.Request(buffer.data(), 128, true, FILE_NOTIFY_CHANGE_FILE_NAME) == 0);
  const std::u16string long_name = root + u"\\" + std::u16string(60, u'n') + u".txt";
  handle = ::CreateFileW(Wide(long_name), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ::CloseHandle(handle);
  CHECK(watch.Wait(2000) == cp::kWaitSignalled);
  CHECK(watch.GetResult(bytes) == ERROR_NOTIFY_ENUM_DIR);
  CHECK(bytes == 0);
  CHECK(::DeleteFileW(Wide(long_name)));
  CHECK(watch.Request(buffer.data(), 64 * 1024, true, FILE_NOTIFY_CHANGE_FILE_NAME) == 0);

  // Closing with a request outstanding cancels it; waiting afterwards fails.
  watch.Close();
  CHECK(watch.Wait(10) == cp::kWaitFailed);
  watch.Close();
  CHECK(::RemoveDirectoryW(Wide(root)));  // the watch let go of the folder
}

void ShellRegistrationRoundTrip() {
  const std::u16string folder = TempFolder(u"corvane-root");
  cp::StorageProviderSyncRootInfo info;
  info.Id = u"Corvane.PlatformTest!S-1-5-21!Account";
  info.Path = folder;
  info.DisplayNameResource = u"Wine test";
  info.HydrationPolicy = cp::kHydrationPolicyFull;
  info.AllowPinning = true;
  info.RecycleBinUri = u"https://example.invalid/bin";

  cp::StorageProviderSyncRootInfo bad = info;
  bad.Id = u"a\\b";
  CHECK(cp::StorageProviderSyncRootManager::Register(bad) == E_INVALIDARG);
  bad = info;
  bad.Path = folder + u"\\missing";
  CHECK(cp::StorageProviderSyncRootManager::Register(bad) == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  const cp::HRESULT registered = cp::StorageProviderSyncRootManager::Register(info);
  if (registered == corvane::platform::windows::kWinRtUnavailable) {
    // No Windows Runtime (Wine): every call says so, none crashes.
    std::printf("sync-root registration: no Windows Runtime here\n");
    cp::StorageProviderSyncRootInfo gone;
    CHECK(cp::StorageProviderSyncRootManager::GetSyncRootInformationForId(info.Id, gone) == registered);
    std::vector<cp::StorageProviderSyncRootInfo> roots;
    CHECK(cp::StorageProviderSyncRootManager::GetCurrentSyncRoots(roots) == registered);
    CHECK(roots.empty());
    CHECK(cp::StorageProviderSyncRootManager::Unregister(info.Id) == registered);
  } else {
    CHECK(registered == S_OK);
    cp::StorageProviderSyncRootInfo back;
    CHECK(cp::StorageProviderSyncRootManager::GetSyncRootInformationForId(info.Id, back) == S_OK);
    CHECK(back.HydrationPolicy == cp::kHydrationPolicyFull && back.AllowPinning);
    CHECK(back.RecycleBinUri && *back.RecycleBinUri == *info.RecycleBinUri);
    std::vector<cp::StorageProviderSyncRootInfo> roots;
    CHECK(cp::StorageProviderSyncRootManager::GetCurrentSyncRoots(roots) == S_OK);
    int matches = 0;
    for (const auto& root : roots) matches += root.Id == info.Id ? 1 : 0;
    CHECK(matches == 1);
    CHECK(cp::StorageProviderSyncRootManager::Unregister(info.Id) == S_OK);
    cp::StorageProviderSyncRootInfo gone;
    CHECK(cp::StorageProviderSyncRootManager::GetSyncRootInformationForId(info.Id, gone) ==
          HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    CHECK(cp::StorageProviderSyncRootManager::Unregister(info.Id) == HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  }
  ::RemoveDirectoryW(Wide(folder));
}

void SearchWithoutTheService() {
  std::unique_ptr<cp::SearchCrawlScopeManager> manager;
  const cp::HRESULT hr = cp::OpenSearchCrawlScopeManager(u"SystemIndex", manager);
  if (hr == S_OK) {
    std::printf("skipped: a search service is running\n");
    return;
  }
  CHECK(hr == HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED));
  CHECK(manager == nullptr);
  std::vector<cp::CrawlScopeRule> rules;
  CHECK(cp::ListDefaultScopeRules(u"SystemIndex", rules) == HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED));
  cp::SearchCrawlScopeManager offline(u"SystemIndex");
  CHECK(offline.AddDefaultScopeRule(u"not a url", true, 0) == E_INVALIDARG);
  CHECK(offline.AddDefaultScopeRule(u"file:///C:/Root/", true, 0) == S_OK);
  CHECK(offline.SaveAll() == HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED));
}

}  // namespace

int main() {
  CloudFilesWithoutCldapi();
  DirectoryChangesOfCreateRenameDelete();
  ShellRegistrationRoundTrip();
  SearchWithoutTheService();
  std::printf(failures == 0 ? "all checks passed\n" : "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
