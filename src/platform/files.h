// File-system calls in the shape of the Win32 file API. Paths are full paths
// in Windows form ("\home\ann\Cloud\a.txt"); failures return false or
// INVALID_HANDLE_VALUE and leave a Win32 error in platform::GetLastError().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace corvane::platform {

using Handle = intptr_t;
inline constexpr Handle INVALID_HANDLE_VALUE = -1;

using BOOL = int;
using LARGE_INTEGER = int64_t;
// 100-ns intervals since 1601-01-01 UTC, in one 64-bit value.
using FILETIME = int64_t;

// Access rights.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr DWORD DELETE = 0x00010000;

// Share modes (recorded; Linux has no mandatory sharing).
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Flags in the flags-and-attributes argument.
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// MoveFileExW flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

// Reparse tag of a cloud-files placeholder, as FindFirstFileW reports it in
// dwReserved0 (with FILE_ATTRIBUTE_REPARSE_POINT set).
constexpr DWORD IO_REPARSE_TAG_CLOUD = 0x9000001A;
constexpr DWORD IO_REPARSE_TAG_CLOUD_MASK = 0x0000F000;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes = 0;
  FILETIME ftCreationTime = 0;
  FILETIME ftLastAccessTime = 0;
  FILETIME ftLastWriteTime = 0;
  DWORD dwVolumeSerialNumber = 0;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  DWORD nNumberOfLinks = 0;
  DWORD nFileIndexHigh = 0;
  DWORD nFileIndexLow = 0;
};

// FileBasicInfo of SetFileInformationByHandle. A time of 0 leaves that time
// unchanged; attributes 0 leave the attributes unchanged (as on Windows).
struct FILE_BASIC_INFO {
  FILETIME CreationTime = 0;
  FILETIME LastAccessTime = 0;
  FILETIME LastWriteTime = 0;
  FILETIME ChangeTime = 0;
  DWORD FileAttributes = 0;
};

enum FILE_INFO_BY_HANDLE_CLASS : int32_t {
  FileBasicInfo = 0,
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes = 0;
  FILETIME ftCreationTime = 0;
  FILETIME ftLastAccessTime = 0;
  FILETIME ftLastWriteTime = 0;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  // The reparse tag when dwFileAttributes has FILE_ATTRIBUTE_REPARSE_POINT.
  DWORD dwReserved0 = 0;
  DWORD dwReserved1 = 0;
  std::u16string cFileName;
};

// Opens (or creates) a file, or a folder with FILE_FLAG_BACKUP_SEMANTICS.
// An application open of a placeholder is reported to a connected provider
// that asked for open/close notifications.
Handle CreateFileW(const char16_t* path, DWORD desired_access, DWORD share_mode, void* security_attributes,
                   DWORD creation_disposition, DWORD flags_and_attributes, Handle template_file);
BOOL CloseHandle(Handle handle);

// Reads or writes at an explicit offset (the OVERLAPPED offset on Windows).
// A read at or past the end of the file succeeds with 0 bytes. Reads of a
// dehydrated range wait for the connected provider to transfer it.
BOOL ReadFile(Handle file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read, uint64_t offset);
BOOL WriteFile(Handle file, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written, uint64_t offset);
// The offset of a write that goes to wherever the file ends when it lands
// (both OVERLAPPED offset words all ones on Windows): an append by a caller
// whose idea of the size may be older than a change made meanwhile.
inline constexpr uint64_t kWriteAtEnd = UINT64_MAX;

BOOL GetFileSizeEx(Handle file, LARGE_INTEGER* size);
BOOL GetFileInformationByHandle(Handle file, BY_HANDLE_FILE_INFORMATION* info);
// The placeholder's update sequence number, which moves with every change
// of its data and which CfSetInSyncState takes to refuse a file changed
// since. 0 for an item that is no placeholder; FALSE with
// ERROR_NOT_SUPPORTED where the platform keeps no such number.
BOOL GetPlaceholderUsn(Handle file, int64_t* usn);
// Whether the platform keeps such numbers, so that the one
// CfConvertToPlaceholder gives back is worth asking for.
bool KeepsPlaceholderUsns();
BOOL SetFileInformationByHandle(Handle file, FILE_INFO_BY_HANDLE_CLASS info_class, const void* info,
                                DWORD info_size);

DWORD GetFileAttributesW(const char16_t* path);
BOOL SetFileAttributesW(const char16_t* path, DWORD attributes);

BOOL CreateDirectoryW(const char16_t* path, void* security_attributes);
BOOL RemoveDirectoryW(const char16_t* path);
BOOL DeleteFileW(const char16_t* path);
// A folder is never moved over an existing target, whatever the flags.
BOOL MoveFileExW(const char16_t* existing, const char16_t* target, DWORD flags);

// Canonical form of an existing path (symbolic links and "." / ".." resolved),
// in Windows form. Returns the length written (without the NUL), the needed
// size in characters (with the NUL) when the buffer is too small, or 0.
DWORD GetLongPathNameW(const char16_t* path, char16_t* buffer, DWORD buffer_chars);
// The same, for callers that prefer a string.
bool GetLongPathName(const std::u16string& path, std::u16string& long_path);
// An existing item's path as cloud-files callbacks name it: from the root of
// its volume, without drive or volume ("\dir\item"), links, mount points
// and substituted drives resolved.
bool GetVolumeRelativePath(const std::u16string& path, std::u16string& relative);

// A folder of the user's own, outside every sync root, for what the library
// keeps across its processes (created when missing): %LOCALAPPDATA%\Corvane
// on Windows, the platform's state folder here. False when there is none.
bool ProviderStateFolder(std::u16string& folder);

// Whether `relative` ("\\docs\\a.txt"), taken below the folder `root`, passes
// through a symbolic link or another reparse point that leads elsewhere (a
// junction or mount point; placeholders do not count), or holds "..".
// Every component that exists, the last one too, is looked at without
// following it, so no text form of the path can hide a link; a missing
// component ends the walk, since nothing below it exists yet. Other
// failures of the walk answer false: the call that follows fails on its own.
bool PathPassesLink(const std::u16string& root, std::u16string_view relative);

// Enumerates a folder. `pattern` is "folder\*" (every entry, "." and ".."
// included, as Windows returns them), "folder\*.ext"-style wildcards, or a
// single path (finds that item). This is the provider's own view: it never
// asks for population (applications list through local::Client, which does).
Handle FindFirstFileW(const char16_t* pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(Handle find, WIN32_FIND_DATAW* data);
BOOL FindClose(Handle find);

// FILETIME <-> Unix time, exact to 100 ns.
FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
void FileTimeToUnix(FILETIME time, int64_t& seconds, int64_t& nanoseconds);

// A name the file system holds but a path cannot carry as itself (on Linux
// one holding '\\' or bytes that are not UTF-8) comes in listings and change
// records with each such byte as a lone surrogate U+DC00+byte, so it is never
// taken for another item. True when `path` holds one (or any lone surrogate).
inline bool HoldsUnrepresentableName(std::u16string_view path) {
  for (size_t i = 0; i < path.size(); ++i) {
    const char16_t c = path[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < path.size() && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

}  // namespace corvane::platform
