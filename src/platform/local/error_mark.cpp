// The mark is an extended attribute of the item holding the HRESULT, so it
// follows the item through renames like the shell property does.
#include "platform/error_mark.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/local/errno_win32.h"
#include "platform/local/native_path.h"

namespace corvane::platform {
namespace {

constexpr const char* kAttribute = "user.corvane.lastsyncerror";

HRESULT FromErrno(int error) { return HRESULT_FROM_WIN32(local::Win32ErrorFromErrno(error)); }

}  // namespace

HRESULT SetLastSyncErrorMark(std::u16string_view path, bool set) {
  std::string native;
  if (path.empty() || !local::ToNativePath(path, native)) return E_INVALIDARG;
  if (!set) {
    if (removexattr(native.c_str(), kAttribute) == 0 || errno == ENODATA) return S_OK;
    return FromErrno(errno);
  }
  const HRESULT value = E_FAIL;
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * i));
  if (setxattr(native.c_str(), kAttribute, bytes, sizeof bytes, 0) != 0) return FromErrno(errno);
  return S_OK;
}

HRESULT GetLastSyncErrorMark(std::u16string_view path, bool& marked) {
  marked = false;
  std::string native;
  if (path.empty() || !local::ToNativePath(path, native)) return E_INVALIDARG;
  unsigned char bytes[4];
  const ssize_t n = getxattr(native.c_str(), kAttribute, bytes, sizeof bytes);
  if (n < 0) return errno == ENODATA ? S_OK : FromErrno(errno);
  uint32_t value = 0;
  for (ssize_t i = 0; i < n && i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  marked = n == 4 && FAILED(static_cast<HRESULT>(value));
  return S_OK;
}

}  // namespace corvane::platform
