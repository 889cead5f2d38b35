#include "platform/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/file.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

TEST(Paths, DrivesAndDevicesMapIntoTheRoot) {
    const std::string& sRoot = platform::RootDirectory();
    struct Case {
        std::u16string sWindows;
        std::string sPosix;
    };
    const Case cases[] = {
        {u"C:\\Program Files\\Quillon\\KRELL", sRoot + "/drive_c/Program Files/Quillon/KRELL"},
        {u"c:/mixed/separators\\here", sRoot + "/drive_c/mixed/separators/here"},
        {u"D:\\", sRoot + "/drive_d"},
        {u"C:\\a\\.\\b\\..\\c", sRoot + "/drive_c/a/c"},
        {u"C:\\..\\..\\escape", sRoot + "/drive_c/escape"},  // never above the drive
        {u"\\KRELLSvc.log", sRoot + "/drive_c/KRELLSvc.log"},
        {u"\\\\.\\KTDRVCHANNEL", sRoot + "/dev/KTDRVCHANNEL"},
        {u"Z:\\usr\\bin", "/usr/bin"},
        {u"z:\\", "/"},
    };
    for (const auto& c : cases) {
        std::string sPosix;
        ASSERT_TRUE(platform::MapPath(c.sWindows, &sPosix));
        EXPECT_EQ(sPosix, c.sPosix);
    }
}

std::u16string Backslashed(std::u16string s) {
    std::replace(s.begin(), s.end(), u'/', u'\\');
    return s;
}

TEST(Paths, PosixPathsGetTheirDrive) {
    const std::string& sRoot = platform::RootDirectory();
    struct Case {
        std::string sPosix;
        std::u16string sWindows;
    };
    const Case cases[] = {
        {sRoot + "/drive_c/Program Files/KRELL", u"C:\\Program Files\\KRELL"},
        {sRoot + "/drive_d", u"D:\\"},
        {sRoot + "/drive_cc/x", Backslashed(u"Z:" + platform::FromUtf8(sRoot) + u"/drive_cc/x")},
        {"/usr/bin/env", u"Z:\\usr\\bin\\env"},
    };
    for (const auto& c : cases) {
        const std::u16string sWindows = platform::WindowsPathOf(c.sPosix);
        EXPECT_EQ(platform::ToUtf8(sWindows), platform::ToUtf8(c.sWindows));
        std::string sBack;
        ASSERT_TRUE(platform::MapPath(sWindows, &sBack));
        EXPECT_EQ(sBack, c.sPosix);
    }
    std::u16string sSelf;
    ASSERT_TRUE(platform::GetModuleFileName(&sSelf));
    EXPECT_TRUE(sSelf.starts_with(u"Z:\\")) << platform::ToUtf8(sSelf);
}

