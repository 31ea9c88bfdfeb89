// The application in the end-to-end tests: another process acting on the
// sync root, as users' programs do (on Windows the provider's own reads do
// not hydrate). On Linux it is the local platform's client; under Wine it is
// the stand-in cldapi.dll's application calls, which do what Windows' filter
// does. The test program runs itself as that process: AppMain below.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "cf_types.h"
#include "standin.h"
extern "C" HRESULT WINAPI CfGetPlaceholderInfo(HANDLE, CF_PLACEHOLDER_INFO_CLASS, PVOID, DWORD, PDWORD);
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/local/client.h"
extern char** environ;
#endif

namespace corvane::e2e {

struct AppEntry {
  std::string name;
  bool folder = false;
  uint64_t size = 0;
  bool partial = false;  // a file whose data is not all on disk
  uint32_t attributes = 0;  // FILE_ATTRIBUTE_*
  bool placeholder = false;
  bool in_sync = false;
};

constexpr uint32_t kAppReadOnly = 0x1;  // FILE_ATTRIBUTE_READONLY
constexpr uint32_t kAppHidden = 0x2;    // FILE_ATTRIBUTE_HIDDEN

// Win32 error codes, the same on both platforms.
constexpr uint32_t kAppCloudFileUnsuccessful = 389;  // ERROR_CLOUD_FILE_UNSUCCESSFUL
constexpr uint32_t kAppCloudFileRequestTimeout = 426;  // ERROR_CLOUD_FILE_REQUEST_TIMEOUT

inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class App {
 public:
  // `root` is the sync root; paths below are relative to it, with '/'.
  // A `timeout_ms` shortens how long the platform waits for the provider.
  explicit App(std::string root, int timeout_ms = 0) : root_(std::move(root)), timeout_ms_(timeout_ms) {}

  uint32_t Read(const std::string& rel, std::string& data) { return Run("read", rel, "", &data); }
  // Entries by name order; files only get `partial`.
  uint32_t List(const std::string& rel, std::vector<AppEntry>& entries) {
    std::string text;
    const uint32_t code = Run("list", rel, "", &text);
    entries.clear();
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      AppEntry e;
      std::istringstream fields(line);
      int folder = 0, partial = 0, placeholder = 0, in_sync = 0;
      fields >> folder >> partial >> e.size >> e.attributes >> placeholder >> in_sync;
      std::getline(fields >> std::ws, e.name);
      e.folder = folder != 0, e.partial = partial != 0, e.placeholder = placeholder != 0, e.in_sync = in_sync != 0;
      entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(), [](const AppEntry& a, const AppEntry& b) { return a.name < b.name; });
    return code;
  }
  // Writes `data` at the start of an existing file.
  uint32_t Write(const std::string& rel, const std::string& data) { return Run("write", rel, "", nullptr, &data); }
  uint32_t Delete(const std::string& rel) { return Run("delete", rel, "", nullptr); }
  uint32_t Rename(const std::string& from, const std::string& to) { return Run("rename", from, to, nullptr); }
  uint32_t Dehydrate(const std::string& rel) { return Run("dehydrate", rel, "", nullptr); }

  // The entry of `rel` in its folder's listing; false when it is not there.
  bool Entry(const std::string& rel, AppEntry& entry) {
    const size_t slash = rel.rfind('/');
    std::vector<AppEntry> entries;
    if (List(slash == std::string::npos ? "" : rel.substr(0, slash), entries) != 0) return false;
    for (const AppEntry& e : entries)
      if (e.name == rel.substr(slash + 1)) return entry = e, true;
    return false;
  }

 private:
  // One process per operation: "--app <op> <root> <rel> <target> <io file>
  // <timeout ms>".
  // The io file carries the write's data in and the answer out: the result
  // code on the first line, then the operation's output.
  uint32_t Run(const char* op, const std::string& rel, const std::string& target, std::string* out,
               const std::string* in = nullptr) {
    const std::string io =
        (std::filesystem::temp_directory_path() / ("corvane-app-" + std::to_string(Pid()) + "-" + std::to_string(++runs_)))
            .string();
    if (in != nullptr) WriteText(io, *in);
    const std::vector<std::string> args = {"--app", op, root_, rel.empty() ? "." : rel, target.empty() ? "." : target, io,
                                           std::to_string(timeout_ms_)};
    if (!Spawn(args)) return 0xFFFFFFFF;
    const std::string answer = FileText(io);
    std::remove(io.c_str());
    const size_t eol = answer.find('\n');
    if (eol == std::string::npos) return 0xFFFFFFFE;  // the process died
    if (out != nullptr) *out = answer.substr(eol + 1);
    return static_cast<uint32_t>(std::stoul(answer.substr(0, eol)));
  }

#ifdef _WIN32
  static unsigned long Pid() { return GetCurrentProcessId(); }
  static bool Spawn(const std::vector<std::string>& args) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\"";
    for (const std::string& a : args) cmd += L" \"" + std::filesystem::path(a).wstring() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    const bool done = WaitForSingleObject(pi.hProcess, 180000) == WAIT_OBJECT_0;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return done;
  }
