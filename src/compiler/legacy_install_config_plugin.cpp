#include "compiler/legacy_install_config_plugin.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <tuple>

#include "compiler/intermediate_configuration.h"
#include "diagnostics/user_debug_output.h"

namespace {

using pluginsettings::AddRefed;
using pluginsettings::Code;

constexpr DWORD HASH_DIGITS = 32;
constexpr DWORD VERSION_RECORD_SIZE = 20;

bool IsHexDigit(char16_t ch) {
    return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') || (ch >= u'A' && ch <= u'F');
}

DWORD HexValue(char16_t ch) {
    if (ch <= u'9') {
        return ch - u'0';
    }
    return (ch | 0x20) - u'a' + 10;
}

// Strings are written with their length in bytes, terminator included.
DWORD StringSize(const std::u16string& s) {
    return static_cast<DWORD>(s.size() * 2 + 2);
}

void PutDword(BYTE* pBlock, DWORD* pdwOffset, DWORD dwValue) {
    for (int i = 0; i < 4; ++i) {
        pBlock[*pdwOffset + i] = static_cast<BYTE>(dwValue >> (8 * i));
    }
    *pdwOffset += 4;
}

void PutString(BYTE* pBlock, DWORD* pdwOffset, const std::u16string& s) {
    PutDword(pBlock, pdwOffset, StringSize(s));
    for (const char16_t ch : s) {
        pBlock[(*pdwOffset)++] = static_cast<BYTE>(ch);
        pBlock[(*pdwOffset)++] = static_cast<BYTE>(ch >> 8);
    }
    pBlock[(*pdwOffset)++] = 0;
    pBlock[(*pdwOffset)++] = 0;
}

}  // namespace

bool CCompanionFile::IsValidHashName(const std::u16string& sName) {
    if (sName.size() < HASH_DIGITS || !std::all_of(sName.begin(), sName.begin() + HASH_DIGITS, IsHexDigit)) {
        return false;
    }
    return sName.size() == HASH_DIGITS || !IsHexDigit(sName[HASH_DIGITS]);
}

bool CCompanionFile::Init(const std::u16string& sExeKeyPath, const std::u16string& sCompanionName,
                          ISettingsManager* pSetMgrIn) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    if (m_bInitialized) {
        DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CCompanionFile::Init: Already initialized!");
        return false;
    }
    m_sName = sCompanionName;
    std::replace(m_sName.begin(), m_sName.end(), u'/', u'\\');
    const std::u16string sKey = sExeKeyPath + u"\\" + sCompanionName;
    CComPtr<ISettings> pLCSetKey;
    ZELRESULT zr = pSetMgr ? pSetMgr->GetSettings(sKey.c_str(), &pLCSetKey) : ZEL_E_INVALID_ARGUMENT;
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CCompanionFile::Init: FAILED to get pointer to settings key \"%s\", ZELRESULT=%0x", sKey,
                  Code(zr));
        return false;
    }
    CSettingsValuesIterator svIter;
    zr = svIter.Init(pLCSetKey.Get());
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CCompanionFile::Init: svIter.Init() FAILED, ZELRESULT=%0x",
                  Code(zr));
        return false;
    }
    m_Versions.clear();
    while (svIter.HasMoreValues()) {
        const char16_t* szHash = nullptr;
        zr = svIter.GetNextValue(&szHash);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                      u"CCompanionFile::Init: svIter.GetNextValue() FAILED, ZELRESULT=%0x", Code(zr));
            return false;
        }
        DWORD dwFileSize = 0;
        zr = pLCSetKey->GetDword(szHash, &dwFileSize);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                      u"CCompanionFile::Init: pLCSetKey->GetDword() FAILED, ZELRESULT=%0x", Code(zr));
            return false;
        }
        const std::u16string sHash(szHash);
        DebugOut3(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CCompanionFile::Init: Hash = \"%s\"; file size = %i",
                  sHash, static_cast<int>(dwFileSize));
        if (!IsValidHashName(sHash)) {
            DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                      u"CCompanionFile::Init: Hash = \"%s\" INVALID. Evaluating next hash", sHash);
            continue;
        }
        Version version{dwFileSize, {}};
        for (size_t nWord = 0; nWord < 4; ++nWord) {
            DWORD dwDigits = 0;
            for (size_t nDigit = 0; nDigit < 8; ++nDigit) {
                dwDigits = dwDigits << 4 | HexValue(sHash[nWord * 8 + nDigit]);
            }
            // Byte-reversed, so that the word's little-endian bytes are the digits' bytes in order.
            version.hash[nWord] = (dwDigits >> 24) | ((dwDigits >> 8) & 0xFF00) |
                                  ((dwDigits << 8) & 0xFF0000) | (dwDigits << 24);
        }
        m_Versions.push_back(version);
    }
    std::sort(m_Versions.begin(), m_Versions.end(), [](const Version& a, const Version& b) {
        return std::tie(a.dwFileSize, a.hash) < std::tie(b.dwFileSize, b.hash);
    });
    m_dwDataSize = 0;
    m_bInitialized = true;
    return true;
}

