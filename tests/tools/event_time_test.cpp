#include "event_time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

namespace {

// Sets the process's time zone for one test and puts the previous one back. POSIX zone rules, so
// the cases do not depend on the machine's time-zone database.
class CTimeZone {
public:
    explicit CTimeZone(const char* szZone) {
        if (const char* szOld = getenv("TZ")) {
            m_sOld = szOld;
            m_bHadOld = true;
        }
        setenv("TZ", szZone, 1);
        tzset();
    }
    ~CTimeZone() {
        if (m_bHadOld) {
            setenv("TZ", m_sOld.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    CTimeZone(const CTimeZone&) = delete;
    CTimeZone& operator=(const CTimeZone&) = delete;

private:
    std::string m_sOld;
    bool m_bHadOld = false;
};

constexpr const char* BERLIN = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* NEWFOUNDLAND = "NST3:30NDT,M3.2.0,M11.1.0";

SYSTEMTIME Local(WORD wYear, WORD wMonth, WORD wDay, WORD wHour, WORD wMinute, WORD wSecond, WORD wMs) {
    return SYSTEMTIME{wYear, wMonth, 0, wDay, wHour, wMinute, wSecond, wMs};
}

TEST(EventTime, LocalTimeCarriesTheOffsetOfItsZoneAndSeason) {
    struct Case {
        const char* szZone;
        SYSTEMTIME local;
        const char* szExpected;
    };
    const Case cases[] = {
        {"UTC0", Local(2026, 12, 7, 15, 47, 56, 123), "2026-12-07T15:47:56.123+00:00"},
        {BERLIN, Local(2026, 12, 7, 15, 47, 56, 123), "2026-12-07T15:47:56.123+01:00"},
        {BERLIN, Local(2026, 7, 1, 9, 0, 0, 5), "2026-07-01T09:00:00.005+02:00"},
        // The last minute before and the first after the clocks go forward in spring.
        {BERLIN, Local(2026, 3, 29, 1, 59, 59, 999), "2026-03-29T01:59:59.999+01:00"},
        {BERLIN, Local(2026, 3, 29, 3, 0, 0, 0), "2026-03-29T03:00:00.000+02:00"},
        // West of Greenwich, and not a whole hour.
        {NEWFOUNDLAND, Local(2026, 1, 15, 23, 30, 0, 0), "2026-01-15T23:30:00.000-03:30"},
        {NEWFOUNDLAND, Local(2026, 8, 15, 0, 0, 0, 0), "2026-08-15T00:00:00.000-02:30"},
    };
    for (const Case& c : cases) {
        CTimeZone zone(c.szZone);
        EXPECT_EQ(LocalTimeText(c.local), c.szExpected) << c.szZone;
    }
}

TEST(EventTime, FileTimesAreReadAsLocalTime) {
    CTimeZone zone(BERLIN);
    struct Case {
        ULONGLONG ullTicks;
        const char* szExpected;
    };
    const Case cases[] = {
        // 2024-01-31 08:05:09 as wall-clock figures: shown as they are, with the winter offset.
        {133511619090000000ull, "2024-01-31T08:05:09.000+01:00"},
        {133511619090000000ull + 1234 * 10000ull, "2024-01-31T08:05:10.234+01:00"},
        // Unset.
        {0, "1970-01-01T00:00:00.000+01:00"},
        // Beyond the calendar.
        {0x8000000000000000ull, "0x8000000000000000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LocalFileTimeText(c.ullTicks), c.szExpected) << c.ullTicks;
    }
}

}  // namespace
