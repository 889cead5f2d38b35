// Install authorization: whether an installer package may install, from the security level and the
// authorized product or upgrade codes and folders in the settings store.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/format.h"
#include "platform/msi.h"
#include "platform/uuid.h"
#include "settings/settings_interfaces.h"

constexpr const char16_t* MSI_AUTHORIZATION_KEY_NAME = u"GATEWARDEN\\MSIAuthorization";
constexpr const char16_t* AUTHORIZED_MSIS_KEY_NAME = u"GATEWARDEN\\UserSettings\\AuthorizedMSIs";
constexpr const char16_t* SECURITY_LEVEL_VALUE_NAME = u"SecurityLevel";

constexpr DWORD MSI_SECURITY_NONE = 1;
constexpr DWORD MSI_SECURITY_ALL = 2;
constexpr DWORD MSI_SECURITY_LISTED = 3;

// Data of an AuthorizedMSIs value: what its name is.
constexpr DWORD MSI_AUTHORIZATION_GUID = 0;
constexpr DWORD MSI_AUTHORIZATION_PATH = 1;

class CInstallIdentifier {
public:
    // One query: Load, IsAuthorizedMsi and Clear under one lock, so that two listener threads never
    // rewrite the lists under each other. The listeners use this, not the three steps.
    bool IsAuthorizedQuery(ISettingsManager* pSetMgr, const char16_t* szPackagePath);

    // Takes a reference of its own to the manager (releasing the one held) and loads the settings.
    bool Load(ISettingsManager* pSetMgr);
    bool LoadAuthorizedMsiData();
    bool IsAuthorizedMsi(const char16_t* szPackagePath);
    bool IsGuidAuthorized(MSIHANDLE hDatabase);
    bool GetGuids(MSIHANDLE hDatabase, UUID* pProductCode, UUID* pUpgradeCode);
    bool IsPathAuthorized(const char16_t* szPackagePath);
    // Empties both lists; the level and the manager stay.
    void Clear();

    DWORD SecurityLevel() const { return m_dwSecurityLevel; }
    const std::vector<UUID>& AuthorizedGuids() const { return m_AuthorizedGuids; }
    const std::vector<std::u16string>& AuthorizedFolders() const { return m_AuthorizedFolders; }

private:
    // A code property and its two failure lines.
    struct GuidProperty {
        const char16_t* szName;
        platform::FormatString<char16_t, DWORD> getFailed;
        platform::FormatString<char16_t, const char16_t*> convertFailed;
    };
    bool ReadGuidProperty(const GuidProperty& property, MSIHANDLE hPackage, UUID* pGuid);
    void AddEntry(ISettings* pKey, const std::u16string& sName);

    DWORD m_dwSecurityLevel = MSI_SECURITY_LISTED;
    std::vector<UUID> m_AuthorizedGuids;
    std::vector<std::u16string> m_AuthorizedFolders;
    CComPtr<ISettingsManager> m_pSetMgr;
    std::mutex m_QueryLock;
};