DWORD CCompanionFile::GetDataSize() const {
    if (m_dwDataSize == 0) {
        m_dwDataSize = 8 + StringSize(m_sName) + VERSION_RECORD_SIZE * static_cast<DWORD>(m_Versions.size());
    }
    return m_dwDataSize;
}

bool CCompanionFile::FormatData(BYTE* pBlock, DWORD* pdwOffset) const {
    if (!m_bInitialized) {
        DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CCompanionFile::FormatData: Not Initialized!");
        return false;
    }
    PutString(pBlock, pdwOffset, m_sName);
    PutDword(pBlock, pdwOffset, static_cast<DWORD>(m_Versions.size()));
    for (const Version& version : m_Versions) {
        PutDword(pBlock, pdwOffset, version.dwFileSize);
        for (const DWORD dwWord : version.hash) {
            PutDword(pBlock, pdwOffset, dwWord);
        }
    }
    return true;
}

bool CExeKey::Init(const std::u16string& sKeyPath, const std::u16string& sExeName,
                   ISettingsManager* pSetMgrIn) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    if (m_bInitialized) {
        DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CExeKey::Init: Already initialized!");
        return false;
    }
    m_sName = sExeName;
    const std::u16string keyPath = sKeyPath + u"\\" + sExeName;
    CComPtr<ISettings> pKey;
    ZELRESULT zr = pSetMgr ? pSetMgr->GetSettings(keyPath.c_str(), &pKey) : ZEL_E_INVALID_ARGUMENT;
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CExeKey::Init: FAILED to get pointer to settings key \"%s\", ZELRESULT=%0x", keyPath,
                  Code(zr));
        return false;
    }
    CSettingsKeysIterator skIter;
    zr = skIter.Init(pSetMgr.Get(), keyPath.c_str());
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CExeKey::Init: skIter.Init() FAILED, ZELRESULT=%0x",
                  Code(zr));
        return false;
    }
    m_CompanionFiles.assign(skIter.GetCount(), CCompanionFile());
    for (DWORD i = 0; i < skIter.GetCount(); ++i) {
        const char16_t* pCompStr = nullptr;
        zr = skIter.GetNextValue(&pCompStr);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                      u"CExeKey::Init: skIter.GetNextValue() FAILED, ZELRESULT=%0x", Code(zr));
            return false;
        }
        const std::u16string sComp(pCompStr);
        DebugOut3(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CExeKey::Init: Iteration %i: pCompStr = \"%s\"",
                  static_cast<int>(i), sComp);
        if (!m_CompanionFiles[i].Init(keyPath, sComp, AddRefed(pSetMgr.Get()))) {
            DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                      u"CExeKey::Init: vecCompFile[%i].Init() FAILED: keyPath=\"%s\", pCompStr=\"%s\"",
                      static_cast<int>(i), keyPath, sComp);
            return false;
        }
    }
    m_dwDataSize = 0;
    m_bInitialized = true;
    return true;
}

