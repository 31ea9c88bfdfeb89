#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/internal_host.h"

namespace corvane::testing {
namespace {

constexpr int32_t kNotReady = 21;
constexpr int32_t kInvalidParameter = 0x21000004;
constexpr int32_t kInvalidOpId = 0x21000005;
constexpr int32_t kInitFailed = 0x21000007;

TEST(Methods, IdsThatNameNoMethodAnswerZeroAndClearTheCode) {
  HostComponent c;
  for (int32_t id : {1, 33, 2002, 2004, 10001, 20004, -5}) {
    c.SetLast(7, "seven");
    std::vector<intptr_t> params(4, 0);
    EXPECT_EQ(c.Do(id, params), 0) << id;
    EXPECT_EQ(c.LastCode(), 0) << id;
    EXPECT_EQ(c.LastText(), "seven") << id;
  }
}

TEST(Methods, ItemMethodsOfAStoppedEngineAnswer21AndLogNothing) {
  HostComponent c;
  ASSERT_EQ(c.Config("LogLevel=4"), 0);
  const std::vector<int32_t> item_methods = {4, 5, 7, 8, 10, 12, 13, 14, 18, 19, 21, 22, 23, 24, 25, 26, 27, 29, 30, 31, 32};
  const int64_t zero = 0;
  for (int32_t base : item_methods) {
    for (int32_t id : {base, base + 10000}) {
      std::u16string wide_path = u"\\dir\\file.txt";
      std::vector<intptr_t> params(8, Ptr(&zero));
      params[0] = id > 10000 ? Ptr(wide_path.c_str()) : Ptr("\\dir\\file.txt");
      params[1] = id > 10000 ? Ptr(wide_path.c_str()) : Ptr("\\dir\\new.txt");
      if (base == 25 || base == 26) params[1] = 2;
      EXPECT_EQ(c.Do(id, params), kNotReady) << id;
      EXPECT_EQ(c.LastCode(), kNotReady);
      EXPECT_EQ(c.LastText(), "The sync operation is not active");
    }
  }
  // Listing and task methods also need an engine that runs or starts.
  for (int32_t id : {9, 11, 16, 17, 20}) {
    std::vector<intptr_t> params(8, Ptr(&zero));
    if (id == 16 || id == 17) params[1] = Ptr("name");
    EXPECT_EQ(c.Do(id, params), kNotReady) << id;
  }
  for (const std::string& line : c.Logs()) EXPECT_EQ(line.find("do_"), std::string::npos) << line;
  ASSERT_EQ(c.Config("LogLevel=3"), 0);
}

// A host that passes fewer slots than a method reads gets a refusal before
// anything runs, whatever the engine's state; the slots it did pass are left
// alone (the arrays here are exactly as long as the count, so a sanitizer
// build also sees any read past them).
TEST(Methods, TooFewSlotsAreRefusedBeforeTheMethodRuns) {
  HostComponent c;
  const struct { int32_t id; int needed; } methods[] = {
      {2, 1},  {3, 1},  {4, 6},  {5, 5},  {7, 1},  {8, 2},  {9, 2},  {10, 2}, {11, 6}, {12, 2}, {13, 2},
      {14, 2}, {16, 7}, {17, 6}, {18, 1}, {19, 1}, {20, 4}, {21, 3}, {22, 2}, {23, 1}, {24, 1}, {25, 2},
      {26, 2}, {27, 1}, {29, 1}, {30, 1}, {31, 6}, {32, 5}};
  const int64_t one = 1;
  for (const auto& m : methods) {
    for (int32_t id : {m.id, m.id + 10000}) {
      std::vector<intptr_t> params(static_cast<size_t>(m.needed - 1), Ptr(&one));
      const std::vector<intptr_t> before = params;
      c.SetLast(7, "seven");
      EXPECT_EQ(c.Do(id, params), kInvalidParameter) << id;
      EXPECT_EQ(c.LastCode(), kInvalidParameter) << id;
      EXPECT_EQ(c.LastText(), "Too few parameters for the method") << id;
      EXPECT_EQ(params, before) << id;
    }
  }
  // The refused Activate started nothing.
  EXPECT_EQ(Halvex_Corvane_Get(c.handle(), HALVEX_PROP_ACTIVATION_STATE, 0, nullptr, nullptr), 0);
  // Enough slots, none to spare: the method runs as usual.
  std::vector<intptr_t> exact = {Ptr("\\a.txt")};
  EXPECT_EQ(c.Do(HALVEX_METHOD_DELETE_FILE, exact), kNotReady);
}

TEST(Methods, UnconvertibleStringsAnswer434AndLeaveTheLastError) {
  HostComponent c;
  c.SetLast(9, "nine");
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_DELETE_FILE, "bad\xFF"), 434);
  std::vector<intptr_t> rename = {Ptr("ok"), Ptr("\xC3"), 0};
  EXPECT_EQ(c.Do(HALVEX_METHOD_RENAME_FILE, rename), 434);
  EXPECT_EQ(c.LastCode(), 9);
  EXPECT_EQ(c.LastText(), "nine");
  // Config in UTF-16 form with a text the code page cannot hold.
  ASSERT_EQ(c.Config("CodePage=1252"), 0);
  std::u16string answer;
  EXPECT_EQ(c.ConfigW(u"ItemDomain=\u65e5", &answer), 434);
  EXPECT_EQ(c.LastCode(), 0);
}

