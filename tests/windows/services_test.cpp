#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/error_mark.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "temp_folder.h"
#include "under_wine.h"

namespace corvane::platform {
namespace {

using testing::TempFolder;

constexpr char16_t kTestKey[] = u"Software\\CorvaneTests\\Registry";

// The predefined keys of platform/registry.h are zero-extended; the system
// wants them sign-extended. A mix-up opens nothing or the wrong key.
TEST(WindowsRegistry, ValuesLiveUnderThePredefinedKeyAndLeaveWithTheTree) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &key, &disposition),
            0);
  const char16_t text[] = u"C:\\Cloud";
  ASSERT_EQ(RegSetValueExW(key, u"Path", 0, REG_SZ, reinterpret_cast<const uint8_t*>(text), sizeof text), 0);
  const uint32_t flags = 0x2A;
  ASSERT_EQ(RegSetValueExW(key, u"Flags", 0, REG_DWORD, reinterpret_cast<const uint8_t*>(&flags), 4), 0);
  EXPECT_EQ(RegCloseKey(key), 0);

  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\corvanetests\\REGISTRY", 0, KEY_READ, &key), 0);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"path", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof text);
  uint8_t small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"Path", nullptr, &type, small, &size), static_cast<LSTATUS>(ERROR_MORE_DATA));
  EXPECT_EQ(size, sizeof text);
  uint32_t read_flags = 0;
  size = 4;
  ASSERT_EQ(RegQueryValueExW(key, u"Flags", nullptr, &type, reinterpret_cast<uint8_t*>(&read_flags), &size), 0);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(read_flags, flags);
  EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &size),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(key);

  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\CorvaneTests"), 0);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &key), static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(key, nullptr);
  // Closing a predefined key is harmless, and the key still works afterwards.
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), 0);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key), 0);
  RegCloseKey(key);
}

TEST(WindowsErrorMark, MarksFilesAndFoldersWithoutTouchingThem) {
  if (testing::RunningUnderWine()) GTEST_SKIP() << "Wine's shell has no volatile property store";
  TempFolder dir;
  const std::u16string file = dir.Path(u"a.txt"), folder = dir.Path(u"sub");
  Handle handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              INVALID_HANDLE_VALUE);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  WriteFile(handle, "data", 4, &done, 0);
  CloseHandle(handle);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  auto info_of = [&](BY_HANDLE_FILE_INFORMATION& info) {
    const Handle h = CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 INVALID_HANDLE_VALUE);
    const bool ok = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION before{};
  ASSERT_TRUE(info_of(before));

  for (const std::u16string& item : {file, folder}) {
    bool marked = true;
    ASSERT_EQ(GetLastSyncErrorMark(item, marked), S_OK);
    EXPECT_FALSE(marked);
    EXPECT_EQ(SetLastSyncErrorMark(item, false), S_OK);  // clearing nothing
    ASSERT_EQ(SetLastSyncErrorMark(item, true), S_OK);
    ASSERT_EQ(GetLastSyncErrorMark(item, marked), S_OK);
    EXPECT_TRUE(marked);
    ASSERT_EQ(SetLastSyncErrorMark(item, false), S_OK);
    ASSERT_EQ(GetLastSyncErrorMark(item, marked), S_OK);
    EXPECT_FALSE(marked);
  }
  // Nothing of the file changed, so the watcher sees no local edit.
  BY_HANDLE_FILE_INFORMATION after{};
  ASSERT_TRUE(info_of(after));
  EXPECT_EQ(after.nFileSizeLow, 4u);
  EXPECT_EQ(after.ftLastWriteTime, before.ftLastWriteTime);
  EXPECT_EQ(after.dwFileAttributes, before.dwFileAttributes);

  bool marked = false;
  EXPECT_TRUE(FAILED(SetLastSyncErrorMark(dir.Path(u"missing"), true)));
  EXPECT_TRUE(FAILED(GetLastSyncErrorMark(dir.Path(u"missing"), marked)));
  EXPECT_EQ(SetLastSyncErrorMark(u"", true), E_INVALIDARG);
}

TEST(WindowsServices, UserSidThreadsAndTheAnsiCodePage) {
  std::u16string sid;
  ASSERT_EQ(GetCurrentUserSidString(sid), ERROR_SUCCESS);
  EXPECT_EQ(sid.substr(0, 4), u"S-1-");
  EXPECT_GT(sid.size(), 8u);

  // A small stack is raised to the system minimum, not refused.
  std::atomic<uint32_t> worker_id{0};
  NativeThread thread;
  ASSERT_EQ(thread.Start(4096, [&] { worker_id = CurrentThreadId(); }), 0u);
  EXPECT_EQ(thread.Start(0, [] {}), ERROR_INVALID_PARAMETER);
  thread.Join();
  EXPECT_FALSE(thread.Joinable());
  EXPECT_NE(worker_id.load(), 0u);
  EXPECT_NE(worker_id.load(), CurrentThreadId());

  // CP_ACP converts exactly like the code page it stands for.
  const char bytes[] = "caf\xe9";
  char16_t by_acp[8] = {}, by_number[8] = {};
  const int32_t n = MultiByteToWideChar(CP_ACP, bytes, 4, by_acp, 8);
  ASSERT_EQ(n, MultiByteToWideChar(AnsiCodePage(), bytes, 4, by_number, 8));
  EXPECT_EQ(std::u16string(by_acp, n), std::u16string(by_number, n));
  EXPECT_TRUE(IsCodePageSupported(AnsiCodePage()));
}

}  // namespace
}  // namespace corvane::platform
