// The applications' side of the stand-in cldapi.dll: what Windows' cloud
// files filter does when any program touches a placeholder, which Wine
// cannot do by itself. A test or tool calls these instead of the plain file
// calls; the provider's callbacks run as they would on Windows (in the
// provider's process, wherever the caller runs). Paths are full Windows paths.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

extern "C" {
// Reads like ReadFile at `offset`, after the filter got the missing data
// from the provider (FETCH_DATA), with open and close notifications.
typedef HRESULT(WINAPI* StandinReadFileFn)(LPCWSTR path, LONGLONG offset, void* buffer, DWORD length, DWORD* read);
// Writes at `offset` (extending the file as needed) after all of the file's
// data is on disk; the placeholder is no longer in sync afterwards.
typedef HRESULT(WINAPI* StandinWriteFileFn)(LPCWSTR path, LONGLONG offset, const void* data, DWORD length);
// Lists a folder, populating it first (FETCH_PLACEHOLDERS). The entries
// carry the attributes and reparse tag Windows reports for placeholders.
// ERROR_MORE_DATA, with *count the number needed, when `capacity` is short.
typedef HRESULT(WINAPI* StandinListFolderFn)(LPCWSTR folder, WIN32_FIND_DATAW* entries, DWORD capacity, DWORD* count);
// Deletes a file or an empty folder (NOTIFY_DELETE first, when registered).
typedef HRESULT(WINAPI* StandinDeleteItemFn)(LPCWSTR path);
// Moves without replacing (NOTIFY_RENAME first, when registered).
typedef HRESULT(WINAPI* StandinRenameItemFn)(LPCWSTR from, LPCWSTR to);
// The user frees a file's space (NOTIFY_DEHYDRATE first, when registered).
typedef HRESULT(WINAPI* StandinDehydrateItemFn)(LPCWSTR path);
}

namespace standin {

// The stand-in's application calls, from the cldapi.dll the system loads.
class Application {
 public:
  Application() {
    HMODULE m = LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (m == nullptr) return;
    read_ = (StandinReadFileFn)(void*)GetProcAddress(m, "StandinReadFile");
    write_ = (StandinWriteFileFn)(void*)GetProcAddress(m, "StandinWriteFile");
    list_ = (StandinListFolderFn)(void*)GetProcAddress(m, "StandinListFolder");
    delete_ = (StandinDeleteItemFn)(void*)GetProcAddress(m, "StandinDeleteItem");
    rename_ = (StandinRenameItemFn)(void*)GetProcAddress(m, "StandinRenameItem");
    dehydrate_ = (StandinDehydrateItemFn)(void*)GetProcAddress(m, "StandinDehydrateItem");
  }
  // False under a system whose cldapi.dll is not the stand-in.
  bool Available() const { return read_ && write_ && list_ && delete_ && rename_ && dehydrate_; }

  HRESULT Read(const std::wstring& path, LONGLONG offset, DWORD length, std::string& data) const {
    data.assign(length, '\0');
    DWORD n = 0;
    const HRESULT hr = read_(path.c_str(), offset, data.data(), length, &n);
    data.resize(SUCCEEDED(hr) ? n : 0);
    return hr;
  }
  HRESULT ReadAll(const std::wstring& path, std::string& data) const {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return HRESULT_FROM_WIN32(GetLastError());
    return Read(path, 0, a.nFileSizeLow, data);
  }
  HRESULT Write(const std::wstring& path, LONGLONG offset, const std::string& data) const {
    return write_(path.c_str(), offset, data.data(), (DWORD)data.size());
  }
  HRESULT List(const std::wstring& folder, std::vector<WIN32_FIND_DATAW>& entries) const {
    DWORD count = 0;
    HRESULT hr = list_(folder.c_str(), nullptr, 0, &count);
    while (hr == HRESULT_FROM_WIN32(ERROR_MORE_DATA)) {
      entries.resize(count);
      hr = list_(folder.c_str(), entries.data(), count, &count);
    }
    entries.resize(SUCCEEDED(hr) ? count : 0);
    return hr;
  }
  HRESULT Delete(const std::wstring& path) const { return delete_(path.c_str()); }
  HRESULT Rename(const std::wstring& from, const std::wstring& to) const { return rename_(from.c_str(), to.c_str()); }
  HRESULT Dehydrate(const std::wstring& path) const { return dehydrate_(path.c_str()); }

 private:
  StandinReadFileFn read_ = nullptr;
  StandinWriteFileFn write_ = nullptr;
  StandinListFolderFn list_ = nullptr;
  StandinDeleteItemFn delete_ = nullptr;
  StandinRenameItemFn rename_ = nullptr;
  StandinDehydrateItemFn dehydrate_ = nullptr;
};

}  // namespace standin
