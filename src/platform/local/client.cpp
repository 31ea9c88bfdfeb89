#include "platform/local/client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sstream>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/text.h"
#include "platform/local/connection.h"
#include "platform/local/data_access.h"
#include "platform/local/handle_table.h"
#include "platform/local/local_item.h"
#include "platform/local/native_path.h"
#include "platform/local/placeholder_store.h"
#include "platform/local/posix_error.h"
#include "platform/local/provider_link.h"
#include "platform/local/record_file.h"
#include "platform/local/sync_roots.h"
#include "support/utf.h"

namespace corvane::platform::local {
namespace {

constexpr DWORD kReadChunk = 16u << 20;

// Opens a native path the Win32 way; INVALID_HANDLE_VALUE with the error.
// Data access opens files only (as on Windows); metadata access opens either.
Handle OpenNative(const std::string& native, DWORD access, DWORD disposition) {
  const std::u16string path = FromNativePath(native);
  const DWORD flags = (access & (GENERIC_READ | GENERIC_WRITE)) ? 0 : FILE_FLAG_BACKUP_SEMANTICS;
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, flags,
                     INVALID_HANDLE_VALUE);
}

DWORD ErrorOf(HRESULT hr) {
  if (SUCCEEDED(hr)) return ERROR_SUCCESS;
  if ((static_cast<uint32_t>(hr) & 0xFFFF0000) == 0x80070000) return static_cast<DWORD>(hr) & 0xFFFF;
  return hr == E_INVALIDARG ? ERROR_INVALID_PARAMETER : ERROR_INTERNAL_ERROR;
}

class ScopedHandle {
 public:
  explicit ScopedHandle(Handle h) : h_(h) {}
  ~ScopedHandle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  Handle h_;
};

const char* PinName(CF_PIN_STATE pin) {
  switch (pin) {
    case CF_PIN_STATE_PINNED: return "pinned";
    case CF_PIN_STATE_UNPINNED: return "unpinned";
    case CF_PIN_STATE_EXCLUDED: return "excluded";
    case CF_PIN_STATE_INHERIT: return "inherit";
    default: return "unspecified";
  }
}

// Identities are usually UTF-16 text; show them so when they are.
std::string ShowIdentity(const std::string& bytes) {
  if (bytes.empty()) return "(none)";
  if (bytes.size() % 2 == 0) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    // Text ends at its NUL; what a provider keeps after it is its own.
    if (const size_t end = text.find(u'\0'); end != std::u16string::npos) text.resize(end);
    std::string utf8;
    const bool printable = std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= 0x20; });
    if (!text.empty() && printable && Utf16ToUtf8(text, utf8)) return "\"" + utf8 + "\"";
  }
  return "0x" + HexEncode(bytes);
}