#else
  static long Pid() { return getpid(); }
  static bool Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv = {const_cast<char*>("/proc/self/exe")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid;
  }
#endif

  std::string root_;
  int timeout_ms_;
  int runs_ = 0;
};

// One listed entry as the application process writes it.
inline std::string EntryLine(const AppEntry& e) {
  return std::to_string(e.folder) + " " + std::to_string(e.partial) + " " + std::to_string(e.size) + " " +
         std::to_string(e.attributes) + " " + std::to_string(e.placeholder) + " " + std::to_string(e.in_sync) + " " +
         e.name + "\n";
}

// The application process: does one operation and writes its answer.
inline int AppMain(char** argv) {
  const std::string op = argv[2], root = argv[3], rel = argv[4], target = argv[5], io = argv[6], timeout = argv[7];
  std::string out;
  uint32_t code = 0;
#ifdef _WIN32
  auto full = [&](const std::string& r) {
    std::string p = root + (r == "." ? "" : "\\" + r);
    for (char& c : p) c = c == '/' ? '\\' : c;
    return std::filesystem::path(p).wstring();
  };
  if (timeout != "0") SetEnvironmentVariableA("CLDAPI_STANDIN_TIMEOUT_MS", timeout.c_str());
  standin::Application app;
  HRESULT hr = E_NOINTERFACE;
  if (!app.Available()) {
  } else if (op == "read") {
    hr = app.ReadAll(full(rel), out);
  } else if (op == "list") {
    std::vector<WIN32_FIND_DATAW> found;
    hr = app.List(full(rel), found);
    for (const WIN32_FIND_DATAW& f : found) {
      AppEntry e;
      e.name = std::filesystem::path(f.cFileName).string();
      e.folder = (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      e.partial = !e.folder && (f.dwFileAttributes & 0x400000) != 0;  // RECALL_ON_DATA_ACCESS
      e.size = (uint64_t(f.nFileSizeHigh) << 32) | f.nFileSizeLow;
      e.attributes = f.dwFileAttributes;
      // The in-sync state is not in the listing: ask for the placeholder's.
      HANDLE h = CreateFileW((full(rel) + L"\\" + f.cFileName).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      // With room for the largest file identity (4 KiB).
      alignas(CF_PLACEHOLDER_BASIC_INFO) char buffer[sizeof(CF_PLACEHOLDER_BASIC_INFO) + 4096];
      const auto* info = reinterpret_cast<const CF_PLACEHOLDER_BASIC_INFO*>(buffer);
      if (h != INVALID_HANDLE_VALUE) {
        e.placeholder = SUCCEEDED(CfGetPlaceholderInfo(h, CF_PLACEHOLDER_INFO_BASIC, buffer, sizeof buffer, nullptr));
        e.in_sync = e.placeholder && info->InSyncState == CF_IN_SYNC_STATE_IN_SYNC;
        CloseHandle(h);
      }
      out += EntryLine(e);
    }
  } else if (op == "write") {
    hr = app.Write(full(rel), 0, FileText(io));
  } else if (op == "delete") {
    hr = app.Delete(full(rel));
  } else if (op == "rename") {
    hr = app.Rename(full(rel), full(target));
  } else if (op == "dehydrate") {
    hr = app.Dehydrate(full(rel));
  }
  // Win32 codes as such, like the local platform's.
  code = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<uint32_t>(hr);
#else
  auto full = [&](const std::string& r) { return r == "." ? root : root + "/" + r; };
  if (timeout != "0") setenv("CORVANE_REQUEST_TIMEOUT_MS", timeout.c_str(), 1);
  platform::local::Client client(root);
  if (op == "read") {
    code = client.ReadAll(full(rel), out);
  } else if (op == "list") {
    std::vector<platform::local::ClientEntry> found;
    code = client.List(full(rel), found);
    for (const auto& f : found) {
      AppEntry e;
      e.name = f.name;
      e.folder = f.is_folder;
      e.partial = !f.is_folder && (f.state & platform::CF_PLACEHOLDER_STATE_PARTIAL) != 0;
      e.size = f.size;
      e.attributes = f.attributes;
      e.placeholder = (f.state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) != 0;
      e.in_sync = (f.state & platform::CF_PLACEHOLDER_STATE_IN_SYNC) != 0;
      out += EntryLine(e);
    }
  } else if (op == "write") {
    code = client.Write(full(rel), 0, FileText(io));
  } else if (op == "delete") {
    code = client.Delete(full(rel), false);
  } else if (op == "rename") {
    code = client.Rename(full(rel), full(target), false);
  } else if (op == "dehydrate") {
    code = client.Dehydrate(full(rel));
  } else {
    code = 87;  // ERROR_INVALID_PARAMETER
  }
#endif
  WriteText(io, std::to_string(code) + "\n" + out);
  return 0;
}

}  // namespace corvane::e2e
