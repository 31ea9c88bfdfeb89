// The placeholder state of a listed item, over the Cloud Files calls and a
// handle where the listing leaves the state out.
#include "platform/cloud_files.h"

namespace corvane::platform {

CF_PLACEHOLDER_STATE PlaceholderStateOfFound(const char16_t* path, const WIN32_FIND_DATAW& data) {
  const CF_PLACEHOLDER_STATE found = CfGetPlaceholderStateFromFindData(&data);
  const bool tag_shown = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                         (data.dwReserved0 & ~IO_REPARSE_TAG_CLOUD_MASK) == IO_REPARSE_TAG_CLOUD;
  if (found == CF_PLACEHOLDER_STATE_INVALID || tag_shown || path == nullptr) return found;
  const Handle file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  INVALID_HANDLE_VALUE);
  if (file == INVALID_HANDLE_VALUE) return found;
  // The fixed part is filled even when the identity does not fit.
  CF_PLACEHOLDER_STANDARD_INFO info{};
  const HRESULT hr = CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_STANDARD, &info, sizeof info, nullptr);
  CloseHandle(file);
  if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_MORE_DATA)) return found;
  CF_PLACEHOLDER_STATE state = found | CF_PLACEHOLDER_STATE_PLACEHOLDER;
  if (info.InSyncState == CF_IN_SYNC_STATE_IN_SYNC) state |= CF_PLACEHOLDER_STATE_IN_SYNC;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    const int64_t size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    if (info.OnDiskDataSize < size) state |= CF_PLACEHOLDER_STATE_PARTIAL;
    if (info.OnDiskDataSize > 0 && info.OnDiskDataSize < size) state |= CF_PLACEHOLDER_STATE_PARTIALLY_ON_DISK;
  }
  return state;
}

}  // namespace corvane::platform
