// The portable Cloud Files calls against a stand-in cldapi.dll: what reaches
// the real entry points must be the documented x64 layout, what comes back
// must land in the portable structs, and callbacks must reach the library
// with every field it reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "fake_cldapi.h"
#include "platform/cloud_files.h"

namespace corvane::platform {
namespace {

namespace cf = windows::cf;
using windows::fake_cldapi;

// What the stand-in entry points saw.
struct Seen {
  cf::CF_CALLBACK_REGISTRATION table[16] = {};
  const void* context = nullptr;
  cf::CF_OPERATION_INFO op_info{};
  cf::CF_OPERATION_PARAMETERS op_params{};
  cf::CF_PLACEHOLDER_CREATE_INFO placeholders[4] = {};
  cf::CF_SYNC_REGISTRATION registration{};
  cf::CF_SYNC_POLICIES policies{};
  int64_t disconnected = 0;
};
Seen seen;

constexpr int64_t kConnection = 0x1122334455667788;

class CloudFilesAbi : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_cldapi = windows::CloudFilesApi{};
    seen = Seen{};
    fake_cldapi.ConnectSyncRoot = [](cf::PCWSTR, const cf::CF_CALLBACK_REGISTRATION* table, const void* context,
                                     cf::FLAGS, cf::CF_CONNECTION_KEY* key) -> cf::HRESULT {
      for (int i = 0; i < 16; ++i) {
        seen.table[i] = table[i];
        if (table[i].Type == cf::CF_CALLBACK_TYPE_NONE) break;
      }
      seen.context = context;
      key->Internal = kConnection;
      return S_OK;
    };
    fake_cldapi.DisconnectSyncRoot = [](cf::CF_CONNECTION_KEY key) -> cf::HRESULT {
      seen.disconnected = key.Internal;
      return S_OK;
    };
  }

  // The trampoline the stand-in got for `type`.
  static cf::CF_CALLBACK Registered(uint32_t type) {
    for (const auto& entry : seen.table) {
      if (entry.Type == cf::CF_CALLBACK_TYPE_NONE) break;
      if (entry.Type == type) return entry.Callback;
    }
    return nullptr;
  }

  static cf::CF_CALLBACK_INFO AbiInfo() {
    cf::CF_CALLBACK_INFO info{};
    info.StructSize = sizeof info;
    info.ConnectionKey.Internal = kConnection;
    info.CallbackContext = const_cast<void*>(seen.context);
    return info;
  }
};

// Set by the portable callbacks below.
CF_CALLBACK_INFO got_info;
CF_CALLBACK_PARAMETERS got_params;
std::u16string got_path;
std::u16string got_target;
std::u16string got_image;
CORRELATION_VECTOR* got_vector = nullptr;
std::atomic<int> calls{0};
bool throw_in_callback = false;

void Remember(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
  if (throw_in_callback) throw std::runtime_error("handler failed");
  got_info = *info;
  got_params = *params;
  got_path = info->NormalizedPath != nullptr ? info->NormalizedPath : u"";
  got_image = info->ProcessInfo != nullptr && info->ProcessInfo->ImagePath != nullptr ? info->ProcessInfo->ImagePath
                                                                                       : u"";
  got_vector = info->CorrelationVector;
  ++calls;
}

void RememberRename(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
  Remember(info, params);
  got_target = params->Rename.TargetPath != nullptr ? params->Rename.TargetPath : u"";
}

