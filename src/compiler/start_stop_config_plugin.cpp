#include "compiler/start_stop_config_plugin.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

#include "compiler/ic_nodes.h"
#include "diagnostics/user_debug_output.h"
#include "module/ktums_module.h"
#include "platform/system.h"

namespace {

using pluginsettings::AddRefed;

constexpr const char16_t* GW_STATES_KEY = u"GATEWARDEN\\PRIVATE\\GWStates";
constexpr const char16_t* GW_PRIVATE_KEY = u"GATEWARDEN\\PRIVATE";
constexpr HRESULT VALUE_OK = 0x00010000;
constexpr HRESULT VALUE_INVALID = static_cast<HRESULT>(0x80010203);
constexpr ULONGLONG FILETIME_UNIX_EPOCH = 116444736000000000ULL;
constexpr ULONGLONG FILETIME_PER_SECOND = 10000000ULL;

// Reads one DWORD of the switches; the caller's reference goes to the helper.
bool ReadDword(ISettingsManager* pSetMgr, const char16_t* szKey, const char16_t* szName, DWORD dwDefault,
               DWORD* pdwValue) {
    *pdwValue = dwDefault;
    const ZELRESULT zr = CLcSettingsHelper::GetDword(pSetMgr, szKey, szName, pdwValue, &dwDefault);
    if (!ZEL_SUCCEEDED(zr)) {
        *pdwValue = dwDefault;
        return false;
    }
    return true;
}

ULONGLONG NowAsFileTime() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return FILETIME_UNIX_EPOCH +
           static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

}  // namespace

namespace GatewardenEvt {

HRESULT CInternalGatewardenConfigEventImpl::Get(BYTE bBit, DWORD dwValue, DWORD* pdwValue) const {
    if ((m_bValid & bBit) == 0) {
        return VALUE_INVALID;
    }
    *pdwValue = dwValue;
    return VALUE_OK;
}

HRESULT CInternalGatewardenConfigEventImpl::IsTemporarilyDisabled(bool* pbDisabled) const {
    if ((m_bValid & VALID_TEMP_DISABLE) == 0) {
        return VALUE_INVALID;
    }
    *pbDisabled = m_dwTempMinutes != 0;
    return VALUE_OK;
}

bool CInternalGatewardenConfigEventImpl::IsDirtyBitSet(ISettingsManager* pSetMgr) {
    DWORD dwDirty = 0;
    if (!ReadDword(pSetMgr, GW_STATES_KEY, u"RefreshNeeded", 0, &dwDirty)) {
        DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                  u"GatewardenEvt::CInternalGatewardenConfigEventImpl::IsDirtyBitSet - GetDword(DIRTY_BIT) "
                  u"failed\n");
        return false;
    }
    return dwDirty != 0;
}

void CInternalGatewardenConfigEventImpl::ClearDirtyBit(ISettingsManager* pSetMgr) {
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::PutDword(pSetMgr, GW_STATES_KEY, u"RefreshNeeded", 0))) {
        DebugOut2(DBG_CAT_START_STOP_PLUGIN,
                  u"GatewardenEvt::CInternalGatewardenConfigEventImpl::ClearDirtyBit - PutDword(DIRTY_BIT) "
                  u"failed\n");
    }
}

