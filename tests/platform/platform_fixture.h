// A temporary sync root with its own state folder, and a small provider
// that serves it through the callback table, the way a real one would.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/test_process.h"
#include "platform/cloud_files.h"
#include "platform/local/client.h"
#include "platform/local/native_path.h"
#include "platform/local/request_timeout.h"
#include "support/utf.h"

namespace corvane::platform::testing {

namespace fs = std::filesystem;

inline std::u16string W(const std::string& native) { return local::FromNativePath(native); }

inline std::string Pattern(size_t size, unsigned seed = 7) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 17 + i / 4096) & 0xFF);
  return data;
}

inline size_t ThreadCount() { return static_cast<size_t>(test_common::ThreadCount()); }

inline size_t OpenFdCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// How the test provider answers a fetch.
enum class FetchMode { kInline, kOtherThread, kNever };

class TestProvider {
 public:
  std::map<std::string, std::string> content;  // native path -> bytes
  FetchMode mode = FetchMode::kInline;
  int64_t chunk = 409600;
  std::atomic<int> fetches{0}, cancels{0}, dehydrates{0};
  std::vector<std::pair<int64_t, int64_t>> required;  // (offset, length) of each fetch
  std::atomic<NTSTATUS> dehydrate_answer{STATUS_SUCCESS};
  std::u16string last_reader;  // image path of the process behind the last fetch

  HRESULT Connect(const std::string& root) {
    std::vector<CF_CALLBACK_REGISTRATION> table = {
        {CF_CALLBACK_TYPE_FETCH_DATA, &OnFetch},
        {CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, &OnCancel},
        {CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS, &OnList},
        {CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE, &OnDehydrate},
    };
    table.push_back(CF_CALLBACK_REGISTRATION_END);
    return CfConnectSyncRoot(W(root).c_str(), table.data(), this, CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO | CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH,
                             &key);
  }
  HRESULT Disconnect() {
    JoinHelpers();
    return CfDisconnectSyncRoot(key);
  }
  ~TestProvider() { JoinHelpers(); }

  // Sends [offset, offset+length) of the file in chunks, as the library does.
  static HRESULT Transfer(const CF_CALLBACK_INFO* info, const std::string& data, int64_t offset, int64_t length,
                          int64_t chunk) {
    for (int64_t pos = offset; pos < offset + length; pos += chunk) {
      const int64_t n = std::min<int64_t>(chunk, offset + length - pos);
      HRESULT hr = Execute(info, STATUS_SUCCESS, data.data() + pos, pos, n);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  static HRESULT Execute(const CF_CALLBACK_INFO* info, NTSTATUS status, const void* buffer, int64_t offset,
                         int64_t length) {
    CF_OPERATION_INFO op;
    op.StructSize = 32;  // the short form the library sends
    op.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    op.RequestKey = info->RequestKey;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = CF_SIZE_OF_OP_PARAM(TransferData);
    params.TransferData.CompletionStatus = status;
    params.TransferData.Buffer = buffer;
    params.TransferData.Offset = offset;
    params.TransferData.Length = length;
    return CfExecute(&op, &params);
  }

  CF_CONNECTION_KEY key;

 private:
  static TestProvider* Self(const CF_CALLBACK_INFO* info) { return static_cast<TestProvider*>(info->CallbackContext); }

  static void OnFetch(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
    TestProvider* self = Self(info);
    std::string path;
    local::ToNativePath(info->NormalizedPath, path);
    const int64_t offset = params->FetchData.RequiredFileOffset, length = params->FetchData.RequiredLength;
    std::string data;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->required.emplace_back(offset, length);
      if (info->ProcessInfo && info->ProcessInfo->ImagePath) self->last_reader = info->ProcessInfo->ImagePath;
      data = self->content[path];
    }
    self->fetches++;
    switch (self->mode) {
      case FetchMode::kInline:
        // Progress first, as the library reports it before each chunk.
        CfReportProviderProgress(info->ConnectionKey, info->TransferKey, info->FileSize, offset + length);
        Transfer(info, data, offset, length, self->chunk);
        break;
      case FetchMode::kNever:
        break;
      case FetchMode::kOtherThread: {
        // The info lives only during the callback: keep what is needed.
        CF_CALLBACK_INFO copy = *info;
        copy.NormalizedPath = nullptr;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->helpers_.emplace_back([copy, data, offset, length, chunk = self->chunk] {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          Transfer(&copy, data, offset, length, chunk);
        });
        break;
      }
    }
  }
  static void OnCancel(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS*) { Self(info)->cancels++; }
  static void OnList(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS*) {
    CF_OPERATION_INFO op;
    op.Type = CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    op.RequestKey = info->RequestKey;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = CF_SIZE_OF_OP_PARAM(TransferPlaceholders);
    params.TransferPlaceholders.Flags = CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION;
    CfExecute(&op, &params);
  }
  static void OnDehydrate(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS*) {
    TestProvider* self = Self(info);
    self->dehydrates++;
    CF_OPERATION_INFO op;
    op.Type = CF_OPERATION_TYPE_ACK_DEHYDRATE;
    op.ConnectionKey = info->ConnectionKey;
    op.TransferKey = info->TransferKey;
    CF_OPERATION_PARAMETERS params{};
    params.ParamSize = CF_SIZE_OF_OP_PARAM(AckDehydrate);
    params.AckDehydrate.CompletionStatus = self->dehydrate_answer.load();
    CfExecute(&op, &params);
  }

  void JoinHelpers() {
    std::vector<std::thread> helpers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      helpers.swap(helpers_);
    }
    for (auto& t : helpers) t.join();
  }