TEST_F(CloudFilesAbi, CallbacksReachTheLibraryWithEveryFieldAndKey) {
  int context = 0;
  const CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_FETCH_DATA, Remember},
                                            {CF_CALLBACK_TYPE_NOTIFY_RENAME, RememberRename},
                                            CF_CALLBACK_REGISTRATION_END};
  CF_CONNECTION_KEY key;
  ASSERT_EQ(CfConnectSyncRoot(u"C:\\Root", table, &context, CF_CONNECT_FLAG_NONE, &key), S_OK);
  EXPECT_EQ(key.Internal, kConnection);
  ASSERT_NE(Registered(CF_CALLBACK_TYPE_FETCH_DATA), nullptr);
  ASSERT_NE(Registered(CF_CALLBACK_TYPE_NOTIFY_RENAME), nullptr);
  EXPECT_EQ(Registered(CF_CALLBACK_TYPE_NOTIFY_DELETE), nullptr);  // only what the library asked for

  const char identity[] = "id-7";
  cf::CORRELATION_VECTOR vector{};
  vector.Version = 2;
  std::strcpy(vector.Vector, "abc.1");
  cf::CF_PROCESS_INFO process{};
  process.StructSize = sizeof process;
  process.ProcessId = 4242;
  process.ImagePath = u"C:\\app.exe";
  cf::CF_CALLBACK_INFO info = AbiInfo();
  info.VolumeDosName = u"C:";
  info.NormalizedPath = u"\\Root\\a.txt";
  info.FileSize = 1000;
  info.FileIdentity = identity;
  info.FileIdentityLength = 4;
  info.TransferKey = 0x0102030405060708;
  info.RequestKey = 0x7766554433221100;
  info.PriorityHint = 9;
  info.CorrelationVector = &vector;
  info.ProcessInfo = &process;
  cf::CF_CALLBACK_PARAMETERS params{};
  params.ParamSize = sizeof params;
  params.FetchData.RequiredFileOffset = 4096;
  params.FetchData.RequiredLength = 8192;
  params.FetchData.OptionalLength = 65536;
  params.FetchData.LastDehydrationReason = CF_CALLBACK_DEHYDRATION_REASON_SYSTEM_LOW_SPACE;
  Registered(CF_CALLBACK_TYPE_FETCH_DATA)(&info, &params);

  ASSERT_EQ(calls.load(), 1);
  EXPECT_EQ(got_info.CallbackContext, &context);  // ours, not the connection's number
  EXPECT_EQ(got_info.ConnectionKey.Internal, kConnection);
  EXPECT_EQ(got_info.TransferKey, 0x0102030405060708);
  EXPECT_EQ(got_info.RequestKey, 0x7766554433221100);
  EXPECT_EQ(got_info.FileSize, 1000);
  EXPECT_EQ(got_info.FileIdentity, identity);
  EXPECT_EQ(got_info.FileIdentityLength, 4u);
  EXPECT_EQ(got_info.PriorityHint, 9);
  EXPECT_EQ(got_path, u"\\Root\\a.txt");
  EXPECT_EQ(std::u16string(got_info.VolumeDosName), u"C:");
  EXPECT_EQ(got_image, u"C:\\app.exe");
  ASSERT_NE(got_vector, nullptr);
  EXPECT_STREQ(got_vector->Vector, "abc.1");
  EXPECT_EQ(got_params.FetchData.RequiredFileOffset, 4096);
  EXPECT_EQ(got_params.FetchData.RequiredLength, 8192);
  EXPECT_EQ(got_params.FetchData.OptionalLength, 65536);
  EXPECT_EQ(got_params.FetchData.LastDehydrationReason, CF_CALLBACK_DEHYDRATION_REASON_SYSTEM_LOW_SPACE);

  // Older Windows passes a shorter record: what lies past it is not read.
  info.StructSize = offsetof(cf::CF_CALLBACK_INFO, ProcessInfo);
  info.ProcessInfo = reinterpret_cast<cf::CF_PROCESS_INFO*>(0x10);
  info.RequestKey = 0x5A5A;
  Registered(CF_CALLBACK_TYPE_FETCH_DATA)(&info, &params);
  EXPECT_EQ(got_info.ProcessInfo, nullptr);
  EXPECT_EQ(got_info.RequestKey, 0);
  EXPECT_EQ(got_info.TransferKey, 0x0102030405060708);
  ASSERT_NE(got_vector, nullptr);

  params = {};
  params.Rename.Flags = CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY;
  params.Rename.TargetPath = u"\\Root\\b";
  Registered(CF_CALLBACK_TYPE_NOTIFY_RENAME)(&info, &params);
  EXPECT_EQ(got_target, u"\\Root\\b");
  EXPECT_EQ(got_params.Rename.Flags, CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY);

  // A callback that throws is answered with a failed transfer of its range
  // at once, not left to the platform's time limit.
  fake_cldapi.Execute = [](const cf::CF_OPERATION_INFO* op, cf::CF_OPERATION_PARAMETERS* op_params) -> cf::HRESULT {
    seen.op_info = *op;
    seen.op_params = *op_params;
    return S_OK;
  };
  throw_in_callback = true;
  info.StructSize = sizeof info;
  info.ProcessInfo = &process;
  info.RequestKey = 0x7766554433221100;
  params = {};
  params.FetchData.RequiredFileOffset = 4096;
  params.FetchData.RequiredLength = 8192;
  Registered(CF_CALLBACK_TYPE_FETCH_DATA)(&info, &params);
  throw_in_callback = false;
  EXPECT_EQ(seen.op_info.Type, CF_OPERATION_TYPE_TRANSFER_DATA);
  EXPECT_EQ(seen.op_info.ConnectionKey.Internal, kConnection);
  EXPECT_EQ(seen.op_info.TransferKey, 0x0102030405060708);
  EXPECT_EQ(seen.op_info.RequestKey, 0x7766554433221100);
  EXPECT_EQ(seen.op_params.TransferData.CompletionStatus, STATUS_CLOUD_FILE_UNSUCCESSFUL);
  EXPECT_EQ(seen.op_params.TransferData.Offset, 4096);
  EXPECT_EQ(seen.op_params.TransferData.Length, 8192);
  EXPECT_EQ(seen.op_params.TransferData.Buffer, nullptr);

  ASSERT_EQ(CfDisconnectSyncRoot(key), S_OK);
  EXPECT_EQ(seen.disconnected, kConnection);
  // A straggler after the disconnect finds no connection and calls nothing.
  const int before = calls.load();
  Registered(CF_CALLBACK_TYPE_FETCH_DATA)(&info, &params);
  EXPECT_EQ(calls.load(), before);
}

