// Text forms of setting values: how a written value is read and how a stored
// value is answered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// "TRUE", "yes" or "1" in any letter case; everything else is false.
bool ParseBooleanValue(std::string_view value);

// "TRUE"/"yes" = 1, "FALSE"/"no" = 0, "0x..." hexadecimal, otherwise decimal
// with an optional sign. Reading stops at the first non-digit; the number
// wraps to 32 bits rather than failing, so any text gives a value.
uint32_t ParseIntegerValue(std::string_view value);

// The same number rules without the boolean words.
uint32_t ParseNumberValue(std::string_view value);

const char* BooleanAnswer(bool value);
std::string SignedAnswer(int32_t value);
std::string UnsignedAnswer(uint32_t value);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace corvane
