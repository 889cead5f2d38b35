#include "compiler/config_compiler_plugin.h"

#include "diagnostics/user_debug_output.h"

bool CBaseConfigCompilerPlugin::Initialize() {
    ISettingsManager* pManager = nullptr;
    const ZELRESULT zr =
        m_CreateSettings ? m_CreateSettings(&pManager) : m_SettingsManagerHelper.Create(&pManager);
    if (!ZEL_SUCCEEDED(zr) || pManager == nullptr) {
        DebugOut1(
            DBG_CAT_COMPILER,
            u"CBaseConfigCompilerPlugin::Initialize() - m_SettingsManagerHelper.Create() failed (0x%08X).\n",
            static_cast<DWORD>(zr));
        return false;
    }
    m_pSettingsManager = CComPtr<ISettingsManager>::Attach(pManager);
    if (!PluginInitialize()) {
        m_pSettingsManager.Release();
        DebugOut1(DBG_CAT_COMPILER, u"CBaseConfigCompilerPlugin::Initialize() - PluginInitialize failed");
        return false;
    }
    return true;
}

bool CBaseConfigCompilerPlugin::GetIC(bool bCreateNewIC, const CIntermediateConfiguration** ppIC,
                                      CErrorStack& errorStack) {
    CErrorStack local;
    std::unique_ptr<CIntermediateConfiguration> pIC = PluginGetIC(bCreateNewIC, local);
    if (!pIC) {
        *ppIC = m_pLastIC.get();
        errorStack.Merge(m_LastMessages);
        return false;
    }
    m_pLastIC = std::move(pIC);
    *ppIC = m_pLastIC.get();
    m_LastMessages = std::move(local);
    errorStack.Merge(m_LastMessages);
    return true;
}

void CBaseConfigCompilerPlugin::Uninitialize() {
    PluginUninitialize();
    m_pSettingsManager.Release();
    m_pLastIC.reset();
}
