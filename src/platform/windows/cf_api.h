// The Cloud Files types and entry points of cldapi.dll as the x64 ABI lays
// them out (cfapi.h; mingw-w64 ships no such header). Only what the library
// calls is declared. These are binary copies, unlike the portable
// declarations in platform/cloud_files.h, which is why they live apart.
//
// Self-contained on purpose: it needs no Windows header, so its layout checks
// (cf_abi_checks.cpp) also hold on any LP64/LLP64 compiler with 8-byte pointers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::platform::windows::cf {

using HRESULT = int32_t;
using NTSTATUS = int32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LARGE_INTEGER = int64_t;  // a union of 8 bytes, passed like an int64
using USN = int64_t;
using HANDLE = void*;
using PCWSTR = const char16_t*;  // WCHAR is 2 bytes; char16_t keeps the layout on every compiler

// C enums of the Windows headers are 4-byte ints.
using CF_CALLBACK_TYPE = uint32_t;
using CF_OPERATION_TYPE = uint32_t;
using CF_PIN_STATE = uint32_t;
using CF_IN_SYNC_STATE = uint32_t;
using CF_PLACEHOLDER_STATE = uint32_t;
using CF_SYNC_PROVIDER_STATUS = uint32_t;
using CF_SYNC_ROOT_INFO_CLASS = uint32_t;
using CF_PLACEHOLDER_INFO_CLASS = uint32_t;
using CF_CALLBACK_DEHYDRATION_REASON = uint32_t;
using FLAGS = uint32_t;

constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NONE = 0xFFFFFFFF;

struct CF_CONNECTION_KEY {
  int64_t Internal;
};
using CF_TRANSFER_KEY = LARGE_INTEGER;
using CF_REQUEST_KEY = LARGE_INTEGER;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

struct CORRELATION_VECTOR {
  char Version;
  char Vector[129];
};

// FILE_BASIC_INFO of winbase.h.
struct FILE_BASIC_INFO {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  DWORD FileAttributes;
};

struct CF_FS_METADATA {
  FILE_BASIC_INFO BasicInfo;
  LARGE_INTEGER FileSize;
};

struct CF_PLACEHOLDER_CREATE_INFO {
  PCWSTR RelativeFileName;
  CF_FS_METADATA FsMetadata;
  const void* FileIdentity;
  DWORD FileIdentityLength;
  FLAGS Flags;
  HRESULT Result;
  USN CreateUsn;
};

struct CF_FILE_RANGE {
  LARGE_INTEGER StartingOffset;
  LARGE_INTEGER Length;
};

struct CF_SYNC_REGISTRATION {
  ULONG StructSize;
  PCWSTR ProviderName;
  PCWSTR ProviderVersion;
  const void* SyncRootIdentity;
  DWORD SyncRootIdentityLength;
  const void* FileIdentity;
  DWORD FileIdentityLength;
  GUID ProviderId;
};

struct CF_HYDRATION_POLICY {
  uint16_t Primary;   // CF_HYDRATION_POLICY_PRIMARY_USHORT
  uint16_t Modifier;  // CF_HYDRATION_POLICY_MODIFIER_USHORT
};
struct CF_POPULATION_POLICY {
  uint16_t Primary;
  uint16_t Modifier;
};

struct CF_SYNC_POLICIES {
  ULONG StructSize;
  CF_HYDRATION_POLICY Hydration;
  CF_POPULATION_POLICY Population;
  FLAGS InSync;
  FLAGS HardLink;
  FLAGS PlaceholderManagement;
};

struct CF_SYNC_ROOT_BASIC_INFO {
  LARGE_INTEGER SyncRootFileId;
};

struct CF_SYNC_ROOT_PROVIDER_INFO {
  CF_SYNC_PROVIDER_STATUS ProviderStatus;
  char16_t ProviderName[256];
  char16_t ProviderVersion[256];
};

struct CF_SYNC_ROOT_STANDARD_INFO {
  LARGE_INTEGER SyncRootFileId;
  CF_HYDRATION_POLICY HydrationPolicy;
  CF_POPULATION_POLICY PopulationPolicy;
  FLAGS InSyncPolicy;
  FLAGS HardLinkPolicy;
  CF_SYNC_PROVIDER_STATUS ProviderStatus;
  char16_t ProviderName[256];
  char16_t ProviderVersion[256];
  ULONG SyncRootIdentityLength;
  uint8_t SyncRootIdentity[1];
};

