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

TEST_F(LifecycleTest, InstallRecordsTheDefaultsOnceOnly) {
  Host host(Root());
  ASSERT_EQ(host.Install(), 0) << host.LastError();
  auto roots = ShellRoots();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].Id, u"Corvane!" + Sid() + u"!Corvane");
  EXPECT_EQ(roots[0].DisplayNameResource, u"Corvane");
  EXPECT_EQ(roots[0].IconResource, u",0");
  EXPECT_EQ(roots[0].PopulationPolicy, platform::kPopulationPolicyAlwaysFull);
  EXPECT_FALSE(roots[0].RecycleBinUri.has_value());
  // The shell and the platform are asked for the same policies.
  platform::CF_SYNC_ROOT_STANDARD_INFO registered{};
  ASSERT_EQ(platform::CfGetSyncRootInfoByPath(Windows(Root()).c_str(), platform::CF_SYNC_ROOT_INFO_STANDARD,
                                              &registered, sizeof registered, nullptr),
            platform::S_OK);
  EXPECT_EQ(roots[0].HydrationPolicy, registered.HydrationPolicy.Primary);
  EXPECT_EQ(roots[0].HydrationPolicyModifier, registered.HydrationPolicy.Modifier);
  EXPECT_EQ(roots[0].InSyncPolicy, registered.InSyncPolicy);
  EXPECT_EQ(roots[0].HardlinkPolicy, registered.HardLinkPolicy);
  EXPECT_EQ(registered.PopulationPolicy.Primary, platform::CF_POPULATION_POLICY_ALWAYS_FULL);
  // A second install finds the root registered and leaves the shell alone.
  host.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "Renamed");
  ASSERT_EQ(host.Install(), 0);
  ASSERT_EQ(ShellRoots().size(), 1u);
  EXPECT_EQ(ShellRoots()[0].DisplayNameResource, u"Corvane");

  // A folder inside the root is no root of its own: installing there fails
  // at once, not at Activate, and leaves the root's registrations alone.
  std::filesystem::create_directories(Root() + "/inner");
  Host nested(Root() + "/inner");
  EXPECT_EQ(nested.Install(), kErrInitFailed);
  EXPECT_TRUE(IsRegistered(Root()));
  EXPECT_EQ(ShellRoots().size(), 1u);
}

TEST_F(LifecycleTest, SettingsShapeTheIdAndTheShellRecord) {
  Host host(Root());
  host.Config("WindowsStorageProviderId=Acme");
  host.Config("WindowsStorageProviderAccount=ann@example.com");
  host.Config("WindowsCreatePlaceholdersOnDemand=true");
  host.Config("WindowsRecycleBinURL=https://example.com/bin");
  host.SetText(HALVEX_PROP_SYNC_ROOT_ICON, "icons.dll,3");
  ASSERT_EQ(host.Install(), 0) << host.LastError();
  auto roots = ShellRoots();
  ASSERT_EQ(roots.size(), 1u);
  const std::u16string id = u"Acme!" + Sid() + u"!ann@example.com";
  EXPECT_EQ(roots[0].Id, id);
  EXPECT_EQ(roots[0].IconResource, u"icons.dll,3");
  EXPECT_EQ(roots[0].PopulationPolicy, platform::kPopulationPolicyFull);
  EXPECT_EQ(roots[0].RecycleBinUri.value_or(u""), u"https://example.com/bin");
  // On demand, an activation populates nothing up front.
  ASSERT_EQ(host.Activate(true), 0) << host.LastError();
  EXPECT_FALSE(host.Logged("Creating placeholders"));
  ASSERT_EQ(host.Uninstall(), 0);
  ExpectNothingRegistered(id);
}

TEST_F(LifecycleTest, FailedShellRegistrationLeavesNoPlatformRegistration) {
  Host host(Root());
  host.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "a\\b");  // no valid part of an id
  EXPECT_NE(host.Install(), 0);
  EXPECT_FALSE(IsRegistered(Root()));
  EXPECT_TRUE(ShellRoots().empty());
  host.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "Fixed");
  ASSERT_EQ(host.Install(), 0) << host.LastError();  // so a second try can succeed
  EXPECT_EQ(ShellRoots().size(), 1u);
}

TEST_F(LifecycleTest, ItemDomainMakesTheRootASubfolder) {
  Host host(Root());
  host.Config("ItemDomain=Work");
  ASSERT_EQ(host.Install(), 0) << host.LastError();
  EXPECT_TRUE(std::filesystem::is_directory(Root() + "/Work"));
  EXPECT_TRUE(IsRegistered(Root() + "/Work"));
  EXPECT_FALSE(IsRegistered(Root()));
  ASSERT_EQ(host.Activate(true), 0) << host.LastError();
  EXPECT_EQ(host.engine().provider->relative_root(), Windows(Root() + "/Work/"));
  std::filesystem::create_directories(Root() + "/Work/docs");
  EXPECT_EQ(host.engine().ProbeItem(u"\\docs"), ItemKind::kFolder);
  EXPECT_EQ(host.engine().ProbeItem(u"\\Work"), ItemKind::kMissing);
  EXPECT_EQ(host.Uninstall(), 0);
  EXPECT_FALSE(IsRegistered(Root() + "/Work"));
}

TEST_F(LifecycleTest, RootThatIsMissingOrAFileIsRefused) {
  std::ofstream(Root() + "/file") << "x";
  for (const std::string& bad : {Root() + "/missing", Root() + "/file"}) {
    Host host(bad);
    EXPECT_EQ(host.Install(), kErrInitFailed) << bad;
    const std::u16string shown = Windows(bad);
    EXPECT_TRUE(host.Logged("Invalid SyncSyncRootPath value: '" + std::string(shown.begin(), shown.end()) + "'"));
    EXPECT_EQ(host.Activate(true), kErrInitFailed) << bad;
    EXPECT_EQ(host.Uninstall(), kErrInvalidParameter) << bad;
  }
  EXPECT_TRUE(ShellRoots().empty());
}

TEST_F(LifecycleTest, RegistrationOverItsTimeLimitFailsAndStillEndsBeforeDestroy) {
  Host host(Root());
  host.engine().registration_time_limit_ms = 100;
  host.Config("WaitForInstallToComplete=2000");  // waited on the registration thread
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.Install(), kErrOsCallFailed);
  // Well before the registration ends, however loaded the machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_TRUE(host.Logged("Provider registration thread execution took too much time"));
  host.Destroy();
  ExpectNoThreadLeft();
  EXPECT_EQ(ShellRoots().size(), 1u);  // the late registration did finish

  // A connection that arrives after the limit is not kept.
  Host late(Root());
  late.engine().registration_time_limit_ms = 100;
  late.HoldConnect(400);
  EXPECT_EQ(late.Activate(true), kErrOsCallFailed);
  EXPECT_EQ(late.State(), 0);
  late.Destroy();
  ExpectNoThreadLeft();
  EXPECT_EQ(Host(Root()).Activate(true), 0);
}

}  // namespace
}  // namespace corvane::testing
