#include "module/install_identifier.h"

#include <algorithm>
#include <exception>

#include "diagnostics/user_debug_output.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "settings/settings_helpers.h"

namespace {

// A ProductCode or UpgradeCode property in braces, and its terminator.
constexpr DWORD GUID_PROPERTY_CHARS = 39;
constexpr size_t GUID_TEXT_CHARS = 36;

bool UuidLess(const UUID& a, const UUID& b) {
    RPC_STATUS status = RPC_S_OK;
    return platform::UuidCompare(&a, &b, &status) < 0;
}

ISettingsManager* AddRefed(ISettingsManager* pSetMgr) {
    if (pSetMgr != nullptr) {
        pSetMgr->AddRef();
    }
    return pSetMgr;
}

// The text up to and including the last backslash, or nothing when there is none.
bool FolderOf(std::u16string_view sPath, std::u16string* psFolder) {
    const size_t nLast = sPath.rfind(u'\\');
    if (nLast == std::u16string_view::npos) {
        return false;
    }
    *psFolder = platform::ToUpper(sPath.substr(0, nLast + 1));
    return true;
}

// Closes an installer handle on every path.
class CMsiHandle {
public:
    CMsiHandle() = default;
    CMsiHandle(const CMsiHandle&) = delete;
    CMsiHandle& operator=(const CMsiHandle&) = delete;
    ~CMsiHandle() { platform::MsiCloseHandle(m_h); }
    MSIHANDLE* Out() { return &m_h; }
    MSIHANDLE Get() const { return m_h; }

private:
    MSIHANDLE m_h = 0;
};

}  // namespace

bool CInstallIdentifier::IsAuthorizedQuery(ISettingsManager* pSetMgr, const char16_t* szPackagePath) {
    const std::lock_guard lock(m_QueryLock);
    Load(pSetMgr);
    const bool bAuthorized = IsAuthorizedMsi(szPackagePath);
    Clear();
    return bAuthorized;
}

bool CInstallIdentifier::Load(ISettingsManager* pSetMgr) {
    m_pSetMgr = CComPtr<ISettingsManager>(pSetMgr);
    if (!LoadAuthorizedMsiData()) {
        return false;
    }
    std::sort(m_AuthorizedGuids.begin(), m_AuthorizedGuids.end(), UuidLess);
    return true;
}

bool CInstallIdentifier::LoadAuthorizedMsiData() {
    try {
        const DWORD dwDefault = MSI_SECURITY_LISTED;
        if (!ZEL_SUCCEEDED(CLcSettingsHelper::GetDword(AddRefed(m_pSetMgr.Get()), MSI_AUTHORIZATION_KEY_NAME,
                                                       SECURITY_LEVEL_VALUE_NAME, &m_dwSecurityLevel,
                                                       &dwDefault))) {
            m_dwSecurityLevel = dwDefault;
        }
        if (m_dwSecurityLevel == MSI_SECURITY_NONE || m_dwSecurityLevel == MSI_SECURITY_ALL) {
            return true;
        }
        std::vector<std::u16string> names;
        CLcSettingsHelper::LoadStringsFromKey(AddRefed(m_pSetMgr.Get()), AUTHORIZED_MSIS_KEY_NAME, &names);
        CComPtr<ISettings> pKey;
        const ZELRESULT zr =
            m_pSetMgr ? m_pSetMgr->GetSettings(AUTHORIZED_MSIS_KEY_NAME, &pKey) : ZEL_E_INVALID_ARGUMENT;
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CInstallIdentifier::LoadAuthorizedMsiData() - GetSettings FAILED; res = 0x%08X",
                      static_cast<DWORD>(zr));
            return false;
        }
        Clear();
        for (const std::u16string& sName : names) {
            AddEntry(pKey.Get(), sName);
        }
        return true;
    } catch (const std::exception& e) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CInstallIdentifier::LoadAuthorizedMsiData() - Exception caught while loading "
                  u"authorizations: %S\n",
                  e.what());
        return false;
    }
}

void CInstallIdentifier::AddEntry(ISettings* pKey, const std::u16string& sName) {
    DWORD dwType = 0;
    const ZELRESULT zr = pKey->GetDword(sName.c_str(), &dwType);
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut2(DBG_CAT_MODULE,
                  u"CInstallIdentifier::LoadAuthorizedMsiData() - GetDword FAILED; res = 0x%08X",
                  static_cast<DWORD>(zr));
        return;
    }
    if (dwType == MSI_AUTHORIZATION_GUID) {
        UUID guid{};
        if (platform::UuidFromString(sName.c_str(), &guid) != RPC_S_OK) {
            DebugOut2(DBG_CAT_MODULE,
                      u"CInstallIdentifier::LoadAuthorizedMsiData() - UuidFromString() FAILED; GUID=%s",
                      sName.c_str());
            return;
        }
        m_AuthorizedGuids.push_back(guid);
    } else if (dwType == MSI_AUTHORIZATION_PATH) {
        std::u16string sFolder;
        if (!FolderOf(sName, &sFolder)) {
            DebugOut2(DBG_CAT_MODULE,
                      u"CInstallIdentifier::LoadAuthorizedMsiData() - ReverseFind() returned -1");
            return;
        }
        m_AuthorizedFolders.push_back(std::move(sFolder));
    } else {
        DebugOut1(DBG_CAT_MODULE,
                  u"CInstallIdentifier::LoadAuthorizedMsiData() - Unknown authorization type: %d",
                  static_cast<int>(dwType));
    }
}

