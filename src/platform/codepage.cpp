#include "platform/codepage.h"

#include <climits>

#include "platform/errors.h"
#include "platform/text.h"
#include "platform/types.h"

namespace corvane {

bool CodePageToUtf16(uint32_t code_page, std::string_view in, std::u16string& out) {
  out.clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX / 2) {
    platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
    return false;
  }
  const auto len = static_cast<int32_t>(in.size());
  const int32_t needed = platform::MultiByteToWideChar(code_page, in.data(), len, nullptr, 0);
  if (needed <= 0) return false;
  out.resize(static_cast<size_t>(needed));
  return platform::MultiByteToWideChar(code_page, in.data(), len, out.data(), needed) == needed;
}

bool Utf16ToCodePage(uint32_t code_page, std::u16string_view in, std::string& out) {
  out.clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX / 4) {
    platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
    return false;
  }
  const auto len = static_cast<int32_t>(in.size());
  const int32_t needed = platform::WideCharToMultiByte(code_page, in.data(), len, nullptr, 0);
  if (needed <= 0) return false;
  out.resize(static_cast<size_t>(needed));
  return platform::WideCharToMultiByte(code_page, in.data(), len, out.data(), needed) == needed;
}

std::u16string CodePageToUtf16Lossy(uint32_t code_page, std::string_view in) {
  std::u16string out;
  if (CodePageToUtf16(code_page, in, out)) return out;
  out.clear();
  for (char c : in) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace corvane
