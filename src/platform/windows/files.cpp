// The file calls themselves. Handles are the system's, carried as integers;
// every failure copies the system's error into the platform's last error.
#include "platform/files.h"

#include <string>

#include "platform/errors.h"
#include "platform/windows/win32.h"

// windows.h names the ANSI/Unicode pair of this call with a macro, which
// would rename our string overload.
#undef GetLongPathName

namespace corvane::platform {
namespace {

HANDLE Native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle Ours(HANDLE handle) { return reinterpret_cast<Handle>(handle); }
const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

int64_t FromFileTime(const ::FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

BOOL Failed() {
  SetLastError(::GetLastError());
  return FALSE;
}

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Reads or writes at `offset`. A handle opened for overlapped I/O answers
// ERROR_IO_PENDING; the call still completes before returning, as the
// synchronous contract promises.
template <class Call>
BOOL Positioned(Handle file, uint64_t offset, DWORD* done, Call call) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  ::DWORD transferred = 0;
  if (!call(&transferred, &overlapped)) {
    DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (::GetOverlappedResult(Native(file), &overlapped, &transferred, TRUE)) error = ERROR_SUCCESS;
      else error = ::GetLastError();
    }
    if (error == ERROR_HANDLE_EOF) {
      transferred = 0;  // a read at or past the end reads nothing, successfully
    } else if (error != ERROR_SUCCESS) {
      if (done != nullptr) *done = 0;
      return FailWith(error);
    }
  }
  if (done != nullptr) *done = transferred;
  return TRUE;
}

void ToFindData(const ::WIN32_FIND_DATAW& in, WIN32_FIND_DATAW& out) {
  out.dwFileAttributes = in.dwFileAttributes;
  out.ftCreationTime = FromFileTime(in.ftCreationTime);
  out.ftLastAccessTime = FromFileTime(in.ftLastAccessTime);
  out.ftLastWriteTime = FromFileTime(in.ftLastWriteTime);
  out.nFileSizeHigh = in.nFileSizeHigh;
  out.nFileSizeLow = in.nFileSizeLow;
  out.dwReserved0 = in.dwReserved0;
  out.dwReserved1 = in.dwReserved1;
  out.cFileName.assign(reinterpret_cast<const char16_t*>(in.cFileName));
}

}  // namespace

Handle CreateFileW(const char16_t* path, DWORD desired_access, DWORD share_mode, void* security_attributes,
                   DWORD creation_disposition, DWORD flags_and_attributes, Handle template_file) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return Ours(INVALID_HANDLE_VALUE);
  }
  HANDLE file = ::CreateFileW(Wide(path), desired_access, share_mode,
                              static_cast<SECURITY_ATTRIBUTES*>(security_attributes), creation_disposition,
                              flags_and_attributes, template_file == Ours(INVALID_HANDLE_VALUE) ? nullptr
                                                                                               : Native(template_file));
  if (file == INVALID_HANDLE_VALUE) SetLastError(::GetLastError());
  return Ours(file);
}

BOOL CloseHandle(Handle handle) { return ::CloseHandle(Native(handle)) ? TRUE : Failed(); }

BOOL ReadFile(Handle file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read, uint64_t offset) {
  return Positioned(file, offset, bytes_read, [&](::DWORD* transferred, OVERLAPPED* overlapped) {
    return ::ReadFile(Native(file), buffer, bytes_to_read, transferred, overlapped);
  });
}

BOOL WriteFile(Handle file, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written, uint64_t offset) {
  return Positioned(file, offset, bytes_written, [&](::DWORD* transferred, OVERLAPPED* overlapped) {
    return ::WriteFile(Native(file), buffer, bytes_to_write, transferred, overlapped);
  });
}

