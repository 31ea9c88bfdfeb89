// Directory changes over one overlapped ReadDirectoryChangesExW request with
// extended records, which the kernel writes straight into the caller's
// buffer in the layout of FILE_NOTIFY_EXTENDED_INFORMATION. Where the Ex call
// is missing (before Windows 10 1709, and Wine) the plain ReadDirectoryChangesW
// fills a buffer of our own and its short records are rewritten as extended
// ones, the item's attributes, times, size and ids read from the file.
#include "platform/directory_changes.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/change_attributes.h"
#include "support/mutex.h"
#include "support/utf.h"
#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

using ReadDirectoryChangesExFn = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED,
                                               LPOVERLAPPED_COMPLETION_ROUTINE, int);
constexpr int kExtendedInformation = 2;  // ReadDirectoryNotifyExtendedInformation
constexpr DWORD kKernelBufferLimit = 1u << 20;
constexpr size_t kRecordHeaderSize = offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileName);

ReadDirectoryChangesExFn ReadDirectoryChangesEx() {
  static const ReadDirectoryChangesExFn fn = [] {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    return kernel == nullptr ? nullptr
                             : reinterpret_cast<ReadDirectoryChangesExFn>(
                                   reinterpret_cast<void*>(::GetProcAddress(kernel, "ReadDirectoryChangesExW")));
  }();
  return fn;
}

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

