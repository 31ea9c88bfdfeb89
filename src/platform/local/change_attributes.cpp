#include "platform/change_attributes.h"

#include "platform/files.h"
#include "platform/local/native_path.h"

namespace corvane::platform {

AttributeReader FileLayerAttributeReader() {
  return [](const std::string& native_path) -> uint32_t {
    const std::u16string path = local::FromNativePath(native_path);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
  };
}

}  // namespace corvane::platform
