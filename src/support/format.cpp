#include "support/format.h"

#include <algorithm>

#include "support/hex.h"

namespace corvane {
namespace {

struct Directive {
  bool zero_pad = false;
  bool left = false;
  size_t width = 0;
  int size_bits = 32;  // 16 (h), 32, 64 (I64, ll)
  char16_t conversion = 0;
};

void AppendDigits(std::u16string& out, uint64_t value, unsigned base, bool upper) {
  char16_t buf[24];
  size_t n = 0;
  do {
    buf[n++] = static_cast<char16_t>(HexDigit(static_cast<unsigned>(value % base), upper));
    value /= base;
  } while (value != 0);
  while (n > 0) out.push_back(buf[--n]);
}

// The argument's value seen through the directive's size, as printf would
// read it from a register of that width.
uint64_t Bits(const FormatArg& arg, int size_bits) {
  const auto v = static_cast<uint64_t>(arg.as_int64());
  if (size_bits == 16) return v & 0xFFFF;
  if (size_bits == 32) return v & 0xFFFFFFFFu;
  return v;
}

std::u16string Number(const FormatArg& arg, const Directive& d) {
  std::u16string digits;
  bool negative = false;
  const uint64_t bits = Bits(arg, d.size_bits);
  switch (d.conversion) {
    case u'd':
    case u'i': {
      int64_t s;
      if (d.size_bits == 16) s = static_cast<int16_t>(bits);
      else if (d.size_bits == 32) s = static_cast<int32_t>(bits);
      else s = static_cast<int64_t>(bits);
      negative = s < 0;
      AppendDigits(digits, negative ? 0 - static_cast<uint64_t>(s) : static_cast<uint64_t>(s), 10, false);
      break;
    }
    case u'u':
      AppendDigits(digits, bits, 10, false);
      break;
    default:
      AppendDigits(digits, bits, 16, d.conversion == u'X');
      break;
  }
  std::u16string out;
  const size_t len = digits.size() + (negative ? 1 : 0);
  const size_t pad = d.width > len ? d.width - len : 0;
  if (d.left) {
    if (negative) out.push_back(u'-');
    out += digits;
    out.append(pad, u' ');
  } else if (d.zero_pad) {
    if (negative) out.push_back(u'-');
    out.append(pad, u'0');
    out += digits;
  } else {
    out.append(pad, u' ');
    if (negative) out.push_back(u'-');
    out += digits;
  }
  return out;
}

}  // namespace

std::u16string FormatV(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  auto next = args.begin();
  size_t i = 0;
  while (i < format.size() && out.size() < kMaxFormattedLength) {
    const char16_t c = format[i];
    if (c != u'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    const size_t start = i++;
    if (i < format.size() && format[i] == u'%') {
      out.push_back(u'%');
      ++i;
      continue;
    }
    Directive d;
    for (; i < format.size() && (format[i] == u'0' || format[i] == u'-'); ++i) {
      if (format[i] == u'0') d.zero_pad = true;
      else d.left = true;
    }
    for (; i < format.size() && format[i] >= u'0' && format[i] <= u'9'; ++i) {
      d.width = std::min<size_t>(d.width * 10 + (format[i] - u'0'), kMaxFormattedLength);
    }
    if (format.substr(i, 3) == u"I64") {
      d.size_bits = 64, i += 3;
    } else if (format.substr(i, 2) == u"ll") {
      d.size_bits = 64, i += 2;
    } else if (i < format.size() && format[i] == u'h') {
      d.size_bits = 16, ++i;
    } else if (i < format.size() && format[i] == u'l') {
      ++i;  // long is 32-bit where this format comes from
    }
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    d.conversion = format[i++];
    const bool numeric = d.conversion == u'd' || d.conversion == u'i' || d.conversion == u'u' ||
                         d.conversion == u'x' || d.conversion == u'X';
    const bool string = d.conversion == u's';
    const bool have_arg = next != args.end();
    if (!have_arg || !(numeric || string) || next->is_string() != string) {
      // A directive the formatter cannot satisfy stays visible in the text
      // instead of reading a wrong argument.
      out.append(format.substr(start, i - start));
      if (have_arg && (numeric || string)) ++next;
      continue;
    }
    const FormatArg& arg = *next++;
    if (string) {
      std::u16string_view s = arg.as_string();
      const size_t pad = d.width > s.size() ? d.width - s.size() : 0;
      if (!d.left) out.append(pad, u' ');
      out.append(s);
      if (d.left) out.append(pad, u' ');
    } else {
      out += Number(arg, d);
    }
  }
  if (out.size() > kMaxFormattedLength) out.resize(kMaxFormattedLength);
  return out;
}

}  // namespace corvane
