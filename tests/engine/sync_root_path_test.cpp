#include <gtest/gtest.h>

#include <string>

#include "support/sync_root_path.h"

namespace corvane {
namespace {

TEST(SyncRootPath, PreparationCollapsesSeparatorsAndResolvesDots) {
  const struct { std::u16string in, out; } cases[] = {
      {u"", u""},
      {u"/home/ann/Cloud", u"\\home\\ann\\Cloud"},
      {u"/home//ann/./Cloud/", u"\\home\\ann\\Cloud"},
      {u"/home/ann/../bob/Cloud", u"\\home\\bob\\Cloud"},
      {u"/../../x", u"\\x"},           // never above the root
      {u"C:/Users/../..", u"C:\\"},    // nor above the drive
      {u"C:\\", u"C:\\"},
      {u"c:data\\x", u"c:\\data\\x"},
      {u"/", u"\\"},
      {u"//", u"\\"},
      {u"a/b/../c", u"a\\c"},
      {u"a/..", u""},
      {u"\\\\?\\C:\\roots\\a\\", u"C:\\roots\\a"},  // the plain form of a long-path root
      {u"\\\\?\\Volume{1}\\a\\", u"\\\\?\\Volume{1}\\a"},
      {u"\\\\?\\.\\C:\\roots", u"C:\\roots"},  // a dot before the drive
  };
  for (const auto& item : cases) {
    EXPECT_EQ(PrepareSyncRootPath(item.in), item.out) << std::string(item.in.begin(), item.in.end());
  }
}

// Preparing twice must not move the root: the path is prepared once per
// component, but a host may hand back what it read from the property.
TEST(SyncRootPath, PreparationIsAFixedPoint) {
  for (const char16_t* path : {u"a\\..\\C:x", u"a/../c:", u"a/../C:../y", u"x/../C:x/../..", u"c:data\\x",
                               u"\\C:x", u"C:a\\..\\D:x", u"a\\..\\..\\C:\\d"}) {
    const std::u16string once = PrepareSyncRootPath(path);
    EXPECT_EQ(PrepareSyncRootPath(once), once) << std::string(once.begin(), once.end());
  }
  EXPECT_EQ(PrepareSyncRootPath(u"a\\..\\C:x"), u"C:\\x");
}

TEST(SyncRootPath, RelativePathsMustStayBelowTheRoot) {
  for (const char16_t* path : {u"\\a\\b.txt", u"a\\b.txt", u"", u"\\", u"\\a..b", u"\\.x", u"\\a\\.\\b",
                               u"\\x:y", u"\\...a", u"\\:y", u"\\a\\:b"}) {
    EXPECT_TRUE(IsSafeRelativePath(path)) << std::u16string(path).size();
  }
  for (const char16_t* path : {u"..", u"\\..", u"\\a\\..\\..\\b", u"..\\x", u"\\a\\..", u"C:\\x", u"z:",
                               u"\\\\srv\\share", u"\\\\?\\C:\\x", u"\\a\\. .\\b", u"\\...", u"\\.. "}) {
    EXPECT_FALSE(IsSafeRelativePath(path)) << std::u16string(path).size();
  }
  EXPECT_FALSE(IsSafeRelativePath(std::u16string(u"\\a\0\\..", 6)));
  EXPECT_TRUE(IsSafeItemName(u"report 2024..final.txt"));
  EXPECT_FALSE(IsSafeItemName(u"a\\b"));
  EXPECT_FALSE(IsSafeItemName(u"."));
  EXPECT_FALSE(IsSafeItemName(std::u16string(u"a\0b", 3)));
}

}  // namespace
}  // namespace corvane
