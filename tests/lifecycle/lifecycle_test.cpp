// The whole life of a sync root through the exports, in the orders a host
// uses and in the wrong ones.
#include <gtest/gtest.h>

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "lifecycle_host.h"
#include "provider/registration.h"

namespace corvane::testing {
namespace {

TEST_F(LifecycleTest, HostOrderInstallsActivatesBothWaysAndLeavesNothingBehind) {
  std::u16string id;
  {
    Host host(Root());
    ASSERT_EQ(host.Install(), 0) << host.LastError();
    ASSERT_EQ(ShellRoots().size(), 1u);
    id = ShellRoots()[0].Id;
    EXPECT_TRUE(IsRegistered(Root()));
    EXPECT_TRUE(HasShellKey(id));

    ASSERT_EQ(host.Activate(true), 0) << host.LastError();
    EXPECT_EQ(host.State(), 2);
    EXPECT_TRUE(host.engine().root_connection != nullptr);
    EXPECT_TRUE(host.Logged("Creating placeholders..."));
    EXPECT_TRUE(host.WaitActivated(1, 0).empty());  // no event for a synchronous activation
    EXPECT_EQ(host.Deactivate(), 0);
    EXPECT_EQ(host.State(), 0);
    EXPECT_TRUE(host.engine().root_connection == nullptr);
    EXPECT_TRUE(host.engine().placeholder_manager == nullptr);

    // The mark of a change the host made whose echo the watcher never saw
    // would swallow the user's next change at that path.
    ASSERT_TRUE(host.engine().pending.AddPending(u"\\gone.txt", kOpDelete, false));
    ASSERT_EQ(host.Activate(false), 0);
    EXPECT_EQ(host.WaitActivated(1), std::vector<int32_t>{0});
    EXPECT_EQ(host.State(), 2);
    EXPECT_EQ(0u, host.engine().pending.CountOf(u"\\gone.txt", kOpDelete, false));
    EXPECT_EQ(host.Deactivate(), 0);
    EXPECT_EQ(host.Uninstall(), 0) << host.LastError();
  }
  ExpectNothingRegistered(id);
  ExpectNoThreadLeft();
}

TEST_F(LifecycleTest, DestroyWhileActiveOrActivatingStopsEverything) {
  ASSERT_EQ(Host(Root()).Install(), 0);
  {
    Host host(Root());
    ASSERT_EQ(host.Activate(true), 0);
  }
  ExpectNoThreadLeft();

  Host host(Root());
  std::atomic<bool> reached{false};
  host.HoldConnect(300, &reached);
  ASSERT_EQ(host.Activate(false), 0);
  while (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  host.Destroy();
  EXPECT_TRUE(host.WaitActivated(1, 0).empty());  // a stopped activation reports nothing
  ExpectNoThreadLeft();
  EXPECT_EQ(Host(Root()).Activate(true), 0);  // nothing stayed connected
}

TEST_F(LifecycleTest, DeactivateStopsAnActivationUnderWayEitherWay) {
  Host host(Root());
  ASSERT_EQ(host.Install(), 0);
  for (bool synchronous : {false, true}) {
    std::atomic<bool> reached{false};
    host.HoldConnect(300, &reached);
    std::atomic<int32_t> activation_result{-1};
    std::thread activator([&] { activation_result = host.Activate(synchronous); });
    while (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(host.Deactivate(), 0);
    // Deactivate returns only after the activation gave up: nothing it
    // launched is left running.
    EXPECT_EQ(host.State(), 0);
    EXPECT_TRUE(host.engine().root_connection == nullptr);
    activator.join();
    EXPECT_EQ(activation_result.load(), synchronous ? kErrCancelled : 0);
  }
  EXPECT_TRUE(host.WaitActivated(1, 200).empty());
  host.on_log = nullptr;
  EXPECT_EQ(host.Activate(true), 0) << host.LastError();  // the root is free again
}

TEST_F(LifecycleTest, ActivatedHandlerMayStartTheNextActivation) {
  ASSERT_EQ(Host(Root()).Install(), 0);
  {
    std::atomic<int> calls{0};  // outlives the host: its activation thread counts here
    Host host(Root());
    host.on_activated = [&](int32_t) {
      if (calls++ == 0) {
        EXPECT_EQ(host.Deactivate(), 0);
        EXPECT_EQ(host.Activate(false), 0);  // from the activation thread itself
      }
    };
    ASSERT_EQ(host.Activate(false), 0);
    EXPECT_EQ(host.WaitActivated(2), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(host.State(), 2);
  }
  ExpectNoThreadLeft();
}

}  // namespace
}  // namespace corvane::testing
