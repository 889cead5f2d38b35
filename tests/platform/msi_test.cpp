// The installer package functions of the seam, over packages wixl built and over files that are no
// packages.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/msi.h"
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

}  // namespace
