#include <gtest/gtest.h>

#include <ctime>

#include "platform/system.h"

namespace {

ULONGLONG Ticks(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(SystemTime, ConvertsToFileTimeAndBack) {
    struct Case {
        SYSTEMTIME time;
        ULONGLONG ullTicks;
        WORD wDayOfWeek;
    };
    const Case cases[] = {
        {{1601, 1, 0, 1, 0, 0, 0, 0}, 0, 1},
        {{1970, 1, 0, 1, 0, 0, 0, 0}, 116444736000000000ULL, 4},
        {{2000, 2, 0, 29, 12, 34, 56, 789}, 125963012967890000ULL, 2},
        {{2026, 12, 0, 31, 23, 59, 59, 999}, 134432351999990000ULL, 4},
    };
    for (const auto& c : cases) {
        FILETIME ft{};
        ASSERT_TRUE(platform::SystemTimeToFileTime(&c.time, &ft));
        EXPECT_EQ(Ticks(ft), c.ullTicks) << c.time.wYear;
        SYSTEMTIME back{};
        ASSERT_TRUE(platform::FileTimeToSystemTime(&ft, &back));
        EXPECT_EQ(back.wYear, c.time.wYear);
        EXPECT_EQ(back.wMonth, c.time.wMonth);
        EXPECT_EQ(back.wDay, c.time.wDay);
        EXPECT_EQ(back.wHour, c.time.wHour);
        EXPECT_EQ(back.wMinute, c.time.wMinute);
        EXPECT_EQ(back.wSecond, c.time.wSecond);
        EXPECT_EQ(back.wMilliseconds, c.time.wMilliseconds);
        EXPECT_EQ(back.wDayOfWeek, c.wDayOfWeek);
    }
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

}  // namespace

// The clock in UTC and in local time: each names the moment of time(), the local one shifted by the
// zone's offset then, and both give the weekday their date has.
TEST(SystemTime, CurrentTimeInUtcAndLocally) {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    const std::time_t tBefore = std::time(nullptr);
    platform::GetSystemTime(&utc);
    platform::GetLocalTime(&local);
    const std::time_t tAfter = std::time(nullptr);
    EXPECT_GE(UtcSeconds(utc), tBefore);
    EXPECT_LE(UtcSeconds(utc), tAfter);
    std::tm parts{};
    localtime_r(&tBefore, &parts);
    EXPECT_GE(UtcSeconds(local) - parts.tm_gmtoff, tBefore);
    EXPECT_LE(UtcSeconds(local) - parts.tm_gmtoff, tAfter);
    for (const SYSTEMTIME& time : {utc, local}) {
        SYSTEMTIME normalised = time;
        FILETIME ft{};
        ASSERT_TRUE(platform::SystemTimeToFileTime(&time, &ft));
        ASSERT_TRUE(platform::FileTimeToSystemTime(&ft, &normalised));
        EXPECT_EQ(time.wDayOfWeek, normalised.wDayOfWeek);
        EXPECT_LT(time.wMilliseconds, 1000);
    }
}
