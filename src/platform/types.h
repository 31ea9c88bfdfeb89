// Result values and constants of the platform, with the values Windows uses,
// so the code above the platform layer is the same on every system.
#pragma once

#include <cstdint>

namespace corvane::platform {

using HRESULT = int32_t;
using NTSTATUS = int32_t;
using DWORD = uint32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return error == 0 ? 0 : static_cast<HRESULT>((error & 0x0000FFFF) | 0x80070000);
}

// Win32 error codes the library and the platform use.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT = 390;  // 0x186
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOTIFY_ENUM_DIR = 1022;
constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_TIMEOUT = 1460;

// File attributes (Windows bit values).
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr DWORD FILE_ATTRIBUTE_SPARSE_FILE = 0x200;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_ATTRIBUTE_OFFLINE = 0x1000;
constexpr DWORD FILE_ATTRIBUTE_PINNED = 0x80000;
constexpr DWORD FILE_ATTRIBUTE_UNPINNED = 0x100000;
constexpr DWORD FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS = 0x400000;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// 100-ns intervals between 1601-01-01 and 1970-01-01 (the Unix epoch).
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

}  // namespace corvane::platform

// Further Win32 error codes used by the local shell and registry services.
namespace corvane::platform {
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_KEY_DELETED = 1018;
}  // namespace corvane::platform

// Further Win32 error codes of the file and cloud-files calls.
namespace corvane::platform {
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
}  // namespace corvane::platform
