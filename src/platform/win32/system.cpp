#include "platform/system.h"

#include <cerrno>

#include "platform/win32/win32_api.h"

namespace platform {

DWORD GetLastError() {
    return win32::GetLastError();
}

void SetLastError(DWORD dwError) {
    win32::SetLastError(dwError);
}

DWORD GetCurrentProcessId() {
    return win32::GetCurrentProcessId();
}

DWORD GetCurrentThreadId() {
    return win32::GetCurrentThreadId();
}

void GetLocalTime(SYSTEMTIME* pTime) {
    win32::GetLocalTime(pTime);
}

void GetSystemTime(SYSTEMTIME* pTime) {
    win32::GetSystemTime(pTime);
}

bool SystemTimeToFileTime(const SYSTEMTIME* pSystemTime, FILETIME* pFileTime) {
    return win32::SystemTimeToFileTime(pSystemTime, pFileTime) != 0;
}

bool FileTimeToSystemTime(const FILETIME* pFileTime, SYSTEMTIME* pSystemTime) {
    return win32::FileTimeToSystemTime(pFileTime, pSystemTime) != 0;
}

long GetUtcOffset() {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    FILETIME ftUtc{};
    FILETIME ftLocal{};
    // Read local time first: a second turning between the two readings then errs by one second,
    // which rounding to the minute absorbs, as every zone's offset is whole minutes.
    win32::GetLocalTime(&local);
    win32::GetSystemTime(&utc);
    win32::SystemTimeToFileTime(&utc, &ftUtc);
    win32::SystemTimeToFileTime(&local, &ftLocal);
    const auto Value = [](const FILETIME& ft) {
        return static_cast<std::int64_t>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) |
                                         ft.dwLowDateTime);
    };
    const std::int64_t nSeconds = (Value(ftLocal) - Value(ftUtc)) / 10000000;
    return static_cast<long>((nSeconds >= 0 ? nSeconds + 30 : nSeconds - 30) / 60 * 60);
}

void GetUnixTime(std::int64_t* pnSeconds, long* pnNanoseconds) {
    FILETIME ft{};
    win32::GetSystemTimePreciseAsFileTime(&ft);
    // 100-nanosecond intervals from 1601 to 1970.
    const std::int64_t nIntervals =
        static_cast<std::int64_t>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) -
        116444736000000000LL;
    *pnSeconds = nIntervals / 10000000;
    *pnNanoseconds = static_cast<long>(nIntervals % 10000000) * 100;
}

DWORD GetTickCount() {
    return win32::GetTickCount();
}

void Sleep(DWORD dwMilliseconds) {
    win32::Sleep(dwMilliseconds);
}

}  // namespace platform
