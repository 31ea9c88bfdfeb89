// Deactivate and Destroy arrive at any point of an activation or while
// requests are open: each ends with a result, soon, and no thread stays.
#include "faults/faults_fixture.h"

namespace corvane::faults {
namespace {

class StopFaults : public FaultsTest {
 protected:
  // A remote tree of folders, each with a few files, served inline.
  void ServeTree(int folders) {
    host_->on_list = [folders](FaultHost& host, int64_t task, const std::string& folder) -> int32_t {
      for (int i = 0; folder == "\\" && i < folders; ++i) host.ListFolder(task, "d" + std::to_string(i));
      for (int i = 0; i < 3; ++i) host.ListFile(task, "f" + std::to_string(i) + ".txt", 1000);
      return 0;
    };
  }
  // Installed once by a host of its own, so each activation finds the root registered.
  void InstallRoot() {
    FaultHost installer(space_.root());
    ASSERT_EQ(installer.SetRoot(), 0);
    ASSERT_EQ(installer.Install(), 0);
  }
  void NewHost(bool populate) {
    host_ = std::make_unique<FaultHost>(space_.root());
    ASSERT_EQ(host_->Config(std::string("WindowsCreatePlaceholdersOnDemand=") + (populate ? "false" : "true")), 0);
    ASSERT_EQ(host_->SetRoot(), 0);
  }
  // Runs `stop` and fails the test if it takes longer than `limit`.
  template <typename F>
  void Within(std::chrono::milliseconds limit, const char* what, F stop) {
    const auto start = std::chrono::steady_clock::now();
    stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, limit) << what << " was slow";
  }
};

// Stops at a sweep of delays after an asynchronous activation that
// populates a tree: before registration ends, during population, while the
// watcher starts, and after. Either way the engine ends inactive, and the
// next activation on the same root works.
TEST_F(StopFaults, StopAtEveryStageOfAnActivation) {
  InstallRoot();
  const int delays_ms[] = {0, 1, 3, 8, 15, 30, 60, 120};
  for (bool destroy : {false, true}) {
    for (int delay : delays_ms) {
      SCOPED_TRACE(std::string(destroy ? "Destroy" : "Deactivate") + " after " + std::to_string(delay) + " ms");
      NewHost(true);
      ServeTree(40);
      ASSERT_EQ(host_->Activate(false), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      if (destroy) {
        Within(5s, "Destroy", [&] { host_->Destroy(); });
      } else {
        int32_t rc = -1;
        Within(5s, "Deactivate", [&] { rc = host_->Deactivate(); });
        // 21: the activation had already failed or ended by itself.
        EXPECT_TRUE(rc == 0 || rc == HALVEX_ERR_NOT_READY) << rc;
        EXPECT_EQ(Halvex_Corvane_Get(host_->handle(), HALVEX_PROP_ACTIVATION_STATE, 0, nullptr, nullptr), 0);
        for (const SeenEvent& e : host_->Events(HALVEX_EVENT_ACTIVATED)) EXPECT_EQ(e.code, 0);
      }
      host_.reset();
      EXPECT_TRUE(ThreadsBackTo(threads_before_)) << ThreadCount() << " threads, " << threads_before_ << " before";
    }
  }
  NewHost(false);
  EXPECT_EQ(host_->Activate(true), 0) << host_->LastError();
}

// The host answers the activation's listing "pending" and never finishes
// it, or sits inside the event: stopping must not wait for it for ever.
TEST_F(StopFaults, StopWhilePopulationWaitsForTheHost) {
  InstallRoot();
  for (bool destroy : {false, true}) {
    for (bool inside : {false, true}) {
      SCOPED_TRACE(std::string(destroy ? "Destroy" : "Deactivate") + (inside ? ", host in the event" : ", pending"));
      NewHost(true);
      std::atomic<bool> release{false};
      host_->on_list = [&](FaultHost&, int64_t, const std::string&) -> int32_t {
        if (!inside) return HALVEX_ERR_PENDING;
        for (int i = 0; i < 100 && !release; ++i) std::this_thread::sleep_for(10ms);  // a slow backend
        return 0;
      };
      ASSERT_EQ(host_->Activate(false), 0);
      ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_LIST_DIRECTORY, 1));
      if (destroy) {
        Within(5s, "Destroy", [&] { host_->Destroy(); });
      } else {
        int32_t rc = -1;
        Within(5s, "Deactivate", [&] { rc = host_->Deactivate(); });
        EXPECT_EQ(rc, 0);
        // A listing left pending does not hold the activation up, so it may
        // have ended first; its Activated never comes after the stop.
        const size_t announced = host_->Events(HALVEX_EVENT_ACTIVATED).size();
        if (inside) {
          EXPECT_EQ(announced, 0u);
        }
        Within(5s, "Destroy", [&] { host_->Destroy(); });
        EXPECT_EQ(host_->Events(HALVEX_EVENT_ACTIVATED).size(), announced) << "Activated after Deactivate returned";
      }
      release = true;
      host_.reset();
      EXPECT_TRUE(ThreadsBackTo(threads_before_)) << ThreadCount() << " threads, " << threads_before_ << " before";
    }
  }
  // Stopped while the activation announces itself: Deactivate waits for the
  // host's Activated handler instead of returning under it.
  NewHost(true);
  host_->on_list = [](FaultHost&, int64_t, const std::string&) -> int32_t { return HALVEX_ERR_PENDING; };
  std::atomic<bool> announcing{false};
  host_->record_before_answer = false;  // seen once the handler is done
  host_->answer = [&announcing, answer = host_->answer](test_common::Event& e, intptr_t* p, int32_t* sizes) {
    if (e.id == HALVEX_EVENT_ACTIVATED) {
      announcing = true;
      std::this_thread::sleep_for(300ms);
    }
    return answer(e, p, sizes);
  };
  ASSERT_EQ(host_->Activate(false), 0);
  for (int i = 0; i < 1000 && !announcing; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(announcing);
  Within(5s, "Deactivate", [&] { EXPECT_EQ(host_->Deactivate(), 0); });
  EXPECT_EQ(host_->Events(HALVEX_EVENT_ACTIVATED).size(), 1u) << "Deactivate returned before the Activated handler";
  host_.reset();
}

// The host fails or throws on the activation's listing: Activate fails
// with a code, and leaves nothing connected or running.
TEST_F(StopFaults, FailedPopulationFailsTheActivationCleanly) {
  InstallRoot();
  for (bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "throws" : "fails");
    NewHost(true);
    host_->on_list = [throws](FaultHost&, int64_t, const std::string&) -> int32_t {
      if (throws) throw std::runtime_error("listing failed");
      return HALVEX_ERR_BACKEND;
    };
    const int32_t rc = host_->Activate(true);
    EXPECT_NE(rc, 0) << "activation succeeded without its listing";
    EXPECT_EQ(host_->LastCode(), rc);
    EXPECT_EQ(Halvex_Corvane_Get(host_->handle(), HALVEX_PROP_ACTIVATION_STATE, 0, nullptr, nullptr), 0);
    EXPECT_TRUE(ThreadsBackTo(threads_before_)) << ThreadCount() << " threads, " << threads_before_ << " before";
    host_.reset();
  }
  NewHost(true);
  ServeTree(2);
  EXPECT_EQ(host_->Activate(true), 0) << host_->LastError();
}

