// The volume-relative path the Cloud Files filter puts into NormalizedPath.
#include <string>

#include "platform/files.h"
#include "platform/windows/win32.h"

namespace corvane::platform {

bool GetVolumeRelativePath(const std::u16string& path, std::u16string& relative) {
  const HANDLE item = ::CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (item == INVALID_HANDLE_VALUE) return false;
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_NONE;
  std::wstring buffer(MAX_PATH, L'\0');
  DWORD length = ::GetFinalPathNameByHandleW(item, buffer.data(), static_cast<DWORD>(buffer.size()), kFlags);
  if (length >= buffer.size()) {
    buffer.assign(length + 1, L'\0');
    length = ::GetFinalPathNameByHandleW(item, buffer.data(), static_cast<DWORD>(buffer.size()), kFlags);
  }
  ::CloseHandle(item);
  if (length == 0 || length >= buffer.size()) return false;
  relative.assign(reinterpret_cast<const char16_t*>(buffer.data()), length);
  return true;
}

}  // namespace corvane::platform
