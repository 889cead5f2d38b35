// The manifest loader: every authentic manifest of the manifest folder, deciphered and parsed, is
// turned into value names of the eleven manifest data keys of the settings store, one subprocessor
// per kind of element.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "manifest/csidl_cache.h"
#include "platform/com.h"
#include "platform/types.h"
#include "platform/xml_dom.h"
#include "settings/settings_interfaces.h"

// The selections of the eight element kinds, in processing order.
struct ManifestXMLStrings {
    static constexpr const char16_t* PROT_PATH_ELEM = u"//protected-resources/protected-paths/path";
    static constexpr const char16_t* PROT_PATH_EXCL_ELEM = u"//protected-resources/protected-paths/xpath";
    static constexpr const char16_t* PROT_FILE_ELEM = u"//protected-resources/protected-files/filename";
    static constexpr const char16_t* PROT_REGKEY_ELEM =
        u"//protected-resources/protected-registry-keys/regkey";
    static constexpr const char16_t* PROT_REGKEY_EXCL_ELEM =
        u"//protected-resources/protected-registry-keys/xregkey";
    static constexpr const char16_t* PROT_PROCESS_ELEM = u"//protected-resources/protected-processes/process";
    static constexpr const char16_t* AUTH_PATH_ELEM = u"//protected-resources/authorized-paths/auth-path";
    static constexpr const char16_t* AUTH_FILE_ELEM = u"//protected-resources/authorized-paths/auth-file";
};

// The manifest data keys, under GATEWARDEN\PRIVATE\Manifest\Data.
namespace ManifestKeys {
constexpr const char16_t* MANIFEST_KEY = u"GATEWARDEN\\PRIVATE\\Manifest";
constexpr const char16_t* PROTECTED_DIRECTORY = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedDirectory";
constexpr const char16_t* PROTECTED_PATH_TREE = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedPathTree";
constexpr const char16_t* PROTECTED_FILE = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedFile";
constexpr const char16_t* PROTECTED_REG_KEY = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedRegKey";
constexpr const char16_t* PROTECTED_REG_TREE = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedRegTree";
constexpr const char16_t* PROTECTED_PROCESS = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedProcess";
constexpr const char16_t* PROTECTED_PATH_TREE_EXCLUSION =
    u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedPathTreeExclusion";
constexpr const char16_t* PROTECTED_REG_TREE_EXCLUSION =
    u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedRegTreeExclusion";
constexpr const char16_t* AUTHORIZED_DIRECTORY = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\AuthorizedDirectory";
constexpr const char16_t* AUTHORIZED_FILE = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\AuthorizedFile";
constexpr const char16_t* AUTHORIZED_PATH_TREE = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\AuthorizedPathTree";
}  // namespace ManifestKeys

class CBaseManifestSubprocessor {
public:
    // Takes over the caller's reference to the manager; the cache is borrowed.
    CBaseManifestSubprocessor(ISettingsManager* pSettingsManager, ktCSIDLcache::CSIDLcache* pCache,
                              int nKeySlots);
    virtual ~CBaseManifestSubprocessor();
    CBaseManifestSubprocessor(const CBaseManifestSubprocessor&) = delete;
    CBaseManifestSubprocessor& operator=(const CBaseManifestSubprocessor&) = delete;

    virtual void ProcessXML(const platform::CXmlDocument& document) = 0;
    virtual void ProcessElement(std::u16string& sText, const platform::CXmlNode& node) = 0;
    virtual ZELRESULT SaveSettings();

    void SubstituteVariables(std::u16string& sText);
    static void ConvertRegistryRoot(std::u16string& sText);
    static void NormalizePathSeparators(std::u16string& sText);
    static void AddTrailingPathSeparator(std::u16string& sText);

    void LookupLCSettingsValue(const std::u16string& sName, std::u16string* psValue);
    static void LookupRegistryValue(const std::u16string& sName, std::u16string* psValue);
    void LookupSHGetFolderPathValue(const std::u16string& sName, std::u16string* psValue);

    static bool GetBooleanAttribute(const platform::CXmlNode& node, const char16_t* szName, bool bDefault);

    ZELRESULT AddToSettings(int nSlot, const char16_t* szKeyPath, const std::u16string& sEntry);

protected:
    CComPtr<ISettingsManager> m_pSettingsManager;
    ktCSIDLcache::CSIDLcache* m_pCache;
    std::vector<CComPtr<ISettings>> m_Keys;
};

// One element kind, named by its selection constant.
template <const char16_t* const* ppElement>
class CSingleElementManifestSubprocessor final : public CBaseManifestSubprocessor {
public:
    CSingleElementManifestSubprocessor(ISettingsManager* pSettingsManager, ktCSIDLcache::CSIDLcache* pCache);
    void ProcessXML(const platform::CXmlDocument& document) override;
    void ProcessElement(std::u16string& sText, const platform::CXmlNode& node) override;
};

// Where the last Load's time went, for benchmarks.
struct CManifestLoadTimes {
    std::chrono::steady_clock::duration authentication{};
    std::chrono::steady_clock::duration parsing{};   // reading, deciphering and the XML parse
    std::chrono::steady_clock::duration settings{};  // the subprocessors, with their settings writes
    int nFiles = 0;
};

class CGatewardenManifestLoad {
public:
    CGatewardenManifestLoad() = default;
    virtual ~CGatewardenManifestLoad();
    CGatewardenManifestLoad(const CGatewardenManifestLoad&) = delete;
    CGatewardenManifestLoad& operator=(const CGatewardenManifestLoad&) = delete;

    // Takes over the caller's reference to the manager.
    bool Initialize(ISettingsManager* pSettingsManager);
    // Deletes the subprocessors and releases the manager (Initialize may follow).
    void Uninitialize();

    virtual bool Load(const char16_t* szFolder);
    virtual bool Load(const char* szFolder);
    bool LoadT(const std::u16string& sFolder);
    void LoadFile(const std::u16string& sPath);

    // The manifests' deciphered bytes, through the parse and the eight subprocessors.
    void ProcessBytes(const std::u16string& sPath, const BYTE* pData, std::size_t cbData);

    const CManifestLoadTimes& LastTimes() const { return m_Times; }

private:
    void DeleteSubprocessors();

    CComPtr<ISettingsManager> m_pSettingsManager;
    ktCSIDLcache::CSIDLcache m_CSIDLcache;
    std::vector<std::unique_ptr<CBaseManifestSubprocessor>> m_Subprocessors;
    CManifestLoadTimes m_Times;
};
