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

namespace platform {

bool FileTimeToSystemTime(const FILETIME* pFileTime, SYSTEMTIME* pSystemTime) {
    if (pFileTime == nullptr || pSystemTime == nullptr || (pFileTime->dwHighDateTime & 0x80000000u) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const ULONGLONG ullTicks =
        (static_cast<ULONGLONG>(pFileTime->dwHighDateTime) << 32) | pFileTime->dwLowDateTime;
    const ULONGLONG ullMs = ullTicks / 10000;
    const ULONGLONG ullSeconds = ullMs / 1000;
    const ULONGLONG ullDaysSince1601 = ullSeconds / 86400;
    const ULONGLONG ullSecondOfDay = ullSeconds % 86400;
    // Days from 1601-01-01 to 0000-03-01 in the proleptic Gregorian calendar, then the civil-from-days
    // conversion over 400-year eras.
    const LONGLONG z = static_cast<LONGLONG>(ullDaysSince1601) + 584694;
    const LONGLONG era = z / 146097;
    const LONGLONG doe = z - era * 146097;
    const LONGLONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const LONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const LONGLONG mp = (5 * doy + 2) / 153;
    const LONGLONG d = doy - (153 * mp + 2) / 5 + 1;
    const LONGLONG m = mp < 10 ? mp + 3 : mp - 9;
    const LONGLONG y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    pSystemTime->wYear = static_cast<WORD>(y);
    pSystemTime->wMonth = static_cast<WORD>(m);
    pSystemTime->wDay = static_cast<WORD>(d);
    // 1601-01-01 was a Monday.
    pSystemTime->wDayOfWeek = static_cast<WORD>((ullDaysSince1601 + 1) % 7);
    pSystemTime->wHour = static_cast<WORD>(ullSecondOfDay / 3600);
    pSystemTime->wMinute = static_cast<WORD>(ullSecondOfDay / 60 % 60);
    pSystemTime->wSecond = static_cast<WORD>(ullSecondOfDay % 60);
    pSystemTime->wMilliseconds = static_cast<WORD>(ullMs % 1000);
    return true;
}

}  // namespace platform