DWORD CExeKey::GetDataSize() const {
    if (m_dwDataSize == 0) {
        DWORD dwSize = 8 + StringSize(m_sName);
        for (const CCompanionFile& companion : m_CompanionFiles) {
            dwSize += companion.GetDataSize();
        }
        m_dwDataSize = dwSize;
    }
    return m_dwDataSize;
}

bool CExeKey::FormatData(BYTE* pBlock, DWORD* pdwOffset) const {
    if (!m_bInitialized) {
        DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CExeKey::FormatData: Not Initialized!");
        return false;
    }
    PutString(pBlock, pdwOffset, m_sName);
    PutDword(pBlock, pdwOffset, static_cast<DWORD>(m_CompanionFiles.size()));
    for (size_t i = 0; i < m_CompanionFiles.size(); ++i) {
        if (!m_CompanionFiles[i].FormatData(pBlock, pdwOffset)) {
            DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CExeKey::FormatData: vecCompFile[%i] FAILED",
                      static_cast<int>(i));
            return false;
        }
    }
    return true;
}

bool CLegacyNonMsiData::Init(const std::u16string& sKeyPath, ISettingsManager* pSetMgrIn) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    if (m_bInitialized) {
        DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CLegacyNonMsiData::Init: Already initialized!");
        return false;
    }
    CComPtr<ISettings> pKey;
    ZELRESULT zr = pSetMgr ? pSetMgr->GetSettings(sKeyPath.c_str(), &pKey) : ZEL_E_INVALID_ARGUMENT;
    if (zr == ZEL_E_NOT_FOUND) {
        DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CLegacyNonMsiData::Init: LC key \"%s\" not found",
                  sKeyPath);
        m_Executables.clear();
        m_dwDataSize = 0;
        m_bInitialized = true;
        return true;
    }
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyNonMsiData::Init: FAILED to get pointer to settings key \"%s\", ZELRESULT=%0x",
                  sKeyPath, Code(zr));
        return false;
    }
    CSettingsKeysIterator skIter;
    zr = skIter.Init(pSetMgr.Get(), sKeyPath.c_str());
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyNonMsiData::Init: skIter.Init() FAILED, ZELRESULT=%0x", Code(zr));
        return false;
    }
    m_Executables.assign(skIter.GetCount(), CExeKey());
    for (DWORD i = 0; i < skIter.GetCount(); ++i) {
        const char16_t* pExeStr = nullptr;
        zr = skIter.GetNextValue(&pExeStr);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                      u"CLegacyNonMsiData::Init: skIter.GetNextValue() FAILED, ZELRESULT=%0x", Code(zr));
            return false;
        }
        const std::u16string sExe(pExeStr);
        if (!m_Executables[i].Init(sKeyPath, sExe, AddRefed(pSetMgr.Get()))) {
            DebugOut1(
                DBG_CAT_LEGACY_INSTALL_PLUGIN,
                u"CLegacyNonMsiData::Init: vecExe[%i].Init() FAILED: szLCKeyName=\"%s\", pExeStr=\"%s\"",
                static_cast<int>(i), sKeyPath, sExe);
            return false;
        }
        DebugOut3(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CLegacyNonMsiData::Init: vecExe[%i].GetName() = \"%s\"",
                  static_cast<int>(i), m_Executables[i].GetName());
    }
    m_dwDataSize = 0;
    m_bInitialized = true;
    return true;
}

DWORD CLegacyNonMsiData::GetDataSize() const {
    if (m_dwDataSize == 0) {
        DWORD dwSize = 4 + 4 * static_cast<DWORD>(m_Executables.size());
        for (const CExeKey& exe : m_Executables) {
            dwSize += exe.GetDataSize();
        }
        m_dwDataSize = dwSize;
    }
    return m_dwDataSize;
}

