#include <gtest/gtest.h>

#include <thread>

#include "component/component.h"
#include "diag/capture_sink.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "platform/text.h"

namespace corvane {
namespace {

using testing::CaptureSink;
using testing::LogLevelGuard;

std::u16string Decimal(uint32_t v) { return Format(u"%d", static_cast<int32_t>(v)); }

TEST(Log, LevelFilterAndFormattedLines) {
  LogLevelGuard guard;
  CaptureSink sink;
  SetCurrentLogLevel(3);
  Log(&sink, kLogVerbose, u"hidden");
  Log(&sink, kLogMilestone, u"shown");
  SetCurrentLogLevel(4);
  LogF(&sink, kLogCloudTrace, u"CreatePlaceholder called for '%s', flags: 0x%x", u"\\a", 2);
  LogF(&sink, kLogVerbose, u"TaskId: %I64u", static_cast<uint64_t>(12345678901ULL));
  SetCurrentLogLevel(8705);
  LogF(&sink, kLogCloudTrace, u"CreatePlaceholder called for '%s', flags: 0x%x", u"\\a", 2);
  ASSERT_EQ(3u, sink.lines.size());
  const std::u16string prefix = u"  (" + Decimal(platform::CurrentThreadId()) + u") Sync: ";
  EXPECT_EQ(prefix + u"shown", sink.lines[0].second);
  EXPECT_EQ(prefix + u"TaskId: 12345678901", sink.lines[1].second);
  EXPECT_EQ(prefix + u"CreatePlaceholder called for '\\a', flags: 0x2", sink.lines[2].second);
  EXPECT_EQ(kLogCloudTrace, sink.lines[2].first);
  Log(nullptr, kLogFailure, u"no sink, no crash");
}

int32_t RecordingSink(void* context, int32_t id, int32_t, intptr_t* params, int32_t*) {
  auto* seen = static_cast<std::vector<std::pair<int32_t, std::string>>*>(context);
  seen->emplace_back(id, reinterpret_cast<const char*>(params[1]));
  return id == HALVEX_EVENT_LOG ? 8 : 0;
}

TEST(Log, ComponentDeliversThroughTheLogEventAndReportsAFailingHandler) {
  LogLevelGuard guard;
  std::vector<std::pair<int32_t, std::string>> seen;
  Component c(&RecordingSink, &seen, false);
  c.engine.diag.SetEventError(kErrPending, "");  // outcome of an event under way
  Log(&c, kLogFailure, u"caf\u00e9");
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(HALVEX_EVENT_LOG, seen[0].first);
  EXPECT_EQ(" Sync: caf\xc3\xa9", seen[0].second.substr(seen[0].second.find(')') + 1));
  EXPECT_EQ(HALVEX_EVENT_ERROR, seen[1].first);
  EXPECT_EQ("An unhandled error occurred in the Log event handler", seen[1].second);
  // The failed line does not become the outcome of that event.
  EXPECT_EQ(kErrPending, c.engine.diag.EventError().code);

  Component silent(nullptr, nullptr, false);
  Log(&silent, kLogFailure, u"dropped");
  EXPECT_EQ(0, silent.engine.diag.EventError().code);
}

}  // namespace
}  // namespace corvane