TEST_F(CloudFilesAbi, ConnectRejectsBadTablesAndForgetsFailedConnections) {
  const CF_CALLBACK_REGISTRATION unknown[] = {{static_cast<CF_CALLBACK_TYPE>(40), Remember},
                                              CF_CALLBACK_REGISTRATION_END};
  CF_CONNECTION_KEY key;
  EXPECT_EQ(CfConnectSyncRoot(u"C:\\Root", unknown, nullptr, 0, &key), E_INVALIDARG);

  fake_cldapi.ConnectSyncRoot = [](cf::PCWSTR, const cf::CF_CALLBACK_REGISTRATION* table, const void* context,
                                   cf::FLAGS, cf::CF_CONNECTION_KEY*) -> cf::HRESULT {
    seen.table[0] = table[0];
    seen.context = context;
    return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_ALREADY_CONNECTED);
  };
  const CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_FETCH_DATA, Remember}, CF_CALLBACK_REGISTRATION_END};
  EXPECT_EQ(CfConnectSyncRoot(u"C:\\Root", table, nullptr, 0, &key),
            HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_ALREADY_CONNECTED));
  const int before = calls.load();
  cf::CF_CALLBACK_INFO info = AbiInfo();
  cf::CF_CALLBACK_PARAMETERS params{};
  seen.table[0].Callback(&info, &params);
  EXPECT_EQ(calls.load(), before);
}

std::promise<void> callback_entered;
std::promise<void> release_callback;
std::atomic<bool> callback_done{false};

void Blocking(const CF_CALLBACK_INFO*, const CF_CALLBACK_PARAMETERS*) {
  callback_entered.set_value();
  release_callback.get_future().wait();
  callback_done = true;
}

