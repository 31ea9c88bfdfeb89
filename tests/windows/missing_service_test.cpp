#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/internal_host.h"
#include "temp_folder.h"
// Windows' headers come last: they redefine names the headers above use.
#include "platform/windows/win32.h"

namespace corvane::testing {
namespace {

bool CloudFilesServicePresent() {
  HMODULE module = ::LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return false;
  ::FreeLibrary(module);
  return true;
}

// Without cldapi.dll (older systems, Wine) the component cannot register or
// connect a root; the host must get a result code and a message, and the
// component must stay usable.
TEST(MissingCloudFiles, InstallAndActivateFailWithACodeAndAMessage) {
  if (CloudFilesServicePresent()) GTEST_SKIP() << "cldapi.dll is present on this system";
  TempFolder root;
  const std::u16string path = root.Path();
  HostComponent c;
  ASSERT_EQ(c.SetTextW(10000 + HALVEX_PROP_SYNC_ROOT_PATH, path.c_str()), 0);

  const int32_t install = c.DoPath(HALVEX_METHOD_INSTALL, nullptr);
  EXPECT_NE(install, 0);
  EXPECT_EQ(c.LastCode(), install);
  EXPECT_FALSE(c.LastText().empty());

  std::vector<intptr_t> synchronous = {1};
  const int32_t activate = c.Do(HALVEX_METHOD_ACTIVATE, synchronous);
  EXPECT_NE(activate, 0);
  EXPECT_EQ(c.LastCode(), activate);
  EXPECT_FALSE(c.LastText().empty());
  EXPECT_EQ(c.Get(HALVEX_PROP_ACTIVATION_STATE), 0);

  // Still a working component: configuration answers as before.
  EXPECT_EQ(c.Config("LogLevel=4"), 0);
  EXPECT_EQ(c.Query("LogLevel"), "4");
  EXPECT_EQ(c.Config("LogLevel=3"), 0);
}

}  // namespace
}  // namespace corvane::testing
