// The POSIX half's own: packages are read by a program of their own, whose absence and misbehaviour
// the service must survive, and whose records must be whole.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/msi.h"
#include "platform/posix/msi_properties.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "support/installer_packages.h"

namespace {

constexpr const char16_t* PACKAGE_PATH = u"C:\\Packages\\listed.msi";

class MsiReaderTest : public testing::Test {
protected:
    void SetUp() override { krelltest::PlaceFile(PACKAGE_PATH, krelltest::PackageBytes("listed.msi")); }
};

TEST_F(MsiReaderTest, WithoutTheReaderProgramTheInstallerServiceFails) {
    const std::string sReader = getenv("KRELL_MSI_READER");
    setenv("KRELL_MSI_READER", "/nonexistent/krellmsiread", 1);
    MSIHANDLE hDatabase = 0;
    MSIHANDLE hPackage = 0;
    const DWORD dwDatabase = platform::MsiOpenDatabase(PACKAGE_PATH, MSIDBOPEN_READONLY, &hDatabase);
    const DWORD dwPackage = platform::MsiOpenPackage(PACKAGE_PATH, &hPackage);
    setenv("KRELL_MSI_READER", sReader.c_str(), 1);
    EXPECT_EQ(dwDatabase, ERROR_INSTALL_SERVICE_FAILURE);
    EXPECT_EQ(dwPackage, ERROR_INSTALL_SERVICE_FAILURE);
}

struct ReaderCase {
    const char* szName;
    const char* szScript;  // the reader's body, as a shell script
    DWORD dwDatabase;      // MsiOpenDatabase
    DWORD dwPackage;       // MsiOpenPackage of the database opened, when it opened
};

// The service trusts nothing the reader does: a reader that crashes, floods its output or stops in the
// middle of a record opens no database, and one that finds no Property table opens a database that is
// no package.
TEST_F(MsiReaderTest, ReadersThatMisbehaveOpenNothing) {
    const std::string sReader = getenv("KRELL_MSI_READER");
    const std::string sScript = platform::RootDirectory() + "/reader.sh";
    const ReaderCase cases[] = {
        {"no Property table", "exit 3", ERROR_SUCCESS, ERROR_INSTALL_PACKAGE_INVALID},
        {"crash", "kill -SEGV $$", ERROR_OPEN_FAILED, 0},
        // One well-formed property whose name is 17,000,000 bytes long.
        {"more than 16 MiB of output",
         "printf '\\100\\146\\003\\001'; head -c 17000000 /dev/zero; printf '\\000\\000\\000\\000'",
         ERROR_OPEN_FAILED, 0},
        {"a record cut short", "printf '\\013\\000\\000\\000Product'", ERROR_OPEN_FAILED, 0},
        {"failure after whole records", "printf '\\000\\000\\000\\000\\000\\000\\000\\000'; exit 2",
         ERROR_OPEN_FAILED, 0},
    };
    for (const ReaderCase& c : cases) {
        std::ofstream(sScript, std::ios::trunc) << "#!/bin/sh\n" << c.szScript << "\n";
        chmod(sScript.c_str(), 0700);
        setenv("KRELL_MSI_READER", sScript.c_str(), 1);
        MSIHANDLE hDatabase = 0;
        const DWORD dwDatabase = platform::MsiOpenDatabase(PACKAGE_PATH, MSIDBOPEN_READONLY, &hDatabase);
        DWORD dwPackage = 0;
        if (dwDatabase == ERROR_SUCCESS) {
            MSIHANDLE hPackage = 0;
            const std::u16string sHandle = u"#" + platform::FromUtf8(std::to_string(hDatabase));
            dwPackage = platform::MsiOpenPackage(sHandle.c_str(), &hPackage);
            platform::MsiCloseHandle(hPackage);
            platform::MsiCloseHandle(hDatabase);
        }
        setenv("KRELL_MSI_READER", sReader.c_str(), 1);
        EXPECT_EQ(dwDatabase, c.dwDatabase) << c.szName;
        EXPECT_EQ(dwPackage, c.dwPackage) << c.szName;
    }
}

struct RecordCase {
    const char* szName;
    std::string sBytes;
    bool bParsed;
    size_t nProperties;
};

std::string Field(std::string_view sText) {
    std::string s;
    platform::posix::AppendMsiRecordField(&s, sText);
    return s;
}

TEST(MsiProperties, OnlyWholeRecordsAreAccepted) {
    const std::string sPair = Field("ProductCode") + Field("{X}");
    const RecordCase cases[] = {
        {"nothing: an empty table", "", true, 0},
        {"one pair", sPair, true, 1},
        {"two pairs", sPair + Field("UpgradeCode") + Field(""), true, 2},
        {"a name without its value", sPair + Field("UpgradeCode"), false, 0},
        {"a length cut short", sPair.substr(0, 2), false, 0},
        {"a text cut short", sPair.substr(0, sPair.size() - 1), false, 0},
        {"a length beyond the end", std::string("\xFF\xFF\xFF\x7F", 4) + "x", false, 0},
    };
    for (const RecordCase& c : cases) {
        platform::posix::CMsiProperties properties;
        EXPECT_EQ(platform::posix::ParseMsiProperties(c.sBytes, &properties), c.bParsed) << c.szName;
        if (c.bParsed) {
            EXPECT_EQ(properties.size(), c.nProperties) << c.szName;
        }
    }
}

}  // namespace
