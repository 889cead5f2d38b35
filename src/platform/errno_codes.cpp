// The errno values of the C runtime as the platform's error codes, the same on every half of the seam
// (the Windows C runtime has POSIX's values where it has them).
#include <cerrno>

#include "platform/system.h"

namespace platform {

DWORD ErrorFromErrno(int nErrno) {
    switch (nErrno) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EBUSY:
            return ERROR_BUSY;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EWOULDBLOCK:
            return ERROR_LOCK_VIOLATION;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace platform
