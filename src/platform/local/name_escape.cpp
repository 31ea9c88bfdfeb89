#include "platform/local/name_escape.h"

#include <cstdio>
#include <cstdlib>

#include "support/utf.h"

namespace corvane::platform::local {
namespace {

void AppendEscaped(std::string& out, unsigned char c) {
  char hex[4];
  std::snprintf(hex, sizeof hex, "%%%02X", c);
  out += hex;
}

char16_t FoldCase(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

}  // namespace

bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

bool EscapeNameForFile(std::u16string_view name, std::string& out) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldCase(c);
  std::string utf8;
  if (name.empty() || !Utf16ToUtf8(folded, utf8)) return false;
  out.clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '/' || c == '%' || c == '#' || c < 0x20 || c == 0x7F || (i == 0 && c == '.')) {
      AppendEscaped(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.size() <= 255;
}

std::string EscapeLine(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      AppendEscaped(out, static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

std::string UnescapeLine(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::strtoul(std::string(text.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace corvane::platform::local
