// Text services of the system: code-page conversion with the semantics of
// MultiByteToWideChar/WideCharToMultiByte under MB_ERR_INVALID_CHARS and no
// default character, English system message texts, thread identity.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::platform {

constexpr uint32_t CP_ACP = 0;  // the system's ANSI code page
constexpr uint32_t CP_UTF8 = 65001;

// Converts `in_len` bytes (-1: up to and including the NUL) to UTF-16.
// With `out_len` 0 only measures. Returns the number of char16_t written or
// needed; 0 on failure with the reason in platform::GetLastError():
// ERROR_NO_UNICODE_TRANSLATION for a byte sequence that does not map,
// ERROR_INVALID_PARAMETER for an unknown code page or bad arguments,
// ERROR_INSUFFICIENT_BUFFER when `out_len` is too small.
int32_t MultiByteToWideChar(uint32_t code_page, const char* in, int32_t in_len, char16_t* out,
                            int32_t out_len);

// The reverse; a character the code page cannot hold fails with
// ERROR_NO_UNICODE_TRANSLATION instead of becoming a default character.
int32_t WideCharToMultiByte(uint32_t code_page, const char16_t* in, int32_t in_len, char* out,
                            int32_t out_len);

// Whether the code page is one this system can convert.
bool IsCodePageSupported(uint32_t code_page);

// English text of a Win32 error code, ending in "\r\n" like FormatMessage;
// empty for a code without text.
std::u16string SystemMessage(uint32_t error);

uint32_t CurrentThreadId();
uint32_t AnsiCodePage();

}  // namespace corvane::platform