DWORD DeleteTree(const std::string& native) {
  const std::u16string path = FromNativePath(native);
  std::vector<ClientEntry> unused;
  WIN32_FIND_DATAW data;
  const std::u16string pattern = path + u"\\*";
  const Handle find = FindFirstFileW(pattern.c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (data.cFileName == u"." || data.cFileName == u"..") continue;
      const std::string child = native + "/" + Utf16ToUtf8Lossy(data.cFileName);
      const std::u16string child_w = FromNativePath(child);
      DWORD error = ERROR_SUCCESS;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        error = DeleteTree(child);
      else if (!DeleteFileW(child_w.c_str()))
        error = GetLastError();
      if (error) {
        FindClose(find);
        return error;
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  return RemoveDirectoryW(path.c_str()) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

bool ItemState::FullyHydrated() const {
  if (is_folder || !placeholder) return true;
  uint64_t covered = 0;
  for (const CF_FILE_RANGE& r : hydrated) covered += static_cast<uint64_t>(r.Length);
  return covered >= size;
}

std::string ItemState::ToText() const {
  std::ostringstream out;
  out << "type: " << (is_folder ? "folder" : "file") << "\n"
      << "placeholder: " << (placeholder ? "yes" : "no") << "\n";
  if (placeholder) {
    out << "in-sync: " << (in_sync ? "yes" : "no") << "\n"
        << "pin: " << PinName(pin) << "\n";
  }
  if (!is_folder) out << "size: " << size << "\n";
  if (placeholder && !is_folder) {
    out << "hydrated:";
    if (hydrated.empty()) out << " none";
    for (size_t i = 0; i < hydrated.size(); ++i)
      out << (i ? ", " : " ") << hydrated[i].StartingOffset << "-"
          << hydrated[i].StartingOffset + hydrated[i].Length;
    out << (FullyHydrated() ? " (complete)" : " (partial)") << "\n";
  }
  if (placeholder && is_folder) out << "populated: " << (populated ? "yes" : "no") << "\n";
  if (placeholder) out << "identity: " << ShowIdentity(identity) << "\n";
  char attrs[16];
  snprintf(attrs, sizeof attrs, "0x%08X", attributes);
  out << "attributes: " << attrs << "\n";
  out << "sync root: " << (sync_root.empty() ? "(none)" : sync_root + " (provider " + provider + ")") << "\n";
  if (progress_total > 0) out << "progress: " << progress_completed << " of " << progress_total << "\n";
  return out.str();
}

std::string ItemState::Summary() const {
  if (!placeholder) return "placeholder=no";
  std::string text = std::string("in-sync=") + (in_sync ? "yes" : "no") + " pin=" + PinName(pin);
  if (is_folder) return text + " populated=" + (populated ? "yes" : "no");
  const char* data = FullyHydrated() ? "hydrated" : hydrated.empty() ? "dehydrated" : "partial";
  return text + " data=" + data;
}

Client::Client(std::string sync_root) : root_(std::move(sync_root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  root_ = ToBackingPath(root_);
}

std::string Client::Resolve(const std::string& path) const {
  if (!path.empty() && path[0] == '/') return ToBackingPath(path);
  if (path.empty() || path == ".") return root_;
  return root_ + "/" + path;
}

DWORD Client::List(const std::string& folder, std::vector<ClientEntry>& entries) {
  entries.clear();
  const std::string native = Resolve(folder);
  const DWORD attrs = GetFileAttributesW(FromNativePath(native).c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
  const NTSTATUS status = EnsurePopulated(native);
  if (status != STATUS_SUCCESS) return Win32ErrorFromCloudStatus(status);
  const std::u16string pattern = FromNativePath(native) + u"\\*";
  WIN32_FIND_DATAW data;
  const Handle find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return GetLastError();
  do {
    if (data.cFileName == u"." || data.cFileName == u"..") continue;
    ClientEntry e;
    e.name = Utf16ToUtf8Lossy(data.cFileName);
    e.is_folder = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    e.attributes = data.dwFileAttributes;
    e.state = CfGetPlaceholderStateFromFindData(&data);
    entries.push_back(std::move(e));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(entries.begin(), entries.end(), [](const ClientEntry& a, const ClientEntry& b) { return a.name < b.name; });
  return ERROR_SUCCESS;
}

DWORD Client::Read(const std::string& path, uint64_t offset, uint64_t length, std::string& data) {
  data.clear();
  ScopedHandle h(OpenNative(Resolve(path), GENERIC_READ, OPEN_EXISTING));
  if (!h.valid()) return GetLastError();
  LARGE_INTEGER size = 0;
  if (!GetFileSizeEx(h.get(), &size)) return GetLastError();
  if (offset >= static_cast<uint64_t>(size)) return ERROR_SUCCESS;
  const uint64_t end = std::min(static_cast<uint64_t>(size), offset + std::min(length, UINT64_MAX - offset));
  data.resize(static_cast<size_t>(end - offset));
  size_t done = 0;
  if (const DWORD error = ReadAt(h.get(), offset, data.size(), data.data(), done)) {
    data.clear();
    return error;
  }
  data.resize(done);
  return ERROR_SUCCESS;
}

DWORD Client::ReadAll(const std::string& path, std::string& data) { return Read(path, 0, UINT64_MAX, data); }

DWORD Client::Write(const std::string& path, uint64_t offset, std::string_view data) {
  ScopedHandle h(OpenNative(Resolve(path), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING));
  if (!h.valid()) return GetLastError();
  if (data.size() > UINT32_MAX) return ERROR_INVALID_PARAMETER;
  DWORD written = 0;
  if (!WriteFile(h.get(), data.data(), static_cast<DWORD>(data.size()), &written, offset)) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD Client::WriteAll(const std::string& path, std::string_view data) {
  ScopedHandle h(OpenNative(Resolve(path), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS));
  if (!h.valid()) return GetLastError();
  if (data.size() > UINT32_MAX) return ERROR_INVALID_PARAMETER;
  DWORD written = 0;
  if (!WriteFile(h.get(), data.data(), static_cast<DWORD>(data.size()), &written, 0)) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD Client::CreateFile(const std::string& path, std::string_view data) {
  if (data.size() > UINT32_MAX) return ERROR_INVALID_PARAMETER;
  ScopedHandle h(OpenNative(Resolve(path), GENERIC_READ | GENERIC_WRITE, CREATE_NEW));
  if (!h.valid()) return GetLastError();
  DWORD written = 0;
  if (!data.empty() && !WriteFile(h.get(), data.data(), static_cast<DWORD>(data.size()), &written, 0))
    return GetLastError();
  return ERROR_SUCCESS;
}

DWORD Client::Open(const std::string& path, bool write, bool create_new, Handle& file) {
  const DWORD access = GENERIC_READ | (write ? GENERIC_WRITE : 0);
  file = OpenNative(Resolve(path), access, create_new ? CREATE_NEW : OPEN_EXISTING);
  return file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
}

DWORD Client::ReadAt(Handle file, uint64_t offset, size_t length, char* buffer, size_t& done) {
  done = 0;
  while (done < length) {
    const DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(kReadChunk, length - done));
    DWORD got = 0;
    if (!ReadFile(file, buffer + done, chunk, &got, offset + done)) return GetLastError();
    if (got == 0) break;
    done += got;
  }
  return ERROR_SUCCESS;
}

DWORD Client::WriteAt(Handle file, uint64_t offset, std::string_view data) {
  if (data.size() > UINT32_MAX) return ERROR_INVALID_PARAMETER;
  DWORD written = 0;
  if (!WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, offset)) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD Client::Fetch(Handle file, uint64_t offset, uint64_t length, uint64_t window, int& descriptor) {
  auto item = LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return ERROR_INVALID_HANDLE;
  if (item->is_dir || !item->readable) return ERROR_ACCESS_DENIED;
  // Data that is present never waits for the provider, whatever follows it.
  LocalItem info;
  if (ReadLocalItem(item->fd, info) && info.record.placeholder && !info.is_dir &&
      !info.ranges.Covers(offset, std::min(info.size, offset + std::min(length, UINT64_MAX - offset))))
    length = std::max(length, window);
  const NTSTATUS status = EnsureOnDisk(item->fd, item->path, offset, length);
  if (status != STATUS_SUCCESS) return Win32ErrorFromCloudStatus(status);
  descriptor = item->fd;
  return ERROR_SUCCESS;
}

DWORD Client::Truncate(Handle file, uint64_t size) {
  auto item = LookupHandle(file, OpenItem::Kind::kFile);
  if (!item) return ERROR_INVALID_HANDLE;
  if (item->is_dir || !item->writable) return ERROR_ACCESS_DENIED;
  struct stat st;
  if (fstat(item->fd, &st) != 0) return Win32ErrorOfErrno(errno);
  const uint64_t old_size = static_cast<uint64_t>(st.st_size);
  // A dehydrated range cut short could no longer be fetched whole.
  const NTSTATUS status = EnsureOnDisk(item->fd, item->path, 0, std::min(old_size, size));
  if (status != STATUS_SUCCESS) return Win32ErrorFromCloudStatus(status);
  const uint64_t kept = std::min(old_size, size);
  // Held until the new length is recorded, as for a write.
  ItemStateLock lock(item->fd);
  if (!RecordApplicationWriteLocked(item->fd, kept, size, false)) return Win32ErrorOfErrno(errno);
  if (ftruncate(item->fd, static_cast<off_t>(size)) != 0) return Win32ErrorOfErrno(errno);
  // Clips what the state knew past the new end, and keeps the new zeros as data.
  if (!RecordWrittenRangeLocked(item->fd, kept, size)) return Win32ErrorOfErrno(errno);
  return ERROR_SUCCESS;
}

DWORD Client::SetTimes(Handle file, int64_t access_s, int64_t access_ns, int64_t write_s, int64_t write_ns) {
  FILE_BASIC_INFO basic;
  if (access_s >= 0) basic.LastAccessTime = FileTimeFromUnix(access_s, access_ns);
  if (write_s >= 0) basic.LastWriteTime = FileTimeFromUnix(write_s, write_ns);
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) ? ERROR_SUCCESS : GetLastError();
}

void Client::Close(Handle file) { CloseHandle(file); }

DWORD Client::Populate(const std::string& folder) {
  const NTSTATUS status = EnsurePopulated(Resolve(folder));
  return status == STATUS_SUCCESS ? ERROR_SUCCESS : Win32ErrorFromCloudStatus(status);
}

DWORD Client::CreateFolder(const std::string& path) {
  const std::u16string native = FromNativePath(Resolve(path));
  return CreateDirectoryW(native.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
}

DWORD Client::Delete(const std::string& path, bool recursive) {
  const std::string native = Resolve(path);
  const std::u16string path_w = FromNativePath(native);
  const DWORD attrs = GetFileAttributesW(path_w.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
    if (recursive) return DeleteTree(native);
    return RemoveDirectoryW(path_w.c_str()) ? ERROR_SUCCESS : GetLastError();
  }
  return DeleteFileW(path_w.c_str()) ? ERROR_SUCCESS : GetLastError();
}

DWORD Client::Rename(const std::string& from, const std::string& to, bool replace_existing) {
  const std::u16string a = FromNativePath(Resolve(from)), b = FromNativePath(Resolve(to));
  return MoveFileExW(a.c_str(), b.c_str(), replace_existing ? MOVEFILE_REPLACE_EXISTING : 0) ? ERROR_SUCCESS
                                                                                            : GetLastError();
}

DWORD Client::Pin(const std::string& path) {
  ScopedHandle h(OpenNative(Resolve(path), 0, OPEN_EXISTING));
  if (!h.valid()) return GetLastError();
  return ErrorOf(CfSetPinState(h.get(), CF_PIN_STATE_PINNED, CF_SET_PIN_FLAG_RECURSE, nullptr));
}

DWORD Client::Unpin(const std::string& path) {
  ScopedHandle h(OpenNative(Resolve(path), 0, OPEN_EXISTING));
  if (!h.valid()) return GetLastError();
  return ErrorOf(CfSetPinState(h.get(), CF_PIN_STATE_UNPINNED, CF_SET_PIN_FLAG_RECURSE, nullptr));
}

DWORD Client::Hydrate(const std::string& path) {
  ScopedHandle h(OpenNative(Resolve(path), 0, OPEN_EXISTING));
  if (!h.valid()) return GetLastError();
  return ErrorOf(CfHydratePlaceholder(h.get(), 0, -1, CF_HYDRATE_FLAG_NONE, nullptr));
}

DWORD Client::Dehydrate(const std::string& path) {
  const std::string native = Resolve(path);
  ItemState state;
  if (const DWORD error = State(path, state)) return error;
  if (!state.placeholder) return ERROR_NOT_A_CLOUD_FILE;
  if (state.is_folder) return ERROR_INVALID_PARAMETER;
  if (state.pin == CF_PIN_STATE_PINNED) return ERROR_CLOUD_FILE_PINNED;
  if (!state.in_sync) return ERROR_CLOUD_FILE_NOT_IN_SYNC;
  SyncRootRecord root;
  const bool under_root = FindSyncRootFor(CanonicalPath(native), root);
  ProviderRequest request;
  request.type = RequestType::kDehydrate;
  request.path = native;
  if (under_root) {
    // A connected provider may refuse; without one the platform decides.
    const NTSTATUS status = AskProvider(root.root, request, true);
    if (status != STATUS_SUCCESS && status != STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING)
      return Win32ErrorFromCloudStatus(status);
  }
  ScopedHandle h(OpenNative(native, 0, OPEN_EXISTING));
  if (!h.valid()) return GetLastError();
  const DWORD error = ErrorOf(CfDehydratePlaceholder(h.get(), 0, -1, CF_DEHYDRATE_FLAG_NONE, nullptr));
  if (error == ERROR_SUCCESS && under_root) {
    request.type = RequestType::kDehydrateDone;
    AskProvider(root.root, request, false);
  }
  return error;
}

DWORD Client::State(const std::string& path, ItemState& state) {
  state = ItemState();
  const std::string native = Resolve(path);
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const DWORD error = Win32ErrorOfErrno(errno);
    return error;
  }
  LocalItem info;
  const bool ok = ReadLocalItem(fd, info);
  LoadIdentity(fd, state.identity);
  LoadProgress(fd, state.progress_total, state.progress_completed);
  const int saved = errno;
  close(fd);
  if (!ok) return Win32ErrorOfErrno(saved);
  state.is_folder = info.is_dir;
  state.placeholder = info.record.placeholder;
  state.in_sync = info.record.in_sync;
  state.pin = static_cast<CF_PIN_STATE>(info.record.pin);
  state.populated = info.is_dir && !info.record.unpopulated;
  state.size = info.size;
  for (const auto& r : info.ranges.ranges())
    state.hydrated.push_back({static_cast<LARGE_INTEGER>(r.first), static_cast<LARGE_INTEGER>(r.second - r.first)});
  state.attributes = info.Attributes(BaseName(native));
  SyncRootRecord root;
  if (FindSyncRootFor(CanonicalPath(native), root)) {
    state.sync_root = root.root;
    state.provider = Utf16ToUtf8Lossy(root.provider_name) + " " + Utf16ToUtf8Lossy(root.provider_version);
  }
  return ERROR_SUCCESS;
}

std::string Client::ErrorText(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return "The file or folder does not exist.";
    case ERROR_PATH_NOT_FOUND: return "A folder on the path does not exist.";
    case ERROR_ACCESS_DENIED: return "Access is denied (the item may be read-only or a folder).";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return "An item with that name already exists.";
    case ERROR_INVALID_PARAMETER: return "A parameter is not valid for this operation.";
    case ERROR_INVALID_NAME: return "The name is not valid.";
    case ERROR_DIR_NOT_EMPTY: return "The folder is not empty.";
    case ERROR_DIRECTORY: return "The path is not a folder.";
    case ERROR_DISK_FULL: return "There is not enough space on the disk.";
    case ERROR_NOT_SAME_DEVICE: return "The item cannot be moved to another file system.";
    case ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING: return "The cloud file provider is not running.";
    case ERROR_CLOUD_FILE_PROVIDER_TERMINATED: return "The cloud file provider exited before answering.";
    case ERROR_CLOUD_FILE_REQUEST_TIMEOUT: return "The cloud file provider did not answer in time.";
    case ERROR_CLOUD_FILE_REQUEST_ABORTED: return "The cloud operation was aborted.";
    case ERROR_CLOUD_FILE_REQUEST_CANCELED: return "The cloud operation was canceled.";
    case ERROR_CLOUD_FILE_UNSUCCESSFUL: return "The cloud operation was unsuccessful.";
    case ERROR_CLOUD_FILE_INVALID_REQUEST: return "The cloud operation is invalid.";
    case ERROR_CLOUD_FILE_ACCESS_DENIED: return "Access to the cloud file is denied.";
    case ERROR_CLOUD_FILE_NOT_IN_SYNC: return "The file is not in sync with the cloud.";
    case ERROR_CLOUD_FILE_PINNED: return "The operation is not allowed on a pinned file.";
    case ERROR_CLOUD_FILE_NOT_SUPPORTED: return "The cloud file provider does not support this operation.";
    case ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT: return "The item is not inside a registered sync root.";
    case ERROR_NOT_A_CLOUD_FILE: return "The item is not a cloud file (placeholder).";
    case ERROR_CLOUD_FILE_ALREADY_CONNECTED: return "A provider is already connected to this sync root.";
    default: {
      // Other codes: the system's own text, when it has one.
      std::string text = Utf16ToUtf8Lossy(SystemMessage(error));
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      return text.empty() ? "The operation failed with system error " + std::to_string(error) + "." : text;
    }
  }
}

}  // namespace corvane::platform::local
