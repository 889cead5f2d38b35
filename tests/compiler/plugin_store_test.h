// A plug-in under test reading its inputs from the real settings store, each read through a manager
// of its own as the service's plug-ins get them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "../settings/settings_fixture.h"

namespace compilertest {

template <class TPlugin>
class PluginStoreTest : public settingstest::StoreTest {
public:
    void SetUp() override {
        settingstest::StoreTest::SetUp();
        m_Plugin = std::make_unique<TPlugin>([this](ISettingsManager** ppManager) {
            *ppManager = NewManager().Detach();
            return *ppManager != nullptr ? ZEL_SUCCESS : ZEL_E_STORE_NOT_RUNNING;
        });
        ASSERT_TRUE(m_Plugin->Initialize());
    }
    void TearDown() override {
        m_Plugin->Uninitialize();
        m_Plugin.reset();
    }

    // A key of the store made, given its values by fnWrite, and put.
    void Write(const std::u16string& sKey, const std::function<void(ISettings*)>& fnWrite) {
        CComPtr<ISettings> pKey;
        ASSERT_EQ(m_pMgr->CreateSettings(sKey.c_str(), &pKey), ZEL_SUCCESS);
        fnWrite(pKey.Get());
        ASSERT_EQ(m_pMgr->PutSettings(pKey.Get()), ZEL_SUCCESS);
    }
    void PutDword(const std::u16string& sKey, const char16_t* szName, DWORD dwValue) {
        Write(sKey, [&](ISettings* pKey) { EXPECT_EQ(pKey->PutDword(szName, dwValue), ZEL_SUCCESS); });
    }

protected:
    std::unique_ptr<TPlugin> m_Plugin;
};

}  // namespace compilertest
