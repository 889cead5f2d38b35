// The installer packages wixl builds for the tests (tests/module/packages), and files of any bytes put
// at Windows-form paths of the test's root.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/paths.h"
#include "support/files.h"

namespace krelltest {

// ProductCode and UpgradeCode of listed.msi, ProductCode of noupgrade.msi (which has no UpgradeCode).
inline constexpr const char16_t* LISTED_PRODUCT_CODE = u"3F2504E0-4F89-11D3-9A0C-0305E82C3301";
inline constexpr const char16_t* LISTED_UPGRADE_CODE = u"6BA7B810-9DAD-11D1-80B4-00C04FD430C8";
inline constexpr const char16_t* NOUPGRADE_PRODUCT_CODE = u"D2E1F7A0-1234-4ABC-9DEF-0123456789AB";

inline std::string PackageBytes(const char* szName) {
    const std::string sBytes = ReadText(std::string(KRELL_TEST_PACKAGE_DIR) + "/" + szName);
    EXPECT_FALSE(sBytes.empty()) << szName << " was not built";
    return sBytes;
}

// Writes the bytes at the path, creating its folders.
inline void PlaceFile(const std::u16string& sWindowsPath, const std::string& sBytes) {
    std::string sHostPath;
    ASSERT_TRUE(platform::MapPath(sWindowsPath, &sHostPath));
    std::filesystem::create_directories(std::filesystem::path(sHostPath).parent_path());
    std::ofstream(sHostPath, std::ios::binary | std::ios::trunc) << sBytes;
}

}  // namespace krelltest
