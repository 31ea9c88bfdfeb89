// corvane.dll under Wine, served by the stand-in cldapi.dll: a provider host
// written against the exports only, and an application acting through the
// stand-in's filter calls.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e_hydration/provider_host.h"
#include "standin.h"

namespace corvane::e2e {
namespace {

using namespace std::chrono_literals;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

TEST(CorvaneUnderStandin, LifecycleHydrationListingAndDelete) {
  const std::filesystem::path base = std::filesystem::temp_directory_path() /
                                     ("corvane-e2e-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(base / "root");
  const std::string root = (base / "root").string();
  standin::Application app;
  ASSERT_TRUE(app.Available()) << "cldapi.dll in system32 is not the stand-in";
  {
    ProviderHost host(root);
    ASSERT_EQ(host.Config("WindowsCreatePlaceholdersOnDemand=true"), 0);
    if (getenv("CORVANE_E2E_LOG")) host.Config("LogLevel=4");
    ASSERT_EQ(host.Start(), 0) << host.LastError();

    const std::string bytes = RemoteBytes(300000, 7);
    ASSERT_EQ(host.AddRemoteFile("a.bin", bytes), 0);
    std::string read;
    ASSERT_EQ(app.ReadAll(Wide(root + "\\a.bin"), read), S_OK);
    EXPECT_TRUE(read == bytes);
    EXPECT_GE(host.Events(HALVEX_EVENT_GET_FILE_DATA).size(), 1u);

    std::vector<WIN32_FIND_DATAW> entries;
    ASSERT_EQ(app.List(Wide(root), entries), S_OK);
    ASSERT_EQ(app.Delete(Wide(root + "\\a.bin")), S_OK);
    EXPECT_TRUE(host.WaitFor(HALVEX_EVENT_DELETE_FILE, 1, 20s));
    EXPECT_EQ(host.Deactivate(), 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
}

}  // namespace
}  // namespace corvane::e2e