struct CF_PLACEHOLDER_BASIC_INFO {
  CF_PIN_STATE PinState;
  CF_IN_SYNC_STATE InSyncState;
  LARGE_INTEGER FileId;
  LARGE_INTEGER SyncRootFileId;
  ULONG FileIdentityLength;
  uint8_t FileIdentity[1];
};

struct CF_PLACEHOLDER_STANDARD_INFO {
  LARGE_INTEGER OnDiskDataSize;
  LARGE_INTEGER ValidatedDataSize;
  LARGE_INTEGER ModifiedDataSize;
  LARGE_INTEGER PropertiesSize;
  CF_PIN_STATE PinState;
  CF_IN_SYNC_STATE InSyncState;
  LARGE_INTEGER FileId;
  LARGE_INTEGER SyncRootFileId;
  ULONG FileIdentityLength;
  uint8_t FileIdentity[1];
};

struct CF_PROCESS_INFO {
  DWORD StructSize;
  DWORD ProcessId;
  PCWSTR ImagePath;
  PCWSTR PackageName;
  PCWSTR ApplicationId;
  PCWSTR CommandLine;
  DWORD SessionId;
};

struct CF_CALLBACK_INFO {
  DWORD StructSize;
  CF_CONNECTION_KEY ConnectionKey;
  void* CallbackContext;
  PCWSTR VolumeGuidName;
  PCWSTR VolumeDosName;
  DWORD VolumeSerialNumber;
  LARGE_INTEGER SyncRootFileId;
  const void* SyncRootIdentity;
  DWORD SyncRootIdentityLength;
  LARGE_INTEGER FileId;
  LARGE_INTEGER FileSize;
  const void* FileIdentity;
  DWORD FileIdentityLength;
  PCWSTR NormalizedPath;
  CF_TRANSFER_KEY TransferKey;
  uint8_t PriorityHint;
  CORRELATION_VECTOR* CorrelationVector;
  CF_PROCESS_INFO* ProcessInfo;
  CF_REQUEST_KEY RequestKey;
};

struct CF_CALLBACK_PARAMETERS {
  ULONG ParamSize;
  union {
    struct {
      FLAGS Flags;
      union {
        struct {
          LARGE_INTEGER FileOffset;
          LARGE_INTEGER Length;
        } FetchData;
      };
    } Cancel;
    struct {
      FLAGS Flags;
      LARGE_INTEGER RequiredFileOffset;
      LARGE_INTEGER RequiredLength;
      LARGE_INTEGER OptionalFileOffset;
      LARGE_INTEGER OptionalLength;
      LARGE_INTEGER LastDehydrationTime;
      CF_CALLBACK_DEHYDRATION_REASON LastDehydrationReason;
    } FetchData;
    struct {
      FLAGS Flags;
      LARGE_INTEGER RequiredFileOffset;
      LARGE_INTEGER RequiredLength;
    } ValidateData;
    struct {
      FLAGS Flags;
      PCWSTR Pattern;
    } FetchPlaceholders;
    struct {
      FLAGS Flags;
    } OpenCompletion;
    struct {
      FLAGS Flags;
    } CloseCompletion;
    struct {
      FLAGS Flags;
      CF_CALLBACK_DEHYDRATION_REASON Reason;
    } Dehydrate;
    struct {
      FLAGS Flags;
      CF_CALLBACK_DEHYDRATION_REASON Reason;
    } DehydrateCompletion;
    struct {
      FLAGS Flags;
    } Delete;
    struct {
      FLAGS Flags;
    } DeleteCompletion;
    struct {
      FLAGS Flags;
      PCWSTR TargetPath;
    } Rename;
    struct {
      FLAGS Flags;
      PCWSTR SourcePath;
    } RenameCompletion;
  };
};

// CALLBACK is the only convention on x64.
using CF_CALLBACK = void (*)(const CF_CALLBACK_INFO* CallbackInfo, const CF_CALLBACK_PARAMETERS* CallbackParameters);

struct CF_CALLBACK_REGISTRATION {
  CF_CALLBACK_TYPE Type;
  CF_CALLBACK Callback;
};

struct CF_SYNC_STATUS {
  ULONG StructSize;
  ULONG Code;
  ULONG DescriptionOffset;
  ULONG DescriptionLength;
  ULONG DeviceIdOffset;
  ULONG DeviceIdLength;
};

struct CF_OPERATION_INFO {
  ULONG StructSize;
  CF_OPERATION_TYPE Type;
  CF_CONNECTION_KEY ConnectionKey;
  CF_TRANSFER_KEY TransferKey;
  const CORRELATION_VECTOR* CorrelationVector;
  const CF_SYNC_STATUS* SyncStatus;
  CF_REQUEST_KEY RequestKey;
};