TEST(Methods, ToWideStringMeasuresConvertsAndChecksItsArguments) {
  HostComponent c;
  const char text[] = "h\xC3\xA9llo";  // 5 characters in 6 bytes
  char16_t buffer[16] = {};
  std::vector<intptr_t> params = {Ptr(text), Ptr(buffer), 123};
  std::vector<int32_t> sizes = {6, 0, 0};
  c.SetLast(4, "four");

  EXPECT_EQ(Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_TO_WIDE_STRING, 2, params.data(), sizes.data(), nullptr), 0);
  EXPECT_EQ(params[2], 5);
  sizes[1] = 16;
  EXPECT_EQ(Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_TO_WIDE_STRING, 2, params.data(), sizes.data(), nullptr), 0);
  EXPECT_EQ(params[2], 5);
  EXPECT_EQ(std::u16string(buffer, 5), u"h\u00e9llo");

  // Too small a buffer: nothing counted, the system error is the result.
  sizes[1] = 2;
  EXPECT_EQ(Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_TO_WIDE_STRING, 2, params.data(), sizes.data(), nullptr),
            122);
  EXPECT_EQ(params[2], 0);
  // The count must be exactly 2; the UTF-16 form is the same method.
  EXPECT_EQ(Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_TO_WIDE_STRING, 3, params.data(), sizes.data(), nullptr), -1);
  sizes = {0, 0, 0};
  params[2] = 99;
  EXPECT_EQ(Halvex_Corvane_Do(c.handle(), 12003, 2, params.data(), sizes.data(), nullptr), 0);
  EXPECT_EQ(params[2], 0);
  EXPECT_EQ(c.LastCode(), 4);
}