int64_t FileTimeValue(const ::FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// The file id and times of an item, read through a handle that asks for no
// access, so it neither blocks nor is blocked by other openers.
bool ReadItemInfo(const std::u16string& path, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE item = ::CreateFileW(Wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (item == INVALID_HANDLE_VALUE) return false;
  const BOOL ok = ::GetFileInformationByHandle(item, &info);
  ::CloseHandle(item);
  return ok != FALSE;
}

int64_t FileIdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<int64_t>((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

}  // namespace

struct DirectoryChangeWatch::Impl {
  Mutex mu;
  CondVar waiters_gone;
  int waiters GUARDED_BY(mu) = 0;
  bool closing GUARDED_BY(mu) = false;

  HANDLE dir = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  std::u16string root;  // with a trailing backslash

  bool outstanding = false;
  bool extended = false;  // the request went out as ReadDirectoryChangesExW
  bool extended_refused = false;  // this folder's file system has no extended records
  void* buffer = nullptr;
  DWORD size = 0;
  std::vector<DWORD> short_records;  // DWORD-aligned, as the call demands
  AttributeReader reader;

  // Cancels the request and waits for the cancellation to land, so neither
  // the buffer nor the OVERLAPPED is written after this returns.
  void CancelLocked() REQUIRES(mu) {
    if (!outstanding) return;
    ::CancelIoEx(dir, &overlapped);
    ::DWORD ignored = 0;
    ::GetOverlappedResult(dir, &overlapped, &ignored, TRUE);
    outstanding = false;
  }

  // Rewrites the short records in short_records as extended records in the
  // caller's buffer. False when they do not all fit.
  bool Expand(DWORD short_bytes, DWORD& bytes) {
    auto* out = static_cast<unsigned char*>(buffer);
    const auto* in = reinterpret_cast<const unsigned char*>(short_records.data());
    size_t used = 0;
    FILE_NOTIFY_EXTENDED_INFORMATION* previous = nullptr;
    for (size_t offset = 0; offset < short_bytes;) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(in + offset);
      const size_t name_bytes = record->FileNameLength;
      const size_t record_size = (kRecordHeaderSize + name_bytes + 7) & ~size_t{7};
      if (used + record_size > size) return false;
      auto* info = reinterpret_cast<FILE_NOTIFY_EXTENDED_INFORMATION*>(out + used);
      std::memset(info, 0, record_size);
      info->Action = record->Action;
      info->FileNameLength = static_cast<DWORD>(name_bytes);
      std::memcpy(info->FileName, record->FileName, name_bytes);
      Describe(std::u16string(reinterpret_cast<const char16_t*>(record->FileName), name_bytes / 2), *info);
      if (previous != nullptr) {
        previous->NextEntryOffset = static_cast<DWORD>(reinterpret_cast<unsigned char*>(info) -
                                                       reinterpret_cast<unsigned char*>(previous));
      }
      previous = info;
      used += record_size;
      if (record->NextEntryOffset == 0) break;
      offset += record->NextEntryOffset;
    }
    bytes = static_cast<DWORD>(used);
    return true;
  }

  // What the kernel would have put in the extended record, read now. A removed
  // or renamed-away item can no longer be read and keeps zeros.
  void Describe(const std::u16string& relative, FILE_NOTIFY_EXTENDED_INFORMATION& info) {
    if (info.Action == FILE_ACTION_REMOVED || info.Action == FILE_ACTION_RENAMED_OLD_NAME) return;
    const std::u16string full = root + relative;
    BY_HANDLE_FILE_INFORMATION item{};
    if (ReadItemInfo(full, item)) {
      info.CreationTime = FileTimeValue(item.ftCreationTime);
      info.LastModificationTime = FileTimeValue(item.ftLastWriteTime);
      info.LastChangeTime = info.LastModificationTime;
      info.LastAccessTime = FileTimeValue(item.ftLastAccessTime);
      info.FileSize = static_cast<int64_t>((static_cast<uint64_t>(item.nFileSizeHigh) << 32) | item.nFileSizeLow);
      info.AllocatedLength = info.FileSize;
      info.FileAttributes = item.dwFileAttributes;
      info.FileId = FileIdOf(item);
    }
    size_t slash = full.rfind(u'\\');
    if (slash == 2 && full[1] == u':') ++slash;  // the parent is a drive's root, "C:\\"
    BY_HANDLE_FILE_INFORMATION parent{};
    if (slash != std::u16string::npos && ReadItemInfo(full.substr(0, slash), parent)) {
      info.ParentFileId = FileIdOf(parent);
    }
    if (reader) {
      std::string native;
      if (Utf16ToUtf8(full, native)) info.FileAttributes = reader(native);
    }
  }
};

DirectoryChangeWatch::DirectoryChangeWatch() : impl_(std::make_unique<Impl>()) {}

DirectoryChangeWatch::~DirectoryChangeWatch() {
  Close();
  if (impl_->event != nullptr) ::CloseHandle(impl_->event);
}

DWORD DirectoryChangeWatch::Open(std::u16string_view path) {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  if (im.dir != INVALID_HANDLE_VALUE) return ERROR_INVALID_PARAMETER;
  if (path.empty() || path.find(u'\0') != std::u16string_view::npos) return ERROR_INVALID_NAME;
  std::u16string root(path);
  while (root.size() > 3 && root.back() == u'\\') root.pop_back();
  const DWORD attributes = ::GetFileAttributesW(Wide(root));
  if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  if (im.event == nullptr) {
    im.event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (im.event == nullptr) return ::GetLastError();
  }
  im.dir = ::CreateFileW(Wide(root), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (im.dir == INVALID_HANDLE_VALUE) return ::GetLastError();
  if (root.back() != u'\\') root += u'\\';
  im.root = std::move(root);
  im.closing = false;
  im.extended_refused = false;
  return ERROR_SUCCESS;
}

DWORD DirectoryChangeWatch::Request(void* buffer, DWORD size, bool subtree, DWORD filter) {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  if (im.dir == INVALID_HANDLE_VALUE || im.closing) return ERROR_INVALID_HANDLE;
  if (buffer == nullptr || size < sizeof(FILE_NOTIFY_EXTENDED_INFORMATION) || filter == 0 ||
      reinterpret_cast<uintptr_t>(buffer) % sizeof(DWORD) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (im.outstanding) return ERROR_INVALID_PARAMETER;  // one request at a time
  // Windows keeps a buffer of the requested size in kernel memory for as long
  // as the handle lives; past 1 MiB that costs more than an occasional
  // overflow, which the caller handles with a rescan.
  size = std::min(size, kKernelBufferLimit);
  im.buffer = buffer;
  im.size = size;
  im.overlapped = OVERLAPPED{};
  im.overlapped.hEvent = im.event;
  BOOL issued = FALSE;
  const ReadDirectoryChangesExFn ex = im.extended_refused ? nullptr : ReadDirectoryChangesEx();
  if (ex != nullptr) {
    im.extended = true;
    issued = ex(im.dir, buffer, size, subtree ? TRUE : FALSE, filter, nullptr, &im.overlapped, nullptr,
                kExtendedInformation);
    // File systems without extended records (FAT, some network shares)
    // refuse the class; the short form still works there.
    const DWORD error = issued ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) {
      im.extended_refused = true;
      im.overlapped = OVERLAPPED{};
      im.overlapped.hEvent = im.event;
    }
  }
  if (ex == nullptr || im.extended_refused) {
    im.extended = false;
    // Short records are several times smaller than extended ones for the same
    // names; half the caller's buffer leaves room to expand them.
    im.short_records.assign(size / 2 / sizeof(DWORD), 0);
    issued = ::ReadDirectoryChangesW(im.dir, im.short_records.data(),
                                     static_cast<DWORD>(im.short_records.size() * sizeof(DWORD)),
                                     subtree ? TRUE : FALSE, filter, nullptr, &im.overlapped, nullptr);
  }
  if (!issued) {
    const DWORD error = ::GetLastError();
    return error == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : error;
  }
  im.outstanding = true;
  return ERROR_SUCCESS;
}

DWORD DirectoryChangeWatch::Wait(DWORD timeout_ms) {
  Impl& im = *impl_;
  HANDLE event = nullptr;
  {
    MutexLock lock(im.mu);
    if (im.dir == INVALID_HANDLE_VALUE || im.closing) return kWaitFailed;
    event = im.event;
    ++im.waiters;
  }
  const DWORD result = ::WaitForSingleObject(event, timeout_ms);
  MutexLock lock(im.mu);
  if (--im.waiters == 0) im.waiters_gone.NotifyAll();
  if (im.closing || im.dir == INVALID_HANDLE_VALUE) return kWaitFailed;
  if (result == WAIT_OBJECT_0) return kWaitSignalled;
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  return kWaitFailed;
}

DWORD DirectoryChangeWatch::GetResult(DWORD& bytes) {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  bytes = 0;
  if (im.dir == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  if (!im.outstanding) return ERROR_IO_INCOMPLETE;
  ::DWORD transferred = 0;
  if (!::GetOverlappedResult(im.dir, &im.overlapped, &transferred, FALSE)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return error;
    im.outstanding = false;
    ::ResetEvent(im.event);
    return error;
  }
  im.outstanding = false;
  ::ResetEvent(im.event);
  // A completion without records means the system dropped what it had
  // gathered (its buffer overflowed): the caller must rescan, not carry on.
  if (transferred == 0) return ERROR_NOTIFY_ENUM_DIR;
  if (im.extended) {
    bytes = transferred;
    return ERROR_SUCCESS;
  }
  if (!im.Expand(transferred, bytes)) {
    bytes = 0;
    return ERROR_NOTIFY_ENUM_DIR;
  }
  return ERROR_SUCCESS;
}

void DirectoryChangeWatch::Close() {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  if (im.dir == INVALID_HANDLE_VALUE) return;
  im.closing = true;
  im.CancelLocked();
  ::CloseHandle(im.dir);
  im.dir = INVALID_HANDLE_VALUE;
  // Wake anyone in Wait and let them leave before the event can be reused.
  ::SetEvent(im.event);
  while (im.waiters != 0) im.waiters_gone.Wait(im.mu);
  ::ResetEvent(im.event);
  im.short_records.clear();
  im.buffer = nullptr;
}

void DirectoryChangeWatch::SetAttributeReader(AttributeReader reader) {
  MutexLock lock(impl_->mu);
  impl_->reader = std::move(reader);
}

}  // namespace corvane::platform
