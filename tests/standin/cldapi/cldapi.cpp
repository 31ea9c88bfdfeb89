// The documented Cf* entry points of cldapi.dll.
#include <algorithm>
#include <cwchar>

#include "filter.h"

using namespace standin;

namespace standin {

namespace {
bool ValidName(const wchar_t* name) {
  if (name == nullptr || *name == 0) return false;
  const std::wstring n = name;
  return n != L"." && n != L".." && n.find_first_of(L"\\/:*?\"<>|") == std::wstring::npos;
}

bool SetBasic(const std::wstring& path, const FILE_BASIC_INFO& basic) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO b = basic;
  // Read-only would stop the service's own data transfers; the rest are kept.
  b.FileAttributes &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  if (b.FileAttributes == 0) b.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) b.FileAttributes = 0;
  const bool ok = SetFileInformationByHandle(h, FileBasicInfo, &b, sizeof b);
  CloseHandle(h);
  return ok;
}

void Stamp(Item& item, const std::wstring& path, State& state) {
  FileFacts facts;
  if (FactsOfPath(path, facts)) item.stamp = facts.write_time, item.size = facts.size;
  item.usn = state.next_usn++;
}
}  // namespace

Item* ItemOf(State& state, const FileFacts& facts) {
  auto it = state.items.find(facts.id);
  if (it == state.items.end()) return nullptr;
  if (state.RootById(it->second.root) == nullptr || it->second.dir != facts.dir) {
    state.items.erase(it);  // a stale record: its root went, or the id was reused
    return nullptr;
  }
  Refresh(it->second, facts, state);
  return &it->second;
}

HRESULT CreatePlaceholder(State& state, const Root& root, const std::wstring& folder, CF_PLACEHOLDER_CREATE_INFO& info) {
  auto fail = [&](HRESULT hr) { return info.Result = hr; };
  if (!ValidName(info.RelativeFileName)) return fail(E_INVALIDARG);
  if (info.FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH ||
      (info.FileIdentityLength > 0 && info.FileIdentity == nullptr))
    return fail(E_INVALIDARG);
  const bool dir = info.FsMetadata.BasicInfo.FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
  const int64_t size = dir ? 0 : info.FsMetadata.FileSize.QuadPart;
  if (size < 0) return fail(E_INVALIDARG);
  const std::wstring path = folder + L"\\" + info.RelativeFileName;
  const DWORD existing = GetFileAttributesW(path.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES) {
    if (!(info.Flags & CF_PLACEHOLDER_CREATE_FLAG_SUPERSEDE)) return fail(FromWin32(ERROR_ALREADY_EXISTS));
    FileFacts old;
    if (FactsOfPath(path, old)) state.items.erase(old.id);
    const bool gone = (existing & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
    if (!gone) return fail(LastError());
  }
  if (dir) {
    if (!CreateDirectoryW(path.c_str(), nullptr)) return fail(LastError());
  } else {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(LastError());
    FILE_END_OF_FILE_INFO eof{};
    eof.EndOfFile.QuadPart = size;
    const bool ok = SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof);
    CloseHandle(h);
    if (!ok) {
      DeleteFileW(path.c_str());
      return fail(LastError());
    }
  }
  SetBasic(path, info.FsMetadata.BasicInfo);
  FileFacts facts;
  if (!FactsOfPath(path, facts)) return fail(LastError());
  Item item;
  item.root = root.id;
  item.dir = dir;
  item.in_sync = info.Flags & CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
  item.populated = !dir || (info.Flags & CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION);
  item.always_full = !dir && (info.Flags & CF_PLACEHOLDER_CREATE_FLAG_ALWAYS_FULL);
  if (info.FileIdentityLength) item.identity.assign((const char*)info.FileIdentity, info.FileIdentityLength);
  item.size = facts.size;
  item.stamp = facts.write_time;
  item.usn = state.next_usn++;
  state.items[facts.id] = item;
  info.CreateUsn = item.usn;
  return info.Result = S_OK;
}

