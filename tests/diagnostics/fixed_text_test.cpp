// The crash paths' text and clock: numbers as the platform's printf writes them, and local time as
// the C library computes it, without either one's allocation or locks.
#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>

#include "diagnostics/fixed_text.h"
#include "platform/strings.h"

namespace {

std::string Narrow(const CFixedText& text) {
    return platform::ToUtf8(std::u16string(text.Data(), text.Length()));
}

TEST(FixedText, NumbersMatchPrintf) {
    const std::int64_t decimals[] = {0, 7, -7, 42, 2026, -2147483648LL, 9223372036854775807LL};
    for (const std::int64_t n : decimals) {
        for (const int nWidth : {0, 2, 4}) {
            char sz[64];
            std::snprintf(sz, sizeof(sz), "%0*" PRId64, nWidth, n);
            CFixedText text;
            text.AddDecimal(n, nWidth);
            EXPECT_EQ(Narrow(text), sz) << n << " width " << nWidth;
        }
    }
    const std::uint64_t hexes[] = {0, 0xA, 0x80070057, 0xFFFFFFFF, 0x00007FC5B701A860, ~0ull};
    for (const std::uint64_t qw : hexes) {
        for (const int nWidth : {0, 4, 8, 16}) {
            char sz[64];
            std::snprintf(sz, sizeof(sz), "%0*" PRIX64, nWidth, qw);
            CFixedText text;
            text.AddHex(qw, nWidth);
            EXPECT_EQ(Narrow(text), sz) << qw << " width " << nWidth;
        }
    }
}

TEST(FixedText, Utf8IsWidenedAndOverflowIsDropped) {
    CFixedText text;
    text.AddUtf8("/tmp/\xC3\xA9t\xC3\xA9/\xF0\x9F\x98\x80.dmp");
    EXPECT_EQ(std::u16string(text.Data(), text.Length()), u"/tmp/\u00E9t\u00E9/\U0001F600.dmp");
    CFixedText full;
    for (std::size_t i = 0; i < CFixedText::CAPACITY * 2; ++i) {
        full.AddChar(u'x');
    }
    EXPECT_EQ(full.Length(), CFixedText::CAPACITY - 1);
    EXPECT_EQ(full.Data()[full.Length()], u'\0');
}

TEST(FixedText, LocalTimeMatchesTheCLibrary) {
    // Offsets either side of UTC, a half hour, and the one in force here.
    for (const long nOffset : {0L, 3600L, -18000L, 19800L, 45900L, CurrentUtcOffset()}) {
        SYSTEMTIME st{};
        std::tm expected{};
        // Retry when the second turned between the two readings. The precise clock, as the code under
        // test reads: time() reads the coarse one, which can still show the previous second.
        const auto now = [] {
            return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        };
        for (int nTry = 0; nTry < 3; ++nTry) {
            const std::time_t before = now() + nOffset;
            GetLocalTimeAt(nOffset, &st);
            const std::time_t after = now() + nOffset;
            gmtime_r(&after, &expected);
            if (before == after) {
                break;
            }
        }
        EXPECT_EQ(st.wYear, expected.tm_year + 1900) << nOffset;
        EXPECT_EQ(st.wMonth, expected.tm_mon + 1) << nOffset;
        EXPECT_EQ(st.wDay, expected.tm_mday) << nOffset;
        EXPECT_EQ(st.wHour, expected.tm_hour) << nOffset;
        EXPECT_EQ(st.wMinute, expected.tm_min) << nOffset;
        EXPECT_EQ(st.wSecond, expected.tm_sec) << nOffset;
        EXPECT_EQ(st.wDayOfWeek, expected.tm_wday) << nOffset;
        EXPECT_LT(st.wMilliseconds, 1000) << nOffset;
    }
}

}  // namespace
