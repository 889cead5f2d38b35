// The compiler's manifest plug-in: when the manifests must be read again it clears the manifest data
// keys, has the loader fill them from the manifest folder, and builds one protection and one
// authorization rule node from the keys.
#pragma once

#include <memory>
#include <string>

#include "compiler/config_compiler_plugin.h"
#include "compiler/ic_nodes.h"
#include "manifest/manifest_load.h"

struct ManifestKeyRow {
    const char16_t* szKeyPath;
    DWORD dwPrimitiveType;
    const char16_t* szLabel;
};
extern const ManifestKeyRow MANIFEST_PROTECTION_KEYS[8];
extern const ManifestKeyRow MANIFEST_AUTHORIZATION_KEYS[3];

constexpr const char16_t* MANIFEST_DEBUG_KEY = u"GATEWARDEN\\PRIVATE\\Manifest\\ManifestDebug";

class CManifestConfigCompilerPlugin : public CBaseConfigCompilerPlugin {
public:
    using CBaseConfigCompilerPlugin::CBaseConfigCompilerPlugin;
    ~CManifestConfigCompilerPlugin() override;

    std::u16string GetName() const override { return u"ManifestConfigPlugin"; }

    void ClearLCSettings();
    bool ReadManifestsIntoLCSettings();
    bool ReadManifestDataFromLCSettings(CIntermediateConfiguration& ic);
    bool ReadKeysAndAddDataToICN(const char16_t* szKeyPath, DWORD dwPrimitiveType, CICRuleNode& node);
    bool SetDumpLCSettingsToFile(DWORD dwFlag, const char16_t* szFileName);
    void DumpLCSettingsToFile();
    bool ReadKeysToFile(HANDLE hFile, const char16_t* szKeyPath);
    // Every data key, in table order, without the header.
    void ReadAllKeysToFile(HANDLE hFile);

    // The component's own instance is not given to the compiler; it initialises itself on first use.
    bool EnsureInitialized();
    const CManifestLoadTimes& LastLoadTimes() const { return m_ManifestLoad.LastTimes(); }

protected:
    bool PluginInitialize() override;
    void PluginUninitialize() override;
    std::unique_ptr<CIntermediateConfiguration> PluginGetIC(bool bCreateNewIC,
                                                            CErrorStack& errorStack) override;

private:
    std::unique_ptr<char16_t[]> m_szManifestFolder;
    DWORD m_dwManifestFolderLength = 261;
    CGatewardenManifestLoad m_ManifestLoad;
    bool m_bInitialized = false;
};
