#include "diag/log.h"

#include <atomic>

#include "platform/text.h"

namespace corvane {
namespace {
std::atomic<int32_t> current_log_level{kDefaultLogLevel};
}  // namespace

int32_t CurrentLogLevel() { return current_log_level.load(std::memory_order_relaxed); }
void SetCurrentLogLevel(int32_t level) { current_log_level.store(level, std::memory_order_relaxed); }

std::u16string BuildLogLine(std::u16string_view message) {
  const auto tid = static_cast<int32_t>(platform::CurrentThreadId());
  return Format(u"%s (%d) %s: %s", u" ", tid, u"Sync", message);
}

void Log(LogSink* sink, int32_t level, std::u16string_view message) {
  if (sink == nullptr || !LogEnabled(level)) return;
  sink->DeliverLogLine(level, BuildLogLine(message));
}

void LogOsErrorText(LogSink* sink, uint32_t os_error) {
  if (sink == nullptr || !LogEnabled(kLogVerbose)) return;
  std::u16string text = platform::SystemMessage(os_error);
  if (text.empty()) return;
  if (text.size() > kMaxFormattedLength) text.resize(kMaxFormattedLength);
  Log(sink, kLogVerbose, u"OS error message: " + text);
}

}  // namespace corvane
