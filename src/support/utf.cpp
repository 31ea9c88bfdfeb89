#include "support/utf.h"

#include <cstdint>

namespace corvane {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `i`; returns false for an ill-formed sequence and
// advances `i` past the bytes that were looked at.
bool DecodeUtf8(std::string_view in, size_t& i, char32_t& cp) {
  const auto b0 = static_cast<uint8_t>(in[i++]);
  if (b0 < 0x80) {
    cp = b0;
    return true;
  }
  int extra;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= in.size()) return false;
    const auto b = static_cast<uint8_t>(in[i]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  return cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes one code point at `i`; false for a lone surrogate.
bool DecodeUtf16(std::u16string_view in, size_t& i, char32_t& cp) {
  const char16_t c = in[i++];
  if (c < 0xD800 || c > 0xDFFF) {
    cp = c;
    return true;
  }
  if (c >= 0xDC00 || i >= in.size()) return false;
  const char16_t low = in[i];
  if (low < 0xDC00 || low > 0xDFFF) return false;
  ++i;
  cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (low - 0xDC00);
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    char32_t cp;
    if (!DecodeUtf8(in, i, cp)) return false;
    AppendUtf16(out, cp);
  }
  return true;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    char32_t cp;
    if (!DecodeUtf16(in, i, cp)) return false;
    AppendUtf8(out, cp);
  }
  return true;
}

std::u16string Utf8ToUtf16Lossy(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    char32_t cp;
    AppendUtf16(out, DecodeUtf8(in, i, cp) ? cp : kReplacement);
  }
  return out;
}

std::string Utf16ToUtf8Lossy(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    char32_t cp;
    AppendUtf8(out, DecodeUtf16(in, i, cp) ? cp : kReplacement);
  }
  return out;
}

}  // namespace corvane