bool CInstallIdentifier::IsAuthorizedMsi(const char16_t* szPackagePath) {
    if (m_dwSecurityLevel == MSI_SECURITY_NONE) {
        DebugOut3(DBG_CAT_MODULE, u"CInstallIdentifier::IsAuthorizedMsi() - No installs authorized");
        return false;
    }
    if (m_dwSecurityLevel == MSI_SECURITY_ALL) {
        DebugOut3(DBG_CAT_MODULE, u"CInstallIdentifier::IsAuthorizedMsi() - All installs authorized");
        return true;
    }
    if (m_dwSecurityLevel != MSI_SECURITY_LISTED) {
        DebugOut3(DBG_CAT_MODULE,
                  u"CInstallIdentifier::IsAuthorizedMsi() - Unknown authorization setting: %d\n",
                  static_cast<int>(m_dwSecurityLevel));
        return true;
    }
    CMsiHandle hDatabase;
    const DWORD dwError = platform::MsiOpenDatabase(szPackagePath, MSIDBOPEN_READONLY, hDatabase.Out());
    if (dwError != ERROR_SUCCESS) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CInstallIdentifier::IsAuthorizedMsi() - MsiOpenDatabase() FAILED with error 0x%08X",
                  dwError);
        return false;
    }
    if (IsGuidAuthorized(hDatabase.Get())) {
        DebugOut3(DBG_CAT_MODULE, u"CInstallIdentifier::IsAuthorizedMsi() - Authorized by GUID");
        return true;
    }
    if (IsPathAuthorized(szPackagePath)) {
        DebugOut3(DBG_CAT_MODULE, u"CInstallIdentifier::IsAuthorizedMsi() - Authorized by Path");
        return true;
    }
    return false;
}

bool CInstallIdentifier::IsGuidAuthorized(MSIHANDLE hDatabase) {
    if (m_AuthorizedGuids.empty()) {
        return false;
    }
    UUID productCode{};
    UUID upgradeCode{};
    if (!GetGuids(hDatabase, &productCode, &upgradeCode)) {
        // A package whose codes cannot be read counts as authorized while GUID entries exist.
        DebugOut1(DBG_CAT_MODULE, u"CInstallIdentifier::IsGuidAuthorized() - GetGuids() FAILED");
        return true;
    }
    if (std::binary_search(m_AuthorizedGuids.begin(), m_AuthorizedGuids.end(), productCode, UuidLess) ||
        std::binary_search(m_AuthorizedGuids.begin(), m_AuthorizedGuids.end(), upgradeCode, UuidLess)) {
        return true;
    }
    DebugOut3(DBG_CAT_MODULE, u"CInstallIdentifier::IsGuidAuthorized() - no GUID found");
    return false;
}

bool CInstallIdentifier::GetGuids(MSIHANDLE hDatabase, UUID* pProductCode, UUID* pUpgradeCode) {
    CMsiHandle hPackage;
    const std::u16string sPackage = platform::Format(u"#%u", static_cast<unsigned>(hDatabase));
    const DWORD dwError = platform::MsiOpenPackage(sPackage.c_str(), hPackage.Out());
    if (dwError != ERROR_SUCCESS) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CInstallIdentifier::GetGuids() - MsiOpenPackage() FAILED with error 0x%08X", dwError);
        return false;
    }
    static const GuidProperty PRODUCT_CODE = {
        u"ProductCode",
        u"CInstallIdentifier::GetGuids() - MsiGetProperty(ProductCode) FAILED with error 0x%08X",
        u"CInstallIdentifier::GetGuids() - UuidFromString(ProductCode) FAILED; guid=\"%s\""};
    static const GuidProperty UPGRADE_CODE = {
        u"UpgradeCode",
        u"CInstallIdentifier::GetGuids() - MsiGetProperty(UpgradeCode) FAILED with error 0x%08X",
        u"CInstallIdentifier::GetGuids() - UuidFromString(UpgradeCode) FAILED; guid=\"%s\""};
    return ReadGuidProperty(PRODUCT_CODE, hPackage.Get(), pProductCode) &&
           ReadGuidProperty(UPGRADE_CODE, hPackage.Get(), pUpgradeCode);
}

bool CInstallIdentifier::ReadGuidProperty(const GuidProperty& property, MSIHANDLE hPackage, UUID* pGuid) {
    char16_t szValue[GUID_PROPERTY_CHARS] = {};
    DWORD cchValue = GUID_PROPERTY_CHARS;
    const DWORD dwError = platform::MsiGetProperty(hPackage, property.szName, szValue, &cchValue);
    if (dwError != ERROR_SUCCESS) {
        DebugOut1(DBG_CAT_MODULE, property.getFailed, dwError);
        return false;
    }
    // The 36 characters inside the braces; a shorter value leaves zeros, so the text ends early.
    szValue[GUID_TEXT_CHARS + 1] = u'\0';
    const char16_t* szGuid = szValue + 1;
    if (platform::UuidFromString(szGuid, pGuid) != RPC_S_OK) {
        DebugOut1(DBG_CAT_MODULE, property.convertFailed, szGuid);
        return false;
    }
    return true;
}

bool CInstallIdentifier::IsPathAuthorized(const char16_t* szPackagePath) {
    if (m_AuthorizedFolders.empty()) {
        return false;
    }
    std::u16string sFolder;
    if (!FolderOf(szPackagePath, &sFolder)) {
        DebugOut1(DBG_CAT_MODULE, u"CInstallIdentifier::IsPathAuthorized() - Invalid Path!");
        return false;
    }
    return std::find(m_AuthorizedFolders.begin(), m_AuthorizedFolders.end(), sFolder) !=
           m_AuthorizedFolders.end();
}

void CInstallIdentifier::Clear() {
    m_AuthorizedGuids.clear();
    m_AuthorizedFolders.clear();
}
