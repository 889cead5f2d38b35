#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "platform/system.h"

namespace {

ULONGLONG Ticks(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FileTime(ULONGLONG ull) {
    return FILETIME{static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
}

constexpr ULONGLONG UNIX_EPOCH_SECONDS = 11644473600ULL;

// Each row both ways: the ticks name the time; the time, which keeps milliseconds only, names the
// ticks cut to the millisecond. Times go back to ticks up to the year 30827 only, as on Windows,
// though the last ticks lie in 30828.
TEST(SystemTime, ConvertsBetweenTicksAndCalendar) {
    struct Case {
        ULONGLONG ullTicks;
        SYSTEMTIME time;  // year, month, day of week, day, hour, minute, second, ms
    };
    const Case cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {UNIX_EPOCH_SECONDS * 10000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {125963012967890000ULL, {2000, 2, 2, 29, 12, 34, 56, 789}},
        {(951782400ULL + UNIX_EPOCH_SECONDS) * 10000000ULL,
         {2000, 2, 2, 29, 0, 0, 0, 0}},  // leap day of a 400 year
        {(1706688309ULL + UNIX_EPOCH_SECONDS) * 10000000ULL + 1234567, {2024, 1, 3, 31, 8, 5, 9, 123}},
        {(1735689599ULL + UNIX_EPOCH_SECONDS) * 10000000ULL, {2024, 12, 2, 31, 23, 59, 59, 0}},
        {134432351999990000ULL, {2026, 12, 4, 31, 23, 59, 59, 999}},
        {(4107542400ULL + UNIX_EPOCH_SECONDS) * 10000000ULL,
         {2100, 3, 1, 1, 0, 0, 0, 0}},  // no Feb 29 in 2100
        {0x7FFFFFFFFFFFFFFFULL, {30828, 9, 4, 14, 2, 48, 5, 477}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ullTicks);
        const FILETIME ft = FileTime(c.ullTicks);
        SYSTEMTIME st{};
        ASSERT_TRUE(platform::FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(st.wYear, c.time.wYear);
        EXPECT_EQ(st.wMonth, c.time.wMonth);
        EXPECT_EQ(st.wDayOfWeek, c.time.wDayOfWeek);
        EXPECT_EQ(st.wDay, c.time.wDay);
        EXPECT_EQ(st.wHour, c.time.wHour);
        EXPECT_EQ(st.wMinute, c.time.wMinute);
        EXPECT_EQ(st.wSecond, c.time.wSecond);
        EXPECT_EQ(st.wMilliseconds, c.time.wMilliseconds);
        FILETIME back{};
        ASSERT_EQ(platform::SystemTimeToFileTime(&c.time, &back), c.time.wYear <= 30827);
        if (c.time.wYear <= 30827) {
            EXPECT_EQ(Ticks(back), c.ullTicks - c.ullTicks % 10000);
        }
    }
    const FILETIME tooLate = FileTime(0x8000000000000000ULL);
    SYSTEMTIME st{};
    EXPECT_FALSE(platform::FileTimeToSystemTime(&tooLate, &st));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(SystemTime, RefusesFieldsOutOfRange) {
    const SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {2023, 2, 0, 29, 0, 0, 0, 0}, {2024, 13, 0, 1, 0, 0, 0, 0},
        {2024, 4, 0, 31, 0, 0, 0, 0},  {2024, 1, 0, 1, 24, 0, 0, 0}, {2024, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const auto& time : bad) {
        FILETIME ft{};
        EXPECT_FALSE(platform::SystemTimeToFileTime(&time, &ft)) << time.wYear << "-" << time.wMonth;
    }
}

}  // namespace

namespace {

// The seconds since 1970 that a broken-down time names, read as UTC.
long long UtcSeconds(const SYSTEMTIME& time) {
    FILETIME ft{};
    EXPECT_TRUE(platform::SystemTimeToFileTime(&time, &ft));
    return static_cast<long long>(Ticks(ft) / 10000000ULL) - 11644473600LL;
}

// The C library's offset of local time from UTC at t, from its broken-down local and UTC times.
long CLibraryUtcOffset(std::time_t t) {
    std::tm local{};
    std::tm utc{};
    localtime_r(&t, &local);
    gmtime_r(&t, &utc);
    long nDays = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year) {
        nDays = local.tm_year > utc.tm_year ? 1 : -1;  // across New Year
    }
    return ((nDays * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min) * 60 + local.tm_sec -
           utc.tm_sec;
}

}  // namespace

// The clock in UTC and in local time: each names the moment of time(), the local one shifted by the
// zone's offset then, and both give the weekday their date has.
TEST(SystemTime, CurrentTimeInUtcAndLocally) {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    const std::time_t tBefore = std::time(nullptr);
    platform::GetSystemTime(&utc);
    platform::GetLocalTime(&local);
    // The precise clock, as the seam reads: time() reads the coarse one, which can still show the
    // previous second.
    const std::time_t tAfter = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    EXPECT_GE(UtcSeconds(utc), tBefore);
    EXPECT_LE(UtcSeconds(utc), tAfter);
    const long nOffset = CLibraryUtcOffset(tBefore);
    EXPECT_GE(UtcSeconds(local) - nOffset, tBefore);
    EXPECT_LE(UtcSeconds(local) - nOffset, tAfter);
    // The seam's own offset, which the debug log's crash-safe clock uses.
    EXPECT_EQ(platform::GetUtcOffset(), CLibraryUtcOffset(std::time(nullptr)));
    for (const SYSTEMTIME& time : {utc, local}) {
        SYSTEMTIME normalised = time;
        FILETIME ft{};
        ASSERT_TRUE(platform::SystemTimeToFileTime(&time, &ft));
        ASSERT_TRUE(platform::FileTimeToSystemTime(&ft, &normalised));
        EXPECT_EQ(time.wDayOfWeek, normalised.wDayOfWeek);
        EXPECT_LT(time.wMilliseconds, 1000);
    }
}