HRESULT DehydrateItem(State& state, Item& item, const std::wstring& path, Range r, HANDLE via) {
  if (item.dir) return E_INVALIDARG;
  if (item.always_full) return FromWin32(kErrorDehydrationDisallowed);
  r.end = std::min(r.end, item.size);
  if (r.begin >= r.end) return S_OK;
  const bool whole = r.begin == 0 && r.end == item.size;
  // The data is gone: programs reading the file behind the filter's back see zeros.
  const bool ok = whole ? SetLogicalSize(path, 0, item.stamp, via) && SetLogicalSize(path, item.size, item.stamp, via)
                        : ZeroRange(path, r, item.stamp, via);
  if (!ok) return LastError();
  RemoveRange(item.present, r);
  Stamp(item, path, state);
  return S_OK;
}

}  // namespace standin

namespace {

struct Handled {
  std::wstring path;
  FileFacts facts;
};

HRESULT Resolve(HANDLE h, Handled& out) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return E_HANDLE;
  if (!FactsOf(h, out.facts)) return FromWin32(ERROR_INVALID_HANDLE);
  out.path = PathOfHandle(h);
  return out.path.empty() ? LastError() : S_OK;
}

// An item operation's common start: the handle's placeholder, or why not.
// The file's facts are read under the lock: a transfer writes the bytes and
// puts the file's time back under it, and a time read in between would look
// like a program's change.
#define PLACEHOLDER_OF(handle)                                 \
  Locked s;                                                    \
  Handled handled;                                             \
  if (HRESULT hr = Resolve(handle, handled); FAILED(hr)) return hr; \
  Item* item = ItemOf(*s, handled.facts);                      \
  if (item == nullptr) {                                       \
    s.Save();                                                  \
    return FromWin32(s->RootOf(handled.path) ? kErrorNotACloudFile : kErrorNotUnderSyncRoot); \
  }

// The full path of an existing folder, or why not.
HRESULT FolderPath(LPCWSTR given, std::wstring& path) {
  path = FullPath(given);
  if (path.empty()) return E_INVALIDARG;
  FileFacts facts;
  if (!FactsOfPath(path, facts)) return LastError();
  return facts.dir ? S_OK : FromWin32(ERROR_DIRECTORY);
}

bool ValidRange(LARGE_INTEGER offset, LARGE_INTEGER length) {
  return offset.QuadPart >= 0 && (length.QuadPart > 0 || length.QuadPart == -1);
}

HRESULT SyncRootInfo(const std::wstring& path, CF_SYNC_ROOT_INFO_CLASS cls, void* buffer, DWORD length,
                     DWORD* returned) {
  if (buffer == nullptr || path.empty()) return E_INVALIDARG;
  Locked s;
  const Root* r = s->RootOf(path);
  if (r == nullptr) return FromWin32(kErrorNotUnderSyncRoot);
  wchar_t name[64];
  swprintf(name, 64, L"\\\\.\\pipe\\cldapi-standin-%016llx", (unsigned long long)r->id);
  const DWORD status = ConnectedInThisProcess(r->path) || WaitNamedPipeW(name, 1) || GetLastError() == ERROR_SEM_TIMEOUT
                           ? CF_PROVIDER_STATUS_IDLE
                           : CF_PROVIDER_STATUS_DISCONNECTED;
  auto names = [&](WCHAR* n, WCHAR* v) {
    wcsncpy(n, r->name.c_str(), CF_MAX_PROVIDER_NAME_LENGTH);
    wcsncpy(v, r->version.c_str(), CF_MAX_PROVIDER_VERSION_LENGTH);
  };
  DWORD size = 0;
  HRESULT hr = S_OK;
  if (cls == CF_SYNC_ROOT_INFO_BASIC) {
    if (length < sizeof(CF_SYNC_ROOT_BASIC_INFO)) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
    static_cast<CF_SYNC_ROOT_BASIC_INFO*>(buffer)->SyncRootFileId.QuadPart = (LONGLONG)r->id;
    size = sizeof(CF_SYNC_ROOT_BASIC_INFO);
  } else if (cls == CF_SYNC_ROOT_INFO_PROVIDER) {
    if (length < sizeof(CF_SYNC_ROOT_PROVIDER_INFO)) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
    auto* p = static_cast<CF_SYNC_ROOT_PROVIDER_INFO*>(buffer);
    *p = {};
    p->ProviderStatus = status;
    names(p->ProviderName, p->ProviderVersion);
    size = sizeof *p;
  } else if (cls == CF_SYNC_ROOT_INFO_STANDARD) {
    const DWORD fixed = FIELD_OFFSET(CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentity);
    if (length < fixed) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
    auto* p = static_cast<CF_SYNC_ROOT_STANDARD_INFO*>(buffer);
    memset(p, 0, fixed);
    p->SyncRootFileId.QuadPart = (LONGLONG)r->id;
    p->HydrationPolicy = r->policies.Hydration;
    p->PopulationPolicy = r->policies.Population;
    p->InSyncPolicy = r->policies.InSync;
    p->HardLinkPolicy = r->policies.HardLink;
    p->ProviderStatus = status;
    names(p->ProviderName, p->ProviderVersion);
    p->SyncRootIdentityLength = (ULONG)r->root_identity.size();
    const DWORD room = std::min<DWORD>(length - fixed, (DWORD)r->root_identity.size());
    memcpy(p->SyncRootIdentity, r->root_identity.data(), room);
    size = fixed + room;
    if (room < r->root_identity.size()) hr = FromWin32(ERROR_MORE_DATA);
  } else {
    return E_INVALIDARG;
  }
  if (returned) *returned = size;
  return hr;
}