struct CF_OPERATION_PARAMETERS {
  ULONG ParamSize;
  union {
    struct {
      FLAGS Flags;
      NTSTATUS CompletionStatus;
      const void* Buffer;
      LARGE_INTEGER Offset;
      LARGE_INTEGER Length;
    } TransferData;
    struct {
      FLAGS Flags;
      void* Buffer;
      LARGE_INTEGER Offset;
      LARGE_INTEGER Length;
      LARGE_INTEGER ReturnedLength;
    } RetrieveData;
    struct {
      FLAGS Flags;
      NTSTATUS CompletionStatus;
      LARGE_INTEGER Offset;
      LARGE_INTEGER Length;
    } AckData;
    struct {
      FLAGS Flags;
      const CF_FS_METADATA* FsMetadata;
      const void* FileIdentity;
      DWORD FileIdentityLength;
    } RestartHydration;
    struct {
      FLAGS Flags;
      NTSTATUS CompletionStatus;
      LARGE_INTEGER PlaceholderTotalCount;
      CF_PLACEHOLDER_CREATE_INFO* PlaceholderArray;
      DWORD PlaceholderCount;
      DWORD EntriesProcessed;
    } TransferPlaceholders;
    struct {
      FLAGS Flags;
      NTSTATUS CompletionStatus;
      const void* FileIdentity;
      DWORD FileIdentityLength;
    } AckDehydrate;
    struct {
      FLAGS Flags;
      NTSTATUS CompletionStatus;
    } AckRename;
    struct {
      FLAGS Flags;
      NTSTATUS CompletionStatus;
    } AckDelete;
  };
};

// WIN32_FIND_DATAW of minwinbase.h: FILETIME is two DWORDs, 4-byte aligned.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char16_t cFileName[260];
  char16_t cAlternateFileName[14];
};

// ---- Entry points (all __stdcall, which x64 ignores) -----------------------

using CfRegisterSyncRootFn = HRESULT (*)(PCWSTR, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, FLAGS);
using CfUnregisterSyncRootFn = HRESULT (*)(PCWSTR);
using CfGetSyncRootInfoByPathFn = HRESULT (*)(PCWSTR, CF_SYNC_ROOT_INFO_CLASS, void*, DWORD, DWORD*);
using CfConnectSyncRootFn = HRESULT (*)(PCWSTR, const CF_CALLBACK_REGISTRATION*, const void*, FLAGS,
                                        CF_CONNECTION_KEY*);
using CfDisconnectSyncRootFn = HRESULT (*)(CF_CONNECTION_KEY);
using CfCreatePlaceholdersFn = HRESULT (*)(PCWSTR, CF_PLACEHOLDER_CREATE_INFO*, DWORD, FLAGS, DWORD*);
using CfConvertToPlaceholderFn = HRESULT (*)(HANDLE, const void*, DWORD, FLAGS, USN*, void*);
using CfUpdatePlaceholderFn = HRESULT (*)(HANDLE, const CF_FS_METADATA*, const void*, DWORD, const CF_FILE_RANGE*,
                                          DWORD, FLAGS, USN*, void*);
using CfHydratePlaceholderFn = HRESULT (*)(HANDLE, LARGE_INTEGER, LARGE_INTEGER, FLAGS, void*);
using CfDehydratePlaceholderFn = HRESULT (*)(HANDLE, LARGE_INTEGER, LARGE_INTEGER, FLAGS, void*);
using CfGetPlaceholderInfoFn = HRESULT (*)(HANDLE, CF_PLACEHOLDER_INFO_CLASS, void*, DWORD, DWORD*);
using CfGetPlaceholderStateFromFindDataFn = CF_PLACEHOLDER_STATE (*)(const WIN32_FIND_DATAW*);
using CfSetPinStateFn = HRESULT (*)(HANDLE, CF_PIN_STATE, FLAGS, void*);
using CfSetInSyncStateFn = HRESULT (*)(HANDLE, CF_IN_SYNC_STATE, FLAGS, USN*);
using CfExecuteFn = HRESULT (*)(const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*);
using CfReportProviderProgressFn = HRESULT (*)(CF_CONNECTION_KEY, CF_TRANSFER_KEY, LARGE_INTEGER, LARGE_INTEGER);
using CfOpenFileWithOplockFn = HRESULT (*)(PCWSTR, FLAGS, HANDLE*);
using CfCloseHandleFn = void (*)(HANDLE);

// Layouts and values are checked against the SDK's in cf_abi_checks.cpp.

}  // namespace corvane::platform::windows::cf
