// What an install leaves with the platform and the shell, where the root
// is, and how a registration that takes too long ends.
#include <gtest/gtest.h>

#include <fstream>

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "lifecycle_host.h"
#include "platform/security.h"
#include "provider/provider.h"

namespace corvane::testing {
namespace {

std::u16string Sid() {
  std::u16string sid;
  platform::GetCurrentUserSidString(sid);
  return sid;
}

TEST_F(LifecycleTest, InstallRecordsIdLabelIconAndPoliciesOnce) {
  Host host;
  UseRoot(host, Root());
  ASSERT_EQ(host.Install(), 0) << host.LastText();
  auto roots = ShellRoots();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].Id, u"Corvane!" + Sid() + u"!Corvane");
  EXPECT_EQ(roots[0].DisplayNameResource, u"Corvane");
  EXPECT_EQ(roots[0].IconResource, u",0");
  EXPECT_EQ(roots[0].PopulationPolicy, platform::kPopulationPolicyAlwaysFull);
  EXPECT_EQ(roots[0].InSyncPolicy, 17u);
  EXPECT_TRUE(roots[0].AllowPinning);
  EXPECT_FALSE(roots[0].RecycleBinUri.has_value());

  // A second install finds the root registered and leaves the shell alone.
  host.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "Renamed");
  ASSERT_EQ(host.Install(), 0);
  roots = ShellRoots();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].DisplayNameResource, u"Corvane");
  // The uninstall builds the id from the current label; it still removes
  // the platform record, and the shell's not-found counts as success.
  ASSERT_EQ(host.Uninstall(), 0) << host.LastText();
  EXPECT_FALSE(IsRegistered(Root()));
}

TEST_F(LifecycleTest, SettingsShapeTheIdAndTheShellRecord) {
  Host host;
  UseRoot(host, Root());
  host.Config("WindowsStorageProviderId=Acme");
  host.Config("WindowsStorageProviderAccount=ann@example.com");
  host.Config("WindowsCreatePlaceholdersOnDemand=true");
  host.Config("WindowsRecycleBinURL=https://example.com/bin");
  host.SetText(HALVEX_PROP_SYNC_ROOT_ICON, "icons.dll,3");
  ASSERT_EQ(host.Install(), 0) << host.LastText();
  auto roots = ShellRoots();
  ASSERT_EQ(roots.size(), 1u);
  const std::u16string id = u"Acme!" + Sid() + u"!ann@example.com";
  EXPECT_EQ(roots[0].Id, id);
  EXPECT_EQ(roots[0].IconResource, u"icons.dll,3");
  EXPECT_EQ(roots[0].PopulationPolicy, platform::kPopulationPolicyFull);
  EXPECT_EQ(roots[0].RecycleBinUri.value_or(u""), u"https://example.com/bin");
  // On demand, an activation populates nothing up front.
  ASSERT_EQ(host.Activate(true), 0) << host.LastText();
  EXPECT_FALSE(host.Logged("Creating placeholders"));
  ASSERT_EQ(host.Uninstall(), 0);
  ExpectNothingRegistered(id);
}

TEST_F(LifecycleTest, InstallSurvivesTheProcess) {
  {
    Host host;
    UseRoot(host, Root());
    ASSERT_EQ(host.Install(), 0);
  }
  const std::string root = Root();
  EXPECT_TRUE(InChildProcess([&] {
    Host other;
    other.SetText(HALVEX_PROP_SYNC_ROOT_PATH, root);
    return IsRegistered(root) && other.Activate(true) == 0 && other.State() == 2 && other.Deactivate() == 0;
  }));
}

