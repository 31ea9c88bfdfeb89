// One host on a fresh root per test; at the end every thread the library
// started must be gone and nothing in the root may claim data the host did
// not send.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "faults/fault_host.h"
#include "platform/local/client.h"
#include "platform/local/request_timeout.h"

namespace corvane::faults {

using platform::local::Client;
using platform::local::ItemState;

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { threads_before_ = ThreadCount(); }
  void TearDown() override {
    host_.reset();
    platform::local::SetRequestTimeoutMs(0);
    EXPECT_TRUE(ThreadsBackTo(threads_before_)) << ThreadCount() << " threads, " << threads_before_ << " before";
  }

  // Starts a host with on-demand placeholders and the given settings.
  void Start(const std::vector<std::string>& settings = {}) {
    host_ = std::make_unique<FaultHost>(space_.root());
    ASSERT_EQ(host_->Config("WindowsCreatePlaceholdersOnDemand=true"), 0);
    for (const std::string& s : settings) ASSERT_EQ(host_->Config(s), 0) << s;
    ASSERT_EQ(host_->Start(), 0) << host_->LastError();
  }
  void AddFile(const std::string& name, uint64_t size, uint32_t seed) {
    ASSERT_EQ(host_->AddRemoteFile(name, RemoteBytes(size, seed)), 0) << name << ": " << host_->LastError();
  }
  // A read on its own thread, as another application would do it.
  std::future<uint32_t> ReadAsync(const std::string& name, std::string* out = nullptr) {
    return std::async(std::launch::async, [this, name, out] {
      std::string data;
      const uint32_t rc = client_.ReadAll(name, data);
      if (out != nullptr) *out = data;
      return rc;
    });
  }
  // Every range the file claims as hydrated holds exactly the host's bytes.
  void ExpectNoFalseData(const std::string& name) {
    ItemState state;
    if (client_.State(name, state) != 0) return;  // gone is fine
    const std::string remote = host_->Remote(name);
    for (const auto& range : state.hydrated) {
      std::string disk;
      ASSERT_EQ(client_.Read(name, range.StartingOffset, range.Length, disk), 0u) << name;
      ASSERT_LE(static_cast<uint64_t>(range.StartingOffset + range.Length), remote.size()) << name;
      EXPECT_TRUE(disk == remote.substr(range.StartingOffset, range.Length))
          << name << ": claims bytes at " << range.StartingOffset << " that the host never sent";
    }
  }

  TempSpace space_;
  Client client_{space_.root()};
  std::unique_ptr<FaultHost> host_;
  int threads_before_ = 0;
};

}  // namespace corvane::faults