bool CInternalGatewardenConfigEventImpl::LoadData(ISettingsManager* pSetMgr) {
    CComPtr<ISettingsManager> pHeld = CComPtr<ISettingsManager>::Attach(pSetMgr);
    m_bValid = VALID_FILE | VALID_PROCESS | VALID_REGISTRY | VALID_TEMP_DISABLE | VALID_GLOBAL | VALID_STATE;

    DWORD dwGlobal = 1;
    if (!ReadDword(AddRefed(pSetMgr), GW_STATES_KEY, u"GWGlobalState", 1, &dwGlobal)) {
        DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                  u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - GetDword(GLOBAL_ENABLED) "
                  u"failed\n");
        dwGlobal = 1;
    }
    m_bGlobalEnabled = dwGlobal != 0;

    if (!ReadDword(AddRefed(pSetMgr), GW_STATES_KEY, u"FileProtectState", 1, &m_dwFileState)) {
        DebugOut1(
            DBG_CAT_START_STOP_PLUGIN,
            u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - GetDword(FILE_PROTECT_STATE) "
            u"failed\n");
    }
    if (!ReadDword(AddRefed(pSetMgr), GW_STATES_KEY, u"RegProtectState", 1, &m_dwRegState)) {
        DebugOut1(
            DBG_CAT_START_STOP_PLUGIN,
            u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - GetDword(REGISTRY_PROTECT_STATE) "
            u"failed\n");
    }
    if (!ReadDword(AddRefed(pSetMgr), GW_STATES_KEY, u"ProcessProtectState", 1, &m_dwProcessState)) {
        DebugOut1(
            DBG_CAT_START_STOP_PLUGIN,
            u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - GetDword(PROCESS_PROTECT_STATE) "
            u"failed\n");
    }
    const bool bAnyOn = m_dwFileState != 0 || m_dwRegState != 0 || m_dwProcessState != 0;
    if (m_bGlobalEnabled && !bAnyOn) {
        DebugOut3(
            DBG_CAT_START_STOP_PLUGIN,
            u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - GW is disabled since all of its "
            u"protection was turned off\n");
        m_bGlobalEnabled = false;
    }

    DWORD dwState = GW_STATE_ERROR_UNKNOWN;
    if (!ReadDword(AddRefed(pSetMgr), GW_PRIVATE_KEY, u"CurrentState", GW_STATE_ERROR_UNKNOWN, &dwState)) {
        DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                  u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - "
                  u"GetDword(GATEWARDEN_CURRENT_STATE) "
                  u"failed\n");
    } else {
        bool bExpected = true;
        switch (dwState) {
            case GW_STATE_OFF:
            case GW_STATE_ERROR_OFF:
                bExpected = false;
                break;
            case GW_STATE_ON:
            case GW_STATE_ERROR_ON:
                break;
            case GW_STATE_UPDATING:
            case GW_STATE_ERROR_UNKNOWN:
                DebugOut3(DBG_CAT_START_STOP_PLUGIN,
                          u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - Component error "
                          u"state != false, "
                          u"curState=%d\n",
                          static_cast<int>(dwState));
                break;
            default:
                DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                          u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - default case, "
                          u"eCurState=%d.\n",
                          static_cast<int>(dwState));
                break;
        }
        if (m_bGlobalEnabled && bAnyOn && bExpected != m_bGlobalEnabled) {
            DebugOut1(DBG_CAT_ALL,
                      u"GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - Component state does "
                      u"not agree "
                      u"with global enabled flag. Config=%d, global enabled=%d\n",
                      static_cast<int>(dwState), static_cast<int>(m_bGlobalEnabled));
            m_bGlobalEnabled = bExpected;
        }
    }

    static constexpr const char16_t* TEMP_NAMES[] = {u"GWTempExpireYear",   u"GWTempExpireMonth",
                                                     u"GWTempExpireDay",    u"GWTempExpireHour",
                                                     u"GWTempExpireMinute", u"GWTempExpireSecond"};
    DWORD values[6] = {};
    bool bAnySet = false;
    for (int nIndex = 0; nIndex < 6; ++nIndex) {
        ReadDword(AddRefed(pSetMgr), GW_STATES_KEY, TEMP_NAMES[nIndex], 0, &values[nIndex]);
        bAnySet = bAnySet || values[nIndex] != 0;
    }
    m_dwTempMinutes = 0;
    if (bAnySet) {
        std::tm end{};
        end.tm_year = static_cast<int>(values[0]) - 1900;
        end.tm_mon = static_cast<int>(values[1]) - 1;
        end.tm_mday = static_cast<int>(values[2]);
        end.tm_hour = static_cast<int>(values[3]);
        end.tm_min = static_cast<int>(values[4]);
        end.tm_sec = static_cast<int>(values[5]);
        end.tm_isdst = -1;
        const std::time_t tEnd = std::mktime(&end);
        const std::time_t tNow = std::time(nullptr);
        if (tEnd != static_cast<std::time_t>(-1) && tEnd > tNow) {
            m_dwTempMinutes = static_cast<DWORD>((tEnd - tNow + 59) / 60);
        }
    }
    return true;
}

bool CInternalGatewardenConfigEventImpl::ShouldShutDown() const {
    if ((m_bValid & VALID_GLOBAL) != 0 && !m_bGlobalEnabled) {
        return true;
    }
    return m_dwFileState == 0 && m_dwRegState == 0 && m_dwProcessState == 0;
}

}  // namespace GatewardenEvt

