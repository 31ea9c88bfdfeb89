#include "engine/local_item_values.h"

#include "platform/errors.h"
#include "platform/files.h"
#include "provider/create_update.h"

namespace corvane {

uint32_t ReadLocalValues(const std::u16string& full_path, LocalItemValues& values) {
  using namespace platform;
  Handle handle = CreateFileW(full_path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, 0);
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
  const DWORD error = ok ? 0 : GetLastError();
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  if (!ok) return error != 0 ? error : ERROR_INTERNAL_ERROR;
  values.attributes = FromPlatformAttributes(info.dwFileAttributes);
  values.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  values.placeholder = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  values.size = values.folder ? 0 : (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  values.creation_time = info.ftCreationTime;
  values.last_access_time = info.ftLastAccessTime;
  values.last_write_time = info.ftLastWriteTime;
  values.file_id = static_cast<int64_t>((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  return 0;
}

}  // namespace corvane