TEST(Paths, RejectsPathsItCannotPlace) {
    struct Case {
        std::u16string sWindows;
        DWORD dwError;
    };
    const Case cases[] = {
        {u"relative\\path", ERROR_BAD_PATHNAME},
        {u"C:relative", ERROR_BAD_PATHNAME},
        {u"\\\\server\\share\\file", ERROR_BAD_PATHNAME},
        {u"", ERROR_BAD_PATHNAME},
        {u"C:\\" + std::u16string(300, u'x'), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        std::string sPosix;
        EXPECT_FALSE(platform::MapPath(c.sWindows, &sPosix));
        EXPECT_EQ(platform::GetLastError(), c.dwError);
    }
}

TEST(Paths, ExistingNamesAreFoundWhateverTheirCase) {
    const std::string sDir = platform::DriveDirectory(u'C') + "/Program Files/Quillon";
    std::filesystem::create_directories(sDir);
    std::ofstream(sDir + "/KRELLDrv.sys") << "driver";
    std::string sPosix;
    ASSERT_TRUE(platform::MapPath(u"c:\\PROGRAM FILES\\quillon\\krelldrv.SYS", &sPosix));
    EXPECT_EQ(sPosix, sDir + "/KRELLDrv.sys");
    // A missing name keeps the caller's spelling below the existing part.
    ASSERT_TRUE(platform::MapPath(u"C:\\program files\\NewDir\\File.txt", &sPosix));
    EXPECT_EQ(sPosix, platform::DriveDirectory(u'C') + "/Program Files/NewDir/File.txt");
}

TEST(Files, CreateDispositionsAndErrors) {
    ASSERT_TRUE(platform::CreateDirectory(u"C:\\Data"));
    EXPECT_FALSE(platform::CreateDirectory(u"C:\\Data"));
    EXPECT_EQ(platform::GetLastError(), ERROR_ALREADY_EXISTS);

    HANDLE hFile = platform::CreateFile(u"C:\\Data\\f.bin", GENERIC_WRITE, 0, platform::CREATE_NEW,
                                        platform::FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    DWORD dwWritten = 0;
    ASSERT_TRUE(platform::WriteFile(hFile, "abcdef", 6, &dwWritten));
    EXPECT_EQ(dwWritten, 6u);
    ASSERT_TRUE(platform::FlushFileBuffers(hFile));
    ASSERT_TRUE(platform::CloseHandle(hFile));
    EXPECT_FALSE(platform::WriteFile(hFile, "x", 1, &dwWritten));  // closed handle
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(platform::CreateFile(u"C:\\Data\\F.BIN", GENERIC_WRITE, 0, platform::CREATE_NEW, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(platform::CreateFile(u"C:\\Data\\none.bin", GENERIC_READ, 0, platform::OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(platform::CreateFile(u"C:\\NoDir\\x.bin", GENERIC_WRITE, 0, platform::CREATE_ALWAYS, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_PATH_NOT_FOUND);

    // OPEN_ALWAYS on an existing file reports it, and writes go where the pointer is.
    hFile = platform::CreateFile(u"c:\\data\\F.bin", GENERIC_READ | GENERIC_WRITE, platform::FILE_SHARE_READ,
                                 platform::OPEN_ALWAYS, 0);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_ALREADY_EXISTS);
    LONGLONG llPos = -1;
    ASSERT_TRUE(platform::SetFilePointerEx(hFile, 0, &llPos, platform::FILE_END));
    EXPECT_EQ(llPos, 6);
    ASSERT_TRUE(platform::WriteFile(hFile, "gh", 2, &dwWritten));
    ASSERT_TRUE(platform::SetFilePointerEx(hFile, 4, nullptr, platform::FILE_BEGIN));
    char buffer[16] = {};
    DWORD dwRead = 0;
    ASSERT_TRUE(platform::ReadFile(hFile, buffer, sizeof(buffer), &dwRead));
    EXPECT_EQ(std::string(buffer, dwRead), "efgh");
    LONGLONG llSize = 0;
    ASSERT_TRUE(platform::GetFileSizeEx(hFile, &llSize));
    EXPECT_EQ(llSize, 8);
    ASSERT_TRUE(platform::CloseHandle(hFile));

    EXPECT_EQ(platform::GetFileAttributes(u"C:\\DATA"), platform::FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(platform::DeleteFile(u"C:\\Data\\f.bin"));
    EXPECT_EQ(platform::GetFileAttributes(u"C:\\Data\\f.bin"), platform::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Files, ListFilesNamesTheFilesButNotTheFolders) {
    ASSERT_TRUE(platform::CreateDirectory(u"C:\\Listed"));
    ASSERT_TRUE(platform::CreateDirectory(u"C:\\Listed\\Sub.kc"));
    for (const char16_t* szPath : {u"C:\\Listed\\a.kc", u"C:\\Listed\\B.txt"}) {
        HANDLE hFile = platform::CreateFile(szPath, GENERIC_WRITE, 0, platform::CREATE_NEW, 0);
        ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
        platform::CloseHandle(hFile);
    }
    std::vector<std::u16string> names{u"left from before"};
    ASSERT_TRUE(platform::ListFiles(u"c:\\listed", &names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"B.txt", u"a.kc"}));

    EXPECT_FALSE(platform::ListFiles(u"C:\\Listed\\none", &names));
    EXPECT_EQ(platform::GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
