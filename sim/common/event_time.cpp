#include "event_time.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/system.h"

std::string LocalTimeText(const SYSTEMTIME& local) {
    tm parts{};
    parts.tm_year = local.wYear - 1900;
    parts.tm_mon = local.wMonth - 1;
    parts.tm_mday = local.wDay;
    parts.tm_hour = local.wHour;
    parts.tm_min = local.wMinute;
    parts.tm_sec = local.wSecond;
    parts.tm_isdst = -1;
    const long lOffset = mktime(&parts) != static_cast<time_t>(-1) ? parts.tm_gmtoff : 0;
    const long lMinutes = std::labs(lOffset) / 60;
    char szText[64];
    std::snprintf(szText, sizeof(szText), "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld", local.wYear,
                  local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds,
                  lOffset < 0 ? '-' : '+', lMinutes / 60, lMinutes % 60);
    return szText;
}

std::string LocalFileTimeText(ULONGLONG ullTicks) {
    constexpr ULONGLONG TICKS_1970 = 116444736000000000ull;
    const ULONGLONG ullClamped = std::max(ullTicks, TICKS_1970);
    const FILETIME fileTime{static_cast<DWORD>(ullClamped), static_cast<DWORD>(ullClamped >> 32)};
    SYSTEMTIME local{};
    if (!platform::FileTimeToSystemTime(&fileTime, &local)) {
        char szText[32];
        std::snprintf(szText, sizeof(szText), "0x%016llX", static_cast<unsigned long long>(ullTicks));
        return szText;
    }
    return LocalTimeText(local);
}
