// The digit of a value's low four bits, for every hex encoder in the library.
#pragma once

namespace corvane {

constexpr char HexDigit(unsigned value, bool upper = false) {
  return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0xF];
}

}  // namespace corvane
