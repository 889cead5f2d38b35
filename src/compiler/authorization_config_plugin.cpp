#include "compiler/authorization_config_plugin.h"

#include <cstdio>
#include <new>

#include "compiler/intermediate_configuration.h"
#include "diagnostics/user_debug_output.h"
#include "platform/accounts.h"
#include "platform/system.h"

namespace {

using pluginsettings::AddRefed;
using pluginsettings::Code;

constexpr const char16_t* UPDATE_FAILED = u"Configuration update failed";
constexpr DWORD SID_BUFFER_SIZE = 100;
constexpr DWORD DOMAIN_BUFFER_CHARS = 260;

// Device kinds are value names: unsigned decimal, or hexadecimal after 0x.
DWORD ParseDeviceKind(const std::u16string& sName) {
    std::string sAscii;
    for (const char16_t ch : sName) {
        sAscii += ch < 0x80 ? static_cast<char>(ch) : '?';
    }
    return static_cast<DWORD>(std::strtoul(sAscii.c_str(), nullptr, 0));
}

}  // namespace

namespace GatewardenEvt {

void CAuthorizationEventData::GetDirtyBit(ISettingsManager* pSetMgr, bool* pbDirty) {
    const DWORD dwDefault = 1;
    DWORD dwDirty = 1;
    const ZELRESULT zr =
        CLcSettingsHelper::GetDword(pSetMgr, MODULE_KEY_NAME, DIRTY_BIT, &dwDirty, &dwDefault);
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(
            DBG_CAT_AUTHORIZATION_PLUGIN,
            u"GatewardenEvt::CAuthorizationEventData::GetDirtyBit - GetDword(DIRTY_BIT) failed: %#08X\n",
            Code(zr));
        *pbDirty = true;
        return;
    }
    *pbDirty = dwDirty != 0;
}

void CAuthorizationEventData::ClearDirtyBit(ISettingsManager* pSetMgr) {
    const ZELRESULT zr = CLcSettingsHelper::PutDword(pSetMgr, MODULE_KEY_NAME, DIRTY_BIT, 0);
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(
            DBG_CAT_AUTHORIZATION_PLUGIN,
            u"GatewardenEvt::CAuthorizationEventData::ClearDirtyBit - PutDword(DIRTY_BIT, 0) failed: %#08X\n",
            Code(zr));
    }
}

bool CAuthorizationEventData::ConvertHashToString(const BYTE* pHash, DWORD cbHash, std::u16string* psText) {
    if (cbHash % 4 != 0) {
        DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                  u"GatewardenEvt::CAuthorizationEventData::ConvertHashToString - hashLength %% 4 != 0\n");
        return false;
    }
    try {
        psText->clear();
        psText->reserve(cbHash * 2);
        for (DWORD i = 0; i < cbHash; i += 4) {
            const DWORD dwGroup = DWORD{pHash[i]} << 24 | DWORD{pHash[i + 1]} << 16 |
                                  DWORD{pHash[i + 2]} << 8 | DWORD{pHash[i + 3]};
            char szGroup[9];
            std::snprintf(szGroup, sizeof(szGroup), "%08X", dwGroup);
            psText->append(szGroup, szGroup + 8);
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                  u"GatewardenEvt::CAuthorizationEventData::ConvertHashToString - Atl exception: %#08X\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
        return false;
    }
    return true;
}