bool CLegacyNonMsiData::FormatData(std::unique_ptr<BYTE[]>* ppBlock) const {
    if (!m_bInitialized) {
        DebugOut2(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CLegacyNonMsiData::FormatData: Not Initialized!");
        return false;
    }
    std::unique_ptr<BYTE[]> pBlock;
    try {
        pBlock = std::make_unique<BYTE[]>(GetDataSize());
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyNonMsiData::FormatData: Unable to allocate new dataBlock: %S\n", e.what());
        return false;
    }
    DWORD dwOffset = 0;
    PutDword(pBlock.get(), &dwOffset, static_cast<DWORD>(m_Executables.size()));
    DWORD dwRecord = 4 + 4 * static_cast<DWORD>(m_Executables.size());
    for (size_t i = 0; i < m_Executables.size(); ++i) {
        DWORD dwSlot = static_cast<DWORD>(4 + 4 * i);
        PutDword(pBlock.get(), &dwSlot, dwRecord);
        if (!m_Executables[i].FormatData(pBlock.get(), &dwRecord)) {
            DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                      u"CLegacyNonMsiData::FormatData: vecExe[%i].FormatData() FAILED", static_cast<int>(i));
            return false;
        }
    }
    *ppBlock = std::move(pBlock);
    return true;
}

bool CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData(CICDirectNode& directNode,
                                                             const std::u16string& sKeyPath) {
    bool bOk = true;
    std::unique_ptr<BYTE[]> pBlock;
    DWORD cbBlock = 0;
    try {
        CLegacyNonMsiData nonMsiData;
        if (!nonMsiData.Init(sKeyPath, SettingsManager())) {
            DebugOut1(
                DBG_CAT_LEGACY_INSTALL_PLUGIN,
                u"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: nonMsiData FAILED to initialize!");
            bOk = false;
        } else if (!nonMsiData.FormatData(&pBlock)) {
            DebugOut1(
                DBG_CAT_LEGACY_INSTALL_PLUGIN,
                u"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: nonMsiData.FormatData() FAILED!");
            bOk = false;
        } else {
            cbBlock = nonMsiData.GetDataSize();
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: LCCATCHMEM: error caught");
        bOk = false;
    }
    if (bOk) {
        DebugOut3(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: Data formatted: %i BYTEs long",
                  static_cast<int>(cbBlock));
        if (!directNode.SetData(pBlock.get(), cbBlock)) {
            DebugOut1(
                DBG_CAT_LEGACY_INSTALL_PLUGIN,
                u"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: directNode.SetData() FAILED");
            bOk = false;
        }
    }
    return bOk;
}

std::unique_ptr<CIntermediateConfiguration> CLegacyInstallConfigPlugin::PluginGetIC(bool bCreateNewIC,
                                                                                    CErrorStack& errorStack) {
    DebugOut3(DBG_CAT_LEGACY_INSTALL_PLUGIN, u"CLegacyInstallConfigPlugin::PluginGetIC: called");
    // The description is read only when the compiler builds a configuration from scratch.
    if (!bCreateNewIC) {
        DebugOut3(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyInstallConfigPlugin::PluginGetIC: No need to create IC");
        return nullptr;
    }
    std::unique_ptr<CIntermediateConfiguration> pIC;
    try {
        pIC = std::make_unique<CIntermediateConfiguration>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyInstallConfigPlugin::PluginGetIC: Unable to allocate new "
                  u"CIntermediateConfiguration: %S\n",
                  e.what());
        return nullptr;
    }
    CICDirectNode directNode;
    if (!LoadNonMsiAuthorizationData(directNode, NON_MSI_KEY)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyInstallConfigPlugin::PluginGetIC: FAILED to load direct nodes");
        errorStack.AddWarning(u"Using default component configuration settings");
        return nullptr;
    }
    if (!pIC->AddNode(KTDATAFILE_LEGACY_INSTALL_ID, directNode)) {
        DebugOut1(DBG_CAT_LEGACY_INSTALL_PLUGIN,
                  u"CLegacyInstallConfigPlugin::PluginGetIC: FAILED to add nodes to the IC");
        return nullptr;
    }
    return pIC;
}
