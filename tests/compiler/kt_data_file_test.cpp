#include "compiler/kt_data_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "kcfile/kc_reader.h"
#include "kcfile/kc_writer.h"
#include "platform/paths.h"
#include "support/debug_log.h"
#include "support/files.h"

namespace {

std::vector<BYTE> FromHex(const std::string& s) {
    std::vector<BYTE> bytes;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<BYTE> ReadBack(const WCHAR* szPath) {
    CFile file;
    EXPECT_TRUE(file.Create(szPath, GENERIC_READ, platform::FILE_SHARE_READ, platform::OPEN_EXISTING,
                            platform::FILE_ATTRIBUTE_NORMAL));
    std::vector<BYTE> bytes;
    BYTE buffer[4096];
    DWORD cbRead = 0;
    while (file.Read(buffer, sizeof(buffer), cbRead) && cbRead != 0) {
        bytes.insert(bytes.end(), buffer, buffer + cbRead);
    }
    return bytes;
}

TEST(KTDataFileTest, OneFiveByteSectionMatchesGoldenBytes) {
    // Built by an independent model of the format and cipher.
    const std::vector<BYTE> golden = FromHex(
        "5A454C42010000001B12FE3FEE066A6984D7CD49E9CEC007DFAE681101000000"
        "0201000040000000240000006B0598B787E9362C7A7667E4569E92064904E347"
        "02010000050000006B0598B787E9362C7A7667E4569E92064904E3475B7854A273AA8CA1");
    CKTDataFile file;
    ASSERT_EQ(file.Open(u"C:\\one.kc"), KTDATAFILE_S_OK);
    EXPECT_TRUE(file.IsOpen());
    const BYTE data[] = {'A', 'B', 'C', 'D', 'E'};
    ASSERT_EQ(file.AddSection(0x102, data, sizeof(data)), KTDATAFILE_S_OK);
    ASSERT_EQ(file.Close(), KTDATAFILE_S_OK);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadBack(u"C:\\one.kc"), golden);
    // The object is closed now; a second commit is refused.
    EXPECT_EQ(file.Close(), KTDATAFILE_E_NOTOPEN);
}

// Whatever the lengths and the order of adding, the file on disk is the format's image of the
// sections (sorted by id, zero pad bytes) and the reader accepts it.
TEST(KTDataFileTest, WritesTheFormatsImageForAnyLengthsAndOrder) {
    struct Case {
        const char* szName;
        std::vector<std::pair<DWORD, std::size_t>> sections;  // id and data length, in adding order
    };
    const Case CASES[] = {
        {"empty section", {{0x102, 0}}},
        {"eight bytes, no padding", {{0x201, 8}}},
        {"added out of order", {{0x202, 3}, {0x102, 16}, {0x201, 9}}},
        {"ids compared unsigned", {{0x80000000, 1}, {0x7FFFFFFF, 2}, {0, 7}}},
        {"every pad length", {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 15}, {9, 17}}},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.szName);
        std::vector<std::vector<BYTE>> buffers;
        std::vector<kcfile::KCSectionInput> inputs;
        for (const auto& [dwId, cb] : c.sections) {
            std::vector<BYTE> data(cb);
            for (std::size_t i = 0; i < cb; ++i) {
                data[i] = static_cast<BYTE>(dwId * 31 + i);
            }
            buffers.push_back(std::move(data));
        }
        CKTDataFile file;
        ASSERT_EQ(file.Open(u"C:\\image.kc", platform::CREATE_ALWAYS), KTDATAFILE_S_OK);
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            const std::vector<BYTE> before = buffers[i];
            ASSERT_EQ(file.AddSection(c.sections[i].first, buffers[i].data(),
                                      static_cast<DWORD>(buffers[i].size())),
                      KTDATAFILE_S_OK);
            EXPECT_EQ(buffers[i], before) << "the caller's buffer must stay untouched";
            inputs.push_back({c.sections[i].first, buffers[i]});
        }
        ASSERT_EQ(file.Close(), KTDATAFILE_S_OK);
        const std::vector<BYTE> written = ReadBack(u"C:\\image.kc");
        EXPECT_EQ(written, kcfile::BuildKCImage(inputs));
        const kcfile::KCFileInfo info = kcfile::ReadKCFile(written);
        ASSERT_TRUE(info.IsValid());
        ASSERT_EQ(info.sections.size(), c.sections.size());
        for (std::size_t i = 1; i < info.sections.size(); ++i) {
            EXPECT_LT(info.sections[i - 1].dwId, info.sections[i].dwId);
        }
    }
}

TEST(KTDataFileTest, CloseWithoutSectionsFailsAndClosesTheFile) {
    CKTDataFile file;
    ASSERT_EQ(file.Open(u"C:\\empty.kc"), KTDATAFILE_S_OK);
    EXPECT_EQ(file.Close(), KTDATAFILE_E_FAIL);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Close(), KTDATAFILE_E_NOTOPEN);
    // Nothing valid was written: no header.
    EXPECT_FALSE(kcfile::ReadKCFile(ReadBack(u"C:\\empty.kc")).IsValid());
}

