// The registry calls themselves. Our HKEY is the system's handle under
// another type name.
#include "platform/registry.h"

#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

// The predefined keys are 32-bit values that the system sign-extends
// (0xFFFFFFFF80000001); platform/registry.h spells them zero-extended, and
// code that reads windows.h's macros gets them sign-extended. Both mean the
// same key.
bool IsPredefined(uintptr_t value) {
  const uint64_t low = value & 0xFFFFFFFFu;
  const uint64_t high = static_cast<uint64_t>(value) >> 32;
  return (high == 0 || high == 0xFFFFFFFFu) && low >= 0x80000000u && low <= 0x800000FFu;
}

::HKEY Native(HKEY key) {
  const auto value = reinterpret_cast<uintptr_t>(key);
  if (!IsPredefined(value)) return reinterpret_cast<::HKEY>(key);
  return reinterpret_cast<::HKEY>(static_cast<intptr_t>(static_cast<int32_t>(value & 0xFFFFFFFFu)));
}

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, const char16_t* sub_key, DWORD options, REGSAM sam, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  ::HKEY opened = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(Native(key), Wide(sub_key), options, sam, &opened);
  *result = status == ERROR_SUCCESS ? reinterpret_cast<HKEY>(opened) : nullptr;
  return status;
}

LSTATUS RegCreateKeyExW(HKEY key, const char16_t* sub_key, DWORD reserved, char16_t* class_name, DWORD options,
                        REGSAM sam, const void* security_attributes, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  ::HKEY created = nullptr;
  ::DWORD how = 0;
  const LSTATUS status = ::RegCreateKeyExW(
      Native(key), Wide(sub_key), reserved, reinterpret_cast<wchar_t*>(class_name), options, sam,
      static_cast<SECURITY_ATTRIBUTES*>(const_cast<void*>(security_attributes)), &created, &how);
  *result = status == ERROR_SUCCESS ? reinterpret_cast<HKEY>(created) : nullptr;
  if (status == ERROR_SUCCESS && disposition != nullptr) *disposition = how;
  return status;
}

LSTATUS RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved, DWORD* type, uint8_t* data,
                         DWORD* data_size) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  ::DWORD native_type = 0;
  ::DWORD size = data_size != nullptr ? *data_size : 0;
  const LSTATUS status = ::RegQueryValueExW(Native(key), Wide(value_name), nullptr, &native_type, data,
                                            data_size != nullptr ? &size : nullptr);
  // The size is meaningful on success and on ERROR_MORE_DATA alike.
  if (data_size != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)) *data_size = size;
  if (type != nullptr && status == ERROR_SUCCESS) *type = native_type;
  return status;
}

LSTATUS RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type, const uint8_t* data,
                       DWORD data_size) {
  return ::RegSetValueExW(Native(key), Wide(value_name), reserved, type, data, data_size);
}

LSTATUS RegDeleteTreeW(HKEY key, const char16_t* sub_key) { return ::RegDeleteTreeW(Native(key), Wide(sub_key)); }

LSTATUS RegCloseKey(HKEY key) {
  // The predefined keys are the process's shared handles, not ours to close.
  if (IsPredefined(reinterpret_cast<uintptr_t>(key))) return ERROR_SUCCESS;
  return ::RegCloseKey(Native(key));
}

}  // namespace corvane::platform
