// A provider host over a temporary sync root, and an application acting on
// that root from a process of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_app/app.h"
#include "e2e_hydration/provider_host.h"

namespace corvane::e2e {

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override { host_ = std::make_unique<ProviderHost>(root()); }
  void TearDown() override { host_.reset(); }
  std::string root() const { return space_.root(); }

  // Installs and activates the host with `settings`, placeholders made on
  // demand or all at activation.
  void Start(const std::vector<std::string>& settings = {}, bool on_demand = true) {
    ASSERT_EQ(host_->Config(std::string("WindowsCreatePlaceholdersOnDemand=") + (on_demand ? "true" : "false")), 0);
    for (const std::string& s : settings) ASSERT_EQ(host_->Config(s), 0) << s;
    ASSERT_EQ(host_->Start(), 0) << host_->LastError();
  }

  TempSpace space_;
  App app_{space_.root()};
  std::unique_ptr<ProviderHost> host_;
};

}  // namespace corvane::e2e
