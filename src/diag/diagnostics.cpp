#include "diag/diagnostics.h"

#include "diag/result_codes.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace corvane {

Diagnostics::Diagnostics(LogSink* sink) : sink_(sink) {}

std::u16string Diagnostics::ToLogText(std::string_view text) const {
  const uint32_t cp = code_page_ != nullptr ? code_page_->load() : platform::AnsiCodePage();
  return CodePageToUtf16Lossy(cp, text);
}

int32_t Diagnostics::Record(int32_t code, std::string_view text) {
  if (code != 0) {
    if (code == kErrOsCallFailed && os_last_error_.load() == 0) {
      const uint32_t os_error = platform::GetLastError();
      os_last_error_.store(os_error);
      LogF(sink_, kLogFailure, u"OS error code: 0x%x", os_error);
      LogOsErrorText(sink_, os_error);
    }
    if (LogEnabled(kLogFailure)) LogF(sink_, kLogFailure, u"Sync error code: 0x%x, %s", code, ToLogText(text));
  }
  ErrorInfo& entry = last_error_.Local();
  entry.code = code;
  if (code == kErrOsCallFailed) {
    std::u16string formatted = Format(u"The OS call failed with error 0x%x", os_last_error_.load());
    entry.text.assign(formatted.begin(), formatted.end());  // ASCII only
  } else {
    entry.text.assign(text);
  }
  return code;
}

int32_t Diagnostics::RecordCode(int32_t code) { return Record(code, ResultMessage(code)); }

ErrorInfo Diagnostics::LastError() const { return last_error_.Get(); }

int32_t Diagnostics::LastErrorCode() const {
  return last_error_.Visit([](const ErrorInfo& e) { return e.code; });
}

void Diagnostics::SetLastError(int32_t code, std::string_view text) {
  ErrorInfo& entry = last_error_.Local();
  entry.code = code;
  entry.text.assign(text);
}

void Diagnostics::SetLastErrorCode(int32_t code) { last_error_.Local().code = code; }

const std::string& Diagnostics::LastErrorText() { return last_error_.Local().text; }

ErrorInfo Diagnostics::EventError() const { return event_error_.Get(); }

int32_t Diagnostics::EventErrorCode() const {
  return event_error_.Visit([](const ErrorInfo& e) { return e.code; });
}

bool Diagnostics::HasEventErrorText() const {
  return event_error_.Visit([](const ErrorInfo& e) { return !e.text.empty(); });
}

void Diagnostics::SetEventError(int32_t code, std::string_view text) {
  ErrorInfo& entry = event_error_.Local();
  entry.code = code;
  entry.text.assign(text);
}

void Diagnostics::ClearEventError() { SetEventError(0, {}); }

const std::string& Diagnostics::EventErrorText() { return event_error_.Local().text; }

}  // namespace corvane
