#include "provider/placeholder_manager.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "diag/result_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "provider/item_identity.h"

namespace corvane {

using namespace platform;

namespace {

// Room for the fixed part of the standard information and the largest identity.
constexpr DWORD kItemIdInfoBufferSize = 4160;
constexpr DWORD kExcludedInfoBufferSize = 4128;

bool IsDirectoryAttributes(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void PlaceholderHandle::Reset(Handle handle, bool oplock) {
  Close();
  handle_ = handle;
  oplock_ = oplock;
}

void PlaceholderHandle::Close() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  if (oplock_) {
    CfCloseHandle(handle_);
  } else {
    CloseHandle(handle_);
  }
  handle_ = INVALID_HANDLE_VALUE;
}

PlaceholderManager::PlaceholderManager(Diagnostics& diagnostics) : diagnostics_(diagnostics) {}

void PlaceholderManager::LogOsMessage(HRESULT hr) {
  // The system table knows Win32 codes; an HRESULT made from one maps back.
  const uint32_t code = (static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u ? static_cast<uint32_t>(hr) & 0xFFFFu
                                                                                 : static_cast<uint32_t>(hr);
  std::u16string text = SystemMessage(code);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
  std::u16string line = u"OS error message: ";
  line += text;
  Log(sink(), kLogVerbose, line);
}

void PlaceholderManager::LogExit(HRESULT hr, std::u16string_view format, std::initializer_list<FormatArg> args) {
  const int32_t level = FAILED(hr) ? kLogVerbose : kLogCloudTrace;
  if (sink() != nullptr && LogEnabled(level)) Log(sink(), level, FormatV(format, args));
  if (FAILED(hr)) LogOsMessage(hr);
}

bool TakenVersion::Matches(Handle handle) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
  const int64_t now_size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const int64_t now_id = static_cast<int64_t>((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  return now_size == size && static_cast<int64_t>(info.ftLastWriteTime) == last_write_time &&
         (file_id < 0 || now_id == file_id);
}

HRESULT PlaceholderManager::OpenPlaceholderFile(const char16_t* path, DWORD flags, bool oplock,
                                                PlaceholderHandle& handle, DWORD access) {
  handle.Close();
  if (path == nullptr) return E_INVALIDARG;
  if (oplock) {
    Handle h = INVALID_HANDLE_VALUE;
    const HRESULT hr = CfOpenFileWithOplock(path, CF_OPEN_FILE_FLAG_EXCLUSIVE, &h);
    if (FAILED(hr)) {
      LogF(sink(), kLogVerbose, u"Opening of '%s' failed with error code 0x%x", path, static_cast<uint32_t>(hr));
      return hr;
    }
    handle.Reset(h, true);
    return S_OK;
  }
  // A user's write, rename or delete of the item must not fail while the
  // library looks at it (Windows refuses what a handle does not share).
  const Handle h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, flags, INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    LogF(sink(), kLogVerbose, u"Opening of '%s' failed with error code 0x%x", path, error);
    // A failed open that left no error must still not read as success.
    if (error == ERROR_SUCCESS) error = ERROR_INVALID_HANDLE;
    return HRESULT_FROM_WIN32(error);
  }
  handle.Reset(h, false);
  return S_OK;
}

HRESULT PlaceholderManager::OpenForItem(const char16_t* path, DWORD directory_flags, DWORD file_flags, bool oplock,
                                        PlaceholderHandle& handle, bool* is_directory) {
  // Backup semantics opens a file as it opens a folder, and an oplock open
  // takes no flags: the look at the item is only needed where they differ.
  if (is_directory == nullptr && (oplock || (directory_flags & ~FILE_FLAG_BACKUP_SEMANTICS) == file_flags))
    return OpenPlaceholderFile(path, directory_flags, oplock, handle);
  const bool directory = IsDirectoryAttributes(GetFileAttributesW(path));
  if (is_directory != nullptr) *is_directory = directory;
  return OpenPlaceholderFile(path, directory ? directory_flags : file_flags, oplock, handle);
}

HRESULT PlaceholderManager::CreatePlaceholder(const CreatePlaceholderRequest* request) {
  if (request == nullptr || request->size != sizeof(CreatePlaceholderRequest) || request->base_directory == nullptr ||
      request->relative_name == nullptr) {
    LogExit(E_INVALIDARG, u"CreatePlaceholder result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"CreatePlaceholder called for '%s', flags: 0x%x", request->relative_name,
       request->placeholder_flags);

  HRESULT hr;
  if ((request->file_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CF_PLACEHOLDER_CREATE_INFO info;
    info.RelativeFileName = request->relative_name;
    info.FsMetadata.BasicInfo.CreationTime = request->creation_time;
    info.FsMetadata.BasicInfo.LastAccessTime = request->last_access_time;
    info.FsMetadata.BasicInfo.LastWriteTime = request->last_write_time;
    info.FsMetadata.BasicInfo.ChangeTime = request->change_time;
    info.FsMetadata.BasicInfo.FileAttributes = request->file_attributes;
    info.FsMetadata.FileSize = request->file_size;
    info.FileIdentity = request->file_identity;
    info.FileIdentityLength = request->file_identity_length;
    info.Flags = request->placeholder_flags;
    DWORD processed = 0;
    hr = CfCreatePlaceholders(request->base_directory, &info, 1, request->create_flags, &processed);
  } else {
    // The caller has made the folder already; it only becomes a placeholder.
    std::u16string path = request->base_directory;
    path += u'\\';
    path += request->relative_name;
    PlaceholderHandle handle;
    hr = OpenPlaceholderFile(path.c_str(), FILE_FLAG_BACKUP_SEMANTICS, (request->create_flags & 0x2) != 0, handle);
    if (SUCCEEDED(hr)) {
      CF_CONVERT_FLAGS convert_flags = request->create_flags;
      if ((request->placeholder_flags & CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION) == 0)
        convert_flags |= CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION;
      // The identity names the folder as the host knows it, so that a move
      // the host has not heard of yet can be told from the folder itself.
      hr = CfConvertToPlaceholder(handle.get(), request->file_identity, request->file_identity_length, convert_flags,
                                  nullptr, nullptr);
    }
  }
  LogExit(hr, u"CreatePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::CreatePlaceholders(const char16_t* base_directory, CF_PLACEHOLDER_CREATE_INFO* entries,
                                               DWORD count) {
  if (base_directory == nullptr || (count != 0 && entries == nullptr)) {
    LogExit(E_INVALIDARG, u"CreatePlaceholders result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"CreatePlaceholders called for %u items in '%s'", count, base_directory);
  DWORD processed = 0;
  const HRESULT hr = CfCreatePlaceholders(base_directory, entries, count, 0, &processed);
  // Entries the platform never reached have no result of their own.
  for (DWORD i = processed; i < count; ++i) entries[i].Result = FAILED(hr) ? hr : E_FAIL;
  LogExit(hr, u"CreatePlaceholders result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::ConvertToPlaceholder(ConvertRequest* request) {
  if (request == nullptr || request->size != sizeof(ConvertRequest) || request->path == nullptr) {
    LogExit(E_INVALIDARG, u"ConvertToPlaceholder result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"ConvertToPlaceholder called for '%s', flags: 0x%x", request->path,
       request->convert_flags);
  PlaceholderHandle handle;
  HRESULT hr = OpenForItem(request->path, FILE_FLAG_BACKUP_SEMANTICS, 0,
                           (request->convert_flags & CF_CONVERT_FLAG_DEHYDRATE) != 0, handle);
  if (SUCCEEDED(hr)) {
    request->usn = 0;
    hr = CfConvertToPlaceholder(handle.get(), request->file_identity, request->file_identity_length,
                                request->convert_flags, KeepsPlaceholderUsns() ? &request->usn : nullptr, nullptr);
  }
  handle.Close();
  LogExit(hr, u"ConvertToPlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::UpdatePlaceholder(const UpdatePlaceholderRequest* request) {
  if (request == nullptr || request->size != sizeof(UpdatePlaceholderRequest) || request->path == nullptr) {
    LogExit(E_INVALIDARG, u"UpdatePlaceholder result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"UpdatePlaceholder called for '%s'", request->path);
  PlaceholderHandle handle;
  bool directory = false;
  HRESULT hr = OpenForItem(request->path, 0, 0, true, handle, &directory);
  if (SUCCEEDED(hr)) {
    CF_FS_METADATA metadata;
    metadata.BasicInfo.CreationTime = request->creation_time;
    metadata.BasicInfo.LastAccessTime = request->last_access_time;
    metadata.BasicInfo.LastWriteTime = request->last_write_time;
    metadata.BasicInfo.ChangeTime = request->change_time;
    metadata.BasicInfo.FileAttributes = request->file_attributes;
    metadata.FileSize = directory ? 0 : request->file_size;
    hr = CfUpdatePlaceholder(handle.get(), request->keep_metadata ? nullptr : &metadata, request->file_identity,
                             request->file_identity_length,
                             request->dehydrate_ranges, request->dehydrate_range_count, request->update_flags,
                             nullptr, nullptr);
  }
  handle.Close();
  LogExit(hr, u"UpdatePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::HydratePlaceholder(const HydrateRequest* request) {
  if (request == nullptr || request->size != sizeof(HydrateRequest) || request->path == nullptr) {
    LogExit(E_INVALIDARG, u"HydratePlaceholder result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"HydratePlaceholder called for '%s'", request->path);
  PlaceholderHandle handle;
  HRESULT hr = OpenForItem(request->path, FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL,
                           false, handle);
  if (SUCCEEDED(hr)) {
    hydrations_waiting_.fetch_add(1);
    hr = CfHydratePlaceholder(handle.get(), request->starting_offset, request->length, request->flags, nullptr);
    hydrations_waiting_.fetch_sub(1);
  }
  handle.Close();
  LogExit(hr, u"HydratePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::DehydratePlaceholder(const HydrateRequest* request) {
  if (request == nullptr || request->size != sizeof(HydrateRequest) || request->path == nullptr) {
    LogExit(E_INVALIDARG, u"DehydratePlaceholder result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"DehydratePlaceholder called for '%s'", request->path);
  PlaceholderHandle handle;
  HRESULT hr = OpenForItem(request->path, FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL,
                           true, handle);
  if (SUCCEEDED(hr)) {
    hr = CfDehydratePlaceholder(handle.get(), request->starting_offset, request->length, request->flags, nullptr);
  }
  handle.Close();
  LogExit(hr, u"DehydratePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

HRESULT PlaceholderManager::GetPlaceholderInfo(PlaceholderInfoRequest* request) {
  if (request == nullptr || request->size != sizeof(PlaceholderInfoRequest) || request->path == nullptr) {
    const char16_t* path = request != nullptr ? request->path : nullptr;
    LogExit(E_INVALIDARG, u"GetPlaceholderInfo for '%s' result code: 0x%x", {path, static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"GetPlaceholderInfo called for '%s'", request->path);
  PlaceholderHandle handle;
  HRESULT hr = OpenForItem(request->path, FILE_FLAG_BACKUP_SEMANTICS, 0, false, handle);
  if (SUCCEEDED(hr)) {
    DWORD returned = 0;
    hr = CfGetPlaceholderInfo(handle.get(), request->info_class, request->buffer, request->buffer_length, &returned);
    request->returned_length = returned;
  }
  handle.Close();
  LogExit(hr, u"GetPlaceholderInfo for '%s' result code: 0x%x", {request->path, static_cast<uint32_t>(hr)});
  return hr;
}

CF_PLACEHOLDER_STATE PlaceholderManager::GetPlaceholderState(const char16_t* path) {
  LogF(sink(), kLogCloudTrace, u"GetPlaceholderState called for '%s'", path);
  if (path == nullptr) return CF_PLACEHOLDER_STATE_INVALID;
  WIN32_FIND_DATAW data;
  const Handle find = FindFirstFileW(path, &data);
  if (find == INVALID_HANDLE_VALUE) return CF_PLACEHOLDER_STATE_INVALID;
  FindClose(find);
  const CF_PLACEHOLDER_STATE state = PlaceholderStateOfFound(path, data);
  LogF(sink(), kLogCloudTrace, u"GetPlaceholderState for '%s' result: 0x%x", path, state);
  return state;
}

HRESULT PlaceholderManager::SetPlaceholderStates(PlaceholderStatesRequest* request) {
  if (request == nullptr || request->size != sizeof(PlaceholderStatesRequest) || request->path == nullptr) {
    LogExit(E_INVALIDARG, u"SetPlaceholderStates result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"SetPlaceholderStates called for '%s'", request->path);
  LogF(sink(), kLogCloudTrace, u"SetPlaceholderStates pin state: %d, pin flags: %d",
       static_cast<int32_t>(request->pin_state), static_cast<int32_t>(request->pin_flags));
  LogF(sink(), kLogCloudTrace, u"SetPlaceholderStates in-sync state: %d, sync flags: %d",
       static_cast<int32_t>(request->in_sync_state), static_cast<int32_t>(request->in_sync_flags));

  HRESULT hr = S_OK;
  if ((request->what_to_set & (kSetPinState | kSetInSyncState)) != 0) {
    PlaceholderHandle handle;
    // Backup semantics opens a file as it opens a folder.
    hr = OpenPlaceholderFile(request->path, FILE_FLAG_BACKUP_SEMANTICS, false, handle,
                             request->unchanged_since != nullptr ? FILE_READ_ATTRIBUTES : 0);
    if (SUCCEEDED(hr) && (request->what_to_set & kSetPinState) != 0) {
      hr = CfSetPinState(handle.get(), request->pin_state, request->pin_flags, nullptr);
    }
    if (SUCCEEDED(hr) && request->unchanged_since != nullptr && !request->unchanged_since->Matches(handle.get()))
      hr = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
    // A failed pin leaves the in-sync state alone: the caller sees one failure.
    if (SUCCEEDED(hr) && (request->what_to_set & kSetInSyncState) != 0) {
      USN usn = request->usn;
      hr = CfSetInSyncState(handle.get(), request->in_sync_state, request->in_sync_flags, &usn);
      request->usn = usn;
    }
  }
  LogExit(hr, u"SetPlaceholderStates result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

int32_t PlaceholderManager::SetPlaceholderStatesForProvider(PlaceholderStatesRequest* request) {
  const HRESULT hr = SetPlaceholderStates(request);
  const char16_t* path = request != nullptr ? request->path : nullptr;
  if (hr != S_OK) {
    LogF(sink(), kLogVerbose, u"SetPlaceholderStates for '%s' failed, HR=0x%x", path, static_cast<uint32_t>(hr));
    diagnostics_.SetOsLastError(static_cast<uint32_t>(hr));
    return kErrOsCallFailed;
  }
  LogF(sink(), kLogVerbose, u"SetPlaceholderStates for '%s' finished successfully", path);
  return kOk;
}

bool PlaceholderManager::GetItemIdByPath(const char16_t* path, std::u16string& item_id, int64_t* since,
                                         uint16_t* marks) {
  item_id.clear();
  if (since != nullptr) *since = 0;
  if (marks != nullptr) *marks = 0;
  if (path != nullptr && std::u16string_view(path) == u"\\") return true;
  // 8-byte alignment for the info header read below.
  std::vector<uint64_t> buffer(kItemIdInfoBufferSize / sizeof(uint64_t));
  PlaceholderInfoRequest request;
  request.path = path;
  request.info_class = CF_PLACEHOLDER_INFO_STANDARD;
  request.buffer_length = kItemIdInfoBufferSize;
  request.buffer = buffer.data();
  const HRESULT hr = GetPlaceholderInfo(&request);
  if (FAILED(hr)) {
    LogF(sink(), kLogFailure, u"GetPlaceholderInfo for '%s' returned error code 0x%x", path, static_cast<uint32_t>(hr));
    diagnostics_.SetOsLastError(static_cast<uint32_t>(hr));
    return false;
  }
  const auto* info = reinterpret_cast<const CF_PLACEHOLDER_STANDARD_INFO*>(buffer.data());
  // Never read past what the platform filled in, whatever length it claims.
  const size_t header = offsetof(CF_PLACEHOLDER_STANDARD_INFO, FileIdentity);
  size_t length = info->FileIdentityLength;
  if (length > kItemIdInfoBufferSize - header) length = kItemIdInfoBufferSize - header;
  std::u16string stored(length / sizeof(char16_t), u'\0');
  std::memcpy(stored.data(), info->FileIdentity, stored.size() * sizeof(char16_t));
  // The id ends at its NUL, or it never compares equal to a path.
  int64_t taken = 0;
  ItemIdentity::Parse(stored.data(), stored.size(), item_id, taken, marks);
  if (since != nullptr) *since = taken;
  return true;
}

HRESULT PlaceholderManager::ChangeIdentityMarks(const char16_t* path, uint16_t set, uint16_t clear) {
  std::u16string item_id;
  int64_t since = 0;
  uint16_t marks = 0;
  if (!GetItemIdByPath(path, item_id, &since, &marks)) return E_FAIL;
  const uint16_t changed = static_cast<uint16_t>((marks | set) & ~clear);
  if (changed == marks) return S_OK;
  const ItemIdentity identity(item_id, since, changed);
  UpdatePlaceholderRequest request;
  request.path = path;
  request.keep_metadata = true;
  request.file_identity = identity.data();
  request.file_identity_length = identity.length();
  return UpdatePlaceholder(&request);
}

int32_t PlaceholderManager::GetPlaceholderExcludedState(const char16_t* path, bool& excluded) {
  excluded = false;
  std::vector<uint64_t> buffer(kExcludedInfoBufferSize / sizeof(uint64_t));
  PlaceholderInfoRequest request;
  request.path = path;
  request.info_class = CF_PLACEHOLDER_INFO_BASIC;
  request.buffer_length = kExcludedInfoBufferSize;
  request.buffer = buffer.data();
  const HRESULT hr = GetPlaceholderInfo(&request);
  if (FAILED(hr)) {
    LogF(sink(), kLogFailure, u"GetPlaceholderInfo for '%s' returned error code 0x%x", path, static_cast<uint32_t>(hr));
    diagnostics_.SetOsLastError(static_cast<uint32_t>(hr));
    return kErrOsCallFailed;
  }
  excluded = reinterpret_cast<const CF_PLACEHOLDER_BASIC_INFO*>(buffer.data())->PinState == CF_PIN_STATE_EXCLUDED;
  return kOk;
}

}  // namespace corvane