TEST(KTDataFileTest, OpenFailsWhereNoFileCanBeCreated) {
    CKTDataFile file;
    EXPECT_EQ(file.Open(u"C:\\no such folder\\x.kc"), KTDATAFILE_E_FAIL);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Close(), KTDATAFILE_E_NOTOPEN);
}

// A KC file's name may be the one the driver has loaded: by default Open leaves an existing file
// untouched and fails, and only an explicit CREATE_ALWAYS replaces it.
TEST(KTDataFileTest, OpenCreatesNewFilesUnlessToldToReplace) {
    const std::vector<BYTE> big(4000, 0xAB);
    const BYTE small[] = {1};
    {
        CKTDataFile file;
        ASSERT_EQ(file.Open(u"C:\\replace.kc"), KTDATAFILE_S_OK);
        ASSERT_EQ(file.AddSection(0x201, big.data(), static_cast<DWORD>(big.size())), KTDATAFILE_S_OK);
        ASSERT_EQ(file.Close(), KTDATAFILE_S_OK);
    }
    const std::vector<BYTE> written = ReadBack(u"C:\\replace.kc");
    {
        CKTDataFile file;
        EXPECT_EQ(file.Open(u"C:\\replace.kc"), KTDATAFILE_E_FAIL);
        EXPECT_FALSE(file.IsOpen());
    }
    EXPECT_EQ(ReadBack(u"C:\\replace.kc"), written);
    {
        CKTDataFile file;
        ASSERT_EQ(file.Open(u"C:\\replace.kc", platform::CREATE_ALWAYS), KTDATAFILE_S_OK);
        ASSERT_EQ(file.AddSection(0x201, small, 1), KTDATAFILE_S_OK);
        ASSERT_EQ(file.Close(), KTDATAFILE_S_OK);
    }
    EXPECT_EQ(ReadBack(u"C:\\replace.kc").size(), 100u);
}

TEST(KTDataFileTest, DestructorCommitsAnOpenFile) {
    {
        CKTDataFile file;
        ASSERT_EQ(file.Open(u"C:\\dtor.kc"), KTDATAFILE_S_OK);
        const BYTE data[] = {9, 8, 7};
        ASSERT_EQ(file.AddSection(0x401, data, sizeof(data)), KTDATAFILE_S_OK);
    }
    const kcfile::KCFileInfo info = kcfile::ReadKCFile(ReadBack(u"C:\\dtor.kc"));
    ASSERT_TRUE(info.IsValid());
    EXPECT_EQ(info.sections[0].data, (std::vector<BYTE>{9, 8, 7}));
}

TEST(KTDataFileTest, FailuresAreLoggedWithTheirCodes) {
    const krelltest::CDebugLog logEmpty;
    {
        CKTDataFile file;
        ASSERT_EQ(file.Open(u"C:\\log-empty.kc"), KTDATAFILE_S_OK);
        EXPECT_EQ(file.Close(), KTDATAFILE_E_FAIL);
    }
    std::string sLines = logEmpty.Since();
    EXPECT_NE(sLines.find("CKTDataFile::WriteFile(): No data sections added!\r\n"), std::string::npos)
        << sLines;
    EXPECT_NE(sLines.find("CKTDataFile::Close(): WriteFile() failed (0x8001FFFF).\r\n"), std::string::npos)
        << sLines;

    const krelltest::CDebugLog logMissing;
    {
        CKTDataFile file;
        EXPECT_EQ(file.Open(u"C:\\no such folder\\x.kc"), KTDATAFILE_E_FAIL);
    }
    sLines = logMissing.Since();
    EXPECT_NE(sLines.find("CKTDataFile::Open(): Error opening \"C:\\no such folder\\x.kc\": GetLastError() "
                          "returned 0x0000000"),
              std::string::npos)
        << sLines;

    // A file whose every write fails: the first record's write is reported with the section id and
    // the system error, and no header follows.
    std::string sPosix;
    ASSERT_TRUE(platform::MapPath(u"C:\\full.kc", &sPosix));
    ASSERT_EQ(symlink("/dev/full", sPosix.c_str()), 0);
    const krelltest::CDebugLog logFull;
    {
        CKTDataFile file;
        ASSERT_EQ(file.Open(u"C:\\full.kc", platform::CREATE_ALWAYS), KTDATAFILE_S_OK);
        const BYTE data[] = {1, 2, 3};
        ASSERT_EQ(file.AddSection(0x202, data, sizeof(data)), KTDATAFILE_S_OK);
        ASSERT_EQ(file.AddSection(0x102, data, sizeof(data)), KTDATAFILE_S_OK);
        EXPECT_EQ(file.Close(), KTDATAFILE_E_FAIL);
        EXPECT_FALSE(file.IsOpen());
    }
    sLines = logFull.Since();
    EXPECT_NE(sLines.find("CKTDataFile::WriteFile(): section (258) write operation failed (0x00000070).\r\n"),
              std::string::npos)
        << sLines;
    EXPECT_EQ(sLines.find("data header write operation failed"), std::string::npos) << sLines;
    EXPECT_NE(sLines.find("CKTDataFile::Close(): WriteFile() failed (0x8001FFFF).\r\n"), std::string::npos)
        << sLines;
    unlink(sPosix.c_str());
}

}  // namespace
