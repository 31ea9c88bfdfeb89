#include "platform/local/name_escape.h"

#include <cstdio>

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

}  // namespace corvane::platform::local
