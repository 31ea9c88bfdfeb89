// standin-app: a user's program acting on a sync root under Wine, through
// the stand-in cldapi.dll's filter calls (what Explorer or any program would
// set off on Windows). Exit code 0 on success, 1 on failure, 2 on bad usage.
#include <cstdio>
#include <string>
#include <vector>

#include "cf_types.h"
#include "standin.h"

extern "C" HRESULT WINAPI CfGetPlaceholderInfo(HANDLE, CF_PLACEHOLDER_INFO_CLASS, PVOID, DWORD, PDWORD);

namespace {

int Report(HRESULT hr) {
  if (SUCCEEDED(hr)) return 0;
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 (DWORD)hr, 0, (wchar_t*)&text, 0, nullptr);
  fwprintf(stderr, L"failed: 0x%08lx %ls\n", (unsigned long)hr, text ? text : L"");
  LocalFree(text);
  return 1;
}

int State(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Report(HRESULT_FROM_WIN32(GetLastError()));
  struct {
    CF_PLACEHOLDER_STANDARD_INFO info;
    BYTE identity[CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH];
  } buf{};
  const HRESULT hr = CfGetPlaceholderInfo(h, CF_PLACEHOLDER_INFO_STANDARD, &buf, sizeof buf, nullptr);
  CloseHandle(h);
  if (FAILED(hr)) return Report(hr);
  static const char* pins[] = {"unspecified", "pinned", "unpinned", "excluded", "inherit"};
  printf("placeholder: yes\nin sync: %s\npin: %s\non disk: %lld\nmodified: %lld\nidentity bytes: %lu\n",
         buf.info.InSyncState ? "yes" : "no", buf.info.PinState <= 4 ? pins[buf.info.PinState] : "?",
         (long long)buf.info.OnDiskDataSize.QuadPart, (long long)buf.info.ModifiedDataSize.QuadPart,
         (unsigned long)buf.info.FileIdentityLength);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring op = argc > 1 ? argv[1] : L"";
  standin::Application app;
  if (!app.Available()) {
    fprintf(stderr, "cldapi.dll in system32 is not the stand-in\n");
    return 1;
  }
  if (op == L"list" && argc == 3) {
    std::vector<WIN32_FIND_DATAW> entries;
    const HRESULT hr = app.List(argv[2], entries);
    for (const auto& e : entries)
      wprintf(L"%ls%ls  %llu\n", e.cFileName, (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? L"\\" : L"",
              (unsigned long long)e.nFileSizeHigh << 32 | e.nFileSizeLow);
    return Report(hr);
  }
  if (op == L"read" && argc == 3) {
    std::string data;
    const HRESULT hr = app.ReadAll(argv[2], data);
    fwrite(data.data(), 1, data.size(), stdout);
    return Report(hr);
  }
  if (op == L"write" && argc == 4) {
    const std::wstring text = argv[3];
    return Report(app.Write(argv[2], 0, std::string(text.begin(), text.end())));
  }
  if (op == L"delete" && argc == 3) return Report(app.Delete(argv[2]));
  if (op == L"rename" && argc == 4) return Report(app.Rename(argv[2], argv[3]));
  if (op == L"dehydrate" && argc == 3) return Report(app.Dehydrate(argv[2]));
  if (op == L"state" && argc == 3) return State(argv[2]);
  fprintf(stderr,
          "usage: standin-app list FOLDER | read FILE | write FILE TEXT | delete PATH | rename FROM TO |\n"
          "                   dehydrate FILE | state PATH\n");
  return 2;
}