// Destroy (not Deactivate) with reads waiting on the host: asynchronous ones
// never finished, and one whose handler is still inside the event.
TEST_F(StopFaults, DestroyReleasesBlockedReads) {
  Start();
  for (int i = 0; i < 4; ++i) AddFile("never-" + std::to_string(i), 50000, 30 + i);
  AddFile("inside.bin", 50000, 40);
  host_->on_fetch = [](FaultHost&, const Request& r, int32_t& answer) {
    if (r.path == "\\inside.bin") std::this_thread::sleep_for(300ms);
    answer = HALVEX_ERR_PENDING;
    return 0;
  };
  std::vector<std::future<uint32_t>> reads;
  for (int i = 0; i < 4; ++i) reads.push_back(ReadAsync("never-" + std::to_string(i)));
  ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_GET_FILE_DATA, 4));
  reads.push_back(ReadAsync("inside.bin"));
  ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_GET_FILE_DATA, 5));
  Within(5s, "Destroy", [&] { host_->Destroy(); });
  for (size_t i = 0; i < reads.size(); ++i) {
    ASSERT_EQ(reads[i].wait_for(5s), std::future_status::ready) << "read " << i << " hangs after Destroy";
    EXPECT_NE(reads[i].get(), 0u) << "read " << i;
  }
  for (int i = 0; i < 4; ++i) ExpectNoFalseData("never-" + std::to_string(i));
}

}  // namespace
}  // namespace corvane::faults
