// Sync-root registration with the shell, written as registry entries.
//
// This is a fallback, not the Windows Runtime's StorageProviderSyncRootManager:
// it writes the entries Windows itself leaves (the key <id> under
// SyncRootManager in HKEY_LOCAL_MACHINE with NamespaceCLSID, DisplayNameResource
// and IconResource, and the namespace class under HKCU\Software\Classes\CLSID)
// plus our own values for the other fields, and reads them back. What it
// lacks: the shell is not told (no Explorer navigation-pane entry appears
// until the shell rereads the registry), the per-user UserSyncRoots\<SID>
// entry and the storage-provider handlers are not written, and writing
// HKEY_LOCAL_MACHINE needs an elevated process (E_ACCESSDENIED otherwise),
// where the Windows Runtime call brokers that for a normal user.
#include "platform/shell.h"

#include <cstdio>
#include <random>
#include <string>

#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

HRESULT FromStatus(LSTATUS status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string Join(std::u16string_view a, std::u16string_view b) {
  std::u16string out(a);
  out += u'\\';
  out += b;
  return out;
}

std::u16string NewClsid() {
  std::random_device random;
  uint32_t words[4];
  for (uint32_t& word : words) word = random();
  words[1] = (words[1] & 0xFFFF0FFF) | 0x00004000;  // version 4
  words[2] = (words[2] & 0x3FFFFFFF) | 0x80000000;  // variant 1
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%04X%08X}", words[0], words[1] >> 16, words[1] & 0xFFFF,
                words[2] >> 16, words[2] & 0xFFFF, words[3]);
  return std::u16string(text, text + 38);
}

// Closes the key when it leaves scope.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* Put() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

LSTATUS SetString(HKEY key, const wchar_t* name, const std::u16string& value) {
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<::DWORD>((value.size() + 1) * sizeof(char16_t)));
}

LSTATUS SetNumber(HKEY key, const wchar_t* name, uint32_t value) {
  const ::DWORD data = value;
  return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

// A REG_SZ value; false when it is missing or of another type.
bool GetString(HKEY key, const wchar_t* name, std::u16string& value) {
  ::DWORD type = 0;
  ::DWORD size = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return false;
  std::u16string data(size / sizeof(char16_t) + 1, u'\0');
  size = static_cast<::DWORD>(data.size() * sizeof(char16_t));
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  data.resize(size / sizeof(char16_t));
  while (!data.empty() && data.back() == u'\0') data.pop_back();
  value = std::move(data);
  return true;
}

uint32_t GetNumber(HKEY key, const wchar_t* name, uint32_t fallback) {
  ::DWORD type = 0;
  ::DWORD data = 0;
  ::DWORD size = sizeof data;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return fallback;
  }
  return data;
}

LSTATUS WriteRoot(HKEY key, const StorageProviderSyncRootInfo& info, const std::u16string& clsid) {
  LSTATUS status = SetString(key, L"NamespaceCLSID", clsid);
  if (status == ERROR_SUCCESS) status = SetString(key, L"DisplayNameResource", info.DisplayNameResource);
  if (status == ERROR_SUCCESS) status = SetString(key, L"IconResource", info.IconResource);
  if (status == ERROR_SUCCESS) status = SetString(key, L"Path", info.Path);
  if (status == ERROR_SUCCESS) status = SetString(key, L"Version", info.Version);
  if (status == ERROR_SUCCESS) status = SetNumber(key, L"HydrationPolicy", info.HydrationPolicy);
  if (status == ERROR_SUCCESS) status = SetNumber(key, L"HydrationPolicyModifier", info.HydrationPolicyModifier);
  if (status == ERROR_SUCCESS) status = SetNumber(key, L"PopulationPolicy", info.PopulationPolicy);
  if (status == ERROR_SUCCESS) status = SetNumber(key, L"InSyncPolicy", info.InSyncPolicy);
  if (status == ERROR_SUCCESS) status = SetNumber(key, L"HardlinkPolicy", info.HardlinkPolicy);
  if (status == ERROR_SUCCESS) status = SetNumber(key, L"ShowSiblingsAsGroup", info.ShowSiblingsAsGroup ? 1 : 0);
  if (status == ERROR_SUCCESS) status = SetNumber(key, L"AllowPinning", info.AllowPinning ? 1 : 0);
  if (status == ERROR_SUCCESS) {
    if (info.RecycleBinUri) {
      status = SetString(key, L"RecycleBinUri", *info.RecycleBinUri);
    } else {
      const LSTATUS removed = ::RegDeleteValueW(key, L"RecycleBinUri");
      if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) status = removed;
    }
  }
  return status;
}

