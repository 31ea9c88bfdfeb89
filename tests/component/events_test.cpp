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
