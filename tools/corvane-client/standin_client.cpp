#include "standin_client.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "cf_types.h"
#include "standin.h"

namespace corvane::client {
namespace {

using GetPlaceholderInfoFn = HRESULT(WINAPI*)(HANDLE, CF_PLACEHOLDER_INFO_CLASS, PVOID, DWORD, PDWORD);
using GetStateFromFindDataFn = CF_PLACEHOLDER_STATE(WINAPI*)(const WIN32_FIND_DATAW*);
using SetPinStateFn = HRESULT(WINAPI*)(HANDLE, DWORD, DWORD, LPOVERLAPPED);
using HydratePlaceholderFn = HRESULT(WINAPI*)(HANDLE, LARGE_INTEGER, LARGE_INTEGER, DWORD, LPOVERLAPPED);
using GetSyncRootInfoByPathFn = HRESULT(WINAPI*)(LPCWSTR, CF_SYNC_ROOT_INFO_CLASS, PVOID, DWORD, PDWORD);

std::wstring Wide(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

std::string Utf8(const std::wstring& text) {
  const std::u8string utf8 = std::filesystem::path(text).u8string();
  return std::string(utf8.begin(), utf8.end());
}

// Win32 codes as such, like the local platform's client.
DWORD ErrorOf(HRESULT hr) {
  if (SUCCEEDED(hr)) return ERROR_SUCCESS;
  return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
}

DWORD LastError() { return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE; }

class Handle {
 public:
  Handle(const std::wstring& path, DWORD access, DWORD disposition = OPEN_EXISTING)
      : h_(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       disposition, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

const standin::Application& App() {
  static const standin::Application app;
  return app;
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

std::wstring ParentOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos || cut < 3 ? path.substr(0, 3) : path.substr(0, cut);
}

std::wstring NameOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

uint64_t FileIdOf(const std::wstring& path) {
  Handle h(path, FILE_READ_ATTRIBUTES);
  BY_HANDLE_FILE_INFORMATION info;
  if (!h.valid() || !GetFileInformationByHandle(h.get(), &info)) return 0;
  return (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

const char* PinName(DWORD pin) {
  static const char* const kNames[] = {"unspecified", "pinned", "unpinned", "excluded", "inherit"};
  return pin < 5 ? kNames[pin] : "unspecified";
}

// Identities are usually UTF-16 text; show them so when they are.
std::string ShowIdentity(const std::string& bytes) {
  if (bytes.empty()) return "(none)";
  if (bytes.size() % 2 == 0) {
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    // Text ends at its NUL; what a provider keeps after it is its own.
    if (const size_t end = text.find(L'\0'); end != std::wstring::npos) text.resize(end);
    bool printable = !text.empty();
    for (wchar_t c : text) printable = printable && c >= 0x20;
    if (printable) return "\"" + Utf8(text) + "\"";
  }
  std::string hex = "0x";
  char digits[3];
  for (unsigned char c : bytes) snprintf(digits, sizeof digits, "%02x", c), hex += digits;
  return hex;
}

}  // namespace

std::string ItemState::ToText() const {
  std::ostringstream out;
  out << "type: " << (is_folder ? "folder" : "file") << "\n"
      << "placeholder: " << (placeholder ? "yes" : "no") << "\n";
  if (placeholder) out << "in-sync: " << (in_sync ? "yes" : "no") << "\n" << "pin: " << PinName(pin) << "\n";
  if (!is_folder) out << "size: " << size << "\n";
  if (placeholder && !is_folder) {
    // The service reports how much is on disk, not which ranges.
    if (on_disk == 0) out << "hydrated: none";
    else out << "hydrated: " << on_disk << " bytes";
    out << (on_disk >= size ? " (complete)" : " (partial)") << "\n";
  }
  if (placeholder && is_folder) out << "populated: " << (populated ? "yes" : "no") << "\n";
  if (placeholder) out << "identity: " << ShowIdentity(identity) << "\n";
  char attrs[16];
  snprintf(attrs, sizeof attrs, "0x%08lX", static_cast<unsigned long>(attributes));
  out << "attributes: " << attrs << "\n";
  out << "sync root: " << (sync_root.empty() ? "(none)" : sync_root + " (provider " + provider + ")") << "\n";
  return out.str();
}

Client::Client() : cldapi_(LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}

std::string Client::ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = text ? Utf8(text) : "";
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return out.empty() ? "unknown error" : out;
}

DWORD Client::List(const std::string& folder, std::vector<ClientEntry>& entries) {
  entries.clear();
  if (!App().Available()) return ERROR_NOT_SUPPORTED;
  const auto state_of = Resolve<GetStateFromFindDataFn>(cldapi_, "CfGetPlaceholderStateFromFindData");
  std::vector<WIN32_FIND_DATAW> found;
  if (const HRESULT hr = App().List(Wide(folder), found); FAILED(hr)) return ErrorOf(hr);
  for (const WIN32_FIND_DATAW& f : found) {
    ClientEntry e;
    e.name = Utf8(f.cFileName);
    e.is_folder = (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    e.size = e.is_folder ? 0 : (uint64_t(f.nFileSizeHigh) << 32) | f.nFileSizeLow;
    e.attributes = f.dwFileAttributes;
    e.state = state_of ? state_of(&f) : 0;
    // In-sync is not in a listing: ask the placeholder.
    ItemState item;
    if ((e.state & CF_PLACEHOLDER_STATE_PLACEHOLDER) && State(folder + "\\" + e.name, item) == 0 && item.in_sync)
      e.state |= CF_PLACEHOLDER_STATE_IN_SYNC;
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const ClientEntry& a, const ClientEntry& b) { return a.name < b.name; });
  return ERROR_SUCCESS;
}

DWORD Client::Read(const std::string& path, uint64_t offset, uint64_t length, std::string& data) {
  if (!App().Available()) return ERROR_NOT_SUPPORTED;
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &a)) return LastError();
  if (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
  const uint64_t size = (uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  data.clear();
  if (offset >= size) return ERROR_SUCCESS;
  const uint64_t end = length > size - offset ? size : offset + length;
  // In pieces a DWORD can count.
  for (uint64_t at = offset; at < end;) {
    std::string piece;
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(end - at, 64u << 20));
    if (const HRESULT hr = App().Read(Wide(path), static_cast<LONGLONG>(at), want, piece); FAILED(hr)) return ErrorOf(hr);
    if (piece.empty()) break;
    data += piece;
    at += piece.size();
  }
  return ERROR_SUCCESS;
}

DWORD Client::Write(const std::string& path, uint64_t offset, std::string_view data) {
  if (!App().Available()) return ERROR_NOT_SUPPORTED;
  return ErrorOf(App().Write(Wide(path), static_cast<LONGLONG>(offset), std::string(data)));
}

DWORD Client::WriteAll(const std::string& path, std::string_view data) {
  if (const DWORD e = Write(path, 0, data)) return e;
  // All of the data is on disk after the write: the rest is a plain truncation.
  Handle h(Wide(path), GENERIC_WRITE);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(data.size());
  if (!h.valid() || !SetFilePointerEx(h.get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(h.get())) return LastError();
  return ERROR_SUCCESS;
}

DWORD Client::CreateFile(const std::string& path, std::string_view data) {
  Handle h(Wide(path), GENERIC_WRITE, CREATE_NEW);
  if (!h.valid()) return LastError();
  for (size_t done = 0; done < data.size();) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
    if (!WriteFile(h.get(), data.data() + done, want, &wrote, nullptr) || wrote == 0) return LastError();
    done += wrote;
  }
  return ERROR_SUCCESS;
}

DWORD Client::CreateFolder(const std::string& path) {
  return CreateDirectoryW(Wide(path).c_str(), nullptr) ? ERROR_SUCCESS : LastError();
}

DWORD Client::Delete(const std::string& path, bool recursive) {
  if (!App().Available()) return ERROR_NOT_SUPPORTED;
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (recursive && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    std::vector<ClientEntry> entries;
    if (const DWORD e = List(path, entries)) return e;
    for (const ClientEntry& entry : entries)
      if (const DWORD e = Delete(path + "\\" + entry.name, true)) return e;
  }
  return ErrorOf(App().Delete(Wide(path)));
}

DWORD Client::Rename(const std::string& from, const std::string& to, bool replace_existing) {
  if (!App().Available()) return ERROR_NOT_SUPPORTED;
  if (replace_existing && GetFileAttributesW(Wide(to).c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (const DWORD e = Delete(to, false)) return e;
  }
  return ErrorOf(App().Rename(Wide(from), Wide(to)));
}

DWORD Client::SetPin(const std::string& path, DWORD pin) {
  const auto set_pin = Resolve<SetPinStateFn>(cldapi_, "CfSetPinState");
  if (set_pin == nullptr) return ERROR_NOT_SUPPORTED;
  Handle h(Wide(path), FILE_READ_ATTRIBUTES);
  if (!h.valid()) return LastError();
  return ErrorOf(set_pin(h.get(), pin, CF_SET_PIN_FLAG_RECURSE, nullptr));
}

DWORD Client::Pin(const std::string& path) { return SetPin(path, CF_PIN_STATE_PINNED); }
DWORD Client::Unpin(const std::string& path) { return SetPin(path, CF_PIN_STATE_UNPINNED); }

DWORD Client::Hydrate(const std::string& path) {
  const auto hydrate = Resolve<HydratePlaceholderFn>(cldapi_, "CfHydratePlaceholder");
  if (hydrate == nullptr) return ERROR_NOT_SUPPORTED;
  Handle h(Wide(path), FILE_READ_ATTRIBUTES);
  if (!h.valid()) return LastError();
  LARGE_INTEGER from, length;
  from.QuadPart = 0;
  length.QuadPart = -1;
  return ErrorOf(hydrate(h.get(), from, length, 0, nullptr));
}

DWORD Client::Dehydrate(const std::string& path) {
  if (!App().Available()) return ERROR_NOT_SUPPORTED;
  return ErrorOf(App().Dehydrate(Wide(path)));
}

DWORD Client::State(const std::string& path, ItemState& state) {
  state = ItemState();
  const std::wstring wide = Wide(path);
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &a)) return LastError();
  state.is_folder = (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  state.size = state.is_folder ? 0 : (uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  state.attributes = a.dwFileAttributes;

  const auto info_of = Resolve<GetPlaceholderInfoFn>(cldapi_, "CfGetPlaceholderInfo");
  struct {
    CF_PLACEHOLDER_STANDARD_INFO info;
    BYTE identity[CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH];
  } buffer{};
  Handle h(wide, FILE_READ_ATTRIBUTES);
  if (info_of != nullptr && h.valid() &&
      SUCCEEDED(info_of(h.get(), CF_PLACEHOLDER_INFO_STANDARD, &buffer, sizeof buffer, nullptr))) {
    state.placeholder = true;
    state.in_sync = buffer.info.InSyncState == CF_IN_SYNC_STATE_IN_SYNC;
    state.pin = buffer.info.PinState;
    state.on_disk = static_cast<uint64_t>(buffer.info.OnDiskDataSize.QuadPart);
    state.identity.assign(reinterpret_cast<const char*>(buffer.info.FileIdentity), buffer.info.FileIdentityLength);
  }
  // The attributes Windows shows for a placeholder are in its folder's
  // listing (a folder not yet populated is recalled on open).
  state.populated = state.is_folder;
  if (state.placeholder && state.is_folder && App().Available()) {
    std::vector<WIN32_FIND_DATAW> found;
    if (SUCCEEDED(App().List(ParentOf(wide), found))) {
      for (const WIN32_FIND_DATAW& f : found) {
        if (_wcsicmp(f.cFileName, NameOf(wide).c_str()) != 0) continue;
        state.attributes = f.dwFileAttributes;
        state.populated = (f.dwFileAttributes & FILE_ATTRIBUTE_RECALL_ON_OPEN) == 0;
      }
    }
  }

  // The sync root: the nearest folder up the path whose file id is the
  // registered root's.
  const auto root_info = Resolve<GetSyncRootInfoByPathFn>(cldapi_, "CfGetSyncRootInfoByPath");
  CF_SYNC_ROOT_BASIC_INFO root{};
  CF_SYNC_ROOT_PROVIDER_INFO provider{};
  if (root_info != nullptr && SUCCEEDED(root_info(wide.c_str(), CF_SYNC_ROOT_INFO_BASIC, &root, sizeof root, nullptr)) &&
      SUCCEEDED(root_info(wide.c_str(), CF_SYNC_ROOT_INFO_PROVIDER, &provider, sizeof provider, nullptr))) {
    for (std::wstring folder = wide;; folder = ParentOf(folder)) {
      if (FileIdOf(folder) == static_cast<uint64_t>(root.SyncRootFileId.QuadPart)) {
        state.sync_root = Utf8(folder);
        state.provider = Utf8(provider.ProviderName) + " " + Utf8(provider.ProviderVersion);
        break;
      }
      if (ParentOf(folder) == folder) break;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace corvane::client
