#include "manifest/manifest_plugin.h"

#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "compiler/start_stop_config_plugin.h"
#include "diagnostics/user_debug_output.h"
#include "manifest/manifest_folder_watcher.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/sync.h"
#include "settings/settings_helpers.h"

using namespace ManifestKeys;

const ManifestKeyRow MANIFEST_PROTECTION_KEYS[8] = {
    {PROTECTED_DIRECTORY, PT_PROTECTED_FILE, u"ProtectedPaths"},
    {PROTECTED_PATH_TREE, PT_PROTECTED_FOLDER_TREE, u"ProtectedPathsWithTree"},
    {PROTECTED_FILE, PT_PROTECTED_FILE, u"ProtectedFile"},
    {PROTECTED_REG_KEY, PT_PROTECTED_REGKEY, u"ProtectedRegKeys"},
    {PROTECTED_REG_TREE, PT_PROTECTED_REGKEY_TREE, u"ProtectedRegKeysWithTree"},
    {PROTECTED_PROCESS, PT_PROTECTED_PROCESS, u"ProtectedProcesses"},
    {PROTECTED_PATH_TREE_EXCLUSION, PT_EXCLUDED_FOLDER, u"ExcludedFolder"},
    {PROTECTED_REG_TREE_EXCLUSION, PT_EXCLUDED_REGKEY, u"ExcludedRegKey"},
};

const ManifestKeyRow MANIFEST_AUTHORIZATION_KEYS[3] = {
    {AUTHORIZED_DIRECTORY, PT_AUTHORIZED_LOCATION, u"AuthorizedPaths"},
    {AUTHORIZED_FILE, PT_AUTHORIZED_LOCATION, u"AuthorizedFile"},
    {AUTHORIZED_PATH_TREE, PT_AUTHORIZED_FOLDER_TREE, u"AuthorizedPathsWithTree"},
};

namespace {

constexpr const char16_t* DUMP_HEADER = u"\uFEFFManifest LC Settings Entries\r\n\r\n";
constexpr DWORD DUMP_HEADER_CHARS = 260;

template <typename F>
void ForEachKey(F&& f) {
    for (const ManifestKeyRow& row : MANIFEST_PROTECTION_KEYS) {
        f(row);
    }
    for (const ManifestKeyRow& row : MANIFEST_AUTHORIZATION_KEYS) {
        f(row);
    }
}

}  // namespace

CManifestConfigCompilerPlugin::~CManifestConfigCompilerPlugin() = default;

bool CManifestConfigCompilerPlugin::EnsureInitialized() {
    if (!m_bInitialized) {
        Initialize();
    }
    return m_bInitialized;
}

bool CManifestConfigCompilerPlugin::PluginInitialize() {
    if (!m_ManifestLoad.Initialize(SettingsManager())) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestConfigCompilerPlugin::PluginInitialize - failed to initialize manifest loader\n");
        return false;
    }
    try {
        m_szManifestFolder = std::make_unique<char16_t[]>(m_dwManifestFolderLength);
        m_szManifestFolder[0] = u'\0';
    } catch (const std::bad_alloc&) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestConfigCompilerPlugin::PluginInitialize - failed to allocate manifest folder name "
            u"string\n");
        return false;
    }
    if (!CManifestFolderDirChangeHandler::GetManifestFolderName(m_szManifestFolder.get(),
                                                                &m_dwManifestFolderLength)) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestConfigCompilerPlugin::PluginInitialize - failed to obtain manifest folder name\n");
        return false;
    }
    m_bInitialized = true;
    return true;
}

void CManifestConfigCompilerPlugin::PluginUninitialize() {
    m_ManifestLoad.Uninitialize();
    m_szManifestFolder.reset();
    m_bInitialized = false;
}

