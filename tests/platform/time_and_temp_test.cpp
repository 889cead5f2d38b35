#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

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
