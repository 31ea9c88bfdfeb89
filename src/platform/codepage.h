// Whole-string conversions between a Windows code page and UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// Empty input converts to empty output. On failure the strings are left
// unspecified and platform::GetLastError() says why (1113 for text that does
// not convert, 87 for an unknown code page).
bool CodePageToUtf16(uint32_t code_page, std::string_view in, std::u16string& out);
bool Utf16ToCodePage(uint32_t code_page, std::u16string_view in, std::string& out);

// For text that is only shown: falls back to one char16_t per byte.
std::u16string CodePageToUtf16Lossy(uint32_t code_page, std::string_view in);

}  // namespace corvane