BOOL GetFileSizeEx(Handle file, LARGE_INTEGER* size) {
  if (size == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  ::LARGE_INTEGER native{};
  if (!::GetFileSizeEx(Native(file), &native)) return Failed();
  *size = native.QuadPart;
  return TRUE;
}

// The volume's journal number moves with the platform's own state changes
// too (the in-sync mark among them), so it cannot tell a user's write from
// the provider's bookkeeping: the engine keeps its size and time check.
bool KeepsPlaceholderUsns() { return false; }

BOOL GetPlaceholderUsn(Handle /*file*/, int64_t* usn) {
  if (usn == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  *usn = 0;
  return FailWith(ERROR_NOT_SUPPORTED);
}

BOOL GetFileInformationByHandle(Handle file, BY_HANDLE_FILE_INFORMATION* info) {
  if (info == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  ::BY_HANDLE_FILE_INFORMATION native{};
  if (!::GetFileInformationByHandle(Native(file), &native)) return Failed();
  info->dwFileAttributes = native.dwFileAttributes;
  info->ftCreationTime = FromFileTime(native.ftCreationTime);
  info->ftLastAccessTime = FromFileTime(native.ftLastAccessTime);
  info->ftLastWriteTime = FromFileTime(native.ftLastWriteTime);
  info->dwVolumeSerialNumber = native.dwVolumeSerialNumber;
  info->nFileSizeHigh = native.nFileSizeHigh;
  info->nFileSizeLow = native.nFileSizeLow;
  info->nNumberOfLinks = native.nNumberOfLinks;
  info->nFileIndexHigh = native.nFileIndexHigh;
  info->nFileIndexLow = native.nFileIndexLow;
  return TRUE;
}

BOOL SetFileInformationByHandle(Handle file, FILE_INFO_BY_HANDLE_CLASS info_class, const void* info,
                                DWORD info_size) {
  if (info_class != FileBasicInfo) return FailWith(ERROR_NOT_SUPPORTED);
  if (info == nullptr || info_size < sizeof(FILE_BASIC_INFO)) return FailWith(ERROR_INVALID_PARAMETER);
  const auto* basic = static_cast<const FILE_BASIC_INFO*>(info);
  ::FILE_BASIC_INFO native{};
  native.CreationTime.QuadPart = basic->CreationTime;
  native.LastAccessTime.QuadPart = basic->LastAccessTime;
  native.LastWriteTime.QuadPart = basic->LastWriteTime;
  native.ChangeTime.QuadPart = basic->ChangeTime;
  native.FileAttributes = basic->FileAttributes;
  if (!::SetFileInformationByHandle(Native(file), ::FileBasicInfo, &native, sizeof native)) return Failed();
  return TRUE;
}

DWORD GetFileAttributesW(const char16_t* path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  const DWORD attributes = ::GetFileAttributesW(Wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) SetLastError(::GetLastError());
  return attributes;
}

BOOL SetFileAttributesW(const char16_t* path, DWORD attributes) {
  if (path == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  return ::SetFileAttributesW(Wide(path), attributes) ? TRUE : Failed();
}

BOOL CreateDirectoryW(const char16_t* path, void* security_attributes) {
  if (path == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  return ::CreateDirectoryW(Wide(path), static_cast<SECURITY_ATTRIBUTES*>(security_attributes)) ? TRUE : Failed();
}

BOOL RemoveDirectoryW(const char16_t* path) {
  if (path == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  return ::RemoveDirectoryW(Wide(path)) ? TRUE : Failed();
}

BOOL DeleteFileW(const char16_t* path) {
  if (path == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  return ::DeleteFileW(Wide(path)) ? TRUE : Failed();
}

BOOL MoveFileExW(const char16_t* existing, const char16_t* target, DWORD flags) {
  if (existing == nullptr || target == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  // The system would move a folder over an existing empty folder under
  // MOVEFILE_REPLACE_EXISTING; a rename of ours never replaces a folder's
  // target, so that flag only ever applies to files.
  const DWORD attributes = ::GetFileAttributesW(Wide(existing));
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) flags &= ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING);
  if (::MoveFileExW(Wide(existing), Wide(target), flags)) return TRUE;
  const DWORD error = ::GetLastError();
  return FailWith(error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error);
}

// GetLongPathNameW alone keeps "." and ".." as given; the full path first
// removes them. Links are not followed: the long form of the path itself is
// what the shell and the platform compare sync-root paths by.
DWORD GetLongPathNameW(const char16_t* path, char16_t* buffer, DWORD buffer_chars) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD full_size = ::GetFullPathNameW(Wide(path), 0, nullptr, nullptr);
  if (full_size == 0) return Failed();
  std::wstring full(full_size, L'\0');
  const DWORD full_length = ::GetFullPathNameW(Wide(path), full_size, full.data(), nullptr);
  if (full_length == 0 || full_length >= full_size) return full_length == 0 ? Failed() : FailWith(ERROR_INVALID_NAME);
  full.resize(full_length);
  const DWORD length = ::GetLongPathNameW(full.c_str(), reinterpret_cast<wchar_t*>(buffer), buffer_chars);
  if (length == 0) SetLastError(::GetLastError());
  return length;
}

bool GetLongPathName(const std::u16string& path, std::u16string& long_path) {
  DWORD needed = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (needed == 0) return false;
  // The path can change between the two calls; retry while it grows.
  for (;;) {
    std::u16string buffer(needed, u'\0');
    const DWORD length = GetLongPathNameW(path.c_str(), buffer.data(), needed);
    if (length == 0) return false;
    if (length < needed) {
      buffer.resize(length);
      long_path = std::move(buffer);
      return true;
    }
    needed = length;
  }
}

bool PathPassesLink(const std::u16string& root, std::u16string_view relative) {
  std::u16string path = root;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = relative.size();
    const std::u16string_view part = relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") return true;
    if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
    path.append(part);
    const DWORD attributes = ::GetFileAttributesW(Wide(path.c_str()));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) continue;
    // Placeholders are reparse points too; only what leads elsewhere counts.
    ::WIN32_FIND_DATAW found{};
    const HANDLE find = ::FindFirstFileW(Wide(path.c_str()), &found);
    if (find == INVALID_HANDLE_VALUE) return true;
    ::FindClose(find);
    if ((found.dwReserved0 & ~IO_REPARSE_TAG_CLOUD_MASK) != IO_REPARSE_TAG_CLOUD) return true;
  }
  return false;
}

Handle FindFirstFileW(const char16_t* pattern, WIN32_FIND_DATAW* data) {
  if (pattern == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return Ours(INVALID_HANDLE_VALUE);
  }
  ::WIN32_FIND_DATAW native{};
  HANDLE find = ::FindFirstFileW(Wide(pattern), &native);
  if (find == INVALID_HANDLE_VALUE) {
    SetLastError(::GetLastError());
    return Ours(INVALID_HANDLE_VALUE);
  }
  ToFindData(native, *data);
  return Ours(find);
}

BOOL FindNextFileW(Handle find, WIN32_FIND_DATAW* data) {
  if (data == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  ::WIN32_FIND_DATAW native{};
  if (!::FindNextFileW(Native(find), &native)) return Failed();
  ToFindData(native, *data);
  return TRUE;
}

BOOL FindClose(Handle find) { return ::FindClose(Native(find)) ? TRUE : Failed(); }

}  // namespace corvane::platform
