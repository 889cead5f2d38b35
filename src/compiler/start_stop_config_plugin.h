// The protection switches of the settings store, compiled into the driver's configuration words and
// the protection rule values, or into a shutdown node when the protection is off altogether.
#pragma once

#include "compiler/config_compiler_plugin.h"

namespace GatewardenEvt {

// The switches as one consistent set: LoadData reads them and reconciles the global flag with the
// protection state the module last recorded.
class CInternalGatewardenConfigEventImpl {
public:
    static constexpr BYTE VALID_FILE = 0x01;
    static constexpr BYTE VALID_PROCESS = 0x02;
    static constexpr BYTE VALID_REGISTRY = 0x04;
    static constexpr BYTE VALID_TEMP_DISABLE = 0x08;
    static constexpr BYTE VALID_GLOBAL = 0x10;
    static constexpr BYTE VALID_STATE = 0x20;

    // Each operation takes over the caller's reference to the manager.
    bool IsDirtyBitSet(ISettingsManager* pSetMgr);
    void ClearDirtyBit(ISettingsManager* pSetMgr);
    bool LoadData(ISettingsManager* pSetMgr);
    bool ShouldShutDown() const;

    HRESULT GetFileProtectState(DWORD* pdwState) const { return Get(VALID_FILE, m_dwFileState, pdwState); }
    HRESULT GetRegProtectState(DWORD* pdwState) const { return Get(VALID_REGISTRY, m_dwRegState, pdwState); }
    HRESULT GetProcessProtectState(DWORD* pdwState) const {
        return Get(VALID_PROCESS, m_dwProcessState, pdwState);
    }
    HRESULT IsTemporarilyDisabled(bool* pbDisabled) const;
    HRESULT GetTempDisableMinutes(DWORD* pdwMinutes) const {
        return Get(VALID_TEMP_DISABLE, m_dwTempMinutes, pdwMinutes);
    }
    bool IsGloballyEnabled() const { return m_bGlobalEnabled; }

private:
    HRESULT Get(BYTE bBit, DWORD dwValue, DWORD* pdwValue) const;

    DWORD m_dwFileState = 0;
    DWORD m_dwProcessState = 0;
    DWORD m_dwRegState = 0;
    DWORD m_dwTempMinutes = 0;
    bool m_bGlobalEnabled = false;
    BYTE m_bValid = 0;
};

}  // namespace GatewardenEvt

class CStartStopConfigPlugin : public CBaseConfigCompilerPlugin {
public:
    static constexpr DWORD RULE_SET_TYPE = 2;
    static constexpr DWORD RULE_FILE_PROTECTION = 16;
    static constexpr DWORD RULE_REGISTRY_PROTECTION = 17;
    static constexpr DWORD RULE_PROCESS_PROTECTION = 18;
    static constexpr DWORD RULE_DISABLED_UNTIL = 19;

    using CBaseConfigCompilerPlugin::CBaseConfigCompilerPlugin;
    std::u16string GetName() const override { return u"StartStopConfigPlugin"; }

protected:
    bool PluginInitialize() override { return true; }
    void PluginUninitialize() override {}
    std::unique_ptr<CIntermediateConfiguration> PluginGetIC(bool bCreateNewIC,
                                                            CErrorStack& errorStack) override;
};
