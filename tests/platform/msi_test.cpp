// The installer package functions of the seam, over packages wixl built and over files that are no
// packages.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "platform/msi.h"
#include "platform/posix/msi_properties.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "support/installer_packages.h"

namespace {

using krelltest::PackageBytes;
using krelltest::PlaceFile;

constexpr const char16_t* PACKAGE_PATH = u"C:\\Packages\\listed.msi";

class MsiTest : public testing::Test {
protected:
    void SetUp() override { PlaceFile(PACKAGE_PATH, PackageBytes("listed.msi")); }

    // The property of a package opened from an open database, as the install authorization reads it.
    static std::u16string Property(MSIHANDLE hPackage, const char16_t* szName) {
        char16_t szValue[64] = {};
        DWORD cchValue = 64;
        EXPECT_EQ(platform::MsiGetProperty(hPackage, szName, szValue, &cchValue), ERROR_SUCCESS);
        EXPECT_EQ(cchValue, std::u16string(szValue).size());
        return szValue;
    }
};

struct OpenCase {
    const char* szName;
    std::u16string sPath;
    std::string sBytes;  // placed at sPath unless empty
    DWORD dwExpected;
};

TEST_F(MsiTest, OpenDatabaseAnswersThePlatformsCodes) {
    const std::string sPackage = PackageBytes("listed.msi");
    PlaceFile(u"C:\\Packages\\empty.msi", "");
    const OpenCase cases[] = {
        {"package", PACKAGE_PATH, {}, ERROR_SUCCESS},
        {"package in upper case", u"C:\\PACKAGES\\LISTED.MSI", {}, ERROR_SUCCESS},
        {"missing file", u"C:\\Packages\\missing.msi", {}, ERROR_OPEN_FAILED},
        {"folder", u"C:\\Packages", {}, ERROR_OPEN_FAILED},
        {"text file", u"C:\\Packages\\text.msi", "not an installer package\n", ERROR_OPEN_FAILED},
        {"empty file", u"C:\\Packages\\empty.msi", {}, ERROR_OPEN_FAILED},
        {"truncated package", u"C:\\Packages\\truncated.msi", sPackage.substr(0, 1024), ERROR_OPEN_FAILED},
        {"relative path", u"listed.msi", {}, ERROR_BAD_PATHNAME},
        {"UNC path", u"\\\\server\\share\\listed.msi", {}, ERROR_BAD_PATHNAME},
    };
    for (const OpenCase& c : cases) {
        if (!c.sBytes.empty()) {
            PlaceFile(c.sPath, c.sBytes);
        }
        MSIHANDLE hDatabase = 0;
        EXPECT_EQ(platform::MsiOpenDatabase(c.sPath.c_str(), MSIDBOPEN_READONLY, &hDatabase), c.dwExpected)
            << c.szName;
        EXPECT_EQ(hDatabase != 0, c.dwExpected == ERROR_SUCCESS) << c.szName;
        EXPECT_EQ(platform::MsiCloseHandle(hDatabase), ERROR_SUCCESS) << c.szName;
    }
    MSIHANDLE hDatabase = 0;
    EXPECT_EQ(platform::MsiOpenDatabase(PACKAGE_PATH, u"C:\\Packages\\out.msi", &hDatabase),
              ERROR_INVALID_PARAMETER)
        << "only the read-only mode is offered";
    EXPECT_EQ(platform::MsiOpenDatabase(nullptr, MSIDBOPEN_READONLY, &hDatabase), ERROR_INVALID_PARAMETER);
}

TEST_F(MsiTest, PackageOfAnOpenDatabaseAnswersItsProperties) {
    MSIHANDLE hDatabase = 0;
    ASSERT_EQ(platform::MsiOpenDatabase(PACKAGE_PATH, MSIDBOPEN_READONLY, &hDatabase), ERROR_SUCCESS);
    MSIHANDLE hPackage = 0;
    const std::u16string sHandle = u"#" + platform::FromUtf8(std::to_string(hDatabase));
    ASSERT_EQ(platform::MsiOpenPackage(sHandle.c_str(), &hPackage), ERROR_SUCCESS);
    EXPECT_NE(hPackage, hDatabase);
    // The package keeps what it read when the database closes first.
    EXPECT_EQ(platform::MsiCloseHandle(hDatabase), ERROR_SUCCESS);
    EXPECT_EQ(Property(hPackage, u"ProductCode"),
              u"{" + std::u16string(krelltest::LISTED_PRODUCT_CODE) + u"}");
    EXPECT_EQ(Property(hPackage, u"UpgradeCode"),
              u"{" + std::u16string(krelltest::LISTED_UPGRADE_CODE) + u"}");
    EXPECT_EQ(Property(hPackage, u"ProductName"), u"Listed");
    EXPECT_EQ(Property(hPackage, u"NoSuchProperty"), u"");
    EXPECT_EQ(Property(hPackage, u"productcode"), u"") << "property names keep their case";
    EXPECT_EQ(platform::MsiCloseHandle(hPackage), ERROR_SUCCESS);
}

TEST_F(MsiTest, GetPropertyReportsTheLengthAndFillsWhatFits) {
    MSIHANDLE hPackage = 0;
    ASSERT_EQ(platform::MsiOpenPackage(PACKAGE_PATH, &hPackage), ERROR_SUCCESS);
    DWORD cchValue = 0;
    EXPECT_EQ(platform::MsiGetProperty(hPackage, u"ProductCode", nullptr, &cchValue), ERROR_SUCCESS);
    EXPECT_EQ(cchValue, 38u);

    char16_t szValue[39];
    std::fill(std::begin(szValue), std::end(szValue), u'x');
    cchValue = 10;
    EXPECT_EQ(platform::MsiGetProperty(hPackage, u"ProductCode", szValue, &cchValue), ERROR_MORE_DATA);
    EXPECT_EQ(cchValue, 38u);
    EXPECT_EQ(std::u16string(szValue), u"{3F2504E0");

    cchValue = 38;
    EXPECT_EQ(platform::MsiGetProperty(hPackage, u"ProductCode", szValue, &cchValue), ERROR_MORE_DATA)
        << "the terminator needs room too";
    cchValue = 39;
    EXPECT_EQ(platform::MsiGetProperty(hPackage, u"ProductCode", szValue, &cchValue), ERROR_SUCCESS);
    EXPECT_EQ(cchValue, 38u);

    cchValue = 0;
    EXPECT_EQ(platform::MsiGetProperty(hPackage, u"ProductCode", szValue, &cchValue), ERROR_MORE_DATA);
    EXPECT_EQ(platform::MsiGetProperty(hPackage, nullptr, szValue, &cchValue), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(platform::MsiGetProperty(hPackage, u"ProductCode", szValue, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(platform::MsiCloseHandle(hPackage), ERROR_SUCCESS);
}

TEST_F(MsiTest, HandlesThatNameNothingOrTheWrongKindAreRefused) {
    MSIHANDLE hDatabase = 0;
    ASSERT_EQ(platform::MsiOpenDatabase(PACKAGE_PATH, MSIDBOPEN_READONLY, &hDatabase), ERROR_SUCCESS);
    DWORD cchValue = 0;
    EXPECT_EQ(platform::MsiGetProperty(hDatabase, u"ProductCode", nullptr, &cchValue), ERROR_INVALID_HANDLE)
        << "a database is no package";
    MSIHANDLE hPackage = 0;
    const std::u16string sHandle = u"#" + platform::FromUtf8(std::to_string(hDatabase));
    ASSERT_EQ(platform::MsiOpenPackage(sHandle.c_str(), &hPackage), ERROR_SUCCESS);
    const std::u16string sPackageHandle = u"#" + platform::FromUtf8(std::to_string(hPackage));
    MSIHANDLE hOther = 0;
    EXPECT_EQ(platform::MsiOpenPackage(sPackageHandle.c_str(), &hOther), ERROR_INVALID_HANDLE)
        << "a package is no database";
    EXPECT_EQ(platform::MsiCloseHandle(hDatabase), ERROR_SUCCESS);
    EXPECT_EQ(platform::MsiCloseHandle(hDatabase), ERROR_INVALID_HANDLE);
    EXPECT_EQ(platform::MsiOpenPackage(sHandle.c_str(), &hOther), ERROR_INVALID_HANDLE) << "closed";
    EXPECT_EQ(platform::MsiOpenPackage(u"#4294967295", &hOther), ERROR_INVALID_HANDLE);
    EXPECT_EQ(platform::MsiCloseHandle(hPackage), ERROR_SUCCESS);
    EXPECT_EQ(platform::MsiGetProperty(hPackage, u"ProductCode", nullptr, &cchValue), ERROR_INVALID_HANDLE);
    EXPECT_EQ(platform::MsiCloseHandle(0), ERROR_SUCCESS);
    EXPECT_EQ(platform::MsiCloseHandle(0x7FFFFFFF), ERROR_INVALID_HANDLE);
}

TEST_F(MsiTest, OpenPackageByPathAnswersThePackageCodes) {
    PlaceFile(u"C:\\Packages\\text.msi", "not an installer package\n");
    const OpenCase cases[] = {
        {"package", PACKAGE_PATH, {}, ERROR_SUCCESS},
        {"missing file", u"C:\\Packages\\missing.msi", {}, ERROR_INSTALL_PACKAGE_OPEN_FAILED},
        {"text file", u"C:\\Packages\\text.msi", {}, ERROR_INSTALL_PACKAGE_OPEN_FAILED},
        {"relative path", u"listed.msi", {}, ERROR_INSTALL_PACKAGE_OPEN_FAILED},
        {"handle text with a letter", u"#12a", {}, ERROR_INSTALL_PACKAGE_OPEN_FAILED},
    };
    for (const OpenCase& c : cases) {
        MSIHANDLE hPackage = 0;
        EXPECT_EQ(platform::MsiOpenPackage(c.sPath.c_str(), &hPackage), c.dwExpected) << c.szName;
        EXPECT_EQ(platform::MsiCloseHandle(hPackage), ERROR_SUCCESS) << c.szName;
    }
}

TEST_F(MsiTest, WithoutTheReaderProgramTheInstallerServiceFails) {
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
TEST_F(MsiTest, ReadersThatMisbehaveOpenNothing) {
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
