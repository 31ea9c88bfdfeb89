#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/internal_host.h"
#include "diag/result_codes.h"

namespace corvane {
namespace {

using testing::Int64At;
using testing::NarrowAt;
using testing::TestHost;
using testing::WideAt;

TEST(Events, CreateFileLaysOutParametersInBothEncodings) {
  for (bool wide : {false, true}) {
    int calls = 0;
    TestHost host(wide, [&](int32_t id, int32_t count, intptr_t* p, int32_t* cb) {
      ++calls;
      EXPECT_EQ(HALVEX_EVENT_CREATE_FILE, id);
      EXPECT_EQ(8, count);
      EXPECT_EQ(42, Int64At(p, 0));
      if (wide) {
        EXPECT_EQ(u"\\dir\\\u00e9t\u00e9.txt", WideAt(p, 1));
      } else {
        EXPECT_EQ("\\dir\\\xc3\xa9t\xc3\xa9.txt", NarrowAt(p, 1));
      }
      EXPECT_EQ(-2, p[2]);  // sign-extended to the slot's width
      EXPECT_EQ(5000000000LL, Int64At(p, 3));
      EXPECT_EQ(11, Int64At(p, 4));
      EXPECT_EQ(22, Int64At(p, 5));
      EXPECT_EQ(33, Int64At(p, 6));
      EXPECT_EQ(7, p[7]);  // ResultCode handed in
      for (int i = 0; i < count; ++i) EXPECT_EQ(0, cb[i]);
      p[7] = kErrPending;
      return 0;
    });
    int32_t result_code = 7;
    EXPECT_EQ(0, host.c().FireCreateFile(42, u"\\dir\\\u00e9t\u00e9.txt", -2, 5000000000LL, 11, 22, 33,
                                         result_code));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(kErrPending, result_code);
  }
}

TEST(Events, EveryEventUsesItsIdCountAndResultSlot) {
  std::vector<std::pair<int32_t, int32_t>> seen;
  TestHost host(true, [&](int32_t id, int32_t count, intptr_t* p, int32_t*) {
    seen.emplace_back(id, count);
    // Writes the event id into whatever slot is the in/out result.
    const int result_slot = id == HALVEX_EVENT_CANCEL_TASK ? 2
                            : id == HALVEX_EVENT_CREATE_FOLDER ? 6
                            : id == HALVEX_EVENT_GET_FILE_DATA ? 4
                            : id == HALVEX_EVENT_UPDATE_FILE ? 8
                            : id == HALVEX_EVENT_UPDATE_FOLDER ? 7
                                                               : 3;
    if (count > 2) p[result_slot] = 0x100 + id;
    if (id == HALVEX_EVENT_LIST_DIRECTORY) {
      EXPECT_EQ(u"*.doc", WideAt(p, 2));
    }
    if (id == HALVEX_EVENT_RENAME_FOLDER) {
      EXPECT_EQ(u"\\b", WideAt(p, 2));
    }
    if (id == HALVEX_EVENT_RESET_FILE) {
      EXPECT_EQ(-1, Int64At(p, 0));
    }
    return 0;
  });
  Component& c = host.c();
  const std::u16string path = u"\\a";
  int32_t r[10] = {};
  c.FireActivated(0);
  c.FireCancelTask(1, path, r[0]);
  c.FireCreateFolder(1, path, 0, 1, 2, 3, r[1]);
  c.FireDeleteFile(1, path, 0, r[2]);
  c.FireDeleteFolder(1, path, 0, r[3]);
  c.FireGetFileData(1, path, 0, 4096, r[4]);
  c.FireListDirectory(1, path, u"*.doc", r[5]);
  c.FireRenameFile(1, path, u"\\b", r[6]);
  c.FireRenameFolder(1, path, u"\\b", r[7]);
  c.FireResetFile(-1, path);
  c.FireUpdateFile(1, path, 0x20, 0, 1, 2, 3, 4, r[8]);
  c.FireUpdateFolder(1, path, 0x20, 0, 2, 3, 4, r[9]);
  const std::vector<std::pair<int32_t, int32_t>> expected = {
      {1, 1}, {2, 3}, {4, 7}, {5, 4}, {6, 4}, {8, 5}, {9, 4}, {11, 4}, {12, 4}, {13, 2}, {14, 9}, {15, 8}};
  EXPECT_EQ(expected, seen);
  const int32_t ids[] = {2, 4, 5, 6, 8, 9, 11, 12, 14, 15};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(0x100 + ids[i], r[i]) << "event " << ids[i];
}

TEST(Events, NullSinkCountsEveryEventAsHandled) {
  Component c(nullptr, nullptr, false);
  int32_t result_code = 0;
  EXPECT_EQ(0, c.FireCreateFile(1, u"\\x", 0, 0, 0, 0, 0, result_code));
  EXPECT_EQ(0, result_code);
  EXPECT_EQ(0, c.FireError(5, "boom"));
  intptr_t values[1] = {0};
  int32_t sizes[1] = {-1};
  EXPECT_EQ(0, c.FirePlatformRequest(1, 1, values, sizes));
  EXPECT_EQ(0, c.engine.diag.EventError().code);
}

TEST(Events, FailingHandlersSetTheEventErrorAndFireErrorOnce) {
  std::vector<std::pair<int32_t, std::string>> seen;  // (event id, Error description)
  int32_t error_answer = 0;
  bool self_report = false;
  TestHost host(false);
  host.answer = [&](test_common::Event& e, intptr_t* p, int32_t*) -> int32_t {
    const int32_t id = e.id;
    seen.emplace_back(id, id == HALVEX_EVENT_ERROR ? NarrowAt(p, 1) : "");
    if (id == HALVEX_EVENT_ERROR) return error_answer;
    if (self_report) host.c().engine.diag.SetEventError(kErrBackend, "backend down");
    p[3] = 0x77;  // a failing handler may still write its result
    return self_report ? kErrBackend : 5;
  };
  Diagnostics& diag = host.c().engine.diag;
  const std::string list_text = "An unhandled error occurred in the ListDirectory event handler";

  int32_t result_code = 0;
  EXPECT_EQ(5, host.c().FireListDirectory(9, u"\\f", u"*", result_code));
  EXPECT_EQ(0x77, result_code);
  EXPECT_EQ((decltype(seen){{HALVEX_EVENT_LIST_DIRECTORY, ""}, {HALVEX_EVENT_ERROR, list_text}}), seen);
  EXPECT_EQ(5, diag.EventError().code);
  EXPECT_EQ(list_text, diag.EventError().text);

  // A failing Error handler raises nothing more and does not hide the
  // failure it was told about.
  seen.clear();
  diag.ClearEventError();
  error_answer = 9;
  EXPECT_EQ(5, host.c().FireListDirectory(9, u"\\f", u"*", result_code));
  EXPECT_EQ(2u, seen.size());
  EXPECT_EQ(5, diag.EventError().code);
  EXPECT_EQ(list_text, diag.EventError().text);
  diag.ClearEventError();
  EXPECT_EQ(9, host.c().FireError(1, "x"));
  EXPECT_EQ("An unhandled error occurred in the Error event handler", diag.EventError().text);

  // A handler that reported its own event error keeps it; nothing is fired.
  seen.clear();
  diag.ClearEventError();
  self_report = true;
  EXPECT_EQ(kErrBackend, host.c().FireListDirectory(9, u"\\f", u"*", result_code));
  EXPECT_EQ(1u, seen.size());
  EXPECT_EQ("backend down", diag.EventError().text);
}

TEST(Events, UnconvertiblePathSkipsTheSinkAndFails434) {
  std::vector<int32_t> ids;
  std::string description;
  TestHost host(false, [&](int32_t id, int32_t, intptr_t* p, int32_t*) -> int32_t {
    ids.push_back(id);
    if (id == HALVEX_EVENT_ERROR) description = NarrowAt(p, 1);
    return 0;
  });
  host.c().engine.code_page = 1252;
  int32_t result_code = 4;
  // U+4E2D has no place in code page 1252; a lone surrogate has none anywhere.
  EXPECT_EQ(kErrConversion, host.c().FireCreateFolder(1, u"\\\u4e2d", 0, 0, 0, 0, result_code));
  EXPECT_EQ(4, result_code);
  EXPECT_EQ(std::vector<int32_t>{HALVEX_EVENT_ERROR}, ids);
  EXPECT_EQ("An unhandled error occurred in the CreateFolder event handler", description);
  EXPECT_EQ(kErrConversion, host.c().engine.diag.EventError().code);

  host.c().engine.code_page = 65001;
  host.c().engine.diag.ClearEventError();
  ids.clear();
  EXPECT_EQ(kErrConversion, host.c().FireLog(3, std::u16string(u"bad \xd800 text")));
  EXPECT_EQ(std::vector<int32_t>{HALVEX_EVENT_ERROR}, ids);
}

TEST(Events, ErrorDescriptionIsPassedAs8BitOrConverted) {
  std::string narrow;
  std::u16string wide;
  TestHost narrow_host(false, [&](int32_t, int32_t, intptr_t* p, int32_t*) {
    narrow = NarrowAt(p, 1);
    return 0;
  });
  TestHost wide_host(true, [&](int32_t, int32_t, intptr_t* p, int32_t*) {
    wide = WideAt(p, 1);
    return 0;
  });
  narrow_host.c().engine.code_page = 1252;
  wide_host.c().engine.code_page = 1252;
  EXPECT_EQ(0, narrow_host.c().FireError(1, "caf\xe9"));
  EXPECT_EQ(0, wide_host.c().FireError(1, "caf\xe9"));
  EXPECT_EQ("caf\xe9", narrow);  // unchanged, not reinterpreted
  EXPECT_EQ(u"caf\u00e9", wide);
}

TEST(Events, ExceptionFromHandlerBecomesInternalError) {
  TestHost host(true, [&](int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    if (id == HALVEX_EVENT_ERROR) return 0;
    throw 1;
  });
  int32_t result_code = 0;
  EXPECT_EQ(kErrInternalError, host.c().FireDeleteFolder(1, u"\\d", 0, result_code));
}

TEST(Events, PlatformRequestCopiesAnswersAndReleasesHostBuffers) {
  std::vector<intptr_t> released;
  static char answer0[] = "first";
  static char answer2[] = {'a', 'b', 0, 'c'};
  TestHost host(false, [&](int32_t id, int32_t count, intptr_t* p, int32_t* cb) -> int32_t {
    EXPECT_EQ(HALVEX_EVENT_PLATFORM_REQUEST, id);
    if (count == 2) {
      EXPECT_EQ(nullptr, cb);
      EXPECT_EQ(HALVEX_PLATFORM_REQUEST_RELEASE, p[0]);
      released.push_back(p[1]);
      return 0;
    }
    EXPECT_EQ(3, count);
    EXPECT_EQ(77, p[0]);
    EXPECT_EQ(3, cb[1]);
    auto* values = reinterpret_cast<intptr_t*>(p[1]);
    auto* sizes = reinterpret_cast<int32_t*>(p[2]);
    values[0] = reinterpret_cast<intptr_t>(answer0);  // size -1 -> string length
    values[1] = reinterpret_cast<intptr_t>(answer0);  // size 8 was not -1: left alone
    values[2] = reinterpret_cast<intptr_t>(answer2);
    sizes[2] = 4;
    return 0;
  });
  intptr_t values[3] = {0, 0, 0};
  int32_t sizes[3] = {-1, 8, -1};
  EXPECT_EQ(0, host.c().FirePlatformRequest(77, 3, values, sizes));
  ASSERT_NE(reinterpret_cast<intptr_t>(answer0), values[0]);
  EXPECT_STREQ("first", reinterpret_cast<const char*>(values[0]));
  EXPECT_EQ(reinterpret_cast<intptr_t>(answer0), values[1]);
  EXPECT_EQ(0, std::memcmp(answer2, reinterpret_cast<const char*>(values[2]), 4));
  EXPECT_EQ((std::vector<intptr_t>{reinterpret_cast<intptr_t>(answer0), reinterpret_cast<intptr_t>(answer2)}),
            released);
}

TEST(Events, FailingPlatformRequestReportsIt) {
  std::vector<int32_t> ids;
  TestHost host(false, [&](int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    ids.push_back(id);
    return id == HALVEX_EVENT_ERROR ? 0 : 6;
  });
  EXPECT_EQ(6, host.c().FirePlatformRequest(1, 0, nullptr, nullptr));
  EXPECT_EQ((std::vector<int32_t>{HALVEX_EVENT_PLATFORM_REQUEST, HALVEX_EVENT_ERROR}), ids);
  EXPECT_EQ("An unhandled error occurred in the PlatformRequest event handler",
            host.c().engine.diag.EventError().text);
}

}  // namespace
}  // namespace corvane
