#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/windows/win32.h"

namespace corvane::platform {

bool ProviderStateFolder(std::u16string& folder) {
  std::wstring base(32768, L'\0');
  const ::DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), static_cast<::DWORD>(base.size()));
  if (length == 0 || length >= base.size()) {
    SetLastError(length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::u16string path(reinterpret_cast<const char16_t*>(base.data()), length);
  path += u"\\Corvane";
  if (!::CreateDirectoryW(reinterpret_cast<const wchar_t*>(path.c_str()), nullptr) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    SetLastError(::GetLastError());
    return false;
  }
  folder = std::move(path);
  return true;
}

}  // namespace corvane::platform
