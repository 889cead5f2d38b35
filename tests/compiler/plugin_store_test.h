// A plug-in under test reading its inputs from the real settings store, each read through a manager
// of its own as the service's plug-ins get them.
#pragma once

#include <memory>

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

protected:
    std::unique_ptr<TPlugin> m_Plugin;
};

}  // namespace compilertest
