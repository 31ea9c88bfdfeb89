// Item names a host lists and paths it passes: a name accepted as one item is
// also a safe relative path, and a prepared sync-root path never keeps a ".."
// component and is a fixed point of its own preparation.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/sync_root_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);

  if (corvane::IsSafeItemName(text) && !text.empty()) {
    if (!corvane::IsSafeRelativePath(u"\\" + text)) std::abort();
    if (!corvane::IsSafeRelativePath(u"\\folder\\" + text)) std::abort();
  }
  const std::u16string normal = corvane::NormalizeSeparators(text);
  if (normal.find(u'/') != std::u16string::npos) std::abort();
  (void)corvane::IsSafeRelativePath(normal);

  if (text.find(u'\0') == std::u16string::npos) {
    const std::u16string prepared = corvane::PrepareSyncRootPath(text);
    if ((u"\\" + prepared + u"\\").find(u"\\..\\") != std::u16string::npos) std::abort();
    if (corvane::PrepareSyncRootPath(prepared) != prepared) std::abort();
  }
  return 0;
}
