// UTF-8 <-> UTF-16 conversion without any platform service. Code pages other
// than UTF-8 go through the platform layer; this is the one conversion the
// library and the platform both need before either exists.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Strict conversions: an ill-formed sequence (bad UTF-8, a lone surrogate)
// makes the call return false and leaves `out` unspecified.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);
bool Utf16ToUtf8(std::u16string_view in, std::string& out);

// Lenient forms for text that is only shown (log lines, messages): ill-formed
// input becomes U+FFFD instead of failing.
std::u16string Utf8ToUtf16Lossy(std::string_view in);
std::string Utf16ToUtf8Lossy(std::u16string_view in);

}  // namespace corvane
