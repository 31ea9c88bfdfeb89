#include "platform/local/native_path.h"

#include "support/utf.h"

namespace corvane::platform::local {

bool ToNativePath(std::u16string_view windows_path, std::string& native) {
  if (windows_path.find(u'\0') != std::u16string_view::npos) return false;
  if (!Utf16ToUtf8(windows_path, native)) return false;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return true;
}

std::u16string FromNativePath(std::string_view native_path) {
  std::u16string out = Utf8ToUtf16Lossy(native_path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

}  // namespace corvane::platform::local
