// corvane.dll under Wine, served by the stand-in cldapi.dll: a provider host
// written against the exports only, and an application in a process of its
// own (as on Windows, where the provider's own reads would not hydrate)
// acting through the stand-in's filter calls.
//
// Needs the Windows binding branch. On this branch's binding:
// - Activate fails: the connect table holds null callbacks, which the
//   binding refuses with E_INVALIDARG before cldapi.dll is called;
// - the provider's own read hydrates (no BLOCK_SELF_IMPLICIT_HYDRATION);
// - Install inside another provider's root reports success.
// Under Wine, Install and Uninstall also fail in the shell registration
// (StorageProviderSyncRootManager: ERROR_NOT_SUPPORTED), which no cldapi.dll
// stand-in can answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cf_types.h"
#include "e2e_hydration/provider_host.h"
#include "standin.h"

extern "C" {
HRESULT WINAPI CfGetSyncRootInfoByPath(LPCWSTR, CF_SYNC_ROOT_INFO_CLASS, PVOID, DWORD, DWORD*);
HRESULT WINAPI CfRegisterSyncRoot(LPCWSTR, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, CF_REGISTER_FLAGS);
HRESULT WINAPI CfUnregisterSyncRoot(LPCWSTR);
}

namespace corvane::e2e {
namespace {

using namespace std::chrono_literals;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Runs this program as the application: "--app <op> <path> [<target>]";
// its exit code is the operation's HRESULT.
HRESULT App(const std::string& op, const std::string& path, const std::string& target = "") {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --app " + Wide(op) + L" \"" + Wide(path) + L"\" \"" +
                     Wide(target) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return HRESULT_FROM_WIN32(GetLastError());
  DWORD code = E_FAIL;
  if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return (HRESULT)code;
}

int AppMain(const std::string& op, const std::wstring& path, const std::wstring& target) {
  standin::Application app;
  if (!app.Available()) return E_NOINTERFACE;
  if (op == "read") {
    std::string data;
    return app.ReadAll(path, data);
  }
  if (op == "list") {
    std::vector<WIN32_FIND_DATAW> entries;
    return app.List(path, entries);
  }
  if (op == "delete") return app.Delete(path);
  if (op == "rename") return app.Rename(path, target);
  return E_INVALIDARG;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Install, Activate, hydration of a read, a listing, a delete, Deactivate
// and Uninstall, each as an application and the host see them.
TEST(CorvaneUnderStandin, LifecycleHydrationListingAndDelete) {
  const std::filesystem::path base = std::filesystem::temp_directory_path() /
                                     ("corvane-e2e-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(base / "root");
  const std::string root = (base / "root").string();
  {
    ProviderHost host(root);
    ASSERT_EQ(host.Config("WindowsCreatePlaceholdersOnDemand=true"), 0);
    if (getenv("CORVANE_E2E_LOG")) host.Config("LogLevel=4");
    ASSERT_EQ(host.Start(), 0) << host.LastError();

    const std::string bytes = RemoteBytes(300000, 7);
    ASSERT_EQ(host.AddRemoteFile("a.bin", bytes), 0) << host.LastError();
    EXPECT_EQ(std::filesystem::file_size(root + "\\a.bin"), bytes.size());
    ASSERT_EQ(App("read", root + "\\a.bin"), S_OK);
    EXPECT_EQ(host.Events(HALVEX_EVENT_GET_FILE_DATA).size(), 1u);
    EXPECT_TRUE(FileBytes(root + "\\a.bin") == bytes) << "hydrated bytes differ";

    // The provider's own process reading its placeholders does not hydrate
    // them: it connected with CF_CONNECT_FLAG_BLOCK_SELF_IMPLICIT_HYDRATION.
    ASSERT_EQ(host.AddRemoteFile("b.bin", RemoteBytes(5000, 8)), 0) << host.LastError();
    std::string data;
    EXPECT_EQ(standin::Application().ReadAll(Wide(root + "\\b.bin"), data), HRESULT_FROM_WIN32(395));
    EXPECT_EQ(host.Events(HALVEX_EVENT_GET_FILE_DATA).size(), 1u);

    EXPECT_EQ(App("list", root), S_OK);
    ASSERT_EQ(App("delete", root + "\\a.bin"), S_OK);
    EXPECT_TRUE(host.WaitFor(HALVEX_EVENT_DELETE_FILE, 1, 20s));
    EXPECT_EQ(host.Deactivate(), 0) << host.LastError();
    EXPECT_EQ(host.Uninstall(), 0) << host.LastError();
    CF_SYNC_ROOT_BASIC_INFO info{};
    EXPECT_EQ(CfGetSyncRootInfoByPath(Wide(root).c_str(), CF_SYNC_ROOT_INFO_BASIC, &info, sizeof info, nullptr),
              HRESULT_FROM_WIN32(kErrorNotUnderSyncRoot));
  }
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
}

// A folder inside another provider's sync root cannot become a root: Install
// says so, rather than succeeding and leaving Activate to fail.
TEST(CorvaneUnderStandin, InstallInsideAnotherRootFails) {
  const std::filesystem::path base = std::filesystem::temp_directory_path() /
                                     ("corvane-nested-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(base / "inner");
  CF_SYNC_REGISTRATION reg{sizeof reg, L"Other provider", L"1", nullptr, 0, nullptr, 0, {}};
  CF_SYNC_POLICIES pol{sizeof pol, {CF_HYDRATION_POLICY_FULL, 0}, {CF_POPULATION_POLICY_FULL, 0}, 0, 0, 0};
  ASSERT_EQ(CfRegisterSyncRoot(base.wstring().c_str(), &reg, &pol, 0), S_OK);
  {
    ProviderHost host((base / "inner").string());
    EXPECT_NE(host.Install(), 0);
  }
  EXPECT_EQ(CfUnregisterSyncRoot(base.wstring().c_str()), S_OK);
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
}

}  // namespace
}  // namespace corvane::e2e

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--app")
    return corvane::e2e::AppMain(argv[2], corvane::e2e::Wide(argv[3]), corvane::e2e::Wide(argv[4]));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
