// The registry calls the shell registration leaves traces with, and that
// uninstall cleans up. Keys and values survive the process.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace corvane::platform {

using LSTATUS = int32_t;  // a Win32 error code
using REGSAM = uint32_t;

struct RegistryKey;
using HKEY = RegistryKey*;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Sub-key paths use backslashes; key and value names compare without regard
// to ASCII letter case. Missing keys and values give ERROR_FILE_NOT_FOUND.
LSTATUS RegOpenKeyExW(HKEY key, const char16_t* sub_key, DWORD options, REGSAM sam, HKEY* result);
LSTATUS RegCreateKeyExW(HKEY key, const char16_t* sub_key, DWORD reserved, char16_t* class_name, DWORD options,
                        REGSAM sam, const void* security_attributes, HKEY* result, DWORD* disposition);
// With `data` null only the size is returned; a small buffer gives
// ERROR_MORE_DATA with the size needed in *data_size.
LSTATUS RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved, DWORD* type, uint8_t* data,
                         DWORD* data_size);
LSTATUS RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type, const uint8_t* data,
                       DWORD data_size);
// With `sub_key` null: removes the key's values and sub-keys, the key stays.
// Otherwise removes that sub-key with everything below it.
LSTATUS RegDeleteTreeW(HKEY key, const char16_t* sub_key);
LSTATUS RegCloseKey(HKEY key);

}  // namespace corvane::platform
