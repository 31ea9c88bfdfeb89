// The component's diagnostic output: leveled text lines delivered to the
// host through the Log event, and nowhere else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/format.h"

namespace corvane {

constexpr int32_t kLogFailure = 1;
constexpr int32_t kLogWarning = 2;
constexpr int32_t kLogMilestone = 3;
constexpr int32_t kLogVerbose = 4;
constexpr int32_t kLogCloudTrace = 8705;
constexpr int32_t kDefaultLogLevel = kLogMilestone;

// One level for the whole process, shared by every component.
int32_t CurrentLogLevel();
void SetCurrentLogLevel(int32_t level);
inline bool LogEnabled(int32_t level) { return level <= CurrentLogLevel(); }

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void DeliverLogLine(int32_t level, const std::u16string& line) = 0;
};

// The text of one line: "  (<thread id>) Sync: <message>".
std::u16string BuildLogLine(std::u16string_view message);

// Drops lines above the current level; a null sink drops everything.
void Log(LogSink* sink, int32_t level, std::u16string_view message);

// Logs "OS error message: " and the system's text for `os_error` at the
// verbose level, when the system has a text for it.
void LogOsErrorText(LogSink* sink, uint32_t os_error);

template <class... A>
void LogF(LogSink* sink, int32_t level, std::u16string_view format, const A&... args) {
  if (sink == nullptr || !LogEnabled(level)) return;
  Log(sink, level, Format(format, args...));
}

}  // namespace corvane
