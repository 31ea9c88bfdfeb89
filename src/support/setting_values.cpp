#include "support/setting_values.h"

namespace corvane {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool ParseBooleanValue(std::string_view value) {
  return EqualsIgnoreCase(value, "TRUE") || EqualsIgnoreCase(value, "yes") || value == "1";
}

uint32_t ParseIntegerValue(std::string_view value) {
  if (EqualsIgnoreCase(value, "TRUE") || EqualsIgnoreCase(value, "yes")) return 1;
  if (EqualsIgnoreCase(value, "FALSE") || EqualsIgnoreCase(value, "no")) return 0;
  return ParseNumberValue(value);
}

uint32_t ParseNumberValue(std::string_view value) {
  uint32_t result = 0;
  if (value.size() >= 2 && value[0] == '0' && Lower(value[1]) == 'x') {
    for (size_t i = 2; i < value.size(); ++i) {
      int digit = HexDigit(value[i]);
      if (digit < 0) break;
      result = result * 16u + static_cast<uint32_t>(digit);
    }
    return result;
  }
  size_t pos = 0;
  bool negative = false;
  if (pos < value.size() && (value[pos] == '+' || value[pos] == '-')) {
    negative = value[pos] == '-';
    ++pos;
  }
  for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos) {
    result = result * 10u + static_cast<uint32_t>(value[pos] - '0');
  }
  return negative ? 0u - result : result;
}

const char* BooleanAnswer(bool value) { return value ? "True" : "False"; }

std::string SignedAnswer(int32_t value) { return std::to_string(value); }

std::string UnsignedAnswer(uint32_t value) { return std::to_string(value); }

}  // namespace corvane