TEST_F(CloudFilesAbi, DisconnectWaitsForRunningCallbacksButNotForItsCaller) {
  callback_entered = {};
  release_callback = {};
  const CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_FETCH_DATA, Blocking},
                                            {CF_CALLBACK_TYPE_NOTIFY_DELETE,
                                             [](const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS*) {
                                               // Disconnecting from inside a callback must not deadlock.
                                               CfDisconnectSyncRoot(info->ConnectionKey);
                                             }},
                                            CF_CALLBACK_REGISTRATION_END};
  CF_CONNECTION_KEY key;
  ASSERT_EQ(CfConnectSyncRoot(u"C:\\Root", table, nullptr, 0, &key), S_OK);
  const cf::CF_CALLBACK fetch = Registered(CF_CALLBACK_TYPE_FETCH_DATA);

  std::thread platform_thread([&] {
    cf::CF_CALLBACK_INFO info = AbiInfo();
    cf::CF_CALLBACK_PARAMETERS params{};
    fetch(&info, &params);
  });
  callback_entered.get_future().wait();
  auto disconnect = std::async(std::launch::async, [&] { return CfDisconnectSyncRoot(key); });
  EXPECT_EQ(disconnect.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  release_callback.set_value();
  EXPECT_EQ(disconnect.get(), S_OK);
  EXPECT_TRUE(callback_done.load());
  platform_thread.join();

  ASSERT_EQ(CfConnectSyncRoot(u"C:\\Root", table, nullptr, 0, &key), S_OK);
  cf::CF_CALLBACK_INFO info = AbiInfo();
  cf::CF_CALLBACK_PARAMETERS params{};
  auto self = std::async(std::launch::async, [&] { Registered(CF_CALLBACK_TYPE_NOTIFY_DELETE)(&info, &params); });
  ASSERT_EQ(self.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(seen.disconnected, kConnection);
}

TEST_F(CloudFilesAbi, ExecuteSendsTheDocumentedLayoutAndCopiesResultsBack) {
  fake_cldapi.Execute = [](const cf::CF_OPERATION_INFO* info, cf::CF_OPERATION_PARAMETERS* params) -> cf::HRESULT {
    seen.op_info = *info;
    seen.op_params = *params;
    if (info->Type == CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS) {
      for (cf::DWORD i = 0; i < params->TransferPlaceholders.PlaceholderCount; ++i) {
        seen.placeholders[i] = params->TransferPlaceholders.PlaceholderArray[i];
        params->TransferPlaceholders.PlaceholderArray[i].Result = i == 0 ? S_OK : E_ACCESSDENIED;
        params->TransferPlaceholders.PlaceholderArray[i].CreateUsn = 100 + i;
      }
      params->TransferPlaceholders.EntriesProcessed = 1;
    }
    if (info->Type == CF_OPERATION_TYPE_RETRIEVE_DATA) params->RetrieveData.ReturnedLength = 77;
    return S_OK;
  };
  CORRELATION_VECTOR vector;
  CF_SYNC_STATUS status{};
  CF_OPERATION_INFO info;
  info.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
  info.ConnectionKey.Internal = kConnection;
  info.TransferKey = 0x55;
  info.RequestKey = 0x66;
  info.CorrelationVector = &vector;
  info.SyncStatus = &status;
  const char data[16] = {};
  CF_OPERATION_PARAMETERS params{};
  params.ParamSize = CF_SIZE_OF_OP_PARAM(TransferData);
  params.TransferData.CompletionStatus = STATUS_CLOUD_FILE_NETWORK_UNAVAILABLE;
  params.TransferData.Buffer = data;
  params.TransferData.Offset = 4096;
  params.TransferData.Length = 16;
  ASSERT_EQ(CfExecute(&info, &params), S_OK);
  EXPECT_EQ(seen.op_info.StructSize, 48u);
  EXPECT_EQ(seen.op_info.ConnectionKey.Internal, kConnection);
  EXPECT_EQ(seen.op_info.TransferKey, 0x55);
  EXPECT_EQ(seen.op_info.RequestKey, 0x66);
  EXPECT_EQ(static_cast<const void*>(seen.op_info.CorrelationVector), &vector);
  EXPECT_EQ(static_cast<const void*>(seen.op_info.SyncStatus), &status);
  EXPECT_EQ(seen.op_params.ParamSize, 40u);  // CF_SIZE_OF_OP_PARAM(TransferData) on x64
  EXPECT_EQ(seen.op_params.TransferData.CompletionStatus, STATUS_CLOUD_FILE_NETWORK_UNAVAILABLE);
  EXPECT_EQ(seen.op_params.TransferData.Buffer, data);
  EXPECT_EQ(seen.op_params.TransferData.Offset, 4096);
  EXPECT_EQ(seen.op_params.TransferData.Length, 16);

  CF_PLACEHOLDER_CREATE_INFO items[2];
  items[0].RelativeFileName = u"a.txt";
  items[0].FsMetadata.BasicInfo.LastWriteTime = 133000000000000000;
  items[0].FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_READONLY;
  items[0].FsMetadata.FileSize = 12345;
  items[0].FileIdentity = "x";
  items[0].FileIdentityLength = 1;
  items[0].Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
  items[1].RelativeFileName = u"dir";
  items[1].FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  info.Type = CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS;
  params = {};
  params.TransferPlaceholders.PlaceholderArray = items;
  params.TransferPlaceholders.PlaceholderCount = 2;
  params.TransferPlaceholders.PlaceholderTotalCount = 2;
  ASSERT_EQ(CfExecute(&info, &params), S_OK);
  EXPECT_EQ(seen.op_params.ParamSize, 40u);
  EXPECT_EQ(seen.op_params.TransferPlaceholders.PlaceholderTotalCount, 2);
  EXPECT_EQ(std::u16string(seen.placeholders[0].RelativeFileName), u"a.txt");
  EXPECT_EQ(seen.placeholders[0].FsMetadata.BasicInfo.LastWriteTime, 133000000000000000);
  EXPECT_EQ(seen.placeholders[0].FsMetadata.BasicInfo.FileAttributes, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(seen.placeholders[0].FsMetadata.FileSize, 12345);
  EXPECT_EQ(seen.placeholders[0].FileIdentityLength, 1u);
  EXPECT_EQ(seen.placeholders[0].Flags, CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC);
  EXPECT_EQ(seen.placeholders[1].FsMetadata.BasicInfo.FileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(items[0].Result, S_OK);
  EXPECT_EQ(items[1].Result, E_ACCESSDENIED);
  EXPECT_EQ(items[1].CreateUsn, 101);
  EXPECT_EQ(params.TransferPlaceholders.EntriesProcessed, 1u);

  char sink[8];
  info.Type = CF_OPERATION_TYPE_RETRIEVE_DATA;
  params = {};
  params.RetrieveData.Buffer = sink;
  params.RetrieveData.Length = 8;
  ASSERT_EQ(CfExecute(&info, &params), S_OK);
  EXPECT_EQ(seen.op_params.RetrieveData.Buffer, sink);
  EXPECT_EQ(params.RetrieveData.ReturnedLength, 77);

  info.Type = static_cast<CF_OPERATION_TYPE>(99);
  EXPECT_EQ(CfExecute(&info, &params), E_INVALIDARG);
}

TEST_F(CloudFilesAbi, RegistrationKeepsTheCallersPolicyForm) {
  fake_cldapi.RegisterSyncRoot = [](cf::PCWSTR, const cf::CF_SYNC_REGISTRATION* registration,
                                    const cf::CF_SYNC_POLICIES* policies, cf::FLAGS) -> cf::HRESULT {
    seen.registration = *registration;
    seen.policies = *policies;
    return S_OK;
  };
  CF_SYNC_REGISTRATION registration;
  registration.ProviderName = u"Provider";
  registration.ProviderVersion = u"1.0";
  registration.ProviderId = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
  CF_SYNC_POLICIES policies;
  policies.Hydration.Primary = CF_HYDRATION_POLICY_FULL;
  policies.Hydration.Modifier = CF_HYDRATION_POLICY_MODIFIER_AUTO_DEHYDRATION_ALLOWED;
  policies.Population.Primary = CF_POPULATION_POLICY_ALWAYS_FULL;
  policies.InSync = CF_INSYNC_POLICY_TRACK_ALL;
  ASSERT_EQ(CfRegisterSyncRoot(u"C:\\Root", &registration, &policies, 0), S_OK);
  EXPECT_EQ(seen.registration.StructSize, 72u);
  EXPECT_EQ(std::u16string(seen.registration.ProviderVersion), u"1.0");
  EXPECT_EQ(seen.registration.ProviderId.Data1, 0x11223344u);
  EXPECT_EQ(seen.registration.ProviderId.Data4[7], 8);
  EXPECT_EQ(seen.policies.StructSize, 24u);
  EXPECT_EQ(seen.policies.Hydration.Primary, CF_HYDRATION_POLICY_FULL);
  EXPECT_EQ(seen.policies.Hydration.Modifier, CF_HYDRATION_POLICY_MODIFIER_AUTO_DEHYDRATION_ALLOWED);
  EXPECT_EQ(seen.policies.Population.Primary, CF_POPULATION_POLICY_ALWAYS_FULL);
  EXPECT_EQ(seen.policies.InSync, CF_INSYNC_POLICY_TRACK_ALL);

  policies.StructSize = 20;  // the form older Windows knows
  ASSERT_EQ(CfRegisterSyncRoot(u"C:\\Root", &registration, &policies, 0), S_OK);
  EXPECT_EQ(seen.policies.StructSize, 20u);
}

TEST_F(CloudFilesAbi, WithoutCldapiEveryCallFailsClearly) {
  fake_cldapi = windows::CloudFilesApi{};
  const HRESULT unavailable = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_SUPPORTED);
  EXPECT_EQ(windows::kCloudFilesUnavailable, unavailable);
  CF_SYNC_REGISTRATION registration;
  CF_SYNC_POLICIES policies;
  EXPECT_EQ(CfRegisterSyncRoot(u"C:\\Root", &registration, &policies, 0), unavailable);
  const CF_CALLBACK_REGISTRATION table[] = {CF_CALLBACK_REGISTRATION_END};
  CF_CONNECTION_KEY key;
  EXPECT_EQ(CfConnectSyncRoot(u"C:\\Root", table, nullptr, 0, &key), unavailable);
  EXPECT_EQ(CfDisconnectSyncRoot(key), unavailable);
  CF_OPERATION_INFO info;
  CF_OPERATION_PARAMETERS params{};
  EXPECT_EQ(CfExecute(&info, &params), unavailable);
  EXPECT_EQ(CfHydratePlaceholder(3, 0, -1, 0, nullptr), unavailable);
  Handle handle = 5;
  EXPECT_EQ(CfOpenFileWithOplock(u"C:\\Root\\a", 0, &handle), unavailable);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAW find;
  EXPECT_EQ(CfGetPlaceholderStateFromFindData(&find), CF_PLACEHOLDER_STATE_INVALID);
  CfCloseHandle(handle);  // nothing to call, nothing to crash
}

TEST_F(CloudFilesAbi, FindDataReachesTheCallInItsWindowsLayout) {
  fake_cldapi.GetPlaceholderStateFromFindData = [](const cf::WIN32_FIND_DATAW* data) -> cf::CF_PLACEHOLDER_STATE {
    const bool ok = data->dwFileAttributes == (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE) &&
                    data->dwReserved0 == 0x9000301A && data->ftLastWriteTime.dwHighDateTime == 0x01D00000 &&
                    data->ftLastWriteTime.dwLowDateTime == 0x12345678 && data->cFileName[0] == u'n' &&
                    data->cFileName[4] == 0;
    return ok ? CF_PLACEHOLDER_STATE_PLACEHOLDER : CF_PLACEHOLDER_STATE_INVALID;
  };
  WIN32_FIND_DATAW find;
  find.dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE;
  find.dwReserved0 = 0x9000301A;  // a cloud-files reparse tag
  find.ftLastWriteTime = 0x01D0000012345678;
  find.cFileName = u"name";
  EXPECT_EQ(CfGetPlaceholderStateFromFindData(&find), CF_PLACEHOLDER_STATE_PLACEHOLDER);
}

}  // namespace
}  // namespace corvane::platform