// Reads the registration of `id`; false when the key is not one (no Path).
bool ReadRoot(std::u16string_view id, StorageProviderSyncRootInfo& info, std::u16string* clsid = nullptr) {
  Key key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(Join(kSyncRootManagerKey, id)), 0, KEY_READ, key.Put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  StorageProviderSyncRootInfo out;
  out.Id = std::u16string(id);
  if (!GetString(key.get(), L"Path", out.Path)) return false;
  GetString(key.get(), L"DisplayNameResource", out.DisplayNameResource);
  GetString(key.get(), L"IconResource", out.IconResource);
  GetString(key.get(), L"Version", out.Version);
  out.HydrationPolicy = GetNumber(key.get(), L"HydrationPolicy", kHydrationPolicyPartial);
  out.HydrationPolicyModifier = GetNumber(key.get(), L"HydrationPolicyModifier", kHydrationPolicyModifierNone);
  out.PopulationPolicy = GetNumber(key.get(), L"PopulationPolicy", kPopulationPolicyFull);
  out.InSyncPolicy = GetNumber(key.get(), L"InSyncPolicy", 0);
  out.HardlinkPolicy = GetNumber(key.get(), L"HardlinkPolicy", kHardlinkPolicyNone);
  out.ShowSiblingsAsGroup = GetNumber(key.get(), L"ShowSiblingsAsGroup", 0) != 0;
  out.AllowPinning = GetNumber(key.get(), L"AllowPinning", 0) != 0;
  std::u16string recycle;
  if (GetString(key.get(), L"RecycleBinUri", recycle)) out.RecycleBinUri = std::move(recycle);
  if (clsid != nullptr) GetString(key.get(), L"NamespaceCLSID", *clsid);
  info = std::move(out);
  return true;
}

void RemoveEntries(std::u16string_view id, const std::u16string& clsid) {
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, Wide(Join(kSyncRootManagerKey, id)));
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, Wide(Join(kSyncRootManagerKey, id)));
  if (!clsid.empty()) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(Join(kClassesClsidKey, clsid)));
    ::RegDeleteKeyW(HKEY_CURRENT_USER, Wide(Join(kClassesClsidKey, clsid)));
  }
}

HRESULT CheckFolder(const std::u16string& path) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return E_INVALIDARG;
  const ::DWORD attributes = ::GetFileAttributesW(Wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return HRESULT_FROM_WIN32(::GetLastError());
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? S_OK : HRESULT_FROM_WIN32(ERROR_DIRECTORY);
}

bool ValidId(std::u16string_view id) {
  return !id.empty() && id.find(u'\\') == std::u16string_view::npos && id.find(u'\0') == std::u16string_view::npos;
}

}  // namespace

HRESULT StorageProviderSyncRootManager::Register(const StorageProviderSyncRootInfo& info) {
  if (!ValidId(info.Id)) return E_INVALIDARG;
  if (const HRESULT hr = CheckFolder(info.Path); FAILED(hr)) return hr;

  // A re-registration keeps the namespace class of the first one.
  StorageProviderSyncRootInfo old;
  std::u16string clsid;
  const bool existed = ReadRoot(info.Id, old, &clsid);
  if (!existed || clsid.empty()) clsid = NewClsid();

  Key root;
  LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(Join(kSyncRootManagerKey, info.Id)), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, root.Put(), nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  status = WriteRoot(root.get(), info, clsid);
  if (status == ERROR_SUCCESS) {
    Key namespace_class;
    status = ::RegCreateKeyExW(HKEY_CURRENT_USER, Wide(Join(kClassesClsidKey, clsid)), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, namespace_class.Put(), nullptr);
    if (status == ERROR_SUCCESS) status = SetString(namespace_class.get(), nullptr, info.DisplayNameResource);
  }
  if (status != ERROR_SUCCESS) {
    // A half-written first registration must not look registered.
    if (!existed) RemoveEntries(info.Id, clsid);
    return FromStatus(status);
  }
  return S_OK;
}

HRESULT StorageProviderSyncRootManager::Unregister(std::u16string_view id) {
  if (id.empty()) return E_INVALIDARG;
  if (!ValidId(id)) return kNotFound;
  StorageProviderSyncRootInfo info;
  std::u16string clsid;
  if (!ReadRoot(id, info, &clsid)) return kNotFound;
  const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, Wide(Join(kSyncRootManagerKey, id)));
  if (status != ERROR_SUCCESS) return FromStatus(status);
  RemoveEntries(id, clsid);
  return S_OK;
}

HRESULT StorageProviderSyncRootManager::GetSyncRootInformationForId(std::u16string_view id,
                                                                    StorageProviderSyncRootInfo& info) {
  if (!ValidId(id)) return kNotFound;
  return ReadRoot(id, info) ? S_OK : kNotFound;
}

HRESULT StorageProviderSyncRootManager::GetCurrentSyncRoots(std::vector<StorageProviderSyncRootInfo>& roots) {
  roots.clear();
  Key manager;
  const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(std::u16string(kSyncRootManagerKey)), 0,
                                         KEY_READ, manager.Put());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return FromStatus(status);
  for (::DWORD index = 0;; ++index) {
    wchar_t name[256];
    ::DWORD length = 256;
    const LSTATUS listed = ::RegEnumKeyExW(manager.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    if (listed == ERROR_MORE_DATA) continue;  // longer than any id we write
    if (listed != ERROR_SUCCESS) return FromStatus(listed);
    StorageProviderSyncRootInfo info;
    // Roots of other providers, registered by Windows itself, carry no Path
    // value of ours and are left out.
    if (ReadRoot(std::u16string(reinterpret_cast<const char16_t*>(name), length), info)) {
      roots.push_back(std::move(info));
    }
  }
  return S_OK;
}

}  // namespace corvane::platform
