#include "platform/local/errno_win32.h"

#include <cerrno>

#include "platform/types.h"

namespace corvane::platform::local {

uint32_t Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case ENODATA: return ERROR_NOT_FOUND;
    default: return ERROR_INTERNAL_ERROR;
  }
}

}  // namespace corvane::platform::local
