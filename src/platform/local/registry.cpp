// Registry keys are folders under StateDir()/registry/<root>; a key's values
// live in one file inside its folder, replaced atomically on every change.
#include "platform/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/local/errno_win32.h"
#include "platform/local/name_escape.h"
#include "platform/local/record_file.h"
#include "platform/local/state_dir.h"
#include "platform/local/state_lock.h"
#include "support/utf.h"

namespace corvane::platform {

struct RegistryKey {
  std::string dir;
  REGSAM sam = 0;
};

namespace {

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr const char* kValuesFile = "#values";  // '#' never appears in an encoded key name

struct Value {
  std::u16string name;
  DWORD type = REG_NONE;
  std::string data;
};

bool IsPredefined(HKEY key) { return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER; }

std::string RegistryDir() { return local::EnsureStateSubdir("registry"); }

std::string LockPath() { return RegistryDir() + "/.lock"; }

// The folder of a key handle, or empty when the handle is invalid.
std::string KeyDir(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return local::EnsureStateSubdir("registry/HKEY_LOCAL_MACHINE");
  if (key == HKEY_CURRENT_USER) return local::EnsureStateSubdir("registry/HKEY_CURRENT_USER");
  return key ? key->dir : std::string();
}

REGSAM Access(HKEY key) { return IsPredefined(key) ? KEY_ALL_ACCESS : key->sam; }

bool DirExists(const std::string& dir) {
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}


LSTATUS EncodeKeyName(std::u16string_view name, std::string& out) {
  if (name.empty() || name.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
  return local::EscapeNameForFile(name, out) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// Splits "a\b\c" into encoded folder names. Null or empty means the key itself.
LSTATUS SubKeyFolders(const char16_t* sub_key, std::vector<std::string>& folders) {
  folders.clear();
  if (!sub_key || !*sub_key) return ERROR_SUCCESS;
  std::u16string_view rest(sub_key);
  while (true) {
    const size_t sep = rest.find(u'\\');
    std::string folder;
    if (LSTATUS status = EncodeKeyName(rest.substr(0, sep), folder); status != ERROR_SUCCESS) return status;
    folders.push_back(std::move(folder));
    if (sep == std::u16string_view::npos) return ERROR_SUCCESS;
    rest.remove_prefix(sep + 1);
  }
}

// One record a value: type, name (UTF-8) and data (the bytes as set).
bool LoadValues(const std::string& dir, std::vector<Value>& values) {
  values.clear();
  std::vector<local::Record> records;
  if (!local::LoadRecordFile(dir + "/" + kValuesFile, "registry", records, true)) return false;
  for (const local::Record& record : records) {
    Value value;
    const std::string* data = record.Find("data");
    if (!data || !record.Number("type", value.type) || !record.Text("name", value.name)) return false;
    value.data = *data;
    values.push_back(std::move(value));
  }
  return true;
}

bool SaveValues(const std::string& dir, const std::vector<Value>& values) {
  std::vector<local::Record> records(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    std::string name;
    if (!Utf16ToUtf8(values[i].name, name)) {
      errno = EINVAL;
      return false;
    }
    records[i].SetNumber("type", values[i].type);
    records[i].Set("name", name);
    records[i].Set("data", values[i].data);
  }
  return local::SaveRecordFile(dir + "/" + kValuesFile, "registry", records);
}

// Moves the folder aside first, so no process sees a half-removed key.
LSTATUS RemoveFolder(const std::string& dir) {
  static std::atomic<unsigned> counter{0};
  const std::string trash = RegistryDir() + "/.trash-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  if (rename(dir.c_str(), trash.c_str()) != 0) return local::Win32ErrorFromErrno(errno);
  std::error_code ignored;
  std::filesystem::remove_all(trash, ignored);
  return ERROR_SUCCESS;
}

LSTATUS NewHandle(const std::string& dir, REGSAM sam, HKEY* result) {
  auto* handle = new (std::nothrow) RegistryKey{dir, sam};
  if (!handle) return ERROR_NOT_ENOUGH_MEMORY;
  *result = handle;
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, const char16_t* sub_key, DWORD /*options*/, REGSAM sam, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::string dir = KeyDir(key);
  if (dir.empty()) return ERROR_INVALID_HANDLE;
  std::vector<std::string> folders;
  if (LSTATUS status = SubKeyFolders(sub_key, folders); status != ERROR_SUCCESS) return status;
  local::StateLock lock(LockPath(), false);
  if (!DirExists(dir)) return ERROR_KEY_DELETED;
  for (const std::string& folder : folders) dir += "/" + folder;
  if (!DirExists(dir)) return ERROR_FILE_NOT_FOUND;
  return NewHandle(dir, sam, result);
}

LSTATUS RegCreateKeyExW(HKEY key, const char16_t* sub_key, DWORD /*reserved*/, char16_t* /*class_name*/,
                        DWORD /*options*/, REGSAM sam, const void* /*security_attributes*/, HKEY* result,
                        DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::string dir = KeyDir(key);
  if (dir.empty()) return ERROR_INVALID_HANDLE;
  std::vector<std::string> folders;
  if (LSTATUS status = SubKeyFolders(sub_key, folders); status != ERROR_SUCCESS) return status;
  local::StateLock lock(LockPath(), true);
  if (!DirExists(dir)) return ERROR_KEY_DELETED;
  bool created = false;
  for (const std::string& folder : folders) {
    dir += "/" + folder;
    if (mkdir(dir.c_str(), 0700) == 0) {
      if (!created && !(Access(key) & KEY_CREATE_SUB_KEY)) {
        rmdir(dir.c_str());
        return ERROR_ACCESS_DENIED;
      }
      created = true;
    } else if (errno != EEXIST) {
      return local::Win32ErrorFromErrno(errno);
    }
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return NewHandle(dir, sam, result);
}

LSTATUS RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* /*reserved*/, DWORD* type, uint8_t* data,
                         DWORD* data_size) {
  const std::string dir = KeyDir(key);
  if (dir.empty()) return ERROR_INVALID_HANDLE;
  if (!(Access(key) & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !data_size) return ERROR_INVALID_PARAMETER;
  const std::u16string_view name = value_name ? value_name : u"";
  local::StateLock lock(LockPath(), false);
  if (!DirExists(dir)) return ERROR_KEY_DELETED;
  std::vector<Value> values;
  if (!LoadValues(dir, values)) return ERROR_INTERNAL_ERROR;
  for (const Value& value : values) {
    if (!local::EqualIgnoringAsciiCase(value.name, name)) continue;
    if (type) *type = value.type;
    if (!data_size) return ERROR_SUCCESS;
    const DWORD needed = static_cast<DWORD>(value.data.size());
    const DWORD room = *data_size;
    *data_size = needed;
    if (!data) return ERROR_SUCCESS;
    if (room < needed) return ERROR_MORE_DATA;
    std::memcpy(data, value.data.data(), needed);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegSetValueExW(HKEY key, const char16_t* value_name, DWORD /*reserved*/, DWORD type, const uint8_t* data,
                       DWORD data_size) {
  const std::string dir = KeyDir(key);
  if (dir.empty()) return ERROR_INVALID_HANDLE;
  if (!(Access(key) & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!data && data_size) return ERROR_INVALID_PARAMETER;
  if (type == REG_DWORD && data_size != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
  const std::u16string name = value_name ? value_name : u"";
  // Names are kept as UTF-8, as key names are.
  std::string name_utf8;
  if (name.size() > kMaxValueNameLength || !Utf16ToUtf8(name, name_utf8)) return ERROR_INVALID_PARAMETER;
  local::StateLock lock(LockPath(), true);
  if (!DirExists(dir)) return ERROR_KEY_DELETED;
  std::vector<Value> values;
  if (!LoadValues(dir, values)) return ERROR_INTERNAL_ERROR;
  Value* target = nullptr;
  for (Value& value : values)
    if (local::EqualIgnoringAsciiCase(value.name, name)) target = &value;
  if (!target) {
    values.push_back(Value{name, type, {}});
    target = &values.back();
  }
  target->type = type;
  target->data.assign(reinterpret_cast<const char*>(data), data ? data_size : 0);
  return SaveValues(dir, values) ? ERROR_SUCCESS : local::Win32ErrorFromErrno(errno);
}

LSTATUS RegDeleteTreeW(HKEY key, const char16_t* sub_key) {
  std::string dir = KeyDir(key);
  if (dir.empty()) return ERROR_INVALID_HANDLE;
  if (!(Access(key) & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::vector<std::string> folders;
  if (LSTATUS status = SubKeyFolders(sub_key, folders); status != ERROR_SUCCESS) return status;
  local::StateLock lock(LockPath(), true);
  if (!DirExists(dir)) return ERROR_KEY_DELETED;
  if (!folders.empty()) {
    for (const std::string& folder : folders) dir += "/" + folder;
    if (!DirExists(dir)) return ERROR_FILE_NOT_FOUND;
    return RemoveFolder(dir);
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.is_directory(error)) {
      if (LSTATUS status = RemoveFolder(entry.path().string()); status != ERROR_SUCCESS) return status;
    }
  }
  if (error) return ERROR_INTERNAL_ERROR;
  if (unlink((dir + "/" + kValuesFile).c_str()) != 0 && errno != ENOENT) return local::Win32ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (!key) return ERROR_INVALID_HANDLE;
  if (!IsPredefined(key)) delete key;
  return ERROR_SUCCESS;
}

}  // namespace corvane::platform
