// The Win32-shaped file calls keep the Windows rules that the provider code
// above them relies on.
#include "platform_fixture.h"

#include "platform/errors.h"

namespace corvane::platform::testing {
namespace {

class Files : public PlatformTest {
 protected:
  std::u16string P(const std::string& relative) { return W(root_ + "/" + relative); }
  void Put(const std::string& relative, const std::string& data) {
    std::ofstream(root_ + "/" + relative, std::ios::binary) << data;
  }
  std::vector<std::u16string> Find(const std::string& pattern) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW data;
    const Handle h = FindFirstFileW(P(pattern).c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return names;
    do names.push_back(data.cFileName);
    while (FindNextFileW(h, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
  }
  // A call that failed, and the error it left, in one expectation.
  static ::testing::AssertionResult Failed(bool succeeded, DWORD expected) {
    const DWORD error = GetLastError();
    if (!succeeded && error == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (succeeded ? "succeeded" : "error " + std::to_string(error));
  }
  Handle Open(const std::string& relative, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(P(relative).c_str(), access, 0, nullptr, disposition, flags, INVALID_HANDLE_VALUE);
  }
};

TEST_F(Files, CreateDispositionsAndErrors) {
  Handle h = Open("new.txt", GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "abcdef", 6, &n, 0));
  ASSERT_TRUE(WriteFile(h, "XY", 2, &n, 10));  // past the end: a gap of zeros
  LARGE_INTEGER size = 0;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size, 12);
  char buf[16] = {};
  EXPECT_TRUE(Failed(ReadFile(h, buf, 4, &n, 0), ERROR_ACCESS_DENIED));  // opened for writing only
  CloseHandle(h);
  EXPECT_TRUE(Failed(CloseHandle(h), ERROR_INVALID_HANDLE));

  fs::create_directories(root_ + "/dir");
  const struct { const char* path; DWORD access, disposition, error; } refused[] = {
      {"new.txt", GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
      {"none.txt", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"nodir/x.txt", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"dir", 0, OPEN_EXISTING, ERROR_ACCESS_DENIED},  // folders open only with backup semantics
  };
  for (const auto& r : refused)
    EXPECT_TRUE(Failed(Open(r.path, r.access, r.disposition) != INVALID_HANDLE_VALUE, r.error)) << r.path;
  h = Open("dir", 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(h);

  h = Open("new.txt", GENERIC_READ, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);  // as Windows reports an existing file
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, 0));
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(std::string(buf, 12), std::string("abcdef\0\0\0\0XY", 12));
  ASSERT_TRUE(ReadFile(h, buf, 4, &n, 12));  // at the end: nothing, and success
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(info.nFileSizeLow, 12u);
  EXPECT_EQ(info.nNumberOfLinks, 1u);
  EXPECT_NE(info.nFileIndexLow | info.nFileIndexHigh, 0u);
  CloseHandle(h);
}

TEST_F(Files, ClientRefusesDataAccessToFolders) {
  fs::create_directories(root_ + "/folder");
  local::Client client(root_);
  std::string data;
  EXPECT_EQ(client.ReadAll("folder", data), ERROR_ACCESS_DENIED);
  EXPECT_EQ(client.WriteAll("folder", "x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(client.CreateFile("folder", "x"), ERROR_FILE_EXISTS);
  std::vector<local::ClientEntry> entries;
  EXPECT_EQ(client.List("missing", entries), ERROR_FILE_NOT_FOUND);
  Put("file.txt", "x");
  EXPECT_EQ(client.List("file.txt", entries), ERROR_DIRECTORY);
}

TEST_F(Files, TimesAndAttributesRoundTrip) {
  Put("t.txt", "x");
  Handle h = CreateFileW(P("t.txt").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         INVALID_HANDLE_VALUE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILE_BASIC_INFO basic;
  basic.CreationTime = FileTimeFromUnix(1500000000, 100);
  basic.LastAccessTime = FileTimeFromUnix(1600000000, 200);
  basic.LastWriteTime = FileTimeFromUnix(1650000000, 999999900);
  basic.FileAttributes = FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic));
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(info.ftCreationTime, basic.CreationTime);
  EXPECT_EQ(info.ftLastAccessTime, basic.LastAccessTime);
  EXPECT_EQ(info.ftLastWriteTime, basic.LastWriteTime);
  EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  // Zero leaves a time alone.
  FILE_BASIC_INFO keep;
  keep.LastWriteTime = FileTimeFromUnix(1700000000, 0);
  ASSERT_TRUE(SetFileInformationByHandle(h, FileBasicInfo, &keep, sizeof keep));
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(info.ftCreationTime, basic.CreationTime);
  EXPECT_EQ(info.ftLastAccessTime, basic.LastAccessTime);
  EXPECT_EQ(info.ftLastWriteTime, keep.LastWriteTime);
  CloseHandle(h);

  ASSERT_TRUE(SetFileAttributesW(P("t.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesW(P("t.txt").c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(Failed(DeleteFileW(P("t.txt").c_str()), ERROR_ACCESS_DENIED));
  ASSERT_TRUE(SetFileAttributesW(P("t.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesW(P("t.txt").c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileW(P("t.txt").c_str()));
  Put(".dotfile", "");
  EXPECT_EQ(GetFileAttributesW(P(".dotfile").c_str()), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(Failed(GetFileAttributesW(P("gone").c_str()) != INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, MoveDeleteAndFolderRules) {
  Put("a.txt", "A");
  Put("b.txt", "B");
  EXPECT_TRUE(Failed(MoveFileExW(P("a.txt").c_str(), P("b.txt").c_str(), 0), ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(MoveFileExW(P("a.txt").c_str(), P("b.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
  std::ifstream in(root_ + "/b.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "A");
  // A folder never replaces an existing target, not even an empty one.
  fs::create_directories(root_ + "/d1/sub");
  fs::create_directories(root_ + "/d2");
  EXPECT_TRUE(Failed(MoveFileExW(P("d1").c_str(), P("d2").c_str(), MOVEFILE_REPLACE_EXISTING), ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(fs::exists(root_ + "/d1/sub"));
  EXPECT_TRUE(Failed(RemoveDirectoryW(P("d1").c_str()), ERROR_DIR_NOT_EMPTY));
  EXPECT_TRUE(Failed(DeleteFileW(P("d2").c_str()), ERROR_ACCESS_DENIED));
  EXPECT_TRUE(Failed(RemoveDirectoryW(P("b.txt").c_str()), ERROR_DIRECTORY));
  EXPECT_TRUE(RemoveDirectoryW(P("d2").c_str()));
  EXPECT_TRUE(CreateDirectoryW(P("d2").c_str(), nullptr));
  EXPECT_TRUE(Failed(CreateDirectoryW(P("d2").c_str(), nullptr), ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(Failed(CreateDirectoryW(P("x/y").c_str(), nullptr), ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, FindWalksWithWildcardsAndDotEntries) {
  Put("one.TXT", "1");
  Put("two.txt", "22");
  Put("three.log", "333");
  fs::create_directories(root_ + "/sub");
  EXPECT_EQ(Find("*"), (std::vector<std::u16string>{u".", u"..", u"one.TXT", u"sub", u"three.log", u"two.txt"}));
  EXPECT_EQ(Find("*.txt"), (std::vector<std::u16string>{u"one.TXT", u"two.txt"}));
  EXPECT_EQ(Find("t?o.*"), (std::vector<std::u16string>{u"two.txt"}));
  EXPECT_EQ(Find("two.txt"), (std::vector<std::u16string>{u"two.txt"}));
  WIN32_FIND_DATAW data;
  EXPECT_TRUE(Failed(FindFirstFileW(P("*.none").c_str(), &data) != INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(Failed(FindFirstFileW(P("missing/*").c_str(), &data) != INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND));
  const Handle h = FindFirstFileW(P("three.log").c_str(), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 3u);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  FindClose(h);
}

TEST_F(Files, LongPathNameResolvesLinksAndReportsTheNeededSize) {
  fs::create_directories(root_ + "/real");
  fs::create_directory_symlink(root_ + "/real", root_ + "/link");
  const std::u16string expected = W(fs::canonical(root_ + "/real").string());
  char16_t small[4];
  const DWORD need = GetLongPathNameW(P("link/../link").c_str(), small, 4);
  EXPECT_EQ(need, expected.size() + 1);
  std::vector<char16_t> buffer(need);
  EXPECT_EQ(GetLongPathNameW(P("link").c_str(), buffer.data(), need), expected.size());
  EXPECT_EQ(std::u16string(buffer.data()), expected);
  EXPECT_TRUE(Failed(GetLongPathNameW(P("nothing").c_str(), buffer.data(), need) != 0, ERROR_FILE_NOT_FOUND));
}

// Both platforms answer a cloud status with the Win32 error Windows gives it.
TEST(CloudStatusErrors, MapTheCloudStatusesAndFallBackForOthers) {
  EXPECT_EQ(Win32ErrorFromCloudStatus(STATUS_SUCCESS), ERROR_SUCCESS);
  EXPECT_EQ(Win32ErrorFromCloudStatus(STATUS_CLOUD_FILE_SYNC_ROOT_METADATA_CORRUPT), ERROR_CLOUD_FILE_METADATA_CORRUPT);
  EXPECT_EQ(Win32ErrorFromCloudStatus(STATUS_CLOUD_FILE_IN_USE), ERROR_CLOUD_FILE_IN_USE);
  EXPECT_EQ(Win32ErrorFromCloudStatus(STATUS_CLOUD_FILE_DEHYDRATION_DISALLOWED),
            ERROR_CLOUD_FILE_DEHYDRATION_DISALLOWED);
  EXPECT_EQ(Win32ErrorFromCloudStatus(static_cast<NTSTATUS>(0xC0000001)), ERROR_CLOUD_FILE_UNSUCCESSFUL);
}

}  // namespace
}  // namespace corvane::platform::testing