CF_PLACEHOLDER_STATE StateFromAttributeTag(DWORD attributes, DWORD tag) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return CF_PLACEHOLDER_STATE_INVALID;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (tag & ~IO_REPARSE_TAG_CLOUD_MASK_STANDIN) != IO_REPARSE_TAG_CLOUD_STANDIN)
    return CF_PLACEHOLDER_STATE_NO_STATES;
  CF_PLACEHOLDER_STATE state = CF_PLACEHOLDER_STATE_PLACEHOLDER;
  if (attributes & (FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | FILE_ATTRIBUTE_RECALL_ON_OPEN | FILE_ATTRIBUTE_OFFLINE))
    state |= CF_PLACEHOLDER_STATE_PARTIAL;
  return state;
}

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT WINAPI CfGetPlatformInfo(CF_PLATFORM_INFO* info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = {19041, 1, 0};
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfRegisterSyncRoot(LPCWSTR SyncRootPath, const CF_SYNC_REGISTRATION* reg,
                                                        const CF_SYNC_POLICIES* pol, CF_REGISTER_FLAGS flags) {
  // The policies grew PlaceholderManagement later: the shorter size is valid.
  const DWORD short_policies = FIELD_OFFSET(CF_SYNC_POLICIES, PlaceholderManagement);
  if (reg == nullptr || pol == nullptr || reg->StructSize < sizeof *reg || pol->StructSize < short_policies)
    return E_INVALIDARG;
  CF_SYNC_POLICIES policies = *pol;
  if (pol->StructSize < sizeof *pol) policies.PlaceholderManagement = 0;
  pol = &policies;
  if (reg->ProviderName == nullptr || *reg->ProviderName == 0 || wcslen(reg->ProviderName) > CF_MAX_PROVIDER_NAME_LENGTH ||
      reg->ProviderVersion == nullptr || wcslen(reg->ProviderVersion) > CF_MAX_PROVIDER_VERSION_LENGTH)
    return E_INVALIDARG;
  if (reg->SyncRootIdentityLength > CF_MAX_SYNC_ROOT_IDENTITY_LENGTH ||
      (reg->SyncRootIdentityLength && !reg->SyncRootIdentity) ||
      reg->FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH || (reg->FileIdentityLength && !reg->FileIdentity))
    return E_INVALIDARG;
  if (pol->Hydration.Primary > CF_HYDRATION_POLICY_ALWAYS_FULL || (pol->Hydration.Modifier & ~0xFu) ||
      pol->Population.Primary == 1 || pol->Population.Primary > CF_POPULATION_POLICY_ALWAYS_FULL ||
      pol->Population.Modifier != 0 || pol->HardLink > 1 || (pol->PlaceholderManagement & ~7u) || (flags & ~7u))
    return E_INVALIDARG;
  std::wstring path;
  if (HRESULT hr = FolderPath(SyncRootPath, path); FAILED(hr)) return hr;
  FileFacts facts;
  if (!FactsOfPath(path, facts)) return LastError();
  Locked s;
  Root* existing = nullptr;
  for (Root& r : s->roots) {
    if (SameText(r.path, path)) existing = &r;
    else if (IsUnder(path, r.path) || IsUnder(r.path, path)) return FromWin32(kErrorInvalidRequest);  // nested roots
  }
  if (existing && !(flags & CF_REGISTER_FLAG_UPDATE)) return FromWin32(ERROR_ALREADY_EXISTS);
  Root r;
  r.path = path;
  r.id = facts.id;
  r.name = reg->ProviderName;
  r.version = reg->ProviderVersion;
  r.root_identity.assign((const char*)reg->SyncRootIdentity, reg->SyncRootIdentityLength);
  r.file_identity.assign((const char*)reg->FileIdentity, reg->FileIdentityLength);
  r.provider_id = reg->ProviderId;
  r.policies = *pol;
  r.policies.StructSize = sizeof r.policies;
  if (existing) *existing = r;
  else s->roots.push_back(r);
  Item& root_item = s->items[facts.id];
  const bool was = existing != nullptr;
  root_item.root = facts.id;
  root_item.dir = true;
  root_item.identity = r.file_identity;
  if (!was || (flags & CF_REGISTER_FLAG_DISABLE_ON_DEMAND_POPULATION_ON_ROOT))
    root_item.populated = (flags & CF_REGISTER_FLAG_DISABLE_ON_DEMAND_POPULATION_ON_ROOT) ||
                          pol->Population.Primary == CF_POPULATION_POLICY_ALWAYS_FULL;
  if (!was || (flags & CF_REGISTER_FLAG_MARK_IN_SYNC_ON_ROOT))
    root_item.in_sync = flags & CF_REGISTER_FLAG_MARK_IN_SYNC_ON_ROOT;
  root_item.usn = s->next_usn++;
  s.Save();
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfUnregisterSyncRoot(LPCWSTR SyncRootPath) {
  const std::wstring path = FullPath(SyncRootPath);
  if (path.empty()) return E_INVALIDARG;
  Locked s;
  auto r = std::find_if(s->roots.begin(), s->roots.end(), [&](const Root& x) { return SameText(x.path, path); });
  if (r == s->roots.end()) return FromWin32(kErrorNotACloudSyncRoot);
  const uint64_t id = r->id;
  s->roots.erase(r);
  // Its placeholders become plain files and folders.
  for (auto it = s->items.begin(); it != s->items.end();) it = it->second.root == id ? s->items.erase(it) : std::next(it);
  s.Save();
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfGetSyncRootInfoByPath(LPCWSTR FilePath, CF_SYNC_ROOT_INFO_CLASS cls, PVOID buffer,
                                                             DWORD length, DWORD* returned) {
  return SyncRootInfo(FullPath(FilePath), cls, buffer, length, returned);
}

__declspec(dllexport) HRESULT WINAPI CfGetSyncRootInfoByHandle(HANDLE FileHandle, CF_SYNC_ROOT_INFO_CLASS cls,
                                                               PVOID buffer, DWORD length, DWORD* returned) {
  Handled h;
  if (HRESULT hr = Resolve(FileHandle, h); FAILED(hr)) return hr;
  return SyncRootInfo(h.path, cls, buffer, length, returned);
}

__declspec(dllexport) HRESULT WINAPI CfConnectSyncRoot(LPCWSTR SyncRootPath, const CF_CALLBACK_REGISTRATION* table,
                                                       LPCVOID context, CF_CONNECT_FLAGS flags, CF_CONNECTION_KEY* key) {
  if (table == nullptr || key == nullptr || (flags & ~(DWORD)0xE)) return E_INVALIDARG;
  // The documentation asks only for the end entry. Stricter here: every
  // entry names a known type once, with a function to call.
  bool seen[13] = {};
  for (int i = 0;; ++i) {
    if (i > 13) return E_INVALIDARG;  // more entries than types: no end entry
    const CF_CALLBACK_REGISTRATION& e = table[i];
    if (e.Type == CF_CALLBACK_TYPE_NONE) break;
    if ((unsigned)e.Type > CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION || e.Callback == nullptr || seen[e.Type])
      return E_INVALIDARG;
    seen[e.Type] = true;
  }
  const std::wstring path = FullPath(SyncRootPath);
  if (path.empty()) return E_INVALIDARG;
  return Connect(path, table, context, flags, key);
}

__declspec(dllexport) HRESULT WINAPI CfDisconnectSyncRoot(CF_CONNECTION_KEY key) { return Disconnect(key); }

__declspec(dllexport) HRESULT WINAPI CfCreatePlaceholders(LPCWSTR BaseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* array,
                                                          DWORD count, DWORD flags, PDWORD processed) {
  if (processed == nullptr || (count > 0 && array == nullptr) || (flags & ~1u)) return E_INVALIDARG;
  *processed = 0;
  std::wstring folder;
  if (HRESULT hr = FolderPath(BaseDirectoryPath, folder); FAILED(hr)) return hr;
  Locked s;
  const Root* root = s->RootOf(folder);
  if (root == nullptr) return FromWin32(kErrorNotUnderSyncRoot);
  const Root r = *root;
  HRESULT first = S_OK;
  for (DWORD i = 0; i < count; ++i) {
    const HRESULT hr = CreatePlaceholder(*s, r, folder, array[i]);
    ++*processed;
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    if (FAILED(hr) && (flags & CF_CREATE_FLAG_STOP_ON_ERROR)) break;
  }
  s.Save();
  return first;
}

__declspec(dllexport) HRESULT WINAPI CfConvertToPlaceholder(HANDLE FileHandle, LPCVOID identity, DWORD identity_length,
                                                            DWORD flags, USN* usn, LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return FromWin32(ERROR_NOT_SUPPORTED);
  if ((flags & ~0x1Fu) || identity_length > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH || (identity_length && !identity))
    return E_INVALIDARG;
  if ((flags & CF_CONVERT_FLAG_DEHYDRATE) && (flags & CF_CONVERT_FLAG_ALWAYS_FULL)) return E_INVALIDARG;
  Locked s;
  Handled h;
  if (HRESULT hr = Resolve(FileHandle, h); FAILED(hr)) return hr;
  const Root* root = s->RootOf(h.path);
  if (root == nullptr) return FromWin32(kErrorNotUnderSyncRoot);
  Item* existing = ItemOf(*s, h.facts);
  Item& item = s->items[h.facts.id];
  if (!existing) {
    item = Item{};
    item.root = root->id;
    item.dir = h.facts.dir;
    item.size = h.facts.size;
    item.stamp = h.facts.write_time;
    AddRange(item.present, {0, item.size});
  }
  if (identity) item.identity.assign((const char*)identity, identity_length);
  if (flags & CF_CONVERT_FLAG_MARK_IN_SYNC) item.in_sync = true, item.modified = false;
  if (item.dir && (flags & CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION)) item.populated = false;
  if (!item.dir && (flags & CF_CONVERT_FLAG_ALWAYS_FULL)) item.always_full = true;
  item.usn = s->next_usn++;
  if (!item.dir && (flags & CF_CONVERT_FLAG_DEHYDRATE)) {
    if (!item.in_sync) {
      s.Save();
      return FromWin32(kErrorNotInSync);
    }
    if (HRESULT hr = DehydrateItem(*s, item, h.path, {0, INT64_MAX}, FileHandle); FAILED(hr)) return hr;
  }
  if (usn) *usn = item.usn;
  s.Save();
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfUpdatePlaceholder(HANDLE FileHandle, const CF_FS_METADATA* meta, LPCVOID identity,
                                                         DWORD identity_length, const CF_FILE_RANGE* ranges,
                                                         DWORD range_count, DWORD flags, USN* usn,
                                                         LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return FromWin32(ERROR_NOT_SUPPORTED);
  if ((flags & ~0x7FFu) || identity_length > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH || (identity_length && !identity) ||
      (range_count && !ranges))
    return E_INVALIDARG;
  if (((flags & CF_UPDATE_FLAG_MARK_IN_SYNC) && (flags & CF_UPDATE_FLAG_CLEAR_IN_SYNC)) ||
      ((flags & CF_UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION) && (flags & CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION)) ||
      ((flags & CF_UPDATE_FLAG_ALWAYS_FULL) && (flags & CF_UPDATE_FLAG_ALLOW_PARTIAL)) ||
      (identity && (flags & CF_UPDATE_FLAG_REMOVE_FILE_IDENTITY)))
    return E_INVALIDARG;
  PLACEHOLDER_OF(FileHandle);
  const bool dehydrate = !item->dir && ((flags & CF_UPDATE_FLAG_DEHYDRATE) || range_count > 0);
  for (DWORD i = 0; i < range_count; ++i) {
    const auto& r = ranges[i];
    if (!ValidRange(r.StartingOffset, r.Length) || r.StartingOffset.QuadPart % kPage != 0 ||
        (r.Length.QuadPart != -1 && r.Length.QuadPart % kPage != 0 &&
         r.StartingOffset.QuadPart + r.Length.QuadPart < item->size))
      return E_INVALIDARG;
  }
  // The USN given must still be the item's: nothing changed it since.
  if (usn && *usn != 0 && *usn != item->usn) return FromWin32(kErrorNotInSync);
  if ((flags & CF_UPDATE_FLAG_VERIFY_IN_SYNC) && !item->in_sync) return FromWin32(kErrorNotInSync);
  if (dehydrate && !item->in_sync && !(flags & CF_UPDATE_FLAG_MARK_IN_SYNC)) return FromWin32(kErrorNotInSync);
  if (dehydrate && (item->always_full || (flags & CF_UPDATE_FLAG_ALWAYS_FULL)) && !(flags & CF_UPDATE_FLAG_ALLOW_PARTIAL))
    return FromWin32(kErrorDehydrationDisallowed);
  if (meta && !item->dir && meta->FileSize.QuadPart < 0) return E_INVALIDARG;
  if (meta && !(flags & CF_UPDATE_FLAG_PASSTHROUGH_FS_METADATA)) {
    FILE_BASIC_INFO b = meta->BasicInfo;
    if (item->dir) b.FileAttributes |= FILE_ATTRIBUTE_DIRECTORY;
    else b.FileAttributes &= ~FILE_ATTRIBUTE_DIRECTORY;
    if (!item->dir && meta->FileSize.QuadPart != item->size) {
      if (!SetLogicalSize(handled.path, meta->FileSize.QuadPart, item->stamp, FileHandle)) return LastError();
      ClipRanges(item->present, meta->FileSize.QuadPart);
    }
    if (!SetBasic(handled.path, b)) return LastError();
  }
  if (identity) item->identity.assign((const char*)identity, identity_length);
  if (flags & CF_UPDATE_FLAG_REMOVE_FILE_IDENTITY) item->identity.clear();
  if (flags & CF_UPDATE_FLAG_MARK_IN_SYNC) item->in_sync = true, item->modified = false;
  if (flags & CF_UPDATE_FLAG_CLEAR_IN_SYNC) item->in_sync = false;
  if (item->dir && (flags & CF_UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION)) item->populated = false;
  if (item->dir && (flags & CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION)) item->populated = true;
  if (!item->dir && (flags & CF_UPDATE_FLAG_ALWAYS_FULL)) item->always_full = true;
  if (flags & CF_UPDATE_FLAG_ALLOW_PARTIAL) item->always_full = false;
  Stamp(*item, handled.path, *s);
  if (dehydrate) {
    if (flags & CF_UPDATE_FLAG_DEHYDRATE) {
      if (HRESULT hr = DehydrateItem(*s, *item, handled.path, {0, INT64_MAX}, FileHandle); FAILED(hr)) return hr;
    }
    for (DWORD i = 0; i < range_count; ++i) {
      const int64_t at = ranges[i].StartingOffset.QuadPart, len = ranges[i].Length.QuadPart;
      if (HRESULT hr = DehydrateItem(*s, *item, handled.path, {at, len == -1 ? INT64_MAX : at + len}, FileHandle); FAILED(hr))
        return hr;
    }
  }
  if (usn) *usn = item->usn;
  s.Save();
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfRevertPlaceholder(HANDLE FileHandle, DWORD flags, LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return FromWin32(ERROR_NOT_SUPPORTED);
  if (flags != 0) return E_INVALIDARG;
  PLACEHOLDER_OF(FileHandle);
  // A file keeps its data only if all of it is there.
  if (!item->dir && FirstMissing(item->present, 0, item->size).end != 0) return FromWin32(kErrorInvalidRequest);
  if (handled.facts.id == item->root) return FromWin32(kErrorInvalidRequest);  // the sync root itself
  s->items.erase(handled.facts.id);
  s.Save();
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfHydratePlaceholder(HANDLE FileHandle, LARGE_INTEGER offset, LARGE_INTEGER length,
                                                          DWORD flags, LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return FromWin32(ERROR_NOT_SUPPORTED);
  if (flags != 0 || !ValidRange(offset, length)) return E_INVALIDARG;
  std::wstring path;
  {
    PLACEHOLDER_OF(FileHandle);
    if (item->dir) return E_INVALIDARG;
    path = handled.path;
    s.Save();
  }
  const int64_t end = length.QuadPart == -1 ? INT64_MAX : offset.QuadPart + length.QuadPart;
  return FilterOperation(kOpHydrate, path, offset.QuadPart, end, L"");
}

__declspec(dllexport) HRESULT WINAPI CfDehydratePlaceholder(HANDLE FileHandle, LARGE_INTEGER offset,
                                                            LARGE_INTEGER length, DWORD flags,
                                                            LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return FromWin32(ERROR_NOT_SUPPORTED);
  if ((flags & ~1u) || !ValidRange(offset, length) || offset.QuadPart % kPage != 0) return E_INVALIDARG;
  PLACEHOLDER_OF(FileHandle);
  if (item->dir) return E_INVALIDARG;
  if (length.QuadPart != -1 && length.QuadPart % kPage != 0 && offset.QuadPart + length.QuadPart < item->size)
    return E_INVALIDARG;
  if (!item->in_sync) return FromWin32(kErrorNotInSync);
  const int64_t end = length.QuadPart == -1 ? INT64_MAX : offset.QuadPart + length.QuadPart;
  const HRESULT hr = DehydrateItem(*s, *item, handled.path, {offset.QuadPart, end}, FileHandle);
  s.Save();
  return hr;
}

__declspec(dllexport) HRESULT WINAPI CfGetPlaceholderInfo(HANDLE FileHandle, CF_PLACEHOLDER_INFO_CLASS cls,
                                                          PVOID buffer, DWORD length, PDWORD returned) {
  if (buffer == nullptr || (cls != CF_PLACEHOLDER_INFO_BASIC && cls != CF_PLACEHOLDER_INFO_STANDARD)) return E_INVALIDARG;
  PLACEHOLDER_OF(FileHandle);
  const Root* root = s->RootById(item->root);
  const DWORD fixed = cls == CF_PLACEHOLDER_INFO_BASIC ? FIELD_OFFSET(CF_PLACEHOLDER_BASIC_INFO, FileIdentity)
                                                       : FIELD_OFFSET(CF_PLACEHOLDER_STANDARD_INFO, FileIdentity);
  if (length < fixed) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
  memset(buffer, 0, fixed);
  const DWORD room = std::min<DWORD>(length - fixed, (DWORD)item->identity.size());
  auto fill = [&](auto* p) {
    p->PinState = (CF_PIN_STATE)item->pin;
    p->InSyncState = item->in_sync ? CF_IN_SYNC_STATE_IN_SYNC : CF_IN_SYNC_STATE_NOT_IN_SYNC;
    p->FileId.QuadPart = (LONGLONG)handled.facts.id;
    p->SyncRootFileId.QuadPart = (LONGLONG)root->id;
    p->FileIdentityLength = (ULONG)item->identity.size();
    memcpy(p->FileIdentity, item->identity.data(), room);
  };
  if (cls == CF_PLACEHOLDER_INFO_BASIC) {
    fill(static_cast<CF_PLACEHOLDER_BASIC_INFO*>(buffer));
  } else {
    auto* p = static_cast<CF_PLACEHOLDER_STANDARD_INFO*>(buffer);
    fill(p);
    p->OnDiskDataSize.QuadPart = item->dir ? 0 : PresentBytes(item->present);
    p->ValidatedDataSize.QuadPart = p->OnDiskDataSize.QuadPart;
    p->ModifiedDataSize.QuadPart = item->modified ? item->size : 0;
  }
  if (returned) *returned = fixed + room;
  s.Save();
  return room < item->identity.size() ? FromWin32(ERROR_MORE_DATA) : S_OK;
}

__declspec(dllexport) CF_PLACEHOLDER_STATE WINAPI CfGetPlaceholderStateFromAttributeTag(DWORD attributes, DWORD tag) {
  return StateFromAttributeTag(attributes, tag);
}

__declspec(dllexport) CF_PLACEHOLDER_STATE WINAPI CfGetPlaceholderStateFromFileInfo(LPCVOID info,
                                                                                    FILE_INFO_BY_HANDLE_CLASS cls) {
  if (info == nullptr || cls != FileAttributeTagInfo) return CF_PLACEHOLDER_STATE_INVALID;
  auto* t = static_cast<const FILE_ATTRIBUTE_TAG_INFO*>(info);
  return StateFromAttributeTag(t->FileAttributes, t->ReparseTag);
}

__declspec(dllexport) CF_PLACEHOLDER_STATE WINAPI CfGetPlaceholderStateFromFindData(const WIN32_FIND_DATAW* data) {
  if (data == nullptr) return CF_PLACEHOLDER_STATE_INVALID;
  return StateFromAttributeTag(data->dwFileAttributes, data->dwReserved0);
}

__declspec(dllexport) HRESULT WINAPI CfSetPinState(HANDLE FileHandle, DWORD pin, DWORD flags, LPOVERLAPPED overlapped) {
  if (overlapped != nullptr) return FromWin32(ERROR_NOT_SUPPORTED);
  if (pin > CF_PIN_STATE_INHERIT || (flags & ~7u)) return E_INVALIDARG;
  PLACEHOLDER_OF(FileHandle);
  if (!(flags & CF_SET_PIN_FLAG_RECURSE_ONLY)) item->pin = pin;
  if (item->dir && (flags & (CF_SET_PIN_FLAG_RECURSE | CF_SET_PIN_FLAG_RECURSE_ONLY))) {
    // Every placeholder below the folder.
    WIN32_FIND_DATAW fd;
    std::vector<std::wstring> folders{handled.path};
    while (!folders.empty()) {
      const std::wstring folder = folders.back();
      folders.pop_back();
      HANDLE f = FindFirstFileW((folder + L"\\*").c_str(), &fd);
      if (f == INVALID_HANDLE_VALUE) continue;
      do {
        if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L"..")) continue;
        const std::wstring child = folder + L"\\" + fd.cFileName;
        FileFacts facts;
        if (!FactsOfPath(child, facts)) continue;
        if (Item* c = ItemOf(*s, facts)) c->pin = pin;
        if (facts.dir) folders.push_back(child);
      } while (FindNextFileW(f, &fd));
      FindClose(f);
    }
  }
  s.Save();
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfSetInSyncState(HANDLE FileHandle, DWORD state, DWORD flags, USN* usn) {
  if (state > CF_IN_SYNC_STATE_IN_SYNC || flags != 0) return E_INVALIDARG;
  PLACEHOLDER_OF(FileHandle);
  if (usn && *usn != 0 && *usn != item->usn) return FromWin32(kErrorNotInSync);
  item->in_sync = state == CF_IN_SYNC_STATE_IN_SYNC;
  if (item->in_sync) item->modified = false;
  item->usn = s->next_usn++;
  if (usn) *usn = item->usn;
  s.Save();
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CfExecute(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params) {
  return Execute(info, params);
}

__declspec(dllexport) HRESULT WINAPI CfReportProviderProgress(CF_CONNECTION_KEY key, CF_TRANSFER_KEY transfer,
                                                              LARGE_INTEGER total, LARGE_INTEGER completed) {
  return ReportProgress(key, transfer, total, completed);
}

// The protected handle is a plain handle here, usable wherever the
// documentation allows a protected one.
__declspec(dllexport) HRESULT WINAPI CfOpenFileWithOplock(LPCWSTR FilePath, DWORD flags, HANDLE* handle) {
  if (handle == nullptr || FilePath == nullptr || (flags & ~0xFu)) return E_INVALIDARG;
  *handle = INVALID_HANDLE_VALUE;
  DWORD access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
  if (flags & CF_OPEN_FILE_FLAG_WRITE_ACCESS) access |= GENERIC_READ | GENERIC_WRITE;
  if (flags & CF_OPEN_FILE_FLAG_DELETE_ACCESS) access |= DELETE;
  const DWORD share = (flags & CF_OPEN_FILE_FLAG_EXCLUSIVE) ? FILE_SHARE_READ
                                                            : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileW(FilePath, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  *handle = h;
  return S_OK;
}

__declspec(dllexport) void WINAPI CfCloseHandle(HANDLE handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

}  // extern "C"