TEST(Methods, DataMethodsCheckTheirArgumentsBeforeAnyTaskLookup) {
  HostComponent c;
  c.engine().state.activating = 1;  // listing and data are accepted while activation runs
  uint8_t data[10] = {};
  const int64_t task = 5;
  const int64_t negative = -1;
  auto put = [&](const int64_t* id, const void* buffer, int32_t size, int32_t index, int32_t count) {
    std::vector<intptr_t> params = {Ptr(id), Ptr(buffer), index, count};
    std::vector<int32_t> sizes = {0, size, 0, 0};
    return c.Do(HALVEX_METHOD_PUT_ITEM_DATA, params, &sizes);
  };
  EXPECT_EQ(put(&negative, data, 10, 0, 1), kInvalidOpId);
  EXPECT_EQ(c.LastText(), "Invalid OpId");
  for (auto args : std::vector<std::vector<int32_t>>{{10, 10, 0}, {10, 0, 11}, {10, -1, 1}, {10, 5, -1}, {-1, 0, 0}}) {
    EXPECT_EQ(put(&task, data, args[0], args[1], args[2]), kInvalidParameter);
    EXPECT_EQ(c.LastText(), "Invalid combination of buffer size, Index, and Count parameters");
  }
  EXPECT_EQ(put(&task, nullptr, 10, 0, 1), kInvalidParameter);
  // Valid arguments get past the checks to the task lookup.
  EXPECT_NE(put(&task, data, 10, 9, 1), kInvalidParameter);

  // GetLocalFileData never writes before the buffer or past its end.
  int64_t position = 0;
  auto read = [&](int32_t size, int32_t index, int32_t count) {
    std::vector<intptr_t> params = {Ptr(&task), Ptr(&position), Ptr(data), index, count, 77};
    std::vector<int32_t> sizes = {0, 0, size, 0, 0, 0};
    int32_t rc = c.Do(HALVEX_METHOD_GET_LOCAL_FILE_DATA, params, &sizes);
    EXPECT_EQ(params[5], 0);
    return rc;
  };
  EXPECT_EQ(read(10, -4, 4), kInvalidParameter);
  EXPECT_EQ(read(10, 8, 3), kInvalidParameter);
  EXPECT_EQ(read(10, 0, 0), 0);

  std::vector<intptr_t> finalize = {Ptr(&negative), 0};
  EXPECT_EQ(c.Do(HALVEX_METHOD_FINALIZE_TASK, finalize), kInvalidOpId);
}

TEST(Methods, PathsThatLeaveTheSyncRootAreRefusedBeforeAnyCheck) {
  HostComponent c;
  c.engine().state.active = 1;
  const char* unsafe[] = {"..\\x",  "a/../../x", "\\..\\x", "C:\\Windows\\x", "c:x", "\\\\server\\share\\x",
                          "//?/C:/x", "a\\. .\\b", "a/...", ".."};
  for (const char* path : unsafe) {
    EXPECT_EQ(c.DoPath(HALVEX_METHOD_DELETE_FILE, path), kInvalidParameter) << path;
    EXPECT_EQ(c.LastText(), "Invalid local path specified") << path;
    std::vector<intptr_t> create(6, 0);
    create[0] = Ptr(path);
    EXPECT_EQ(c.Do(HALVEX_METHOD_CREATE_FILE, create), kInvalidParameter) << path;
    std::vector<intptr_t> rename = {Ptr("\\ok.txt"), Ptr(path), 0};
    EXPECT_EQ(c.Do(HALVEX_METHOD_RENAME_FILE, rename), kInvalidParameter) << path;
    EXPECT_EQ(c.LastText(), "Invalid local path specified") << path;
  }
  // The UTF-16 form is checked the same way.
  std::u16string wide = u"\\a\\..\\..\\etc";
  std::vector<intptr_t> params = {Ptr(wide.c_str()), 0};
  EXPECT_EQ(c.Do(10000 + HALVEX_METHOD_DELETE_FOLDER, params), kInvalidParameter);

  // Relative forms pass the path check and meet the item check.
  for (const char* path : {"\\a\\b.txt", "a/b.txt", "\\name..with..dots", "\\.hidden"}) {
    EXPECT_EQ(c.DoPath(HALVEX_METHOD_DELETE_FILE, path), kInvalidParameter) << path;
    EXPECT_EQ(c.LastText(), "Invalid input parameter") << path;
  }
  // Listed names must stay one component of the listed folder.
  c.engine().state.active = 0;
  c.engine().state.activating = 1;
  const int64_t handle = 1;
  for (const char* name : {"..", "a\\b", "x/y", ". ."}) {
    std::vector<intptr_t> list = {Ptr(&handle), Ptr(name), 0, 0, 0, 0, 0};
    EXPECT_EQ(c.Do(HALVEX_METHOD_LIST_FILE, list), 0x21000014) << name;
  }
}

