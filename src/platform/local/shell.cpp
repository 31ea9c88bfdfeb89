// One file a registration under StateDir()/shell, plus the registry entries;
// the file is the registration, the registry entries are what the shell
// would leave behind.
#include "platform/shell.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <random>

#include "platform/local/errno_win32.h"
#include "platform/local/name_escape.h"
#include "platform/local/native_path.h"
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

std::string Text(const std::u16string& value) { return local::EscapeLine(Utf16ToUtf8Lossy(value)); }

std::string Serialize(const StorageProviderSyncRootInfo& info, const std::u16string& clsid) {
  std::string out;
  auto line = [&](const char* key, const std::string& value) { out += std::string(key) + "=" + value + "\n"; };
  line("Id", Text(info.Id));
  line("Path", Text(info.Path));
  line("DisplayNameResource", Text(info.DisplayNameResource));
  line("IconResource", Text(info.IconResource));
  line("HydrationPolicy", std::to_string(info.HydrationPolicy));
  line("HydrationPolicyModifier", std::to_string(info.HydrationPolicyModifier));
  line("PopulationPolicy", std::to_string(info.PopulationPolicy));
  line("InSyncPolicy", std::to_string(info.InSyncPolicy));
  line("Version", Text(info.Version));
  line("ShowSiblingsAsGroup", info.ShowSiblingsAsGroup ? "1" : "0");
  line("AllowPinning", info.AllowPinning ? "1" : "0");
  line("HardlinkPolicy", std::to_string(info.HardlinkPolicy));
  if (info.RecycleBinUri) line("RecycleBinUri", Text(*info.RecycleBinUri));
  line("NamespaceCLSID", Text(clsid));
  return out;
}

bool Parse(const std::string& content, StorageProviderSyncRootInfo& info, std::u16string& clsid) {
  std::map<std::string, std::string> fields;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    fields[line.substr(0, eq)] = local::UnescapeLine(line.substr(eq + 1));
  }
  auto text = [&](const char* key) { return Utf8ToUtf16Lossy(fields[key]); };
  auto number = [&](const char* key) { return static_cast<uint32_t>(std::strtoul(fields[key].c_str(), nullptr, 10)); };
  info = StorageProviderSyncRootInfo{};
  info.Id = text("Id");
  info.Path = text("Path");
  info.DisplayNameResource = text("DisplayNameResource");
  info.IconResource = text("IconResource");
  info.HydrationPolicy = number("HydrationPolicy");
  info.HydrationPolicyModifier = number("HydrationPolicyModifier");
  info.PopulationPolicy = number("PopulationPolicy");
  info.InSyncPolicy = number("InSyncPolicy");
  info.Version = text("Version");
  info.ShowSiblingsAsGroup = fields["ShowSiblingsAsGroup"] == "1";
  info.AllowPinning = fields["AllowPinning"] == "1";
  info.HardlinkPolicy = number("HardlinkPolicy");
  if (fields.count("RecycleBinUri")) info.RecycleBinUri = text("RecycleBinUri");
  clsid = text("NamespaceCLSID");
  return !info.Id.empty();
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

  local::StateFileLock lock(dir + "/.lock", true);
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
  local::StateFileLock lock(dir + "/.lock", true);
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
  local::StateFileLock lock(dir + "/.lock", false);
  std::u16string clsid;
  return ReadRecord(path, info, clsid) ? S_OK : kNotFound;
}

HRESULT StorageProviderSyncRootManager::GetCurrentSyncRoots(std::vector<StorageProviderSyncRootInfo>& roots) {
  roots.clear();
  const std::string dir = ShellDir();
  if (dir.empty()) return FromErrno(errno);
  local::StateFileLock lock(dir + "/.lock", false);
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
