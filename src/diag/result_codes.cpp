#include "diag/result_codes.h"

#include "halvex/corvane.h"

#include "platform/codepage.h"
#include "platform/text.h"

namespace corvane {
// The public header stays self-contained; its values must be the table's.
#define CORVANE_CODE_MATCHES_HEADER(name, value, macro, text) \
  static_assert(name == (macro), #name " differs from " #macro " in corvane.h");
CORVANE_RESULT_CODES(CORVANE_CODE_MATCHES_HEADER)
#undef CORVANE_CODE_MATCHES_HEADER

std::string ResultMessage(int32_t code) {
  if (code == 0) return {};
  if (const char* text = TableMessage(code)) return text;
  if (code >= kOwnCodeBase) return "Unknown error";
  std::u16string text = platform::SystemMessage(static_cast<uint32_t>(code));
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0) text.resize(text.size() - 2);
  std::string narrow;
  if (!Utf16ToCodePage(platform::AnsiCodePage(), text, narrow)) return {};
  return narrow;
}

uint32_t CompletionStatusFor(int32_t code) {
  switch (code) {
    case kOk:
    case kErrPending:
      return 0;
    case kErrInvalidParameter:
    case kErrInvalidOpId:
      return 0xC000CF0B;  // STATUS_CLOUD_FILE_INVALID_REQUEST
    case kErrOperationDenied:
      return 0xC000CF18;  // STATUS_CLOUD_FILE_ACCESS_DENIED
    case kErrLocalItemNotFound:
      return 0xC000CF08;  // STATUS_CLOUD_FILE_NOT_IN_SYNC
    case kErrNoData:
      return 0xC000CF16;  // STATUS_CLOUD_FILE_REQUEST_ABORTED
    default:
      return 0xC000CF12;  // STATUS_CLOUD_FILE_UNSUCCESSFUL
  }
}

}  // namespace corvane