TEST(Methods, RefusedOrFailedItemCallsLeaveNoPendingEntry) {
  HostComponent c;
  c.engine().state.active = 1;
  std::vector<intptr_t> create(6, 0);
  create[0] = Ptr("dir/new.txt");
  // The create itself cannot run yet, so its pending entry must be gone again.
  EXPECT_NE(c.Do(HALVEX_METHOD_CREATE_FILE, create), 0);
  EXPECT_EQ(c.engine().pending.CountOf(u"\\dir\\new.txt", 3, false), 0u);
  // DeleteFile of a path that is no file adds nothing either.
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_DELETE_FILE, "\\missing"), kInvalidParameter);
  EXPECT_FALSE(c.engine().pending.CheckPendingOrRemove(u"\\missing", 0, false));
  // SetFileAttributes with no attributes does nothing and succeeds.
  std::vector<intptr_t> attrs = {Ptr("\\missing"), 0};
  EXPECT_EQ(c.Do(HALVEX_METHOD_SET_FILE_ATTRIBUTES, attrs), 0);
}

TEST(Methods, LifecycleMethodsReportWhatTheEngineCanDo) {
  HostComponent c;
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_DEACTIVATE, nullptr), kNotReady);
  EXPECT_EQ(c.LastText(), "The sync operation is not active");

  // Install prepares the configured path once; the folder does not exist.
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_PATH, "/home//ann/./x/../Cloud/"), 0);
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_INSTALL, nullptr), kInitFailed);
  EXPECT_EQ(c.LastText(), "Initialization failed");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.Get(HALVEX_PROP_SYNC_ROOT_PATH))), "\\home\\ann\\Cloud");

  std::vector<intptr_t> sync = {1};
  EXPECT_EQ(c.Do(HALVEX_METHOD_ACTIVATE, sync), kInitFailed);
  EXPECT_EQ(c.Get(HALVEX_PROP_ACTIVATION_STATE), 0);
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_UNINSTALL, nullptr), 0x21000004);

  // A second activation while one runs is refused; Deactivate stops it.
  c.engine().state.activating = 1;
  EXPECT_EQ(c.Do(HALVEX_METHOD_ACTIVATE, sync), 0x21000003);
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_INSTALL, nullptr), 0x21000003);
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_DEACTIVATE, nullptr), 0);
  EXPECT_EQ(c.engine().state.stop_activating.load(), 1u);
  EXPECT_EQ(c.engine().state.deactivating.load(), 0u);
}

}  // namespace
}  // namespace corvane::testing

namespace corvane::testing {
namespace {

TEST(Methods, ItemChecksLookAtTheItemBelowTheSyncRoot) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("corvane-methods-" + std::to_string(::getpid()));
  fs::create_directories(root / "docs");
  std::ofstream(root / "docs" / "a.txt") << "data";
  std::string windows_root = root.string();
  for (char& ch : windows_root) ch = ch == '/' ? '\\' : ch;

  HostComponent c;
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_PATH, windows_root.c_str()), 0);
  c.engine().state.active = 1;
  // The wrong kind, or nothing at all, is refused before any pending entry.
  for (const char* path : {"\\docs", "\\docs\\missing.txt"}) {
    EXPECT_EQ(c.DoPath(HALVEX_METHOD_DELETE_FILE, path), 0x21000004) << path;
    EXPECT_EQ(c.LastText(), "Invalid input parameter");
  }
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_DELETE_FOLDER, "docs/a.txt"), 0x21000004);
  EXPECT_EQ(c.DoPath(HALVEX_METHOD_GET_FILE_STATUS, "\\docs"), 0x21000004);
  // The right kind passes the check (with either separator).
  EXPECT_NE(c.DoPath(HALVEX_METHOD_DELETE_FILE, "docs/a.txt"), 0x21000004);
  EXPECT_NE(c.DoPath(HALVEX_METHOD_RESET_FOLDER, "\\docs"), 0x21000004);
  fs::remove_all(root);
}

}  // namespace
}  // namespace corvane::testing
