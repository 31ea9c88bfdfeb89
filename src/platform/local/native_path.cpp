#include "platform/local/native_path.h"

#include "platform/local/sync_roots.h"
#include "support/utf.h"

namespace corvane::platform::local {

bool ToNativePath(std::u16string_view windows_path, std::string& native) {
  if (windows_path.find(u'\0') != std::u16string_view::npos) return false;
  if (!Utf16ToUtf8(windows_path, native)) return false;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  native = ToBackingPath(native);
  return true;
}

std::u16string FromNativePath(std::string_view native_path) {
  std::u16string out = Utf8ToUtf16Lossy(ToRootPath(std::string(native_path)));
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

std::u16string NativeNameToWide(std::string_view name) {
  std::u16string out;
  out.reserve(name.size());
  std::u16string piece;
  for (size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (lead == '\\' || length == 0 || i + length > name.size() ||
        !Utf8ToUtf16(name.substr(i, length), piece)) {
      out.push_back(static_cast<char16_t>(0xDC00 + lead));
      ++i;
      continue;
    }
    out += piece;
    i += length;
  }
  return out;
}

}  // namespace corvane::platform::local