void CAuthorizationEventData::LoadHashes(ISettingsManager* pSetMgr) {
    CSettingsKeysIterator HashKeys;
    ZELRESULT zr = HashKeys.Init(pSetMgr, HASHES_KEY_NAME);
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                  u"GatewardenEvt::CAuthorizationEventData::LoadSettings - HashKeys.Init() failed: %#08X\n",
                  Code(zr));
        return;
    }
    while (HashKeys.HasMoreValues()) {
        const char16_t* szSubKey = nullptr;
        zr = HashKeys.GetNextValue(&szSubKey);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"GatewardenEvt::CAuthorizationEventData::LoadSettings - HashKeys.GetNextValue() failed: "
                u"%#08X\n",
                Code(zr));
            return;
        }
        const std::u16string strCurHashKey = std::u16string(HASHES_KEY_NAME) + u"\\" + szSubKey;
        CComPtr<ISettings> pSettings;
        if (!ZEL_SUCCEEDED(pSetMgr->GetSettings(strCurHashKey.c_str(), &pSettings))) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"GatewardenEvt::CAuthorizationEventData::LoadSettings - GetSettings(strCurHashKey) "
                      u"failed\n");
            continue;
        }
        Hash hash{};
        DWORD cbHash = 0;
        if (!ZEL_SUCCEEDED(pSettings->GetDword(VALUE_HASH_TYPE, &hash.dwAlgorithm))) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"GatewardenEvt::CAuthorizationEventData::LoadSettings - GetDword(VALUE_HASH_TYPE) failed\n");
            continue;
        }
        if (!ZEL_SUCCEEDED(pSettings->GetDword(VALUE_HASH_LENGTH, &cbHash))) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"GatewardenEvt::CAuthorizationEventData::LoadSettings - GetDword(VALUE_HASH_LENGTH) "
                      u"failed\n");
            continue;
        }
        if (cbHash == 0 || cbHash > MAX_HASH_LENGTH) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"GatewardenEvt::CAuthorizationEventData::LoadSettings - Hash length out of range: %d\n",
                static_cast<int>(cbHash));
            continue;
        }
        if (!ZEL_SUCCEEDED(pSettings->GetDword(VALUE_HASH_FILE_LENGTH, &hash.dwFileLength))) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"GatewardenEvt::CAuthorizationEventData::LoadSettings - "
                      u"GetString(VALUE_HASH_FILE_LENGTH) failed\n");
            continue;
        }
        hash.bytes.resize(cbHash);
        DWORD cbRead = cbHash;
        // A shorter value would leave the end of the hash unset.
        if (!ZEL_SUCCEEDED(pSettings->GetBinary(VALUE_HASH_VALUE, hash.bytes.data(), &cbRead)) ||
            cbRead != cbHash) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"GatewardenEvt::CAuthorizationEventData::LoadSettings - GetBinary(VALUE_HASH_VALUE) "
                      u"failed\n");
            continue;
        }
        m_Hashes.push_back(std::move(hash));
    }
}

void CAuthorizationEventData::LoadLocations(ISettingsManager* pSetMgr) {
    CComPtr<ISettings> pSettings;
    ZELRESULT zr = pSetMgr->GetSettings(LOCATIONS_KEY_NAME, &pSettings);
    if (!ZEL_SUCCEEDED(zr)) {
        if (zr != ZEL_E_NOT_FOUND) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"GatewardenEvt::CAuthorizationEventData::LoadSettings - "
                      u"pSettings->GetSettings(LOCATIONS_KEY_NAME) failed: %#08X\n",
                      Code(zr));
        }
        return;
    }
    CSettingsValuesIterator Locations;
    zr = Locations.Init(pSettings.Get());
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                  u"GatewardenEvt::CAuthorizationEventData::LoadSettings - Locations.Init() failed: %#08X\n",
                  Code(zr));
        return;
    }
    while (Locations.HasMoreValues()) {
        const char16_t* szName = nullptr;
        zr = Locations.GetNextValue(&szName);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"GatewardenEvt::CAuthorizationEventData::LoadSettings - Locations.GetNextValue() failed: "
                u"%#08X\n",
                Code(zr));
            return;
        }
        DWORD dwExact = 0;
        zr = pSettings->GetDword(szName, &dwExact);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"GatewardenEvt::CAuthorizationEventData::LoadSettings - GetDword(LOCATIONS_KEY_NAME, %s) "
                u"failed: %#08X\n",
                szName, Code(zr));
            continue;
        }
        m_Locations.push_back({dwExact != 0, szName});
    }
}

void CAuthorizationEventData::LoadDevices(ISettingsManager* pSetMgr) {
    CComPtr<ISettings> pSettings;
    ZELRESULT zr = pSetMgr->GetSettings(DEVICES_KEY_NAME, &pSettings);
    if (!ZEL_SUCCEEDED(zr)) {
        if (zr != ZEL_E_NOT_FOUND) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"GatewardenEvt::CAuthorizationEventData::LoadSettings - "
                      u"pSettings->GetSettings(DEVICES_KEY_NAME) failed: %#08X\n",
                      Code(zr));
        }
        return;
    }
    CSettingsValuesIterator Devices;
    zr = Devices.Init(pSettings.Get());
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                  u"GatewardenEvt::CAuthorizationEventData::LoadSettings - Devices.Init() failed: %#08X\n",
                  Code(zr));
        return;
    }
    while (Devices.HasMoreValues()) {
        const char16_t* szName = nullptr;
        zr = Devices.GetNextValue(&szName);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"GatewardenEvt::CAuthorizationEventData::LoadSettings - Devices.GetNextValue() failed: "
                u"%#08X\n",
                Code(zr));
            return;
        }
        m_Devices.push_back({ParseDeviceKind(szName), true});
    }
}