  std::mutex mutex_;
  std::vector<std::thread> helpers_;
};

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            // CTest runs each case in its own process, and two processes can
            // put the fixture at the same address (the sanitizer build did).
            ("corvane-platform-" + std::to_string(getpid()) + "-" +
             std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove_all(base_);
    fs::create_directories(base_ / "state");
    fs::create_directories(base_ / "root");
    state_ = (base_ / "state").string();
    root_ = (base_ / "root").string();
    setenv("CORVANE_STATE_DIR", state_.c_str(), 1);
    local::SetRequestTimeoutMs(0);
  }
  void TearDown() override {
    local::SetRequestTimeoutMs(0);
    CfUnregisterSyncRoot(W(root_).c_str());
    std::error_code ec;
    // Read-only items would stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(base_, ec); it != fs::recursive_directory_iterator(); ++it)
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(base_, ec);
  }

  HRESULT Register(CF_POPULATION_POLICY_PRIMARY population = CF_POPULATION_POLICY_FULL) {
    CF_SYNC_REGISTRATION reg;
    reg.ProviderName = u"TestCloud";
    reg.ProviderVersion = u"1.0";
    CF_SYNC_POLICIES policies;
    policies.StructSize = 20;
    policies.Hydration = {CF_HYDRATION_POLICY_FULL, CF_HYDRATION_POLICY_MODIFIER_AUTO_DEHYDRATION_ALLOWED};
    policies.Population = {population, 0};
    policies.InSync = CF_INSYNC_POLICY_TRACK_ALL;
    policies.HardLink = CF_HARDLINK_POLICY_ALLOWED;
    return CfRegisterSyncRoot(W(root_).c_str(), &reg, &policies, CF_REGISTER_FLAG_MARK_IN_SYNC_ON_ROOT);
  }

  // A dehydrated file placeholder `name` in `folder` with identity "id:name".
  HRESULT MakeFile(const std::string& folder, const std::string& name, int64_t size, bool in_sync = true) {
    const std::u16string name16 = Utf8ToUtf16Lossy(name);
    const std::u16string identity = u"id:" + name16;
    CF_PLACEHOLDER_CREATE_INFO info;
    info.RelativeFileName = name16.c_str();
    info.FsMetadata.FileSize = size;
    info.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    info.FsMetadata.BasicInfo.LastWriteTime = FileTimeFromUnix(1700000000, 123456700);
    info.FileIdentity = identity.data();
    info.FileIdentityLength = static_cast<DWORD>(identity.size() * 2);
    info.Flags = in_sync ? CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC : 0;
    DWORD processed = 0;
    HRESULT hr = CfCreatePlaceholders(W(folder).c_str(), &info, 1, CF_CREATE_FLAG_NONE, &processed);
    return FAILED(hr) ? hr : info.Result;
  }

  HRESULT MakeFolder(const std::string& folder, const std::string& name, bool populated) {
    const std::u16string name16 = Utf8ToUtf16Lossy(name);
    CF_PLACEHOLDER_CREATE_INFO info;
    info.RelativeFileName = name16.c_str();
    info.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    info.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC |
                 (populated ? CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION : 0);
    DWORD processed = 0;
    return CfCreatePlaceholders(W(folder).c_str(), &info, 1, CF_CREATE_FLAG_NONE, &processed);
  }

  // Runs the command-line client as a second process; returns its exit code.
  int RunClient(const std::string& args, std::string* out = nullptr, std::string* err = nullptr) {
    const std::string out_file = (base_ / "out.txt").string(), err_file = (base_ / "err.txt").string();
    const std::string command = "CORVANE_STATE_DIR='" + state_ + "' '" + CORVANE_CLIENT_PATH + "' " + args + " >'" +
                                out_file + "' 2>'" + err_file + "'";
    const int status = std::system(command.c_str());
    auto slurp = [](const std::string& f) {
      std::ifstream in(f, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    if (out) *out = slurp(out_file);
    if (err) *err = slurp(err_file);
    return (status >> 8) & 0xFF;  // the exit code in the wait status
  }

  fs::path base_;
  std::string state_, root_;
};

}  // namespace corvane::platform::testing