std::unique_ptr<CIntermediateConfiguration> CStartStopConfigPlugin::PluginGetIC(bool bCreateNewIC,
                                                                                CErrorStack& errorStack) {
    static constexpr const char16_t* DEFAULTS_WARNING = u"Using default component configuration settings";
    DebugOut3(DBG_CAT_START_STOP_PLUGIN, u"CStartStopConfigPlugin::PluginGetIC - Entry, bCreateNewIC=%d\n",
              static_cast<int>(bCreateNewIC));
    GatewardenEvt::CInternalGatewardenConfigEventImpl config;
    if (!bCreateNewIC && !config.IsDirtyBitSet(SettingsManager())) {
        DebugOut3(DBG_CAT_START_STOP_PLUGIN,
                  u"CStartStopConfigPlugin::PluginGetIC - No need to generate new IC\n");
        return nullptr;
    }
    std::unique_ptr<CIntermediateConfiguration> pNewIC;
    try {
        pNewIC = std::make_unique<CIntermediateConfiguration>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(
            DBG_CAT_START_STOP_PLUGIN,
            u"CStartStopConfigPlugin::PluginGetIC - Unable to allocate new CIntermediateConfiguration: %S\n",
            e.what());
        return nullptr;
    }
    if (!config.LoadData(SettingsManager())) {
        DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                  u"CStartStopConfigPlugin::PluginGetIC - config.LoadData() failed\n");
        errorStack.AddWarning(DEFAULTS_WARNING);
    }
    if (config.ShouldShutDown()) {
        DebugOut3(DBG_CAT_START_STOP_PLUGIN,
                  u"CStartStopConfigPlugin::PluginGetIC - config.ShouldShutDown() returned true\n");
        if (!pNewIC->AddNode(KTDATAFILE_SHUTDOWN_ID, CICShutdownNode())) {
            DebugOut1(
                DBG_CAT_START_STOP_PLUGIN,
                u"CStartStopConfigPlugin::PluginGetIC - pNewIC->AddNode(0, new CICShutdownNode()) failed\n");
            return nullptr;
        }
        config.ClearDirtyBit(SettingsManager());
        return pNewIC;
    }

    DWORD dwFile = 1;
    DWORD dwReg = 1;
    DWORD dwProcess = 1;
    config.GetFileProtectState(&dwFile);
    config.GetRegProtectState(&dwReg);
    config.GetProcessProtectState(&dwProcess);
    const DWORD words[4] = {dwFile, dwReg, dwProcess, g_DebugOutput.Mask()};
    BYTE direct[sizeof(words)];
    for (size_t nIndex = 0; nIndex < 4; ++nIndex) {
        for (size_t nByte = 0; nByte < 4; ++nByte) {
            direct[nIndex * 4 + nByte] = static_cast<BYTE>(words[nIndex] >> (8 * nByte));
        }
    }
    CICDirectNode directNode;
    if (!directNode.SetData(direct, sizeof(direct))) {
        DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                  u"CStartStopConfigPlugin::PluginGetIC - pDirectData->SetData() failed\n");
        errorStack.AddWarning(DEFAULTS_WARNING);
    } else if (pNewIC->AddNode(KTDATAFILE_CONFIG_ID, directNode)) {
        DebugOut3(DBG_CAT_START_STOP_PLUGIN,
                  u"CStartStopConfigPlugin::PluginGetIC - Added direct data node added with contents %d %d "
                  u"%d %#08X\n",
                  static_cast<int>(words[0]), static_cast<int>(words[1]), static_cast<int>(words[2]),
                  words[3]);
    } else {
        DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                  u"CStartStopConfigPlugin::PluginGetIC - pNewIC->AddNode(KTDATAFILE_CONFIG_ID) failed\n");
        errorStack.AddWarning(DEFAULTS_WARNING);
    }

    CICRuleNode ruleNode(RULE_SET_TYPE);
    ruleNode.Append(RULE_FILE_PROTECTION, CICIntegralRuleValue(dwFile != 0 ? 1 : 0));
    ruleNode.Append(RULE_REGISTRY_PROTECTION, CICIntegralRuleValue(dwReg != 0 ? 1 : 0));
    ruleNode.Append(RULE_PROCESS_PROTECTION, CICIntegralRuleValue(dwProcess != 0 ? 1 : 0));
    bool bDisabled = false;
    DWORD dwMinutes = 0;
    if (config.IsTemporarilyDisabled(&bDisabled) == VALUE_OK && bDisabled &&
        config.GetTempDisableMinutes(&dwMinutes) == VALUE_OK) {
        const ULONGLONG ullEnd = NowAsFileTime() + ULONGLONG{dwMinutes} * 60 * FILETIME_PER_SECOND;
        if ((g_DebugOutput.Mask() & 3) == 3) {
            const std::time_t tEnd =
                static_cast<std::time_t>((ullEnd - FILETIME_UNIX_EPOCH) / FILETIME_PER_SECOND);
            std::tm local{};
            char szEnd[64] = "";
            if (localtime_r(&tEnd, &local) != nullptr) {
                std::strftime(szEnd, sizeof(szEnd), "%m-%d-%Y %H:%M:%S", &local);
            }
            DebugOut3(DBG_CAT_START_STOP_PLUGIN, u"CStartStopConfigPlugin::PluginGetIC - Disabled until %s\n",
                      std::u16string(szEnd, szEnd + std::strlen(szEnd)));
        }
        ruleNode.Append(RULE_DISABLED_UNTIL, CICIntegralRuleValue(static_cast<LONGLONG>(ullEnd)));
    }
    if (pNewIC->AddNode(KTDATAFILE_GATEWARDEN_RULES_ID, ruleNode)) {
        DebugOut3(DBG_CAT_START_STOP_PLUGIN, u"CStartStopConfigPlugin::PluginGetIC - Added rules node\n");
        config.ClearDirtyBit(SettingsManager());
    } else {
        DebugOut1(DBG_CAT_START_STOP_PLUGIN,
                  u"CStartStopConfigPlugin::PluginGetIC - pNewIC->AddNode(KTDATAFILE_GATEWARDEN_RULES_ID) "
                  u"failed\n");
        errorStack.AddWarning(DEFAULTS_WARNING);
    }
    return pNewIC;
}
