// The portable Cloud Files calls over the real cldapi.dll: each portable
// struct is copied into its ABI form, the result fields copied back.
#include "platform/cloud_files.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/windows/cf_api.h"
#include "platform/windows/cldapi.h"
#include "platform/windows/native_handle.h"

namespace corvane::platform {

namespace cf = windows::cf;
using windows::CloudFiles;
using windows::kCloudFilesUnavailable;
using windows::NativeHandle;

// The info classes are returned in the caller's buffer unchanged: the portable
// structs have the ABI's layout there, which these checks hold to.
static_assert(sizeof(CF_SYNC_ROOT_BASIC_INFO) == sizeof(cf::CF_SYNC_ROOT_BASIC_INFO));
static_assert(sizeof(CF_SYNC_ROOT_PROVIDER_INFO) == sizeof(cf::CF_SYNC_ROOT_PROVIDER_INFO));
static_assert(offsetof(CF_SYNC_ROOT_STANDARD_INFO, ProviderName) ==
              offsetof(cf::CF_SYNC_ROOT_STANDARD_INFO, ProviderName));
static_assert(offsetof(CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentity) ==
              offsetof(cf::CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentity));
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) ==
              offsetof(cf::CF_PLACEHOLDER_BASIC_INFO, FileIdentity));
static_assert(offsetof(CF_PLACEHOLDER_STANDARD_INFO, PinState) ==
              offsetof(cf::CF_PLACEHOLDER_STANDARD_INFO, PinState));
static_assert(offsetof(CF_PLACEHOLDER_STANDARD_INFO, FileIdentity) ==
              offsetof(cf::CF_PLACEHOLDER_STANDARD_INFO, FileIdentity));
static_assert(sizeof(CORRELATION_VECTOR) == sizeof(cf::CORRELATION_VECTOR));
static_assert(sizeof(CF_SYNC_STATUS) == sizeof(cf::CF_SYNC_STATUS));

namespace {

constexpr DWORD kPoliciesWithoutPlaceholderManagement = 20;

cf::CF_FS_METADATA ToAbi(const CF_FS_METADATA& in) {
  cf::CF_FS_METADATA out{};
  out.BasicInfo.CreationTime = in.BasicInfo.CreationTime;
  out.BasicInfo.LastAccessTime = in.BasicInfo.LastAccessTime;
  out.BasicInfo.LastWriteTime = in.BasicInfo.LastWriteTime;
  out.BasicInfo.ChangeTime = in.BasicInfo.ChangeTime;
  out.BasicInfo.FileAttributes = in.BasicInfo.FileAttributes;
  out.FileSize = in.FileSize;
  return out;
}

cf::GUID ToAbi(const GUID& in) {
  cf::GUID out{};
  out.Data1 = in.Data1;
  out.Data2 = in.Data2;
  out.Data3 = in.Data3;
  std::memcpy(out.Data4, in.Data4, sizeof out.Data4);
  return out;
}

cf::CF_CONNECTION_KEY ToAbi(CF_CONNECTION_KEY key) { return cf::CF_CONNECTION_KEY{key.Internal}; }

std::vector<cf::CF_PLACEHOLDER_CREATE_INFO> ToAbi(const CF_PLACEHOLDER_CREATE_INFO* in, DWORD count) {
  std::vector<cf::CF_PLACEHOLDER_CREATE_INFO> out(count);
  for (DWORD i = 0; i < count; ++i) {
    out[i].RelativeFileName = in[i].RelativeFileName;
    out[i].FsMetadata = ToAbi(in[i].FsMetadata);
    out[i].FileIdentity = in[i].FileIdentity;
    out[i].FileIdentityLength = in[i].FileIdentityLength;
    out[i].Flags = in[i].Flags;
    out[i].Result = in[i].Result;
    out[i].CreateUsn = in[i].CreateUsn;
  }
  return out;
}

void CopyResults(const std::vector<cf::CF_PLACEHOLDER_CREATE_INFO>& from, CF_PLACEHOLDER_CREATE_INFO* to) {
  for (size_t i = 0; i < from.size(); ++i) {
    to[i].Result = from[i].Result;
    to[i].CreateUsn = from[i].CreateUsn;
  }
}

template <typename Member>
DWORD ParamSizeOf(const Member& member, const cf::CF_OPERATION_PARAMETERS& params) {
  const auto offset = reinterpret_cast<const char*>(&member) - reinterpret_cast<const char*>(&params);
  return static_cast<DWORD>(offset + sizeof(Member));
}

}  // namespace