HRESULT CAuthorizationEventData::LoadSettings(ISettingsManager* pSetMgrIn) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    try {
        m_Users.clear();
        m_Hashes.clear();
        m_Locations.clear();
        m_Devices.clear();
        if (!CLcSettingsHelper::LoadStringsFromKey(AddRefed(pSetMgr.Get()), USERS_KEY_NAME, &m_Users)) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"GatewardenEvt::CAuthorizationEventData::LoadSettings - "
                      u"LoadStringsFromLCSettingsKey(USERS_KEY_NAME) failed\n");
        }
        if (!pSetMgr) {
            return S_OK;
        }
        LoadHashes(pSetMgr.Get());
        LoadLocations(pSetMgr.Get());
        LoadDevices(pSetMgr.Get());
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                  u"GatewardenEvt::CAuthorizationEventData::LoadSettings - Exception caught: %S\n", e.what());
        return E_UNEXPECTED;
    }
    return S_OK;
}

}  // namespace GatewardenEvt

using GatewardenEvt::CAuthorizationEventData;

void CAuthorizationConfigPlugin::AddUsers(const CAuthorizationEventData& config, CICRuleNode& authRuleNode,
                                          CICRuleNode& GWRuleNode, CErrorStack& errorStack) {
    for (const std::u16string& sName : config.Users()) {
        BYTE sid[SID_BUFFER_SIZE];
        DWORD cbSid = sizeof(sid);
        char16_t szDomain[DOMAIN_BUFFER_CHARS];
        DWORD cchDomain = DOMAIN_BUFFER_CHARS;
        SID_NAME_USE eUse = SidTypeUser;
        const std::u16string sText = u"User account lookup failed for account \"" + sName + u"\"";
        if (!platform::LookupAccountName(nullptr, sName.c_str(), sid, &cbSid, szDomain, &cchDomain, &eUse)) {
            DebugOut2(DBG_CAT_AUTHORIZATION_PLUGIN, u"CAuthorizationConfigPlugin::PluginGetIC - %s (%#08X)\n",
                      sText, platform::GetLastError());
            errorStack.AddInfo(sText);
            continue;
        }
        std::u16string sSid;
        if (!platform::ConvertSidToStringSid(sid, &sSid)) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"CAuthorizationConfigPlugin::PluginGetIC - %s, ConvertSidToStringSid failed: %#08X\n",
                      sText, platform::GetLastError());
            errorStack.AddWarning(sText);
            continue;
        }
        const CICStringRuleValue value(sSid);
        if (!authRuleNode.Append(PT_AUTHORIZED_USER_CONTEXT, value)) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"CAuthorizationConfigPlugin::PluginGetIC - authRuleNode.Append(AuthorizedUser: %s, %s) "
                u"failed\n",
                sName, sSid);
            errorStack.AddWarning(UPDATE_FAILED);
        }
        if (!GWRuleNode.Append(PT_AUTHORIZED_USER_CONTEXT, value)) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"CAuthorizationConfigPlugin::PluginGetIC - GWRuleNode.Append(AuthorizedUser: %s, %s) "
                      u"failed\n",
                      sName, sSid);
            errorStack.AddWarning(UPDATE_FAILED);
        }
    }
}

void CAuthorizationConfigPlugin::AddHashes(const CAuthorizationEventData& config, CICRuleNode& ruleNode,
                                           CErrorStack& errorStack) {
    for (const CAuthorizationEventData::Hash& hash : config.Hashes()) {
        std::u16string sText;
        if (!CAuthorizationEventData::ConvertHashToString(hash.bytes.data(),
                                                          static_cast<DWORD>(hash.bytes.size()), &sText)) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"CAuthorizationConfigPlugin::PluginGetIC - ConvertHashToString() failed\n");
            continue;
        }
        DWORD dwType = 0;
        if (hash.dwAlgorithm == CAuthorizationEventData::HASH_ALGORITHM_MD5) {
            dwType = PT_AUTHORIZED_MD5_WITH_LENGTH;
        } else if (hash.dwAlgorithm == CAuthorizationEventData::HASH_ALGORITHM_SHA1) {
            dwType = PT_AUTHORIZED_SHA1_WITH_LENGTH;
        } else {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"CAuthorizationConfigPlugin::PluginGetIC - ulHashAlgorithm unknown\n");
            continue;
        }
        if (!ruleNode.Append(dwType, CICStringDWORDRuleValue(sText, hash.dwFileLength))) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"CAuthorizationConfigPlugin::PluginGetIC - ruleNode.Append(hash) failed\n");
            errorStack.AddWarning(UPDATE_FAILED);
        }
    }
}

