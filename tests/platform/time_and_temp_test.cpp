#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

FILETIME FileTime(ULONGLONG ull) {
    return FILETIME{static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
}

TEST(FileTimeToSystemTime, ConvertsAcrossTheCalendar) {
    struct Case {
        ULONGLONG ullTime;
        SYSTEMTIME expected;  // year, month, day of week, day, hour, minute, second, ms
    };
    const Case cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {(1706688309ULL + 11644473600ULL) * 10000000ULL + 1234567, {2024, 1, 3, 31, 8, 5, 9, 123}},
        {(951782400ULL + 11644473600ULL) * 10000000ULL,
         {2000, 2, 2, 29, 0, 0, 0, 0}},  // leap day of a 400 year
        {(4107542400ULL + 11644473600ULL) * 10000000ULL, {2100, 3, 1, 1, 0, 0, 0, 0}},  // 2100 has no Feb 29
        {(1735689599ULL + 11644473600ULL) * 10000000ULL, {2024, 12, 2, 31, 23, 59, 59, 0}},
        {0x7FFFFFFFFFFFFFFFULL, {30828, 9, 4, 14, 2, 48, 5, 477}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ullTime);
        const FILETIME ft = FileTime(c.ullTime);
        SYSTEMTIME st{};
        ASSERT_TRUE(platform::FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(st.wYear, c.expected.wYear);
        EXPECT_EQ(st.wMonth, c.expected.wMonth);
        EXPECT_EQ(st.wDayOfWeek, c.expected.wDayOfWeek);
        EXPECT_EQ(st.wDay, c.expected.wDay);
        EXPECT_EQ(st.wHour, c.expected.wHour);
        EXPECT_EQ(st.wMinute, c.expected.wMinute);
        EXPECT_EQ(st.wSecond, c.expected.wSecond);
        EXPECT_EQ(st.wMilliseconds, c.expected.wMilliseconds);
    }
    const FILETIME tooLate = FileTime(0x8000000000000000ULL);
    SYSTEMTIME st{};
    EXPECT_FALSE(platform::FileTimeToSystemTime(&tooLate, &st));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(GetTempFileName, CreatesNewFilesInTheTemporaryDirectory) {
    std::u16string sTemp;
    ASSERT_TRUE(platform::GetTempPath(&sTemp));
    EXPECT_EQ(sTemp, u"C:\\Windows\\Temp\\");
    EXPECT_EQ(platform::GetFileAttributes(u"C:\\Windows\\Temp"), platform::FILE_ATTRIBUTE_DIRECTORY);

    std::u16string sFirst;
    std::u16string sSecond;
    const unsigned uFirst = platform::GetTempFileName(sTemp.c_str(), u"XMLDOC", 0, &sFirst);
    const unsigned uSecond = platform::GetTempFileName(sTemp.c_str(), u"XMLDOC", 0, &sSecond);
    ASSERT_NE(uFirst, 0u);
    ASSERT_NE(uSecond, 0u);
    EXPECT_NE(sFirst, sSecond);
    EXPECT_THAT(platform::ToUtf8(sFirst),
                testing::MatchesRegex("C:\\\\Windows\\\\Temp\\\\XML[0-9A-F]{4}\\.TMP"));
    EXPECT_EQ(platform::GetFileAttributes(sFirst.c_str()), platform::FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(platform::GetFileAttributes(sSecond.c_str()), platform::FILE_ATTRIBUTE_NORMAL);

    // A given number only names the file.
    std::u16string sNamed;
    EXPECT_EQ(platform::GetTempFileName(u"C:\\Windows\\Temp", u"AB", 0x1234A, &sNamed), 0x234Au);
    EXPECT_EQ(sNamed, u"C:\\Windows\\Temp\\AB234A.TMP");
    EXPECT_EQ(platform::GetFileAttributes(sNamed.c_str()), platform::INVALID_FILE_ATTRIBUTES);

    EXPECT_EQ(platform::GetTempFileName(u"C:\\No\\Such\\Directory", u"XML", 0, &sNamed), 0u);
    EXPECT_EQ(platform::GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
