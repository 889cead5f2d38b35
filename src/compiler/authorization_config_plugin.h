// Who may act despite the protection: authorized accounts, file hashes, locations and device kinds,
// compiled into the authorization rules and, for accounts, the protected-resource rules as well.
#pragma once

#include <string>
#include <vector>

#include "compiler/config_compiler_plugin.h"
#include "compiler/ic_nodes.h"

namespace GatewardenEvt {

class CAuthorizationEventData {
public:
    static constexpr const char16_t* MODULE_KEY_NAME = u"GATEWARDEN\\PRIVATE\\Authorization Module";
    static constexpr const char16_t* USERS_KEY_NAME = u"GATEWARDEN\\PRIVATE\\Authorization Module\\User";
    static constexpr const char16_t* HASHES_KEY_NAME = u"GATEWARDEN\\PRIVATE\\Authorization Module\\Hashes";
    static constexpr const char16_t* LOCATIONS_KEY_NAME =
        u"GATEWARDEN\\PRIVATE\\Authorization Module\\Location";
    static constexpr const char16_t* DEVICES_KEY_NAME = u"GATEWARDEN\\PRIVATE\\Authorization Module\\Devices";
    static constexpr const char16_t* VALUE_HASH_TYPE = u"Algorithm";
    static constexpr const char16_t* VALUE_HASH_LENGTH = u"HashLength";
    static constexpr const char16_t* VALUE_HASH_FILE_LENGTH = u"FileLength";
    static constexpr const char16_t* VALUE_HASH_VALUE = u"Hash";
    static constexpr const char16_t* DIRTY_BIT = u"RefreshNeeded";
    static constexpr DWORD HASH_ALGORITHM_MD5 = 1;
    static constexpr DWORD HASH_ALGORITHM_SHA1 = 2;
    static constexpr DWORD MAX_HASH_LENGTH = 1024;
    static constexpr DWORD DEVICE_CDROM = 1;

    struct Hash {
        DWORD dwAlgorithm;
        DWORD dwFileLength;
        std::vector<BYTE> bytes;
    };
    struct Location {
        bool bExact;
        std::u16string sPath;
    };
    struct Device {
        DWORD dwKind;
        bool bFlag;
    };

    // Each operation takes over the caller's reference to the manager.
    void GetDirtyBit(ISettingsManager* pSetMgr, bool* pbDirty);
    void ClearDirtyBit(ISettingsManager* pSetMgr);
    HRESULT LoadSettings(ISettingsManager* pSetMgr);
    // Upper-case hexadecimal, four bytes at a time; the length must be a multiple of 4.
    static bool ConvertHashToString(const BYTE* pHash, DWORD cbHash, std::u16string* psText);

    const std::vector<std::u16string>& Users() const { return m_Users; }
    const std::vector<Hash>& Hashes() const { return m_Hashes; }
    const std::vector<Location>& Locations() const { return m_Locations; }
    const std::vector<Device>& Devices() const { return m_Devices; }

private:
    void LoadHashes(ISettingsManager* pSetMgr);
    void LoadLocations(ISettingsManager* pSetMgr);
    void LoadDevices(ISettingsManager* pSetMgr);

    std::vector<std::u16string> m_Users;
    std::vector<Hash> m_Hashes;
    std::vector<Location> m_Locations;
    std::vector<Device> m_Devices;
};

}  // namespace GatewardenEvt

class CAuthorizationConfigPlugin : public CBaseConfigCompilerPlugin {
public:
    using CBaseConfigCompilerPlugin::CBaseConfigCompilerPlugin;
    std::u16string GetName() const override { return u"AuthorizationManagerConfigPlugin"; }

protected:
    bool PluginInitialize() override { return true; }
    void PluginUninitialize() override {}
    std::unique_ptr<CIntermediateConfiguration> PluginGetIC(bool bCreateNewIC,
                                                            CErrorStack& errorStack) override;
    // The one place the plug-in's nodes enter its IC.
    virtual bool AddNode(CIntermediateConfiguration& ic, DWORD dwSectionId, const CICNode& node) {
        return ic.AddNode(dwSectionId, node);
    }

private:
    void AddUsers(const GatewardenEvt::CAuthorizationEventData& config, CICRuleNode& authRuleNode,
                  CICRuleNode& GWRuleNode, CErrorStack& errorStack);
    void AddHashes(const GatewardenEvt::CAuthorizationEventData& config, CICRuleNode& ruleNode,
                   CErrorStack& errorStack);
    void AddLocations(const GatewardenEvt::CAuthorizationEventData& config, CICRuleNode& ruleNode,
                      CErrorStack& errorStack);
    void AddDevices(const GatewardenEvt::CAuthorizationEventData& config, CICRuleNode& ruleNode,
                    CErrorStack& errorStack);
};
