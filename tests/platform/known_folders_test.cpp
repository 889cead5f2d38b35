// The shell's folders and the system's version as any machine answers them; what a machine root's
// overrides do is tested with their callers (the known-folder cache, the installed applications).
#include "platform/known_folders.h"

#include <gtest/gtest.h>

#include <utility>

#include "platform/file.h"
#include "platform/strings.h"

namespace {

TEST(KnownFolders, EachIsAnAbsolutePathInsideItsParent) {
    struct Case {
        int nCsidl;
        int nParent;  // 0: none
    };
    const Case cases[] = {
        {platform::CSIDL_WINDOWS, 0},
        {platform::CSIDL_SYSTEM, platform::CSIDL_WINDOWS},
        {platform::CSIDL_PROGRAM_FILES, 0},
        {platform::CSIDL_PROGRAM_FILES_COMMON, platform::CSIDL_PROGRAM_FILES},
        {platform::CSIDL_APPDATA, 0},
        {platform::CSIDL_COMMON_APPDATA, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nCsidl);
        std::u16string sPath = u"unchanged";
        ASSERT_TRUE(platform::SHGetSpecialFolderPath(c.nCsidl, &sPath, false));
        ASSERT_GE(sPath.size(), 4u) << platform::ToUtf8(sPath);
        EXPECT_EQ(sPath.substr(1, 2), u":\\") << platform::ToUtf8(sPath);
        EXPECT_NE(sPath.back(), u'\\') << platform::ToUtf8(sPath);
        if (c.nParent != 0) {
            std::u16string sParent;
            ASSERT_TRUE(platform::SHGetSpecialFolderPath(c.nParent, &sParent, false));
            EXPECT_TRUE(platform::EqualNoCase(sPath.substr(0, sParent.size() + 1), sParent + u"\\"))
                << platform::ToUtf8(sPath) << " in " << platform::ToUtf8(sParent);
        }
    }
    std::u16string sPath;
    EXPECT_FALSE(platform::SHGetSpecialFolderPath(0x7FFF, &sPath, false));
}

TEST(KnownFolders, AskedToCreateTheFolderExistsAfterwards) {
    std::u16string sPath;
    ASSERT_TRUE(platform::SHGetSpecialFolderPath(platform::CSIDL_COMMON_APPDATA, &sPath, true));
    const DWORD dwAttributes = platform::GetFileAttributes(sPath.c_str());
    ASSERT_NE(dwAttributes, platform::INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(dwAttributes & platform::FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// The version query may understate the system's version (the platform answers older callers an older
// one), never overstate it.
TEST(OsVersion, TheQueryNeverAnswersALaterVersionThanTheSystems) {
    DWORD dwMajor = 0;
    DWORD dwMinor = 0;
    ASSERT_TRUE(platform::GetVersionEx(&dwMajor, &dwMinor));
    DWORD dwSystemMajor = 0;
    DWORD dwSystemMinor = 0;
    platform::GetVersion(&dwSystemMajor, &dwSystemMinor);
    EXPECT_GE(dwMajor, 5u);
    EXPECT_LE(std::make_pair(dwMajor, dwMinor), std::make_pair(dwSystemMajor, dwSystemMinor));
}

}  // namespace
