// The platform's state folder cannot be written: Install and Activate fail
// with a code and a message, and leave no part of a registration behind.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "faults/faults_fixture.h"

namespace corvane::faults {
namespace {

class StateDirFaults : public FaultsTest {
 protected:
  void MakeFile(const std::string& path) {
    std::filesystem::remove_all(path);
    std::ofstream(path) << "not a folder";
  }
  // Files kept under a state subfolder (empty when it is missing or a file).
  std::vector<std::string> Records(const std::string& sub) {
    std::vector<std::string> names;
    std::error_code ec;
    const std::string dir = space_.state() + "/" + sub;
    if (!std::filesystem::is_directory(dir, ec)) return names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec))
      // Lock files are not records.
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') names.push_back(entry.path().string());
    return names;
  }
  void ExpectClearFailure(int32_t rc, const char* step) {
    EXPECT_NE(rc, 0) << step << " succeeded without a state folder";
    EXPECT_NE(rc, HALVEX_ERR_PENDING) << step;
    EXPECT_EQ(host_->LastCode(), rc) << step;
    EXPECT_FALSE(host_->LastError().empty()) << step << " gave no message";
  }
};

TEST_F(StateDirFaults, UnwritableStateFolderFailsInstallAndActivate) {
  // Root ignores permission bits, so a path under a regular file is the one
  // place nobody can create the folder; without root, a read-only folder too.
  std::vector<std::string> states = {space_.base() + "/plain-file/state"};
  MakeFile(space_.base() + "/plain-file");
  if (geteuid() != 0) {
    std::filesystem::create_directories(space_.base() + "/read-only");
    chmod((space_.base() + "/read-only").c_str(), 0500);
    states.push_back(space_.base() + "/read-only/state");
  }
  for (const std::string& state : states) {
    SCOPED_TRACE(state);
    setenv("CORVANE_STATE_DIR", state.c_str(), 1);
    host_ = std::make_unique<FaultHost>(space_.root());
    ASSERT_EQ(host_->SetRoot(), 0);
    ExpectClearFailure(host_->Install(), "Install");
    ExpectClearFailure(host_->Activate(true), "Activate");
    EXPECT_EQ(host_->Activate(false), 0);
    ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_ACTIVATED, 1));
    EXPECT_NE(host_->Events(HALVEX_EVENT_ACTIVATED)[0].code, 0);
    EXPECT_TRUE(std::filesystem::is_empty(space_.root())) << "the failed install left files in the root";
    host_.reset();
  }
  chmod((space_.base() + "/read-only").c_str(), 0700);
  setenv("CORVANE_STATE_DIR", space_.state().c_str(), 1);
}

// One part of the state folder unwritable: the parts written before it are
// taken back, and the fixed folder then installs as if nothing had happened.
TEST_F(StateDirFaults, PartlyUnwritableStateFolderLeavesNoHalfRegistration) {
  for (const char* part : {"shell", "registry", "search"}) {
    SCOPED_TRACE(part);
    MakeFile(space_.state() + "/" + part);
    host_ = std::make_unique<FaultHost>(space_.root());
    ASSERT_EQ(host_->SetRoot(), 0);
    const int32_t rc = host_->Install();
    if (rc == 0) {
      // Tolerated only if that part is optional: then activation must work.
      EXPECT_EQ(host_->Activate(true), 0) << part << ": installed but cannot be activated";
      EXPECT_EQ(host_->Deactivate(), 0);
      EXPECT_EQ(host_->Call(HALVEX_METHOD_UNINSTALL, {}), 0);
    } else {
      ExpectClearFailure(rc, "Install");
      EXPECT_NE(host_->QueryNumber("WindowsLastError"), 0) << "the system's own code was not kept";
      EXPECT_TRUE(Records("syncroots").empty()) << part << ": platform registration left behind";
      EXPECT_TRUE(Records("shell").empty()) << part << ": shell record left behind";
      EXPECT_TRUE(Records("registry").empty()) << part << ": registry keys left behind";
    }
    host_.reset();
    std::filesystem::remove(space_.state() + "/" + part);
    host_ = std::make_unique<FaultHost>(space_.root());
    ASSERT_EQ(host_->SetRoot(), 0);
    ASSERT_EQ(host_->Install(), 0) << part << ": " << host_->LastError();
    ASSERT_EQ(host_->Call(HALVEX_METHOD_UNINSTALL, {}), 0) << host_->LastError();
    host_.reset();
  }

  // Installed, but the provider's connection point cannot be made.
  host_ = std::make_unique<FaultHost>(space_.root());
  ASSERT_EQ(host_->SetRoot(), 0);
  ASSERT_EQ(host_->Install(), 0);
  MakeFile(space_.state() + "/sockets");
  ExpectClearFailure(host_->Activate(true), "Activate");
  EXPECT_TRUE(ThreadsBackTo(threads_before_)) << "a failed activation left threads";
  std::filesystem::remove(space_.state() + "/sockets");
  EXPECT_EQ(host_->Activate(true), 0) << host_->LastError();
}

}  // namespace
}  // namespace corvane::faults
