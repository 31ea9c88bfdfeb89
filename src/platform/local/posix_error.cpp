#include "platform/local/posix_error.h"

#include <cerrno>

#include "platform/errors.h"

namespace corvane::platform::local {

DWORD Win32ErrorOfErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_ACCESS_DENIED;  // Windows refuses file calls on folders that way
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_BUSY;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EWOULDBLOCK: return ERROR_LOCK_VIOLATION;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECANCELED: return ERROR_OPERATION_ABORTED;
    case EFBIG: return ERROR_DISK_FULL;
    default: return ERROR_INTERNAL_ERROR;
  }
}

void SetLastErrorFromErrno() { SetLastError(Win32ErrorOfErrno(errno)); }

bool FailWith(DWORD error) {
  SetLastError(error);
  return false;
}

}  // namespace corvane::platform::local