std::unique_ptr<CIntermediateConfiguration> CManifestConfigCompilerPlugin::PluginGetIC(
    bool bCreateNewIC, CErrorStack& /*errorStack*/) {
    bool bRefresh = false;
    if (bCreateNewIC) {
        bRefresh = true;
    } else {
        DWORD dwRefresh = 1;
        const DWORD dwDefault = 1;
        const ZELRESULT zr = CLcSettingsHelper::GetDword(SettingsManager(), MANIFEST_KEY, u"RefreshNeeded",
                                                         &dwRefresh, &dwDefault);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestConfigCompilerPlugin::PluginGetIC - failed to get refresh flag from "
                      u"settings (%08x). "
                      u"Refreshing.\n",
                      static_cast<DWORD>(zr));
            bRefresh = true;
        } else if (dwRefresh != 0) {
            bRefresh = true;
            const ZELRESULT zrPut =
                CLcSettingsHelper::PutDword(SettingsManager(), MANIFEST_KEY, u"RefreshNeeded", 0);
            if (!ZEL_SUCCEEDED(zrPut)) {
                DebugOut1(DBG_CAT_MANIFEST,
                          u"CManifestConfigCompilerPlugin::PluginGetIC - failed to clear refresh flag from "
                          u"settings "
                          u"(%08x).\n",
                          static_cast<DWORD>(zrPut));
            }
        }
    }
    GatewardenEvt::CInternalGatewardenConfigEventImpl state;
    if (!state.LoadData(SettingsManager())) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestConfigCompilerPlugin::PluginGetIC - GWState.LoadData failed\n");
    } else {
        DWORD dwFile = 1;
        DWORD dwReg = 1;
        state.GetFileProtectState(&dwFile);
        state.GetRegProtectState(&dwReg);
        if (dwFile == 0 && dwReg == 0) {
            return nullptr;
        }
    }
    if (!bRefresh) {
        return nullptr;
    }
    if (!ReadManifestsIntoLCSettings()) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestConfigCompilerPlugin::PluginGetIC - failure processing manifest files\n");
    }
    DumpLCSettingsToFile();
    std::unique_ptr<CIntermediateConfiguration> pIC;
    try {
        pIC = std::make_unique<CIntermediateConfiguration>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestConfigCompilerPlugin::PluginGetIC - failed to allocated IC: %S\n", e.what());
        return nullptr;
    }
    if (!ReadManifestDataFromLCSettings(*pIC)) {
        DebugOut1(DBG_CAT_MANIFEST, u"CManifestConfigCompilerPlugin::PluginGetIC - failure generating IC\n");
        return nullptr;
    }
    return pIC;
}

void CManifestConfigCompilerPlugin::ClearLCSettings() {
    ForEachKey([this](const ManifestKeyRow& row) {
        CComPtr<ISettingsManager> pManager = CComPtr<ISettingsManager>::Attach(SettingsManager());
        const ZELRESULT zr = pManager ? pManager->DeleteSettings(row.szKeyPath) : ZEL_E_INVALID_ARGUMENT;
        if (!ZEL_SUCCEEDED(zr) && zr != ZEL_E_NOT_FOUND) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestConfigCompilerPlugin::ClearLCSettingsFailed to delete key %s: code %08x\n",
                      row.szKeyPath, static_cast<DWORD>(zr));
        }
    });
}

bool CManifestConfigCompilerPlugin::ReadManifestsIntoLCSettings() {
    ClearLCSettings();
    const bool bLoaded = m_szManifestFolder && m_ManifestLoad.Load(m_szManifestFolder.get());
    if (!bLoaded) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestConfigCompilerPlugin::ReadManifestsIntoLCSettings - "
                  u"CGatewardenManifestLoad::Load failed "
                  u"\n");
    }
    return bLoaded;
}

bool CManifestConfigCompilerPlugin::ReadManifestDataFromLCSettings(CIntermediateConfiguration& ic) {
    struct Section {
        DWORD dwId;
        DWORD dwRSType;
        std::span<const ManifestKeyRow> keys;
        const char16_t* szRules;
    };
    const Section sections[] = {
        {KTDATAFILE_GATEWARDEN_RULES_ID, RS_TYPE_PROTECTED_RESOURCES, MANIFEST_PROTECTION_KEYS,
         u"protection"},
        {KTDATAFILE_AUTHORIZATION_RULES_ID, RS_TYPE_AUTHORIZATION, MANIFEST_AUTHORIZATION_KEYS,
         u"authorization"},
    };
    for (const Section& section : sections) {
        CICRuleNode node(section.dwRSType);
        for (const ManifestKeyRow& row : section.keys) {
            ReadKeysAndAddDataToICN(row.szKeyPath, row.dwPrimitiveType, node);
        }
        if (!ic.AddNode(section.dwId, node)) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CManifestConfigCompilerPlugin::ReadManifestDataFromLCSettings - failed to add %s rules to "
                u"IC\n",
                section.szRules);
            return false;
        }
    }
    return true;
}

