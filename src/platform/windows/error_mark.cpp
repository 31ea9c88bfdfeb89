// The mark is a small named stream of the item ("item:corvane.lastsyncerror")
// holding the HRESULT. A stream follows the item through renames like the
// shell property does, needs no COM apartment on the calling thread (the
// watcher and callback threads have none), and never opens the item's data,
// so marking a placeholder does not hydrate it.
#include "platform/error_mark.h"

#include <string>

#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

constexpr char16_t kStream[] = u":corvane.lastsyncerror";

HRESULT LastErrorResult() { return HRESULT_FROM_WIN32(::GetLastError()); }

// The item must exist; its stream may not.
bool StreamPath(std::u16string_view path, std::wstring& stream) {
  if (path.empty()) return false;
  std::u16string full(path);
  full += kStream;
  stream.assign(reinterpret_cast<const wchar_t*>(full.c_str()), full.size());
  return true;
}

bool ItemExists(std::u16string_view path) {
  const std::u16string item(path);
  return ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(item.c_str())) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

HRESULT SetLastSyncErrorMark(std::u16string_view path, bool set) {
  std::wstring stream;
  if (!StreamPath(path, stream)) return E_INVALIDARG;
  if (!ItemExists(path)) return LastErrorResult();
  if (!set) {
    if (::DeleteFileW(stream.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND) return S_OK;
    return LastErrorResult();
  }
  HANDLE file = ::CreateFileW(stream.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorResult();
  const uint32_t value = static_cast<uint32_t>(E_FAIL);
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  ::DWORD written = 0;
  const bool ok = ::WriteFile(file, bytes, sizeof bytes, &written, nullptr) && written == sizeof bytes;
  const HRESULT result = ok ? S_OK : LastErrorResult();
  ::CloseHandle(file);
  return result;
}

HRESULT GetLastSyncErrorMark(std::u16string_view path, bool& marked) {
  marked = false;
  std::wstring stream;
  if (!StreamPath(path, stream)) return E_INVALIDARG;
  if (!ItemExists(path)) return LastErrorResult();
  HANDLE file = ::CreateFileW(stream.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND ? S_OK : LastErrorResult();
  unsigned char bytes[4] = {};
  ::DWORD read = 0;
  const bool ok = ::ReadFile(file, bytes, sizeof bytes, &read, nullptr);
  const HRESULT result = ok ? S_OK : LastErrorResult();
  ::CloseHandle(file);
  uint32_t value = 0;
  for (::DWORD i = 0; i < read && i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  marked = ok && read == 4 && FAILED(static_cast<HRESULT>(value));
  return result;
}

}  // namespace corvane::platform
