#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "temp_folder.h"
#include "under_wine.h"

namespace corvane::platform {
namespace {

using testing::TempFolder;

Handle Open(const std::u16string& path, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition, flags,
                     INVALID_HANDLE_VALUE);
}

TEST(WindowsFiles, PositionedReadsAndWritesAndTheEndOfTheFile) {
  TempFolder dir;
  const std::u16string path = dir.Path(u"a.bin");
  Handle file = Open(path, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "world", 5, &done, 6));
  ASSERT_TRUE(WriteFile(file, "hello ", 6, &done, 0));
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, 0));
  EXPECT_EQ(std::string(buffer, done), "hello world");
  // At and past the end: success with nothing read.
  done = 99;
  EXPECT_TRUE(ReadFile(file, buffer, 4, &done, 11));
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(ReadFile(file, buffer, 4, &done, 1u << 20));
  EXPECT_EQ(done, 0u);
  LARGE_INTEGER size = 0;
  ASSERT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(size, 11);
  EXPECT_TRUE(CloseHandle(file));

  EXPECT_EQ(Open(path, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Open(dir.Path(u"missing\\a.bin"), OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(WindowsFiles, TimesAndAttributesRoundTripThroughTheHandle) {
  TempFolder dir;
  const std::u16string path = dir.Path(u"t.txt");
  Handle file = Open(path, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILE_BASIC_INFO basic;
  basic.LastWriteTime = FileTimeFromUnix(1700000000, 123456700);
  basic.CreationTime = FileTimeFromUnix(1600000000, 0);
  ASSERT_TRUE(SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) << GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(file, &info));
  EXPECT_EQ(info.ftLastWriteTime, basic.LastWriteTime);
  // Wine keeps no creation time of its own on a Unix file system.
  if (!testing::RunningUnderWine()) {
    EXPECT_EQ(info.ftCreationTime, basic.CreationTime);
  }
  int64_t seconds = 0, nanoseconds = 0;
  FileTimeToUnix(info.ftLastWriteTime, seconds, nanoseconds);
  EXPECT_EQ(seconds, 1700000000);
  EXPECT_EQ(nanoseconds, 123456700);
  EXPECT_FALSE(SetFileInformationByHandle(file, FileBasicInfo, &basic, 4));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CloseHandle(file));

  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesW(path.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesW(dir.Path(u"none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(WindowsFiles, FolderMovesNeverReplaceAndFileMovesReplaceOnlyWhenAsked) {
  TempFolder dir;
  ASSERT_TRUE(CreateDirectoryW(dir.Path(u"src").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(dir.Path(u"dst").c_str(), nullptr));
  EXPECT_FALSE(MoveFileExW(dir.Path(u"src").c_str(), dir.Path(u"dst").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(GetFileAttributesW(dir.Path(u"src").c_str()), INVALID_FILE_ATTRIBUTES);

  for (const char16_t* name : {u"src\\a.txt", u"src\\b.txt"}) {
    Handle file = Open(dir.Path(name), CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
  }
  const std::u16string a = dir.Path(u"src\\a.txt"), b = dir.Path(u"src\\b.txt");
  EXPECT_FALSE(MoveFileExW(a.c_str(), b.c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetFileAttributesW(a.c_str()), INVALID_FILE_ATTRIBUTES);

  EXPECT_FALSE(RemoveDirectoryW(dir.Path(u"src").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_TRUE(DeleteFileW(b.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(dir.Path(u"src").c_str()));
}

TEST(WindowsFiles, FindingListsTheFolderAndLongPathsResolve) {
  TempFolder dir;
  ASSERT_TRUE(CreateDirectoryW(dir.Path(u"sub").c_str(), nullptr));
  Handle file = Open(dir.Path(u"note.txt"), CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  WriteFile(file, "abc", 3, &done, 0);
  CloseHandle(file);

  std::set<std::u16string> names;
  WIN32_FIND_DATAW data;
  const std::u16string pattern = dir.Path(u"*");
  Handle find = FindFirstFileW(pattern.c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    names.insert(data.cFileName);
    if (data.cFileName == u"note.txt") {
      EXPECT_EQ(data.nFileSizeLow, 3u);
    }
    if (data.cFileName == u"sub") {
      EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    }
  } while (FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(names, (std::set<std::u16string>{u".", u"..", u"note.txt", u"sub"}));

  // Callbacks name items from the root of their volume: no drive, and the
  // same for the long-path form.
  std::u16string relative, prefixed_relative;
  ASSERT_TRUE(GetVolumeRelativePath(dir.Path(u"sub"), relative));
  ASSERT_TRUE(GetVolumeRelativePath(u"\\\\?\\" + dir.Path(u"sub"), prefixed_relative));
  EXPECT_EQ(relative, prefixed_relative);
  std::u16string long_sub;
  ASSERT_TRUE(GetLongPathName(dir.Path(u"sub"), long_sub));
  EXPECT_EQ(relative, long_sub.substr(2));
  EXPECT_FALSE(GetVolumeRelativePath(dir.Path(u"gone"), relative));

  std::u16string long_path;
  ASSERT_TRUE(GetLongPathName(dir.Path(u"sub\\..\\note.txt"), long_path));
  EXPECT_EQ(long_path.substr(long_path.size() - 9), u"\\note.txt");
  EXPECT_FALSE(GetLongPathName(dir.Path(u"gone.txt"), long_path));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  // Measuring counts the NUL; a big enough buffer gets the length without it.
  const std::u16string sub = dir.Path(u"sub");
  const DWORD needed = GetLongPathNameW(sub.c_str(), nullptr, 0);
  ASSERT_GT(needed, 0u);
  std::u16string buffer(needed, u'\0');
  EXPECT_EQ(GetLongPathNameW(sub.c_str(), buffer.data(), needed), needed - 1);
}

}  // namespace
}  // namespace corvane::platform