HRESULT CfRegisterSyncRoot(const char16_t* SyncRootPath, const CF_SYNC_REGISTRATION* Registration,
                           const CF_SYNC_POLICIES* Policies, CF_REGISTER_FLAGS RegisterFlags) {
  const auto fn = CloudFiles().RegisterSyncRoot;
  if (fn == nullptr) return kCloudFilesUnavailable;
  if (Registration == nullptr || Policies == nullptr) return E_INVALIDARG;
  cf::CF_SYNC_REGISTRATION registration{};
  registration.StructSize = sizeof registration;
  registration.ProviderName = Registration->ProviderName;
  registration.ProviderVersion = Registration->ProviderVersion;
  registration.SyncRootIdentity = Registration->SyncRootIdentity;
  registration.SyncRootIdentityLength = Registration->SyncRootIdentityLength;
  registration.FileIdentity = Registration->FileIdentity;
  registration.FileIdentityLength = Registration->FileIdentityLength;
  registration.ProviderId = ToAbi(Registration->ProviderId);

  cf::CF_SYNC_POLICIES policies{};
  // A caller that gave the short form gets the short form: older Windows
  // rejects a StructSize it does not know.
  policies.StructSize =
      Policies->StructSize <= kPoliciesWithoutPlaceholderManagement ? kPoliciesWithoutPlaceholderManagement
                                                                    : static_cast<DWORD>(sizeof policies);
  policies.Hydration = {Policies->Hydration.Primary, Policies->Hydration.Modifier};
  policies.Population = {Policies->Population.Primary, Policies->Population.Modifier};
  policies.InSync = Policies->InSync;
  policies.HardLink = Policies->HardLink;
  policies.PlaceholderManagement = Policies->PlaceholderManagement;
  return fn(SyncRootPath, &registration, &policies, RegisterFlags);
}

HRESULT CfUnregisterSyncRoot(const char16_t* SyncRootPath) {
  const auto fn = CloudFiles().UnregisterSyncRoot;
  return fn == nullptr ? kCloudFilesUnavailable : fn(SyncRootPath);
}

HRESULT CfGetSyncRootInfoByPath(const char16_t* FilePath, CF_SYNC_ROOT_INFO_CLASS InfoClass, void* InfoBuffer,
                                DWORD InfoBufferLength, DWORD* ReturnedLength) {
  const auto fn = CloudFiles().GetSyncRootInfoByPath;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(FilePath, InfoClass, InfoBuffer, InfoBufferLength, ReturnedLength);
}

