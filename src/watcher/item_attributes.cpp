#include "watcher/item_attributes.h"

#include "platform/types.h"

namespace corvane {
namespace {

constexpr int32_t kItemReadOnly = 0x2;
constexpr int32_t kItemHidden = 0x4;
constexpr int32_t kItemSystem = 0x8;
constexpr int32_t kItemPinned = 0x00100000;
constexpr int32_t kItemUnpinned = 0x00200000;
constexpr int32_t kItemFolder = 0x40000000;

}  // namespace

int32_t ItemAttributesFromPlatform(uint32_t attrs) {
  using namespace platform;
  int32_t item = 0;
  if (attrs & FILE_ATTRIBUTE_READONLY) item |= kItemReadOnly;
  if (attrs & FILE_ATTRIBUTE_HIDDEN) item |= kItemHidden;
  if (attrs & FILE_ATTRIBUTE_SYSTEM) item |= kItemSystem;
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) item |= kItemFolder;
  if (attrs & FILE_ATTRIBUTE_PINNED)
    item |= kItemPinned;
  else if (attrs & FILE_ATTRIBUTE_UNPINNED)
    item |= kItemUnpinned;
  return item;
}

uint32_t PlatformAttributesFromItem(int32_t item) {
  using namespace platform;
  if (item == 0) return FILE_ATTRIBUTE_NORMAL;
  uint32_t attrs = 0;
  if (item & kItemReadOnly) attrs |= FILE_ATTRIBUTE_READONLY;
  if (item & kItemHidden) attrs |= FILE_ATTRIBUTE_HIDDEN;
  if (item & kItemSystem) attrs |= FILE_ATTRIBUTE_SYSTEM;
  if (item & kItemFolder) attrs |= FILE_ATTRIBUTE_DIRECTORY;
  if (item & kItemPinned)
    attrs |= FILE_ATTRIBUTE_PINNED;
  else if (item & kItemUnpinned)
    attrs |= FILE_ATTRIBUTE_UNPINNED;
  return attrs == 0 ? FILE_ATTRIBUTE_NORMAL : attrs;
}

std::u16string ItemAttributesText(int32_t item) {
  std::u16string text;
  if (item & kItemFolder) text += u"dir,";
  if (item & kItemReadOnly) text += u"readonly,";
  if (item & kItemHidden) text += u"hidden,";
  if (item & kItemSystem) text += u"system,";
  if (item & kItemPinned)
    text += u"pinned,";
  else if (item & kItemUnpinned)
    text += u"unpinned,";
  if (text.empty()) return u"file";
  text.pop_back();
  return text;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace corvane