void CAuthorizationConfigPlugin::AddLocations(const CAuthorizationEventData& config, CICRuleNode& ruleNode,
                                              CErrorStack& errorStack) {
    for (const CAuthorizationEventData::Location& location : config.Locations()) {
        const DWORD dwType = location.bExact ? PT_AUTHORIZED_LOCATION : PT_AUTHORIZED_FOLDER_TREE;
        if (!ruleNode.Append(dwType, CICStringRuleValue(location.sPath))) {
            DebugOut1(
                DBG_CAT_AUTHORIZATION_PLUGIN,
                u"CAuthorizationConfigPlugin::PluginGetIC - ruleNode->Append(AuthorizedLocation) failed\n");
            errorStack.AddWarning(UPDATE_FAILED);
        }
    }
}

void CAuthorizationConfigPlugin::AddDevices(const CAuthorizationEventData& config, CICRuleNode& ruleNode,
                                            CErrorStack& errorStack) {
    for (const CAuthorizationEventData::Device& device : config.Devices()) {
        bool bAdded = false;
        if (device.dwKind == CAuthorizationEventData::DEVICE_CDROM) {
            bAdded = ruleNode.Append(PT_AUTHORIZED_DEVICE, CICStringRuleValue(u"CDROM"));
        } else {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"CAuthorizationConfigPlugin::PluginGetIC - Unknown device type: %d\n",
                      static_cast<int>(device.dwKind));
        }
        if (!bAdded) {
            DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                      u"CAuthorizationConfigPlugin::PluginGetIC - AuthorizedDeviceType node not added\n");
            errorStack.AddWarning(UPDATE_FAILED);
        }
    }
}

std::unique_ptr<CIntermediateConfiguration> CAuthorizationConfigPlugin::PluginGetIC(bool bCreateNewIC,
                                                                                    CErrorStack& errorStack) {
    std::unique_ptr<CIntermediateConfiguration> pIC;
    DebugOut3(DBG_CAT_AUTHORIZATION_PLUGIN,
              u"CAuthorizationConfigPlugin::PluginGetIC - Entry, bCreateNewIC=%d\n",
              static_cast<int>(bCreateNewIC));
    try {
        CAuthorizationEventData config;
        bool bDirty = true;
        config.GetDirtyBit(SettingsManager(), &bDirty);
        DebugOut3(DBG_CAT_AUTHORIZATION_PLUGIN, u"CAuthorizationConfigPlugin::PluginGetIC - Dirty=%d\n",
                  static_cast<int>(bDirty));
        if (bCreateNewIC || bDirty) {
            pIC = std::make_unique<CIntermediateConfiguration>();
            CICRuleNode authRuleNode(RS_TYPE_AUTHORIZATION);
            CICRuleNode GWRuleNode(RS_TYPE_PROTECTED_RESOURCES);
            if (config.LoadSettings(SettingsManager()) < 0) {
                DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                          u"CAuthorizationConfigPlugin::PluginGetIC - config.LoadSettings() failed\n");
                errorStack.AddWarning(UPDATE_FAILED);
                pIC.reset();
            } else {
                AddUsers(config, authRuleNode, GWRuleNode, errorStack);
                AddHashes(config, authRuleNode, errorStack);
                AddLocations(config, authRuleNode, errorStack);
                AddDevices(config, authRuleNode, errorStack);
                if (AddNode(*pIC, KTDATAFILE_AUTHORIZATION_RULES_ID, authRuleNode) &&
                    AddNode(*pIC, KTDATAFILE_GATEWARDEN_RULES_ID, GWRuleNode)) {
                    config.ClearDirtyBit(SettingsManager());
                } else {
                    DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN,
                              u"CAuthorizationConfigPlugin::PluginGetIC - pIC->AddNode() failed\n");
                    errorStack.AddWarning(
                        u"Unable to apply new configuration data; previous settings left intact");
                    pIC.reset();
                }
            }
        }
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_AUTHORIZATION_PLUGIN, u"CAuthorizationConfigPlugin::PluginGetIC - Exception: %S\n",
                  e.what());
        errorStack.AddWarning(UPDATE_FAILED);
        pIC.reset();
    }
    DebugOut3(DBG_CAT_AUTHORIZATION_PLUGIN, u"CAuthorizationConfigPlugin::PluginGetIC - Exit, pIC=%p\n",
              static_cast<const void*>(pIC.get()));
    return pIC;
}