HRESULT CfCreatePlaceholders(const char16_t* BaseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* PlaceholderArray,
                             DWORD PlaceholderCount, CF_CREATE_FLAGS CreateFlags, DWORD* EntriesProcessed) {
  const auto fn = CloudFiles().CreatePlaceholders;
  if (fn == nullptr) return kCloudFilesUnavailable;
  if (PlaceholderArray == nullptr && PlaceholderCount != 0) return E_INVALIDARG;
  try {
    std::vector<cf::CF_PLACEHOLDER_CREATE_INFO> infos = ToAbi(PlaceholderArray, PlaceholderCount);
    const HRESULT hr = fn(BaseDirectoryPath, infos.data(), PlaceholderCount, CreateFlags, EntriesProcessed);
    CopyResults(infos, PlaceholderArray);
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CfConvertToPlaceholder(Handle FileHandle, const void* FileIdentity, DWORD FileIdentityLength,
                               CF_CONVERT_FLAGS ConvertFlags, USN* ConvertUsn, void* Overlapped) {
  const auto fn = CloudFiles().ConvertToPlaceholder;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(NativeHandle(FileHandle), FileIdentity, FileIdentityLength, ConvertFlags, ConvertUsn, Overlapped);
}

HRESULT CfUpdatePlaceholder(Handle FileHandle, const CF_FS_METADATA* FsMetadata, const void* FileIdentity,
                            DWORD FileIdentityLength, const CF_FILE_RANGE* DehydrateRangeArray,
                            DWORD DehydrateRangeCount, CF_UPDATE_FLAGS UpdateFlags, USN* UpdateUsn,
                            void* Overlapped) {
  const auto fn = CloudFiles().UpdatePlaceholder;
  if (fn == nullptr) return kCloudFilesUnavailable;
  if (DehydrateRangeArray == nullptr && DehydrateRangeCount != 0) return E_INVALIDARG;
  try {
    cf::CF_FS_METADATA metadata{};
    if (FsMetadata != nullptr) metadata = ToAbi(*FsMetadata);
    std::vector<cf::CF_FILE_RANGE> ranges(DehydrateRangeCount);
    for (DWORD i = 0; i < DehydrateRangeCount; ++i) {
      ranges[i] = {DehydrateRangeArray[i].StartingOffset, DehydrateRangeArray[i].Length};
    }
    return fn(NativeHandle(FileHandle), FsMetadata != nullptr ? &metadata : nullptr, FileIdentity,
              FileIdentityLength, ranges.empty() ? nullptr : ranges.data(), DehydrateRangeCount, UpdateFlags,
              UpdateUsn, Overlapped);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CfHydratePlaceholder(Handle FileHandle, LARGE_INTEGER StartingOffset, LARGE_INTEGER Length,
                             CF_HYDRATE_FLAGS HydrateFlags, void* Overlapped) {
  const auto fn = CloudFiles().HydratePlaceholder;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(NativeHandle(FileHandle), StartingOffset, Length, HydrateFlags, Overlapped);
}

HRESULT CfDehydratePlaceholder(Handle FileHandle, LARGE_INTEGER StartingOffset, LARGE_INTEGER Length,
                               CF_DEHYDRATE_FLAGS DehydrateFlags, void* Overlapped) {
  const auto fn = CloudFiles().DehydratePlaceholder;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(NativeHandle(FileHandle), StartingOffset, Length, DehydrateFlags, Overlapped);
}

HRESULT CfGetPlaceholderInfo(Handle FileHandle, CF_PLACEHOLDER_INFO_CLASS InfoClass, void* InfoBuffer,
                             DWORD InfoBufferLength, DWORD* ReturnedLength) {
  const auto fn = CloudFiles().GetPlaceholderInfo;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(NativeHandle(FileHandle), InfoClass, InfoBuffer, InfoBufferLength, ReturnedLength);
}

CF_PLACEHOLDER_STATE CfGetPlaceholderStateFromFindData(const WIN32_FIND_DATAW* FindData) {
  const auto fn = CloudFiles().GetPlaceholderStateFromFindData;
  if (fn == nullptr || FindData == nullptr) return CF_PLACEHOLDER_STATE_INVALID;
  cf::WIN32_FIND_DATAW data{};
  data.dwFileAttributes = FindData->dwFileAttributes;
  data.ftCreationTime = {static_cast<DWORD>(FindData->ftCreationTime),
                         static_cast<DWORD>(static_cast<uint64_t>(FindData->ftCreationTime) >> 32)};
  data.ftLastAccessTime = {static_cast<DWORD>(FindData->ftLastAccessTime),
                           static_cast<DWORD>(static_cast<uint64_t>(FindData->ftLastAccessTime) >> 32)};
  data.ftLastWriteTime = {static_cast<DWORD>(FindData->ftLastWriteTime),
                          static_cast<DWORD>(static_cast<uint64_t>(FindData->ftLastWriteTime) >> 32)};
  data.nFileSizeHigh = FindData->nFileSizeHigh;
  data.nFileSizeLow = FindData->nFileSizeLow;
  data.dwReserved0 = FindData->dwReserved0;  // the reparse tag decides most of the answer
  data.dwReserved1 = FindData->dwReserved1;
  const size_t n = std::min<size_t>(FindData->cFileName.size(), 259);
  std::memcpy(data.cFileName, FindData->cFileName.data(), n * sizeof(char16_t));
  return fn(&data);
}

HRESULT CfSetPinState(Handle FileHandle, CF_PIN_STATE PinState, CF_SET_PIN_FLAGS PinFlags, void* Overlapped) {
  const auto fn = CloudFiles().SetPinState;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(NativeHandle(FileHandle), PinState, PinFlags, Overlapped);
}

HRESULT CfSetInSyncState(Handle FileHandle, CF_IN_SYNC_STATE InSyncState, CF_SET_IN_SYNC_FLAGS InSyncFlags,
                         USN* InSyncUsn) {
  const auto fn = CloudFiles().SetInSyncState;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(NativeHandle(FileHandle), InSyncState, InSyncFlags, InSyncUsn);
}

HRESULT CfExecute(const CF_OPERATION_INFO* OpInfo, CF_OPERATION_PARAMETERS* OpParams) {
  const auto fn = CloudFiles().Execute;
  if (fn == nullptr) return kCloudFilesUnavailable;
  if (OpInfo == nullptr || OpParams == nullptr) return E_INVALIDARG;

  cf::CF_OPERATION_INFO info{};
  info.StructSize = sizeof info;
  info.Type = OpInfo->Type;
  info.ConnectionKey = ToAbi(OpInfo->ConnectionKey);
  info.TransferKey = OpInfo->TransferKey;
  info.CorrelationVector = reinterpret_cast<const cf::CORRELATION_VECTOR*>(OpInfo->CorrelationVector);
  info.SyncStatus = reinterpret_cast<const cf::CF_SYNC_STATUS*>(OpInfo->SyncStatus);
  info.RequestKey = OpInfo->RequestKey;

  cf::CF_OPERATION_PARAMETERS params{};
  try {
    switch (OpInfo->Type) {
      case CF_OPERATION_TYPE_TRANSFER_DATA: {
        const auto& in = OpParams->TransferData;
        params.TransferData = {in.Flags, in.CompletionStatus, in.Buffer, in.Offset, in.Length};
        params.ParamSize = ParamSizeOf(params.TransferData, params);
        return fn(&info, &params);
      }
      case CF_OPERATION_TYPE_RETRIEVE_DATA: {
        auto& in = OpParams->RetrieveData;
        params.RetrieveData = {in.Flags, in.Buffer, in.Offset, in.Length, 0};
        params.ParamSize = ParamSizeOf(params.RetrieveData, params);
        const HRESULT hr = fn(&info, &params);
        in.ReturnedLength = params.RetrieveData.ReturnedLength;
        return hr;
      }
      case CF_OPERATION_TYPE_ACK_DATA: {
        const auto& in = OpParams->AckData;
        params.AckData = {in.Flags, in.CompletionStatus, in.Offset, in.Length};
        params.ParamSize = ParamSizeOf(params.AckData, params);
        return fn(&info, &params);
      }
      case CF_OPERATION_TYPE_RESTART_HYDRATION: {
        const auto& in = OpParams->RestartHydration;
        cf::CF_FS_METADATA metadata{};
        if (in.FsMetadata != nullptr) metadata = ToAbi(*in.FsMetadata);
        params.RestartHydration = {in.Flags, in.FsMetadata != nullptr ? &metadata : nullptr, in.FileIdentity,
                                   in.FileIdentityLength};
        params.ParamSize = ParamSizeOf(params.RestartHydration, params);
        return fn(&info, &params);
      }
      case CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS: {
        auto& in = OpParams->TransferPlaceholders;
        if (in.PlaceholderArray == nullptr && in.PlaceholderCount != 0) return E_INVALIDARG;
        std::vector<cf::CF_PLACEHOLDER_CREATE_INFO> infos = ToAbi(in.PlaceholderArray, in.PlaceholderCount);
        params.TransferPlaceholders = {in.Flags,           in.CompletionStatus,
                                       in.PlaceholderTotalCount, infos.empty() ? nullptr : infos.data(),
                                       in.PlaceholderCount, 0};
        params.ParamSize = ParamSizeOf(params.TransferPlaceholders, params);
        const HRESULT hr = fn(&info, &params);
        CopyResults(infos, in.PlaceholderArray);
        in.EntriesProcessed = params.TransferPlaceholders.EntriesProcessed;
        return hr;
      }
      case CF_OPERATION_TYPE_ACK_DEHYDRATE: {
        const auto& in = OpParams->AckDehydrate;
        params.AckDehydrate = {in.Flags, in.CompletionStatus, in.FileIdentity, in.FileIdentityLength};
        params.ParamSize = ParamSizeOf(params.AckDehydrate, params);
        return fn(&info, &params);
      }
      case CF_OPERATION_TYPE_ACK_DELETE: {
        const auto& in = OpParams->AckDelete;
        params.AckDelete = {in.Flags, in.CompletionStatus};
        params.ParamSize = ParamSizeOf(params.AckDelete, params);
        return fn(&info, &params);
      }
      case CF_OPERATION_TYPE_ACK_RENAME: {
        const auto& in = OpParams->AckRename;
        params.AckRename = {in.Flags, in.CompletionStatus};
        params.ParamSize = ParamSizeOf(params.AckRename, params);
        return fn(&info, &params);
      }
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return E_INVALIDARG;
}

HRESULT CfReportProviderProgress(CF_CONNECTION_KEY ConnectionKey, CF_TRANSFER_KEY TransferKey,
                                 LARGE_INTEGER ProviderProgressTotal, LARGE_INTEGER ProviderProgressCompleted) {
  const auto fn = CloudFiles().ReportProviderProgress;
  if (fn == nullptr) return kCloudFilesUnavailable;
  return fn(ToAbi(ConnectionKey), TransferKey, ProviderProgressTotal, ProviderProgressCompleted);
}

HRESULT CfOpenFileWithOplock(const char16_t* FilePath, CF_OPEN_FILE_FLAGS Flags, Handle* ProtectedHandle) {
  if (ProtectedHandle == nullptr) return E_INVALIDARG;
  *ProtectedHandle = INVALID_HANDLE_VALUE;
  const auto fn = CloudFiles().OpenFileWithOplock;
  if (fn == nullptr) return kCloudFilesUnavailable;
  cf::HANDLE handle = nullptr;
  const HRESULT hr = fn(FilePath, Flags, &handle);
  if (SUCCEEDED(hr)) *ProtectedHandle = windows::PortableHandle(handle);
  return hr;
}

void CfCloseHandle(Handle FileHandle) {
  const auto fn = CloudFiles().CloseHandle;
  if (fn != nullptr && FileHandle != INVALID_HANDLE_VALUE) fn(NativeHandle(FileHandle));
}

}  // namespace corvane::platform
