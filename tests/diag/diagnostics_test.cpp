#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "diag/capture_sink.h"
#include "diag/diagnostics.h"
#include "diag/result_codes.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace corvane {
namespace {

using testing::CaptureSink;
using testing::LogLevelGuard;

std::u16string MessageOf(const std::u16string& line) { return line.substr(line.find(u"Sync: ") + 6); }

TEST(Diagnostics, RecordStoresLogsAndReturnsTheCode) {
  LogLevelGuard guard;
  SetCurrentLogLevel(3);
  CaptureSink sink;
  Diagnostics diag(&sink);
  EXPECT_EQ(kErrInvalidParameter, diag.Record(kErrInvalidParameter, "Invalid local path specified"));
  EXPECT_EQ(kErrInvalidParameter, diag.LastError().code);
  EXPECT_EQ("Invalid local path specified", diag.LastErrorText());
  ASSERT_EQ(1u, sink.lines.size());
  EXPECT_EQ(kLogFailure, sink.lines[0].first);
  EXPECT_EQ(u"Sync error code: 0x21000004, Invalid local path specified", MessageOf(sink.lines[0].second));

  EXPECT_EQ(kErrItemExists, diag.RecordCode(kErrItemExists));
  EXPECT_EQ("Item already exists", diag.LastErrorText());

  // Recording 0 clears code and text and logs nothing.
  sink.lines.clear();
  EXPECT_EQ(0, diag.Record(0, ""));
  EXPECT_EQ(0, diag.LastError().code);
  EXPECT_EQ("", diag.LastErrorText());
  EXPECT_TRUE(sink.lines.empty());
}

TEST(Diagnostics, OsCallFailureCapturesTheSystemErrorOnce) {
  LogLevelGuard guard;
  SetCurrentLogLevel(4);
  CaptureSink sink;
  Diagnostics diag(&sink);
  platform::SetLastError(2);
  EXPECT_EQ(kErrOsCallFailed, diag.Record(kErrOsCallFailed, "ignored text"));
  EXPECT_EQ(2u, diag.OsLastError());
  EXPECT_EQ("The OS call failed with error 0x2", diag.LastErrorText());
  ASSERT_EQ(3u, sink.lines.size());
  EXPECT_EQ(kLogFailure, sink.lines[0].first);
  EXPECT_EQ(u"OS error code: 0x2", MessageOf(sink.lines[0].second));
  EXPECT_EQ(kLogVerbose, sink.lines[1].first);
  const std::u16string not_found = platform::SystemMessage(2);  // the system's own wording
  ASSERT_FALSE(not_found.empty());
  EXPECT_EQ(u"OS error message: " + not_found, MessageOf(sink.lines[1].second));
  EXPECT_EQ(u"Sync error code: 0x21000041, ignored text", MessageOf(sink.lines[2].second));

  // The kept value wins over a newer system error until it is read.
  sink.lines.clear();
  platform::SetLastError(0x57);
  diag.Record(kErrOsCallFailed, "");
  EXPECT_EQ("The OS call failed with error 0x2", diag.LastErrorText());
  EXPECT_EQ(1u, sink.lines.size());
  EXPECT_EQ(2u, diag.TakeOsLastError());
  EXPECT_EQ(0u, diag.TakeOsLastError());
  diag.Record(kErrOsCallFailed, "");
  EXPECT_EQ("The OS call failed with error 0x57", diag.LastErrorText());
}

TEST(Diagnostics, ThreadsKeepTheirOwnErrorsAndFreshThreadsStartClean) {
  Diagnostics diag(nullptr);
  diag.SetLastError(1, "main");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([&, t] {
      if (diag.LastError().code != 0 || !diag.LastErrorText().empty()) ++wrong;
      for (int i = 0; i < 300; ++i) {
        const int32_t code = 100 + t;
        diag.Record(code, std::to_string(code));
        diag.SetEventError(-code, "e");
        std::this_thread::yield();
        if (diag.LastError().code != code || diag.LastErrorText() != std::to_string(code) ||
            diag.EventError().code != -code) {
          ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(1, diag.LastError().code);
  EXPECT_EQ("main", diag.LastErrorText());
  EXPECT_EQ(0, diag.EventError().code);
}

TEST(ResultCodes, MessagesOfOwnAndSystemCodes) {
  EXPECT_EQ("Invalid item Id", ResultMessage(0x21000015));
  EXPECT_EQ("Unknown error", ResultMessage(0x21000012));
  EXPECT_EQ("Unknown error", ResultMessage(kErrPending));
  EXPECT_EQ("Unknown error", ResultMessage(kErrInternal));
  EXPECT_EQ("Unknown error", ResultMessage(0x7FFFFFFF));
  EXPECT_EQ("Out of memory.", ResultMessage(200));
  // System codes take the system's text without its line end.
  const std::u16string denied = platform::SystemMessage(5);
  ASSERT_GT(denied.size(), 2u);
  EXPECT_EQ(std::string(denied.begin(), denied.end() - 2), ResultMessage(5));
  EXPECT_EQ("", ResultMessage(0));
  EXPECT_EQ("", ResultMessage(99999));
}

}  // namespace
}  // namespace corvane