bool CManifestConfigCompilerPlugin::ReadKeysAndAddDataToICN(const char16_t* szKeyPath, DWORD dwPrimitiveType,
                                                            CICRuleNode& node) {
    std::vector<std::u16string> names;
    if (!CLcSettingsHelper::LoadStringsFromKey(SettingsManager(), szKeyPath, &names)) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestConfigCompilerPlugin::ReadKeysAndAddDataToICN - failed to load strings from key %s\n",
            szKeyPath);
        return false;
    }
    for (const std::u16string& sName : names) {
        if (!node.Append(dwPrimitiveType, CICStringRuleValue(sName))) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestConfigCompilerPlugin::ReadKeysAndAddDataToICN - failed to append string "
                      u"rule value "
                      u"%s to rule node\n",
                      sName);
        }
    }
    return true;
}

bool CManifestConfigCompilerPlugin::SetDumpLCSettingsToFile(DWORD dwFlag, const char16_t* szFileName) {
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::PutDword(SettingsManager(), MANIFEST_DEBUG_KEY,
                                                   u"DumpSettingsToFile", dwFlag))) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestConfigCompilerPlugin::SetDumpLCSettingsToFile - SetLCSettingsDwordValue failed \n");
        return false;
    }
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::PutString(SettingsManager(), MANIFEST_DEBUG_KEY,
                                                    u"DumpSettingsFileName",
                                                    szFileName != nullptr ? szFileName : u""))) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestConfigCompilerPlugin::SetDumpLCSettingsToFile - SetLCSettingsStringValue failed \n");
        return false;
    }
    return true;
}

void CManifestConfigCompilerPlugin::DumpLCSettingsToFile() {
    DWORD dwDump = 0;
    const DWORD dwDefault = 0;
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::GetDword(SettingsManager(), MANIFEST_DEBUG_KEY,
                                                   u"DumpSettingsToFile", &dwDump, &dwDefault)) ||
        dwDump != 1) {
        return;
    }
    std::u16string sFileName;
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::GetString(SettingsManager(), MANIFEST_DEBUG_KEY,
                                                    u"DumpSettingsFileName", &sFileName))) {
        return;
    }
    const HANDLE hFile = platform::CreateFile(sFileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                              platform::CREATE_ALWAYS, platform::FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        return;
    }
    char16_t szHeader[DUMP_HEADER_CHARS] = {};
    const std::size_t cchHeader = std::char_traits<char16_t>::length(DUMP_HEADER);
    std::memcpy(szHeader, DUMP_HEADER, (cchHeader + 1) * sizeof(char16_t));
    DWORD cbWritten = 0;
    const DWORD cbHeader = static_cast<DWORD>((cchHeader + 1) * sizeof(char16_t));
    if (platform::WriteFile(hFile, szHeader, cbHeader, &cbWritten) && cbWritten == cbHeader) {
        ReadAllKeysToFile(hFile);
    }
    platform::CloseHandle(hFile);
}

void CManifestConfigCompilerPlugin::ReadAllKeysToFile(HANDLE hFile) {
    ForEachKey([this, hFile](const ManifestKeyRow& row) { ReadKeysToFile(hFile, row.szKeyPath); });
}

bool CManifestConfigCompilerPlugin::ReadKeysToFile(HANDLE hFile, const char16_t* szKeyPath) {
    std::vector<std::u16string> names;
    if (!CLcSettingsHelper::LoadStringsFromKey(SettingsManager(), szKeyPath, &names)) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestConfigCompilerPlugin::ReadKeysToFile - failed to load strings from key %s\n",
                  szKeyPath);
        return false;
    }
    for (const std::u16string& sName : names) {
        std::u16string sLine;
        try {
            sLine = platform::Format(u"KeyName = %s   Value = %s\r\n", szKeyPath, sName);
        } catch (const std::exception&) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CManifestConfigCompilerPlugin::ReadKeysToFile - failed to format line for debug output for "
                u"key %s, value %s\n",
                szKeyPath, sName);
            continue;
        }
        const DWORD cbLine = static_cast<DWORD>((sLine.size() + 1) * sizeof(char16_t));
        DWORD cbWritten = 0;
        if (!platform::WriteFile(hFile, sLine.c_str(), cbLine, &cbWritten) || cbWritten != cbLine) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CManifestConfigCompilerPlugin::ReadKeysToFile - failed to write debug output for key %s, "
                u"value %s\n",
                szKeyPath, sName);
        }
    }
    return true;
}
