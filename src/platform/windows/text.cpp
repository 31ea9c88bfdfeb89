// Code pages, message texts and thread identity through the system's own
// calls. The conversions keep the contract of platform/text.h: every byte
// sequence and every character either maps exactly or the call fails with
// ERROR_NO_UNICODE_TRANSLATION; nothing becomes a default or best-fit
// character.
#include "platform/text.h"

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/types.h"
#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

uint32_t Resolve(uint32_t code_page) { return code_page == CP_ACP ? ::GetACP() : code_page; }

// Code pages for which the system refuses MB_ERR_INVALID_CHARS and the
// default-character arguments (the stateful and 7-bit encodings).
bool TakesNoFlags(uint32_t code_page) {
  return code_page == 42 || (code_page >= 50220 && code_page <= 50229) || code_page == 52936 ||
         (code_page >= 57002 && code_page <= 57011) || code_page == 65000;
}

bool BadArguments(const void* in, int32_t in_len, const void* out, int32_t out_len) {
  return in == nullptr || in_len == 0 || in_len < -1 || out_len < 0 || (out_len > 0 && out == nullptr);
}

// The system answers ERROR_INVALID_PARAMETER for an unknown code page and
// ERROR_INSUFFICIENT_BUFFER for a short buffer already; only a refused
// sequence needs its code made certain.
int32_t Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Whether converting `wide` back gives exactly `bytes`: the system maps a
// few undefined single bytes to best-fit characters even under
// MB_ERR_INVALID_CHARS, and the reverse conversion exposes them.
bool RoundTrips(uint32_t code_page, const char* bytes, int32_t byte_count, const wchar_t* wide,
                int32_t wide_count) {
  if (code_page == CP_UTF8 || TakesNoFlags(code_page)) return true;
  BOOL used_default = FALSE;
  const int n = ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide, wide_count, nullptr, 0, nullptr,
                                      &used_default);
  if (n != byte_count || used_default) return false;
  std::string back(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide, wide_count, back.data(), n, nullptr,
                        &used_default);
  return !used_default && std::memcmp(back.data(), bytes, static_cast<size_t>(n)) == 0;
}

}  // namespace

int32_t MultiByteToWideChar(uint32_t code_page, const char* in, int32_t in_len, char16_t* out,
                            int32_t out_len) {
  if (BadArguments(in, in_len, out, out_len)) return Fail(ERROR_INVALID_PARAMETER);
  code_page = Resolve(code_page);
  if (!::IsValidCodePage(code_page)) return Fail(ERROR_INVALID_PARAMETER);
  const int32_t length = in_len == -1 ? static_cast<int32_t>(std::strlen(in) + 1) : in_len;
  const DWORD flags = TakesNoFlags(code_page) ? 0 : MB_ERR_INVALID_CHARS;

  // Convert into a buffer of our own first, so a refused sequence or a
  // short buffer never leaves half a conversion in the caller's.
  const int needed = ::MultiByteToWideChar(code_page, flags, in, length, nullptr, 0);
  if (needed <= 0) {
    const DWORD error = ::GetLastError();
    return Fail(error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FLAGS ? ERROR_INVALID_PARAMETER
                                                                                 : ERROR_NO_UNICODE_TRANSLATION);
  }
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  ::MultiByteToWideChar(code_page, flags, in, length, wide.data(), needed);
  if (!RoundTrips(code_page, in, length, wide.data(), needed)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (out_len == 0) return needed;
  if (out_len < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(out, wide.data(), static_cast<size_t>(needed) * sizeof(char16_t));
  return needed;
}

int32_t WideCharToMultiByte(uint32_t code_page, const char16_t* in, int32_t in_len, char* out,
                            int32_t out_len) {
  if (BadArguments(in, in_len, out, out_len)) return Fail(ERROR_INVALID_PARAMETER);
  code_page = Resolve(code_page);
  if (!::IsValidCodePage(code_page)) return Fail(ERROR_INVALID_PARAMETER);
  const int32_t length =
      in_len == -1 ? static_cast<int32_t>(std::char_traits<char16_t>::length(in) + 1) : in_len;

  // UTF-8 reports an unpaired surrogate through WC_ERR_INVALID_CHARS; the
  // other code pages through the default-character flag.
  DWORD flags = 0;
  BOOL used_default = FALSE;
  BOOL* used_default_out = nullptr;
  if (code_page == CP_UTF8) {
    flags = WC_ERR_INVALID_CHARS;
  } else if (!TakesNoFlags(code_page)) {
    flags = WC_NO_BEST_FIT_CHARS;
    used_default_out = &used_default;
  }
  const int needed = ::WideCharToMultiByte(code_page, flags, Wide(in), length, nullptr, 0, nullptr, used_default_out);
  if (needed <= 0 || used_default) {
    const DWORD error = needed <= 0 ? ::GetLastError() : ERROR_NO_UNICODE_TRANSLATION;
    return Fail(error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FLAGS ? ERROR_INVALID_PARAMETER
                                                                                 : ERROR_NO_UNICODE_TRANSLATION);
  }
  std::string bytes(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(code_page, flags, Wide(in), length, bytes.data(), needed, nullptr, used_default_out);
  if (used_default) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  // A lone surrogate can pass the default-character check in a double-byte
  // code page; converting back shows whether every character survived.
  if (code_page != CP_UTF8 && !TakesNoFlags(code_page)) {
    const int back = ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), needed, nullptr, 0);
    std::wstring wide(static_cast<size_t>(back > 0 ? back : 0), L'\0');
    if (back > 0) ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), needed, wide.data(), back);
    if (back != length || std::memcmp(wide.data(), in, static_cast<size_t>(length) * sizeof(char16_t)) != 0) {
      return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
  }
  if (out_len == 0) return needed;
  if (out_len < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(out, bytes.data(), static_cast<size_t>(needed));
  return needed;
}

bool IsCodePageSupported(uint32_t code_page) { return ::IsValidCodePage(Resolve(code_page)) != FALSE; }

std::u16string SystemMessage(uint32_t error) {
  constexpr DWORD kFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t* text = nullptr;
  DWORD length = ::FormatMessageW(kFlags, nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  // A system without the English texts still has its own language's.
  if (length == 0 && ::GetLastError() == ERROR_RESOURCE_LANG_NOT_FOUND) {
    length = ::FormatMessageW(kFlags, nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  }
  std::u16string message;
  if (length > 0 && text != nullptr) message.assign(reinterpret_cast<const char16_t*>(text), length);
  if (text != nullptr) ::LocalFree(text);
  return message;
}

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

uint32_t AnsiCodePage() { return ::GetACP(); }

}  // namespace corvane::platform
