#include "service/installed_apps.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/known_folders.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "service/registry_key.h"

namespace {

void SetString(const char16_t* szKey, const char16_t* szName, const char16_t* szValue) {
    CRegistryKey reg;
    ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, szKey));
    ASSERT_TRUE(reg.SetString(szName, szValue));
}

TEST(CInstalledApps, InstalledAppsValues) {
    struct Case {
        const char16_t* szStored;  // null: value absent
        std::optional<std::u16string> expected;
    };
    const Case cases[] = {
        {u"C:\\Program Files\\Quillon\\KRELL", u"C:\\Program Files\\Quillon\\KRELL"},
        {u"C:\\Program Files\\Quillon\\KRELL\\", u"C:\\Program Files\\Quillon\\KRELL"},
        {u"C:\\Program Files\\Quillon\\KRELL\\\\\\", u"C:\\Program Files\\Quillon\\KRELL"},
        {u"", std::nullopt},
        {u"\\\\", std::nullopt},
        {nullptr, std::nullopt},
    };
    std::u16string sDirectory;
    EXPECT_FALSE(CInstalledApps::GetKTDirectory(&sDirectory));  // no key at all
    for (const auto& c : cases) {
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, CInstalledApps::INSTALLED_APPS_KEY);
        if (c.szStored != nullptr) {
            SetString(CInstalledApps::INSTALLED_APPS_KEY, u"KRELL", c.szStored);
        } else {
            SetString(CInstalledApps::INSTALLED_APPS_KEY, u"Other", u"C:\\Other");
        }
        sDirectory = u"unchanged";
        const bool bFound = CInstalledApps::GetKTDirectory(&sDirectory);
        EXPECT_EQ(bFound, c.expected.has_value()) << platform::ToUtf8(c.szStored ? c.szStored : u"(absent)");
        EXPECT_EQ(sDirectory, c.expected.value_or(u"unchanged"));
    }
}

TEST(CInstalledApps, SharedDirectoryFromShellThenCommonFilesDir) {
    std::u16string sDirectory;
    ASSERT_TRUE(CInstalledApps::GetZelSharedDirectory(&sDirectory));  // the shell's default
    EXPECT_EQ(sDirectory, u"C:\\Program Files\\Common Files\\Quillon Shared");

    SetString(platform::KNOWN_FOLDERS_KEY, u"CSIDL_PROGRAM_FILES_COMMON", u"E:\\Shared\\");
    ASSERT_TRUE(CInstalledApps::GetZelSharedDirectory(&sDirectory));
    EXPECT_EQ(sDirectory, u"E:\\Shared\\Quillon Shared");

    // The shell fails: "CommonFilesDir" decides.
    SetString(platform::KNOWN_FOLDERS_KEY, u"CSIDL_PROGRAM_FILES_COMMON", u"");
    EXPECT_FALSE(CInstalledApps::GetZelSharedDirectory(&sDirectory));
    SetString(CInstalledApps::CURRENT_VERSION_KEY, u"CommonFilesDir", u"D:\\Common Files\\");
    ASSERT_TRUE(CInstalledApps::GetZelSharedDirectory(&sDirectory));
    EXPECT_EQ(sDirectory, u"D:\\Common Files\\Quillon Shared");
    SetString(CInstalledApps::CURRENT_VERSION_KEY, u"CommonFilesDir", u"");
    EXPECT_FALSE(CInstalledApps::GetZelSharedDirectory(&sDirectory));
}

TEST(CInstalledApps, LoomCoreFallsBackToSharedDirectory) {
    std::u16string sDirectory;
    ASSERT_TRUE(CInstalledApps::GetLCDirectory(&sDirectory));
    EXPECT_EQ(sDirectory, u"C:\\Program Files\\Common Files\\Quillon Shared");
    SetString(CInstalledApps::INSTALLED_APPS_KEY, u"Loom Core", u"C:\\Program Files\\Quillon\\Loom Core\\");
    ASSERT_TRUE(CInstalledApps::GetLCDirectory(&sDirectory));
    EXPECT_EQ(sDirectory, u"C:\\Program Files\\Quillon\\Loom Core");
    SetString(CInstalledApps::INSTALLED_APPS_KEY, u"Loom Core", u"");
    SetString(platform::KNOWN_FOLDERS_KEY, u"CSIDL_PROGRAM_FILES_COMMON", u"");
    EXPECT_FALSE(CInstalledApps::GetLCDirectory(&sDirectory));
}

}  // namespace
