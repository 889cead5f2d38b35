// Shared set-up of the settings tests: the product directory of the test's root with lcSet.dll in
// it and a manager of the real store.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "events/object_loader.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "service/installed_apps.h"
#include "service/registry_key.h"
#include "settings/settings_interfaces.h"
#include "support/files.h"
#include "support/test_root.h"

namespace settingstest {

inline constexpr const char16_t* PRODUCT_DIRECTORY = u"C:\\Program Files\\Quillon\\KRELL";

inline std::string HostPath(const std::u16string& sWindowsPath) {
    std::string s;
    EXPECT_TRUE(platform::MapPath(sWindowsPath, &s));
    return s;
}

// Links a library of the build into the product directory under the given name.
inline void PlaceLibrary(const std::string& sBuilt, const char16_t* szName) {
    const std::string sTarget = HostPath(std::u16string(PRODUCT_DIRECTORY) + u"\\" + szName);
    std::error_code ec;
    std::filesystem::remove(sTarget, ec);
    std::filesystem::create_symlink(sBuilt, sTarget, ec);
    ASSERT_FALSE(ec) << ec.message();
}

// The product directory, registered as an installer leaves it, holding lcSet.dll.
inline void InstallProduct() {
    std::error_code ec;
    std::filesystem::create_directories(HostPath(PRODUCT_DIRECTORY), ec);
    CRegistryKey reg;
    ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, CInstalledApps::INSTALLED_APPS_KEY));
    ASSERT_TRUE(reg.SetString(u"KRELL", PRODUCT_DIRECTORY));
    PlaceLibrary(krelltest::ProgramPath("lcSet.dll"), u"lcSet.dll");
}

inline std::string StorePath() {
    return platform::RootDirectory() + "/settings.db";
}

// Tests of one program share a root when run in one process: each starts with an empty store.
inline void RemoveStore() {
    std::error_code ec;
    for (const char* szSuffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(StorePath() + szSuffix, ec);
    }
}

// A manager of the real store, through the system's object loader.
class StoreTest : public testing::Test {
protected:
    void SetUp() override {
        InstallProduct();
        RemoveStore();
        ASSERT_EQ(m_Loader.Load(u"lcSet.dll"), ZEL_SUCCESS);
        m_pMgr = NewManager();
        ASSERT_TRUE(m_pMgr);
    }

    CComPtr<ISettingsManager> NewManager() {
        CComPtr<ISettingsManager> pMgr;
        EXPECT_EQ(m_Loader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager,
                                        reinterpret_cast<void**>(&pMgr)),
                  ZEL_SUCCESS);
        return pMgr;
    }

    // An added reference, for the helpers that take one over.
    ISettingsManager* Ref() {
        m_pMgr->AddRef();
        return m_pMgr.Get();
    }

    CObjectLoader m_Loader;
    CComPtr<ISettingsManager> m_pMgr;  // released before the loader frees the library
};

}  // namespace settingstest
