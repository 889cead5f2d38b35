// Shared set-up of the settings tests: the product directory of the test's root with lcSet.dll in
// it, a manager of the real store, and the debug log read back from its file.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "events/object_loader.h"
#include "platform/file.h"
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

// The debug log of this process, written to drive C with every level and category on.
class DebugLog {
public:
    static void Enable() {
        static bool bConstructed = false;
        if (bConstructed) {
            return;
        }
        bConstructed = true;
        platform::CreateDirectory(u"C:\\Logs");
        CRegistryKey reg;
        const std::u16string sKey =
            std::u16string(CDebugOptions::BASE_KEY) + u"\\" + CUserDebugOutput::OPTIONS_SUB_KEY;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str()));
        ASSERT_TRUE(reg.SetDword(u"DebugType", 1));
        ASSERT_TRUE(reg.SetString(u"Directory", u"C:\\Logs"));
        g_DebugOutput.Construct(u"KRELLSvc", std::nullopt);
        ASSERT_TRUE(g_DebugOutput.HasFile());
    }

    // Every message of the file, without the line prefix.
    static std::vector<std::string> Messages() {
        const std::string sText =
            krelltest::Utf16LeToUtf8(krelltest::ReadFileBytes(u"C:\\Logs\\KRELLSvc.log"));
        std::vector<std::string> messages;
        std::size_t nPos = 0;
        while (nPos < sText.size()) {
            const std::size_t nEnd = sText.find("\r\n", nPos);
            std::string sLine =
                sText.substr(nPos, nEnd == std::string::npos ? std::string::npos : nEnd - nPos);
            // "time : service : process : thread : message"
            std::size_t nField = 0;
            for (int i = 0; i < 4 && nField != std::string::npos; ++i) {
                nField = sLine.find(" : ", nField == 0 ? 0 : nField + 3);
            }
            messages.push_back(nField == std::string::npos ? sLine : sLine.substr(nField + 3));
            if (nEnd == std::string::npos) {
                break;
            }
            nPos = nEnd + 2;
        }
        return messages;
    }

    DebugLog() : m_nMark(Messages().size()) {}
    // The messages written since this object was made.
    std::vector<std::string> New() const {
        auto all = Messages();
        return std::vector<std::string>(
            all.begin() + static_cast<std::ptrdiff_t>(std::min(m_nMark, all.size())), all.end());
    }

private:
    std::size_t m_nMark;
};

}  // namespace settingstest
