// Process, thread, time and last-error facilities of the platform.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

// The calling thread's last error, as the platform keeps it per thread.
DWORD GetLastError();
void SetLastError(DWORD dwError);
// Translates an errno value into the nearest platform error code.
DWORD ErrorFromErrno(int nErrno);

DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

void GetLocalTime(SYSTEMTIME* pTime);
// The current time in UTC.
void GetSystemTime(SYSTEMTIME* pTime);
// Calendar conversions without any time-zone change. False with ERROR_INVALID_PARAMETER for a field
// out of range, or a file time at or above 0x8000000000000000 intervals (beyond the year 30828), as
// on the platform; wDayOfWeek is ignored on input and computed on output.
bool SystemTimeToFileTime(const SYSTEMTIME* pSystemTime, FILETIME* pFileTime);
bool FileTimeToSystemTime(const FILETIME* pFileTime, SYSTEMTIME* pSystemTime);
// Milliseconds of a monotonic clock (wraps like the platform's tick count).
DWORD GetTickCount();
// The offset of local time from UTC now, in seconds (east of Greenwich positive).
long GetUtcOffset();
// Seconds and nanoseconds since 1970-01-01 UTC, read without locks or allocation (a crash path may ask).
void GetUnixTime(std::int64_t* pnSeconds, long* pnNanoseconds);
void Sleep(DWORD dwMilliseconds);

}  // namespace platform
