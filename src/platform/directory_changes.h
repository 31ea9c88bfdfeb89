// Change notifications for a folder tree, shaped after one overlapped
// ReadDirectoryChangesExW request with extended information: the caller keeps
// one request outstanding, waits for it in short slices, collects the result
// and issues the next request at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace corvane::platform {

constexpr DWORD FILE_ACTION_ADDED = 1;
constexpr DWORD FILE_ACTION_REMOVED = 2;
constexpr DWORD FILE_ACTION_MODIFIED = 3;
constexpr DWORD FILE_ACTION_RENAMED_OLD_NAME = 4;
constexpr DWORD FILE_ACTION_RENAMED_NEW_NAME = 5;

constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
constexpr DWORD FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x4;
constexpr DWORD FILE_NOTIFY_CHANGE_SIZE = 0x8;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_ACCESS = 0x20;
constexpr DWORD FILE_NOTIFY_CHANGE_CREATION = 0x40;
constexpr DWORD FILE_NOTIFY_CHANGE_SECURITY = 0x100;

constexpr DWORD IO_REPARSE_TAG_SYMLINK = 0xA000000C;

// Byte layout of the Windows record. Records in a buffer are 8-byte aligned;
// NextEntryOffset is 0 on the last one. FileName is UTF-16, not terminated,
// relative to the watched folder, with backslash separators.
struct FILE_NOTIFY_EXTENDED_INFORMATION {
  DWORD NextEntryOffset;
  DWORD Action;
  int64_t CreationTime;
  int64_t LastModificationTime;
  int64_t LastChangeTime;
  int64_t LastAccessTime;
  int64_t AllocatedLength;
  int64_t FileSize;
  DWORD FileAttributes;
  DWORD ReparsePointTag;
  int64_t FileId;
  int64_t ParentFileId;
  DWORD FileNameLength;  // bytes
  char16_t FileName[1];
};
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileAttributes) == 56);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileId) == 64);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileNameLength) == 80);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileName) == 84);

constexpr DWORD kWaitSignalled = 0;      // WAIT_OBJECT_0
constexpr DWORD kWaitTimeout = 258;      // WAIT_TIMEOUT
constexpr DWORD kWaitFailed = 0xFFFFFFFF;  // WAIT_FAILED

// Computes the FileAttributes of a record from the item's native path.
using AttributeReader = std::function<uint32_t(const std::string& native_path)>;

class DirectoryChangeWatch {
 public:
  DirectoryChangeWatch();
  ~DirectoryChangeWatch();  // closes
  DirectoryChangeWatch(const DirectoryChangeWatch&) = delete;
  DirectoryChangeWatch& operator=(const DirectoryChangeWatch&) = delete;

  // Opens the folder (Windows-form path). 0, or ERROR_FILE_NOT_FOUND /
  // ERROR_PATH_NOT_FOUND / ERROR_DIRECTORY / another Win32 error.
  DWORD Open(std::u16string_view path);

  // Issues the request: `buffer` receives the records of the next completion
  // and must stay valid until GetResult reports it. 0 when issued.
  DWORD Request(void* buffer, DWORD size, bool subtree, DWORD filter);

  // kWaitSignalled when the outstanding request has completed, kWaitTimeout
  // after `timeout_ms`, kWaitFailed when the watch is not open.
  DWORD Wait(DWORD timeout_ms);

  // Result of a completed request, without waiting: 0 with `bytes` written
  // into the buffer, ERROR_NOTIFY_ENUM_DIR when changes were lost (rescan),
  // ERROR_IO_INCOMPLETE when nothing has completed yet, or another error.
  // A completed request is consumed; the next one needs Request().
  DWORD GetResult(DWORD& bytes);

  // Ends the watch; idempotent. Safe to call while another thread waits.
  void Close();

  // Replaces the attribute computation (null restores the default one).
  void SetAttributeReader(AttributeReader reader);

  // For tests: how many bytes of kernel events may wait untranslated before
  // later changes count as lost.
  void SetUnreadLimit(size_t bytes);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::platform
