#include "platform/security.h"

#include <memory>

#include "platform/windows/win32.h"

namespace corvane::platform {

// The user of the process token: the account whose rights the process runs
// with, as the shell's sync-root ids name it.
DWORD GetCurrentUserSidString(std::u16string& sid) {
  sid.clear();
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return ::GetLastError();
  ::DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  DWORD error = ::GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER || size == 0) {
    ::CloseHandle(token);
    return error != ERROR_SUCCESS ? error : ERROR_INTERNAL_ERROR;
  }
  auto buffer = std::make_unique<unsigned char[]>(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) {
    error = ::GetLastError();
    ::CloseHandle(token);
    return error;
  }
  ::CloseHandle(token);
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text)) {
    return ::GetLastError();
  }
  sid.assign(reinterpret_cast<const char16_t*>(text));
  ::LocalFree(text);
  return ERROR_SUCCESS;
}

}  // namespace corvane::platform
