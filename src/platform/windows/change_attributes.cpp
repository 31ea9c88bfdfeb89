// On Windows the extended change record already carries the attributes the
// file system holds (pinned, unpinned, recall-on-access included), so the
// watch needs this reader only where it rebuilds records from the short form
// of ReadDirectoryChangesW. The native path here is the UTF-8 Windows path.
#include "platform/change_attributes.h"

#include <string>

#include "support/utf.h"
#include "platform/windows/win32.h"

namespace corvane::platform {

AttributeReader FileLayerAttributeReader() {
  return [](const std::string& native_path) -> uint32_t {
    std::u16string path;
    if (!Utf8ToUtf16(native_path, path)) return 0;
    const DWORD attributes = ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str()));
    return attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
  };
}

}  // namespace corvane::platform
