// The contract between the configuration compiler and each of its plug-ins: a plug-in hands back its
// share of the configuration as an intermediate configuration, and the base keeps the last one so
// that an unchanged plug-in still contributes to every compilation.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "compiler/error_stack.h"
#include "compiler/intermediate_configuration.h"
#include "platform/com.h"
#include "settings/settings_helpers.h"

// Makes the settings manager a plug-in reads its inputs through; empty means the store's own.
using SettingsManagerFactory = std::function<ZELRESULT(ISettingsManager**)>;

// For the plug-ins' settings readers; a namespace of their own, as local helpers elsewhere share the names.
namespace pluginsettings {

// A new reference for a settings operation that takes one over; null stays null.
inline ISettingsManager* AddRefed(ISettingsManager* pSetMgr) {
    if (pSetMgr != nullptr) {
        pSetMgr->AddRef();
    }
    return pSetMgr;
}

// A settings result as the plug-ins' log lines print it.
inline DWORD Code(ZELRESULT zr) {
    return static_cast<DWORD>(zr);
}

}  // namespace pluginsettings

class CBaseConfigCompilerPlugin {
public:
    explicit CBaseConfigCompilerPlugin(SettingsManagerFactory createSettings = {})
        : m_CreateSettings(std::move(createSettings)) {}
    virtual ~CBaseConfigCompilerPlugin() = default;
    CBaseConfigCompilerPlugin(const CBaseConfigCompilerPlugin&) = delete;
    CBaseConfigCompilerPlugin& operator=(const CBaseConfigCompilerPlugin&) = delete;

    virtual std::u16string GetName() const = 0;

    bool Initialize();
    // *ppIC is the plug-in's most recent IC (kept by the plug-in, may be null); its messages are
    // merged into errorStack. True when the IC is new.
    bool GetIC(bool bCreateNewIC, const CIntermediateConfiguration** ppIC, CErrorStack& errorStack);
    void Uninitialize();

protected:
    virtual bool PluginInitialize() = 0;
    virtual void PluginUninitialize() = 0;
    virtual std::unique_ptr<CIntermediateConfiguration> PluginGetIC(bool bCreateNewIC,
                                                                    CErrorStack& errorStack) = 0;

    // A new reference for a settings operation, which takes it over; null before Initialize.
    ISettingsManager* SettingsManager() { return pluginsettings::AddRefed(m_pSettingsManager.Get()); }

    CSettingsManagerHelper m_SettingsManagerHelper;

private:
    SettingsManagerFactory m_CreateSettings;
    CComPtr<ISettingsManager> m_pSettingsManager;
    std::unique_ptr<CIntermediateConfiguration> m_pLastIC;
    CErrorStack m_LastMessages;
};
