// The Standin* exports: a program's file operations as the filter sees them.
#include "filter.h"

using namespace standin;

namespace {

HRESULT Open(const std::wstring& path, DWORD access, HANDLE& h) {
  h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  0, nullptr);
  return h == INVALID_HANDLE_VALUE ? LastError() : S_OK;
}

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT WINAPI StandinReadFile(LPCWSTR file, LONGLONG offset, void* buffer, DWORD length,
                                                     DWORD* read) {
  if (read == nullptr || (length > 0 && buffer == nullptr) || offset < 0) return E_INVALIDARG;
  *read = 0;
  const std::wstring path = FullPath(file);
  HANDLE h;
  if (HRESULT hr = Open(path, GENERIC_READ, h); FAILED(hr)) return hr;
  FilterOperation(kOpOpen, path, 0, 0, L"");
  HRESULT hr = FilterOperation(kOpRead, path, offset, offset + length, L"");
  if (SUCCEEDED(hr)) {
    OVERLAPPED o{};
    o.Offset = (DWORD)offset, o.OffsetHigh = (DWORD)(offset >> 32);
    if (!ReadFile(h, buffer, length, read, &o) && GetLastError() != ERROR_HANDLE_EOF) hr = LastError();
  }
  CloseHandle(h);
  FilterOperation(kOpClose, path, 0, 0, L"");
  return hr;
}

__declspec(dllexport) HRESULT WINAPI StandinWriteFile(LPCWSTR file, LONGLONG offset, const void* data, DWORD length) {
  if ((length > 0 && data == nullptr) || offset < 0) return E_INVALIDARG;
  const std::wstring path = FullPath(file);
  HANDLE h;
  if (HRESULT hr = Open(path, GENERIC_READ | GENERIC_WRITE, h); FAILED(hr)) return hr;
  FilterOperation(kOpOpen, path, 0, 0, L"");
  HRESULT hr = FilterOperation(kOpWrite, path, 0, 0, L"");
  if (SUCCEEDED(hr)) {
    OVERLAPPED o{};
    o.Offset = (DWORD)offset, o.OffsetHigh = (DWORD)(offset >> 32);
    DWORD n = 0;
    if (!WriteFile(h, data, length, &n, &o)) hr = LastError();
  }
  FileFacts facts;
  const bool known = FactsOf(h, facts);
  CloseHandle(h);
  if (SUCCEEDED(hr) && known) {
    Locked s;
    if (Item* item = ItemOf(*s, facts)) {
      // Written, even where the write left the size and time as they were.
      item->in_sync = false;
      item->modified = true;
      item->present.clear();
      AddRange(item->present, {0, facts.size});
      s.Save();
    }
  }
  FilterOperation(kOpClose, path, 0, 0, L"");
  return hr;
}

__declspec(dllexport) HRESULT WINAPI StandinListFolder(LPCWSTR folder, WIN32_FIND_DATAW* entries, DWORD capacity,
                                                       DWORD* count) {
  if (count == nullptr || (capacity > 0 && entries == nullptr)) return E_INVALIDARG;
  *count = 0;
  const std::wstring path = FullPath(folder);
  if (HRESULT hr = FilterOperation(kOpList, path, 0, 0, L""); FAILED(hr)) return hr;
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW((path + L"\\*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return LastError();
  Locked s;
  DWORD n = 0;
  do {
    if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L"..")) continue;
    FileFacts facts;
    if (FactsOfPath(path + L"\\" + fd.cFileName, facts))
      if (const Item* item = ItemOf(*s, facts)) {
        fd.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        fd.dwReserved0 = IO_REPARSE_TAG_CLOUD_STANDIN;
        if (item->dir ? !item->populated : FirstMissing(item->present, 0, item->size).end != 0)
          fd.dwFileAttributes |= item->dir ? FILE_ATTRIBUTE_RECALL_ON_OPEN : FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
        if (item->pin == CF_PIN_STATE_PINNED) fd.dwFileAttributes |= FILE_ATTRIBUTE_PINNED;
        if (item->pin == CF_PIN_STATE_UNPINNED) fd.dwFileAttributes |= FILE_ATTRIBUTE_UNPINNED;
      }
    if (n < capacity) entries[n] = fd;
    ++n;
  } while (FindNextFileW(f, &fd));
  FindClose(f);
  s.Save();
  *count = n;
  return n > capacity ? HRESULT_FROM_WIN32(ERROR_MORE_DATA) : S_OK;
}

__declspec(dllexport) HRESULT WINAPI StandinDeleteItem(LPCWSTR item) {
  return FilterOperation(kOpDelete, FullPath(item), 0, 0, L"");
}

__declspec(dllexport) HRESULT WINAPI StandinRenameItem(LPCWSTR from, LPCWSTR to) {
  const std::wstring target = FullPath(to);
  if (target.empty()) return E_INVALIDARG;
  return FilterOperation(kOpRename, FullPath(from), 0, 0, target);
}

__declspec(dllexport) HRESULT WINAPI StandinDehydrateItem(LPCWSTR item) {
  return FilterOperation(kOpDehydrate, FullPath(item), 0, 0, L"");
}

}  // extern "C"
