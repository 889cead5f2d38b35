#include "platform/system.h"

#include "platform/posix/sync_core.h"

#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

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

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}
long GetUtcOffset() {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

void GetUnixTime(std::int64_t* pnSeconds, long* pnNanoseconds) {
    // The system call itself, which a sanitizer does not intercept.
    timespec now{};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &now);
    *pnSeconds = now.tv_sec;
    *pnNanoseconds = now.tv_nsec;
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

namespace {

// The current time, broken down by gmtime_r or localtime_r.
void GetBrokenDownTime(SYSTEMTIME* pTime, tm* (*breakDown)(const time_t*, tm*)) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    breakDown(&ts.tv_sec, &parts);
    pTime->wYear = static_cast<WORD>(parts.tm_year + 1900);
    pTime->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    pTime->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    pTime->wDay = static_cast<WORD>(parts.tm_mday);
    pTime->wHour = static_cast<WORD>(parts.tm_hour);
    pTime->wMinute = static_cast<WORD>(parts.tm_min);
    pTime->wSecond = static_cast<WORD>(parts.tm_sec);
    pTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

}  // namespace

void GetLocalTime(SYSTEMTIME* pTime) {
    GetBrokenDownTime(pTime, &localtime_r);
}

void GetSystemTime(SYSTEMTIME* pTime) {
    GetBrokenDownTime(pTime, &gmtime_r);
}

namespace {

constexpr ULONGLONG TICKS_PER_MS = 10000;
constexpr ULONGLONG MS_PER_DAY = 86400000;
// Days from 0000-03-01 to 1601-01-01 in the proleptic Gregorian calendar.
constexpr long long EPOCH_1601_DAYS = 584694;

// Howard Hinnant's days-from-civil, counted from 0000-03-01.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe);
}

void CivilFromDays(long long z, long long* py, unsigned* pm, unsigned* pd) {
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *pd = doy - (153 * mp + 2) / 5 + 1;
    *pm = mp < 10 ? mp + 3 : mp - 9;
    *py = static_cast<long long>(yoe) + era * 400 + (*pm <= 2 ? 1 : 0);
}

bool IsLeapYear(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

bool SystemTimeToFileTime(const SYSTEMTIME* pSystemTime, FILETIME* pFileTime) {
    static constexpr unsigned DAYS_IN_MONTH[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const SYSTEMTIME& st = *pSystemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const unsigned nDays = DAYS_IN_MONTH[st.wMonth - 1] + (st.wMonth == 2 && IsLeapYear(st.wYear) ? 1 : 0);
    if (st.wDay > nDays) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const auto nDay = static_cast<ULONGLONG>(DaysFromCivil(st.wYear, st.wMonth, st.wDay) - EPOCH_1601_DAYS);
    const ULONGLONG ullMs =
        nDay * MS_PER_DAY + ((st.wHour * 60ULL + st.wMinute) * 60 + st.wSecond) * 1000 + st.wMilliseconds;
    const ULONGLONG ullTicks = ullMs * TICKS_PER_MS;
    pFileTime->dwLowDateTime = static_cast<DWORD>(ullTicks);
    pFileTime->dwHighDateTime = static_cast<DWORD>(ullTicks >> 32);
    return true;
}

bool FileTimeToSystemTime(const FILETIME* pFileTime, SYSTEMTIME* pSystemTime) {
    const ULONGLONG ullTicks =
        (static_cast<ULONGLONG>(pFileTime->dwHighDateTime) << 32) | pFileTime->dwLowDateTime;
    if (ullTicks >= 0x8000000000000000ULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const ULONGLONG ullMs = ullTicks / TICKS_PER_MS;
    const auto nDays = static_cast<long long>(ullMs / MS_PER_DAY);
    ULONGLONG ullRest = ullMs % MS_PER_DAY;
    long long y = 0;
    unsigned m = 0;
    unsigned d = 0;
    CivilFromDays(nDays + EPOCH_1601_DAYS, &y, &m, &d);
    SYSTEMTIME& st = *pSystemTime;
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    // 1601-01-01 was a Monday.
    st.wDayOfWeek = static_cast<WORD>((nDays + 1) % 7);
    st.wMilliseconds = static_cast<WORD>(ullRest % 1000);
    ullRest /= 1000;
    st.wSecond = static_cast<WORD>(ullRest % 60);
    ullRest /= 60;
    st.wMinute = static_cast<WORD>(ullRest % 60);
    st.wHour = static_cast<WORD>(ullRest / 60);
    return true;
}

namespace {

unsigned long long MonotonicMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<unsigned long long>(ts.tv_sec) * 1000 +
           static_cast<unsigned long long>(ts.tv_nsec) / 1000000;
}

}  // namespace

DWORD GetTickCount() {
    return static_cast<DWORD>(MonotonicMilliseconds());
}

void Sleep(DWORD dwMilliseconds) {
    // A forced end (TerminateThread) interrupts the sleep and is taken here, outside the signal
    // handler, where unwinding the thread is safe. One that lands after the last look but before
    // the sleep begins interrupts nothing (ThreadSanitizer delivers signals at its interceptors, so
    // there it lands exactly then), so the sleep goes in slices and looks again after each.
    constexpr unsigned long long SLICE_MS = 100;
    posix::TerminationPoint();
    {
        posix::CTerminateShield shield;
        const unsigned long long ullEnd = MonotonicMilliseconds() + dwMilliseconds;
        while (!posix::TerminationPending()) {
            const unsigned long long ullNow = MonotonicMilliseconds();
            if (dwMilliseconds != INFINITE && ullNow >= ullEnd) {
                break;
            }
            const unsigned long long ullSlice =
                dwMilliseconds == INFINITE ? SLICE_MS : std::min(SLICE_MS, ullEnd - ullNow);
            timespec ts{static_cast<time_t>(ullSlice / 1000), static_cast<long>(ullSlice % 1000) * 1000000};
            nanosleep(&ts, nullptr);
        }
    }
    posix::TerminationPoint();
}

}  // namespace platform
