#include "component/strings.h"

#include <cstring>

#include "diag/result_codes.h"
#include "platform/codepage.h"

namespace corvane {

int32_t NarrowToWide(uint32_t code_page, const char* text, std::u16string& out) {
  return NarrowToWide(code_page, text != nullptr ? std::string_view(text) : std::string_view(), out);
}

int32_t NarrowToWide(uint32_t code_page, std::string_view text, std::u16string& out) {
  return CodePageToUtf16(code_page, text, out) ? kOk : kErrConversion;
}

int32_t WideToNarrow(uint32_t code_page, std::u16string_view text, std::string& out) {
  return Utf16ToCodePage(code_page, text, out) ? kOk : kErrConversion;
}

std::u16string_view WideArg(const void* text) {
  if (text == nullptr) return {};
  return std::u16string_view(static_cast<const char16_t*>(text));
}

}  // namespace corvane