TEST_F(LifecycleTest, ItemDomainMakesTheRootASubfolder) {
  Host host;
  UseRoot(host, Root());
  host.Config("ItemDomain=Work");
  ASSERT_EQ(host.Install(), 0) << host.LastText();
  EXPECT_TRUE(std::filesystem::is_directory(Root() + "/Work"));
  EXPECT_TRUE(IsRegistered(Root() + "/Work"));
  EXPECT_FALSE(IsRegistered(Root()));
  ASSERT_EQ(host.Activate(true), 0) << host.LastText();
  EXPECT_EQ(host.engine().provider->relative_root(), Windows(Root() + "/Work/"));

  // Items are looked up below the subfolder.
  std::filesystem::create_directories(Root() + "/Work/docs");
  std::ofstream(Root() + "/Work/docs/a.txt") << "x";
  EXPECT_EQ(host.engine().ProbeItem(u"\\docs"), ItemKind::kFolder);
  EXPECT_EQ(host.engine().ProbeItem(u"\\docs\\a.txt"), ItemKind::kFile);
  EXPECT_EQ(host.engine().ProbeItem(u"\\Work"), ItemKind::kMissing);
  EXPECT_EQ(host.engine().ProbeItem(u"\\"), ItemKind::kFolder);
  EXPECT_EQ(host.Uninstall(), 0);
  EXPECT_FALSE(IsRegistered(Root() + "/Work"));
}

TEST_F(LifecycleTest, RootThatIsMissingOrAFileIsRefused) {
  std::ofstream(Root() + "/file") << "x";
  for (const std::string& bad : {Root() + "/missing", Root() + "/file"}) {
    Host host;
    UseRoot(host, bad);
    EXPECT_EQ(host.Install(), kErrInitFailed) << bad;
    EXPECT_TRUE(host.Logged("Invalid SyncSyncRootPath value: '" + Utf16ToUtf8Lossy(Windows(bad)) + "'")) << bad;
    EXPECT_EQ(host.Activate(true), kErrInitFailed) << bad;
    EXPECT_EQ(host.Uninstall(), kErrInvalidParameter) << bad;
  }
  EXPECT_TRUE(ShellRoots().empty());
}

TEST_F(LifecycleTest, RegistrationOverItsTimeLimitFailsAndStillEndsBeforeDestroy) {
  Host host;
  UseRoot(host, Root());
  host.engine().registration_time_limit_ms = 100;
  // The shell step waits WaitForInstallToComplete on the registration thread.
  host.Config("WaitForInstallToComplete=700");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.Install(), kErrOsCallFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
  EXPECT_TRUE(host.Logged("Provider registration thread execution took too much time"));
  host.Destroy();  // must wait for the registration to end
  ExpectNoThreadLeft();
  EXPECT_EQ(ShellRoots().size(), 1u);  // the late registration did finish

  // An activation whose connection arrives after the limit does not keep it.
  Host late;
  UseRoot(late, Root());
  late.engine().registration_time_limit_ms = 100;
  late.on_log = [](const std::string& line) {
    if (line.find("Connecting sync root") != std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
  };
  EXPECT_EQ(late.Activate(true), kErrOsCallFailed);
  EXPECT_EQ(late.State(), 0);
  late.Destroy();
  ExpectNoThreadLeft();
  Host next;
  UseRoot(next, Root());
  EXPECT_EQ(next.Activate(true), 0) << next.LastText();
}

TEST_F(LifecycleTest, RelativePathsAreCutAtTheRootOnly) {
  Host host;
  std::unique_ptr<Provider> provider(Provider::Create(host.engine(), Windows(Root())));
  ASSERT_NE(provider, nullptr);
  std::u16string relative;
  const std::u16string root = Windows(Root());
  ASSERT_EQ(provider->GetRelativePath(root + u"\\a\\b.txt", &relative), 0);
  EXPECT_EQ(relative, u"\\a\\b.txt");
  std::u16string upper = root;
  for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  ASSERT_EQ(provider->GetRelativePath(upper + u"\\x", &relative), 0);
  EXPECT_EQ(relative, u"\\x");
  EXPECT_EQ(provider->GetRelativePath(root, &relative), kErrInvalidParameter);
  EXPECT_EQ(provider->GetRelativePath(root + u"\\", &relative), kErrInvalidParameter);
  EXPECT_EQ(provider->GetRelativePath(root + u"other\\a", &relative), kErrInvalidParameter);
  EXPECT_TRUE(host.Logged("Failed to get relative path for '"));
  EXPECT_EQ(Provider::Create(host.engine(), Windows(Root() + "/missing")), nullptr);
}

}  // namespace
}  // namespace corvane::testing
