// Registrations are kept in memory per process; what another process
// registers or unregisters through the state folder must still be seen, and
// folders are judged by where they really are.
#include "platform_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include "platform/errors.h"

namespace corvane::platform::testing {
namespace {

// Runs `step` in a forked child (a second process over the same state folder).
bool InOtherProcess(const std::function<bool()>& step) {
  const pid_t pid = fork();
  if (pid == 0) _exit(step() ? 0 : 1);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class SyncRootRecords : public PlatformTest {
 protected:
  HRESULT RegisterAt(const std::string& root, const char16_t* name) {
    CF_SYNC_REGISTRATION reg;
    reg.ProviderName = name;
    reg.ProviderVersion = u"2.0";
    CF_SYNC_POLICIES policies;
    policies.Hydration = {CF_HYDRATION_POLICY_FULL, 0};
    policies.Population = {CF_POPULATION_POLICY_FULL, 0};
    return CfRegisterSyncRoot(W(root).c_str(), &reg, &policies, 0);
  }
  // The provider name recorded for the root `path` is under; empty when none.
  std::u16string ProviderOf(const std::string& path) {
    CF_SYNC_ROOT_PROVIDER_INFO info;
    if (FAILED(CfGetSyncRootInfoByPath(W(path).c_str(), CF_SYNC_ROOT_INFO_PROVIDER, &info, sizeof info, nullptr)))
      return u"";
    return info.ProviderName;
  }
};

TEST_F(SyncRootRecords, OtherProcessRegistrationsAreSeen) {
  const std::string second = (base_ / "second").string();
  fs::create_directories(second + "/sub");
  ASSERT_EQ(Register(), S_OK);
  // Twice: right after the lookup that filled the copy, and once the copy
  // has aged enough to be trusted on the folder's time alone.
  for (const bool aged : {false, true}) {
    SCOPED_TRACE(aged ? "aged copy" : "fresh copy");
    EXPECT_EQ(ProviderOf(root_), u"TestCloud");
    EXPECT_EQ(ProviderOf(second), u"");
    if (aged) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(MakeFile(second + "/sub", "early.txt", 1), HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));

    ASSERT_TRUE(InOtherProcess([&] { return RegisterAt(second, u"Other") == S_OK; }));
    EXPECT_EQ(ProviderOf(second + "/sub"), u"Other");
    EXPECT_EQ(MakeFile(second + "/sub", "late.txt", 1), S_OK);
    // Registered again by the other process with new details.
    if (aged) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(InOtherProcess([&] { return RegisterAt(second, u"Renamed") == S_OK; }));
    EXPECT_EQ(ProviderOf(second), u"Renamed");

    if (aged) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(InOtherProcess([&] { return CfUnregisterSyncRoot(W(second).c_str()) == S_OK; }));
    EXPECT_EQ(ProviderOf(second), u"");
    EXPECT_EQ(MakeFile(second + "/sub", "gone.txt", 1), HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
    EXPECT_FALSE(fs::exists(second + "/sub/gone.txt"));
    fs::remove_all(second + "/sub");
    fs::create_directories(second + "/sub");
  }
  // Our own root, unregistered elsewhere, stops taking placeholders here.
  ASSERT_EQ(MakeFile(root_, "mine.txt", 1), S_OK);
  ASSERT_TRUE(InOtherProcess([&] { return CfUnregisterSyncRoot(W(root_).c_str()) == S_OK; }));
  EXPECT_EQ(MakeFile(root_, "after.txt", 1), HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
  EXPECT_EQ(CfUnregisterSyncRoot(W(root_).c_str()), HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
}

TEST_F(SyncRootRecords, PlaceholdersGoWhereTheFolderReallyIs) {
  ASSERT_EQ(Register(), S_OK);
  fs::create_directories(root_ + "/inside");
  fs::create_directories(base_ / "outside");
  // A way into the root from outside it is fine; a way out of it is not.
  fs::create_directory_symlink(root_ + "/inside", base_ / "door");
  fs::create_directory_symlink(base_ / "outside", root_ + "/exit");
  EXPECT_EQ(MakeFile((base_ / "door").string(), "in.txt", 3), S_OK);
  EXPECT_TRUE(fs::exists(root_ + "/inside/in.txt"));
  EXPECT_EQ(MakeFile(root_ + "/exit", "out.txt", 3), HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
  EXPECT_FALSE(fs::exists(base_ / "outside" / "out.txt"));

  // Names with a folder part are made in that folder, complete.
  CF_PLACEHOLDER_CREATE_INFO info;
  const std::u16string identity = u"deep-id";
  info.RelativeFileName = u"inside\\deep.txt";
  info.FsMetadata.FileSize = 12345;
  info.FileIdentity = identity.data();
  info.FileIdentityLength = static_cast<DWORD>(identity.size() * 2);
  ASSERT_EQ(CfCreatePlaceholders(W(root_).c_str(), &info, 1, CF_CREATE_FLAG_NONE, nullptr), S_OK);
  local::Client client(root_);
  local::ItemState state;
  ASSERT_EQ(client.State("inside/deep.txt", state), 0u);
  EXPECT_TRUE(state.placeholder);
  EXPECT_EQ(state.size, 12345u);
  EXPECT_EQ(state.identity, std::string(reinterpret_cast<const char*>(identity.data()), identity.size() * 2));

  // A base that is no folder, or is missing, says so.
  std::ofstream(root_ + "/plain.txt") << "x";
  EXPECT_EQ(MakeFile(root_ + "/plain.txt", "x.txt", 1), HRESULT_FROM_WIN32(ERROR_DIRECTORY));
  EXPECT_EQ(MakeFile(root_ + "/missing", "x.txt", 1), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
}

}  // namespace
}  // namespace corvane::platform::testing
