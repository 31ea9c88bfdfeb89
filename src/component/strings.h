// Conversion of the strings that cross the exported interface, with the
// component's code page. Both return 0 or kErrConversion (434).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// A null `text` converts as an empty string.
int32_t NarrowToWide(uint32_t code_page, const char* text, std::u16string& out);
int32_t NarrowToWide(uint32_t code_page, std::string_view text, std::u16string& out);
int32_t WideToNarrow(uint32_t code_page, std::u16string_view text, std::string& out);

// Reads a NUL-terminated UTF-16 string that the host handed over; null is "".
std::u16string_view WideArg(const void* text);

}  // namespace corvane
