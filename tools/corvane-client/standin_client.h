// corvane-client on Windows under Wine: the same commands as on Linux, over
// the stand-in cloud-files service (tests/standin/cldapi). Wine has no
// cloud-files filter, so what it would do when a program touches a
// placeholder is asked of the stand-in's application calls; states come
// from the Cloud Files calls. Paths are UTF-8, as on Linux.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::client {

struct ClientEntry {
  std::string name;
  bool is_folder = false;
  uint64_t size = 0;
  DWORD attributes = 0;
  DWORD state = 0;  // CF_PLACEHOLDER_STATE
};

struct ItemState {
  bool is_folder = false;
  bool placeholder = false;
  bool in_sync = false;
  bool populated = false;  // folders
  DWORD pin = 0;           // CF_PIN_STATE
  uint64_t size = 0;
  uint64_t on_disk = 0;  // files: bytes of data on disk
  std::string identity;
  DWORD attributes = 0;
  std::string sync_root;  // the registered root the item is in, if any
  std::string provider;

  // Several lines of "key: value" text for people, as on Linux.
  std::string ToText() const;
};

// Every call returns a Win32 error code (0 on success).
class Client {
 public:
  Client();

  DWORD List(const std::string& folder, std::vector<ClientEntry>& entries);
  DWORD Read(const std::string& path, uint64_t offset, uint64_t length, std::string& data);
  DWORD Write(const std::string& path, uint64_t offset, std::string_view data);
  DWORD WriteAll(const std::string& path, std::string_view data);
  DWORD CreateFile(const std::string& path, std::string_view data);
  DWORD CreateFolder(const std::string& path);
  DWORD Delete(const std::string& path, bool recursive);
  DWORD Rename(const std::string& from, const std::string& to, bool replace_existing);
  DWORD Pin(const std::string& path);
  DWORD Unpin(const std::string& path);
  DWORD Hydrate(const std::string& path);
  DWORD Dehydrate(const std::string& path);
  DWORD State(const std::string& path, ItemState& state);

  static std::string ErrorText(DWORD error);

 private:
  DWORD SetPin(const std::string& path, DWORD pin);
  HMODULE cldapi_ = nullptr;
};

}  // namespace corvane::client
