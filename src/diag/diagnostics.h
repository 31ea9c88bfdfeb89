// Error state of one component: the last error and the event error of every
// calling thread, and the OS error kept beside HALVEX_ERR_OS_CALL_FAILED.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "diag/log.h"
#include "platform/per_thread.h"

namespace corvane {

struct ErrorInfo {
  int32_t code = 0;
  std::string text;  // 8-bit, in the component's code page
};

class Diagnostics {
 public:
  explicit Diagnostics(LogSink* sink);
  Diagnostics(const Diagnostics&) = delete;
  Diagnostics& operator=(const Diagnostics&) = delete;

  LogSink* log_sink() const { return sink_; }

  // Recorded texts are converted with this code page for the log; without
  // one the system's ANSI code page is used.
  void BindCodePage(const std::atomic<uint32_t>* code_page) { code_page_ = code_page; }

  // Stores (code, text) as the calling thread's last error, logs a non-zero
  // code and returns it, so a failing operation can end with
  // `return diag.Record(...)`.
  int32_t Record(int32_t code, std::string_view text);
  int32_t RecordCode(int32_t code);

  ErrorInfo LastError() const;
  int32_t LastErrorCode() const;
  void SetLastError(int32_t code, std::string_view text);
  void SetLastErrorCode(int32_t code);
  // Valid until the calling thread's next change of its last error.
  const std::string& LastErrorText();

  ErrorInfo EventError() const;
  int32_t EventErrorCode() const;
  // Whether the calling thread's handler left an event-error text.
  bool HasEventErrorText() const;
  void SetEventError(int32_t code, std::string_view text);
  void ClearEventError();
  // Valid until the calling thread's next change of its event error.
  const std::string& EventErrorText();

  uint32_t OsLastError() const { return os_last_error_.load(); }
  void SetOsLastError(uint32_t value) { os_last_error_.store(value); }
  uint32_t TakeOsLastError() { return os_last_error_.exchange(0); }

 private:
  std::u16string ToLogText(std::string_view text) const;

  LogSink* sink_;
  const std::atomic<uint32_t>* code_page_ = nullptr;
  PerThread<ErrorInfo> last_error_;
  PerThread<ErrorInfo> event_error_;
  std::atomic<uint32_t> os_last_error_{0};
};

}  // namespace corvane
