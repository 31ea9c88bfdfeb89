// One file a registration under StateDir()/shell, plus the registry entries;
// the file is the registration, the registry entries are what the shell
// would leave behind.
#include "platform/shell.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/local/errno_win32.h"
#include "platform/local/name_escape.h"
#include "platform/local/native_path.h"
#include "platform/local/record_file.h"
#include "platform/local/state_dir.h"
#include "platform/local/state_lock.h"
#include "platform/registry.h"
#include "support/utf.h"

namespace corvane::platform {
namespace {

constexpr const char* kRecordSuffix = ".root";
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

HRESULT FromErrno(int error) { return HRESULT_FROM_WIN32(local::Win32ErrorFromErrno(error)); }

std::string ShellDir() { return local::EnsureStateSubdir("shell"); }

bool RecordPath(const std::string& dir, std::u16string_view id, std::string& path) {
  std::string name;
  if (!local::EscapeNameForFile(id, name) || name.size() + 5 > 255) return false;
  path = dir + "/" + name + kRecordSuffix;
  return true;
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
  return Utf8ToUtf16Lossy(text);
}

// One record: the registration's fields, and the namespace class it got.
std::string Serialize(const StorageProviderSyncRootInfo& info, const std::u16string& clsid) {
  local::Record r;
  auto text = [&](const char* key, const std::u16string& value) { r.Set(key, Utf16ToUtf8Lossy(value)); };
  text("Id", info.Id);
  text("Path", info.Path);
  text("DisplayNameResource", info.DisplayNameResource);
  text("IconResource", info.IconResource);
  r.SetNumber("HydrationPolicy", info.HydrationPolicy);
  r.SetNumber("HydrationPolicyModifier", info.HydrationPolicyModifier);
  r.SetNumber("PopulationPolicy", info.PopulationPolicy);
  r.SetNumber("InSyncPolicy", info.InSyncPolicy);
  text("Version", info.Version);
  r.SetNumber("ShowSiblingsAsGroup", info.ShowSiblingsAsGroup ? 1 : 0);
  r.SetNumber("AllowPinning", info.AllowPinning ? 1 : 0);
  r.SetNumber("HardlinkPolicy", info.HardlinkPolicy);
  if (info.RecycleBinUri) text("RecycleBinUri", *info.RecycleBinUri);
  text("NamespaceCLSID", clsid);
  return local::WriteRecords("shell", {r});
}

bool Parse(const std::string& content, StorageProviderSyncRootInfo& info, std::u16string& clsid) {
  std::vector<local::Record> records;
  if (!local::ReadRecords(content, "shell", records) || records.size() != 1) return false;
  const local::Record& r = records[0];
  info = StorageProviderSyncRootInfo{};
  uint32_t siblings = 0, pinning = 0;
  bool ok = r.Text("Id", info.Id) && r.Text("Path", info.Path) &&
            r.Text("DisplayNameResource", info.DisplayNameResource) && r.Text("IconResource", info.IconResource) &&
            r.Number("HydrationPolicy", info.HydrationPolicy) &&
            r.Number("HydrationPolicyModifier", info.HydrationPolicyModifier) &&
            r.Number("PopulationPolicy", info.PopulationPolicy) && r.Number("InSyncPolicy", info.InSyncPolicy) &&
            r.Text("Version", info.Version) && r.Number("ShowSiblingsAsGroup", siblings) &&
            r.Number("AllowPinning", pinning) && r.Number("HardlinkPolicy", info.HardlinkPolicy) &&
            r.Text("NamespaceCLSID", clsid);
  info.ShowSiblingsAsGroup = siblings == 1;
  info.AllowPinning = pinning == 1;
  if (r.Find("RecycleBinUri")) {
    info.RecycleBinUri.emplace();
    ok = ok && r.Text("RecycleBinUri", *info.RecycleBinUri);
  }
  return ok && !info.Id.empty();
}

bool ReadRecord(const std::string& path, StorageProviderSyncRootInfo& info, std::u16string& clsid) {
  std::string content;
  return local::ReadWholeFile(path, content) && Parse(content, info, clsid);
}

std::u16string Join(std::u16string_view a, std::u16string_view b) {
  std::u16string out(a);
  out += u'\\';
  out += b;
  return out;
}

// REG_SZ data: the UTF-16 text with its terminator.
LSTATUS SetString(HKEY key, const char16_t* name, const std::u16string& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

LSTATUS WriteRegistryEntries(const StorageProviderSyncRootInfo& info, const std::u16string& clsid) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Join(kSyncRootManagerKey, info.Id).c_str(), 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = SetString(key, u"NamespaceCLSID", clsid);
  if (status == ERROR_SUCCESS) status = SetString(key, u"DisplayNameResource", info.DisplayNameResource);
  if (status == ERROR_SUCCESS) status = SetString(key, u"IconResource", info.IconResource);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return status;
  status = RegCreateKeyExW(HKEY_CURRENT_USER, Join(kClassesClsidKey, clsid).c_str(), 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = SetString(key, nullptr, info.DisplayNameResource);
  RegCloseKey(key);
  return status;
}

LSTATUS RemoveRegistryEntries(std::u16string_view id, const std::u16string& clsid) {
  LSTATUS first = ERROR_SUCCESS;
  const LSTATUS a = RegDeleteTreeW(HKEY_LOCAL_MACHINE, Join(kSyncRootManagerKey, id).c_str());
  if (a != ERROR_SUCCESS && a != ERROR_FILE_NOT_FOUND) first = a;
  if (!clsid.empty()) {
    const LSTATUS b = RegDeleteTreeW(HKEY_CURRENT_USER, Join(kClassesClsidKey, clsid).c_str());
    if (b != ERROR_SUCCESS && b != ERROR_FILE_NOT_FOUND && first == ERROR_SUCCESS) first = b;
  }
  return first;
}

HRESULT CheckFolder(std::u16string_view path) {
  std::string native;
  if (path.empty() || !local::ToNativePath(path, native) || native.empty()) return E_INVALIDARG;
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return FromErrno(errno);
  return S_ISDIR(st.st_mode) ? S_OK : HRESULT_FROM_WIN32(ERROR_DIRECTORY);
}

}  // namespace

HRESULT StorageProviderSyncRootManager::Register(const StorageProviderSyncRootInfo& info) {
  if (info.Id.empty() || info.Id.find(u'\\') != std::u16string::npos) return E_INVALIDARG;
  if (HRESULT hr = CheckFolder(info.Path); FAILED(hr)) return hr;
  const std::string dir = ShellDir();
  if (dir.empty()) return FromErrno(errno);
  std::string path;
  if (!RecordPath(dir, info.Id, path)) return E_INVALIDARG;

  local::StateLock lock(dir + "/.lock", true);
  // A re-registration keeps the namespace class of the first one.
  StorageProviderSyncRootInfo old;
  std::u16string clsid;
  const bool existed = ReadRecord(path, old, clsid);
  if (!existed || clsid.empty()) clsid = NewClsid();

  if (LSTATUS status = WriteRegistryEntries(info, clsid); status != ERROR_SUCCESS) {
    if (!existed) RemoveRegistryEntries(info.Id, clsid);
    return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
  }
  if (!local::WriteFileAtomically(path, Serialize(info, clsid))) {
    const HRESULT hr = FromErrno(errno);
    if (!existed) RemoveRegistryEntries(info.Id, clsid);
    return hr;
  }
  return S_OK;
}

HRESULT StorageProviderSyncRootManager::Unregister(std::u16string_view id) {
  if (id.empty()) return E_INVALIDARG;
  const std::string dir = ShellDir();
  if (dir.empty()) return FromErrno(errno);
  std::string path;
  if (!RecordPath(dir, id, path)) return kNotFound;
  local::StateLock lock(dir + "/.lock", true);
  StorageProviderSyncRootInfo info;
  std::u16string clsid;
  if (!ReadRecord(path, info, clsid)) return kNotFound;
  if (unlink(path.c_str()) != 0) return FromErrno(errno);
  // The registration is gone now; registry entries that cannot be removed
  // are leftovers that the next registration or uninstall cleans.
  RemoveRegistryEntries(info.Id, clsid);
  return S_OK;
}

HRESULT StorageProviderSyncRootManager::GetSyncRootInformationForId(std::u16string_view id,
                                                                    StorageProviderSyncRootInfo& info) {
  const std::string dir = ShellDir();
  if (dir.empty()) return FromErrno(errno);
  std::string path;
  if (!RecordPath(dir, id, path)) return kNotFound;
  local::StateLock lock(dir + "/.lock", false);
  std::u16string clsid;
  return ReadRecord(path, info, clsid) ? S_OK : kNotFound;
}

HRESULT StorageProviderSyncRootManager::GetCurrentSyncRoots(std::vector<StorageProviderSyncRootInfo>& roots) {
  roots.clear();
  const std::string dir = ShellDir();
  if (dir.empty()) return FromErrno(errno);
  local::StateLock lock(dir + "/.lock", false);
  DIR* listing = opendir(dir.c_str());
  if (!listing) return FromErrno(errno);
  const std::string suffix = kRecordSuffix;
  while (dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    StorageProviderSyncRootInfo info;
    std::u16string clsid;
    if (ReadRecord(dir + "/" + name, info, clsid)) roots.push_back(std::move(info));
  }
  closedir(listing);
  return S_OK;
}

}  // namespace corvane::platform
