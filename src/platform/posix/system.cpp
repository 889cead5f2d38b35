#include "platform/system.h"

#include "platform/posix/sync_core.h"

#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace platform {
namespace {
thread_local DWORD t_dwLastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return t_dwLastError;
}
void SetLastError(DWORD dwError) {
    t_dwLastError = dwError;
}

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

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}
DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

void GetLocalTime(SYSTEMTIME* pTime) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    pTime->wYear = static_cast<WORD>(local.tm_year + 1900);
    pTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
    pTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    pTime->wDay = static_cast<WORD>(local.tm_mday);
    pTime->wHour = static_cast<WORD>(local.tm_hour);
    pTime->wMinute = static_cast<WORD>(local.tm_min);
    pTime->wSecond = static_cast<WORD>(local.tm_sec);
    pTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

DWORD GetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<unsigned long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

void Sleep(DWORD dwMilliseconds) {
    // A forced end (TerminateThread) interrupts the sleep and is taken here, outside the signal
    // handler, where unwinding the thread is safe.
    posix::TerminationPoint();
    {
        posix::CTerminateShield shield;
        timespec ts{static_cast<time_t>(dwMilliseconds / 1000),
                    static_cast<long>(dwMilliseconds % 1000) * 1000000};
        while (nanosleep(&ts, &ts) == -1 && errno == EINTR && !posix::TerminationPending()) {
        }
    }
    posix::TerminationPoint();
}

}  // namespace platform
