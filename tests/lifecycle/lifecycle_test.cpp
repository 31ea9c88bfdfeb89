// The whole life of a sync root through the exports, in the orders a host
// uses and in the wrong ones.
#include <gtest/gtest.h>

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "lifecycle_host.h"
#include "provider/registration.h"

namespace corvane::testing {
namespace {

std::u16string OnlyShellId() {
  auto roots = platform::StorageProviderSyncRootManager::GetCurrentSyncRoots;
  std::vector<platform::StorageProviderSyncRootInfo> list;
  roots(list);
  return list.size() == 1 ? list[0].Id : u"";
}

TEST_F(LifecycleTest, HostOrderInstallsActivatesBothWaysAndLeavesNothingBehind) {
  std::u16string id;
  {
    Host host;
    UseRoot(host, Root());
    host.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "My Cloud");
    ASSERT_EQ(host.Install(), 0) << host.LastText();
    EXPECT_TRUE(IsRegistered(Root()));
    id = OnlyShellId();
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(HasShellKey(id));

    ASSERT_EQ(host.Activate(true), 0) << host.LastText();
    EXPECT_EQ(host.State(), 2);
    EXPECT_TRUE(host.engine().root_connection != nullptr);
    EXPECT_TRUE(host.Logged("Creating placeholders..."));
    EXPECT_TRUE(host.WaitActivated(1, 0).empty());  // no event for a synchronous activation
    EXPECT_EQ(host.Deactivate(), 0);
    EXPECT_EQ(host.State(), 0);
    EXPECT_TRUE(host.engine().root_connection == nullptr);
    EXPECT_TRUE(host.engine().placeholder_manager == nullptr);

    ASSERT_EQ(host.Activate(false), 0);
    EXPECT_EQ(host.WaitActivated(1), std::vector<int32_t>{0});
    EXPECT_EQ(host.State(), 2);
    EXPECT_EQ(host.Deactivate(), 0);
    EXPECT_EQ(host.Uninstall(), 0) << host.LastText();
  }
  ExpectNothingRegistered(id);
  ExpectNoThreadLeft();
}

TEST_F(LifecycleTest, WrongOrdersGiveTheirCodes) {
  Host host;
  UseRoot(host, Root());
  EXPECT_EQ(host.Deactivate(), kErrNotReady);
  EXPECT_EQ(host.LastText(), "The sync operation is not active");
  // The root is not registered yet: Activate cannot connect it.
  EXPECT_EQ(host.Activate(true), kErrNotInstalled);
  EXPECT_EQ(host.State(), 0);
  EXPECT_TRUE(host.engine().placeholder_manager == nullptr);  // a failed activation uninitialises
  EXPECT_EQ(host.Uninstall(), kErrInvalidParameter);  // not a sync root
  EXPECT_EQ(host.LastText(), "Invalid input parameter");

  ASSERT_EQ(host.Install(), 0);
  ASSERT_EQ(host.Activate(true), 0);
  EXPECT_EQ(host.Activate(true), kErrAlreadyActive);
  EXPECT_EQ(host.Activate(false), kErrAlreadyActive);
  EXPECT_EQ(host.Install(), kErrAlreadyActive);
  EXPECT_EQ(host.LastText(), "The sync operation has already been started");
  EXPECT_EQ(host.State(), 2);

  // Uninstall while active deactivates first.
  EXPECT_EQ(host.Uninstall(), 0) << host.LastText();
  EXPECT_EQ(host.State(), 0);
  EXPECT_FALSE(IsRegistered(Root()));
  EXPECT_EQ(host.Deactivate(), kErrNotReady);
}

TEST_F(LifecycleTest, AsynchronousFailureArrivesOnlyThroughTheEvent) {
  Host host;
  UseRoot(host, Root());
  EXPECT_EQ(host.Activate(false), 0);
  EXPECT_EQ(host.WaitActivated(1), std::vector<int32_t>{kErrNotInstalled});
  EXPECT_EQ(host.State(), 0);
  // The registration thread reports its own failure as well.
  EXPECT_EQ(host.Errors(), std::vector<int32_t>{kErrNotInstalled});
  host.Destroy();
  ExpectNoThreadLeft();
}

TEST_F(LifecycleTest, DestroyWhileActiveOrActivatingStopsEverything) {
  {
    Host installer;
    UseRoot(installer, Root());
    ASSERT_EQ(installer.Install(), 0);
  }
  {
    Host host;
    UseRoot(host, Root());
    ASSERT_EQ(host.Activate(true), 0);
  }  // destroyed while active
  ExpectNoThreadLeft();

  Host host;
  UseRoot(host, Root());
  // Hold the activation inside its registration so the destroy meets it there.
  std::atomic<bool> reached{false};
  host.on_log = [&](const std::string& line) {
    if (line.find("Connecting sync root") != std::string::npos) {
      reached = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  };
  ASSERT_EQ(host.Activate(false), 0);
  while (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  host.Destroy();
  EXPECT_TRUE(host.WaitActivated(1, 0).empty());  // a stopped activation reports nothing
  ExpectNoThreadLeft();
  // Nothing stayed connected: another component can connect the root.
  Host next;
  UseRoot(next, Root());
  EXPECT_EQ(next.Activate(true), 0) << next.LastText();
}

TEST_F(LifecycleTest, DeactivateDuringAsynchronousActivationCancelsIt) {
  Host host;
  UseRoot(host, Root());
  ASSERT_EQ(host.Install(), 0);
  std::atomic<bool> reached{false};
  host.on_log = [&](const std::string& line) {
    if (line.find("Connecting sync root") != std::string::npos) {
      reached = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  };
  ASSERT_EQ(host.Activate(false), 0);
  while (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(host.Deactivate(), 0);
  EXPECT_EQ(host.State(), 0);
  EXPECT_TRUE(host.engine().root_connection == nullptr);
  EXPECT_TRUE(host.WaitActivated(1, 200).empty());
  host.on_log = nullptr;
  EXPECT_EQ(host.Activate(true), 0) << host.LastText();  // the root is free again
}

TEST_F(LifecycleTest, DeactivateWaitsForASynchronousActivationOnAnotherThread) {
  Host host;
  UseRoot(host, Root());
  ASSERT_EQ(host.Install(), 0);
  std::atomic<bool> reached{false};
  host.on_log = [&](const std::string& line) {
    if (line.find("Connecting sync root") != std::string::npos) {
      reached = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  };
  std::atomic<int32_t> activation_result{-1};
  std::thread activator([&] { activation_result = host.Activate(true); });
  while (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(host.Deactivate(), 0);
  // By the time Deactivate returns the activation has given up and nothing
  // it launched is left running.
  EXPECT_EQ(host.State(), 0);
  EXPECT_TRUE(host.engine().root_connection == nullptr);
  activator.join();
  EXPECT_EQ(activation_result.load(), kErrCancelled);
}

}  // namespace
}  // namespace corvane::testing
