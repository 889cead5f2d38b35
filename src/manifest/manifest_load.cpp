#include "manifest/manifest_load.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "diagnostics/user_debug_output.h"
#include "manifest/authenticate.h"
#include "manifest/manifest_cipher.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "settings/settings_helpers.h"

namespace {

constexpr DWORD MAX_PATH_CHARS = 260;

std::u16string Lower(std::u16string_view s) {
    std::u16string sOut(s);
    for (char16_t& ch : sOut) {
        if (ch >= u'A' && ch <= u'Z') {
            ch = static_cast<char16_t>(ch - u'A' + u'a');
        }
    }
    return sOut;
}

HKEY PredefinedKey(std::uintptr_t uValue) {
    return reinterpret_cast<HKEY>(uValue);
}

// The roots a "registry" variable may name.
HKEY VariableRoot(const std::u16string& sUpperRoot) {
    static const struct {
        const char16_t* szName;
        std::uintptr_t uKey;
    } ROOTS[] = {
        {u"HKEY_LOCAL_MACHINE", 0x80000002},
        {u"HKEY_CLASSES_ROOT", 0x80000000},
        {u"HKEY_CURRENT_CONFIG", 0x80000005},
        {u"HKEY_CURRENT_USER", 0x80000001},
        {u"HKEY_DYN_DATA", 0x80000006},
        {u"HKEY_PERFORMANCE_DATA", 0x80000004},
        {u"HKEY_PERFORMANCE_NLSTEXT", 0x80000060},
        {u"HKEY_PERFORMANCE_TEXT", 0x80000050},
        {u"HKEY_USERS", 0x80000003},
    };
    for (const auto& root : ROOTS) {
        if (sUpperRoot == root.szName) {
            return PredefinedKey(root.uKey);
        }
    }
    return nullptr;
}

// What a kind does with its text, and where it goes.
struct ElementRow {
    bool bRegistryRoot;
    bool bTrailingSeparator;
    bool bSubtree;
    const char16_t* szTreeKey;  // the key when "subtree" is true, or the only key
    const char16_t* szOtherKey;
};

// Each element constant's name (for the log texts of its subprocessor) and row, chosen by
// specialisation: comparing the constants' addresses is no constant expression under AddressSanitizer.
template <const char16_t* const* ppElement>
struct ElementTraits;
template <>
struct ElementTraits<&ManifestXMLStrings::PROT_PATH_ELEM> {
    static constexpr const char16_t* NAME = u"PROT_PATH_ELEM";
    static constexpr ElementRow ROW = {false, true, true, ManifestKeys::PROTECTED_PATH_TREE,
                                       ManifestKeys::PROTECTED_DIRECTORY};
};
template <>
struct ElementTraits<&ManifestXMLStrings::PROT_PATH_EXCL_ELEM> {
    static constexpr const char16_t* NAME = u"PROT_PATH_EXCL_ELEM";
    static constexpr ElementRow ROW = {false, true, false, ManifestKeys::PROTECTED_PATH_TREE_EXCLUSION,
                                       nullptr};
};
template <>
struct ElementTraits<&ManifestXMLStrings::PROT_FILE_ELEM> {
    static constexpr const char16_t* NAME = u"PROT_FILE_ELEM";
    static constexpr ElementRow ROW = {false, false, false, ManifestKeys::PROTECTED_FILE, nullptr};
};
template <>
struct ElementTraits<&ManifestXMLStrings::PROT_REGKEY_ELEM> {
    static constexpr const char16_t* NAME = u"PROT_REGKEY_ELEM";
    static constexpr ElementRow ROW = {true, true, true, ManifestKeys::PROTECTED_REG_TREE,
                                       ManifestKeys::PROTECTED_REG_KEY};
};
template <>
struct ElementTraits<&ManifestXMLStrings::PROT_REGKEY_EXCL_ELEM> {
    static constexpr const char16_t* NAME = u"PROT_REGKEY_EXCL_ELEM";
    static constexpr ElementRow ROW = {true, true, false, ManifestKeys::PROTECTED_REG_TREE_EXCLUSION,
                                       nullptr};
};
template <>
struct ElementTraits<&ManifestXMLStrings::PROT_PROCESS_ELEM> {
    static constexpr const char16_t* NAME = u"PROT_PROCESS_ELEM";
    static constexpr ElementRow ROW = {false, false, false, ManifestKeys::PROTECTED_PROCESS, nullptr};
};
template <>
struct ElementTraits<&ManifestXMLStrings::AUTH_PATH_ELEM> {
    static constexpr const char16_t* NAME = u"AUTH_PATH_ELEM";
    static constexpr ElementRow ROW = {false, true, true, ManifestKeys::AUTHORIZED_PATH_TREE,
                                       ManifestKeys::AUTHORIZED_DIRECTORY};
};
template <>
struct ElementTraits<&ManifestXMLStrings::AUTH_FILE_ELEM> {
    static constexpr const char16_t* NAME = u"AUTH_FILE_ELEM";
    static constexpr ElementRow ROW = {false, false, false, ManifestKeys::AUTHORIZED_FILE, nullptr};
};

}  // namespace

// ---------------------------------------------------------------------------------------------

CBaseManifestSubprocessor::CBaseManifestSubprocessor(ISettingsManager* pSettingsManager,
                                                     ktCSIDLcache::CSIDLcache* pCache, int nKeySlots)
    : m_pSettingsManager(CComPtr<ISettingsManager>::Attach(pSettingsManager)),
      m_pCache(pCache),
      m_Keys(static_cast<std::size_t>(nKeySlots)) {}

CBaseManifestSubprocessor::~CBaseManifestSubprocessor() = default;

void CBaseManifestSubprocessor::SubstituteVariables(std::u16string& sText) {
    std::u16string sWork;
    try {
        if (sText.empty()) {
            return;
        }
        std::size_t o = sText.find(u'%');
        if (o == std::u16string::npos) {
            return;
        }
        for (;;) {
            const std::size_t c = sText.find(u'%', o + 1);
            if (c == std::u16string::npos) {
                return;
            }
            const std::size_t k = sText.find(u':', o);
            if (k == std::u16string::npos) {
                return;
            }
            if (!(k > o + 1 && k + 1 < c)) {
                o = c;
                continue;
            }
            std::u16string sType;
            std::u16string sName;
            try {
                sType = Lower(std::u16string_view(sText).substr(o + 1, k - o - 1));
                sName = sText.substr(k + 1, c - k - 1);
            } catch (const std::bad_alloc&) {
                DebugOut1(
                    DBG_CAT_MANIFEST,
                    u"CBaseManifestSubprocessor::SubstituteVariables - failed to allocate memory during "
                    u"manifest variable parsing in %s\n",
                    sText);
                return;
            }
            std::u16string sValue;
            if (sType == u"lcsettings") {
                LookupLCSettingsValue(sName, &sValue);
            } else if (sType == u"registry") {
                LookupRegistryValue(sName, &sValue);
            } else if (sType == u"shgetfolderpath") {
                LookupSHGetFolderPathValue(sName, &sValue);
            } else {
                DebugOut2(DBG_CAT_MANIFEST,
                          u"CBaseManifestSubprocessor::SubstituteVariables - found unexpected variable "
                          u"substitution string in manifest file: %s\n",
                          sName);
            }
            if (sValue.empty()) {
                o = c;
                continue;
            }
            try {
                sText.replace(o, c - o + 1, sValue);
            } catch (const std::bad_alloc&) {
                DebugOut1(
                    DBG_CAT_MANIFEST,
                    u"CBaseManifestSubprocessor::SubstituteVariables - failed to allocate memory during "
                    u"manifest variable replacement in %s\n",
                    sText);
                return;
            }
            // A "%" the value brought in is never expanded.
            o = sText.find(u'%', o + sValue.size());
            if (o == std::u16string::npos) {
                return;
            }
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CBaseManifestSubprocessor::SubstituteVariables - failed to allocate memory during manifest "
            u"variable parsing in %s\n",
            sText);
    }
}

void CBaseManifestSubprocessor::LookupLCSettingsValue(const std::u16string& sName, std::u16string* psValue) {
    psValue->clear();
    try {
        const std::size_t nSlash = sName.rfind(u'\\');
        if (nSlash == std::u16string::npos) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CBaseManifestSubprocessor::LookupLCSettingsValue - failed to find LCSettings path "
                      u"separator in %s\n",
                      sName);
            return;
        }
        const std::u16string sKey = sName.substr(0, nSlash);
        const std::u16string sValueName = sName.substr(nSlash + 1);
        if (m_pSettingsManager) {
            m_pSettingsManager->AddRef();
        }
        std::u16string sRead;
        if (ZEL_SUCCEEDED(CLcSettingsHelper::GetString(m_pSettingsManager.Get(), sKey.c_str(),
                                                       sValueName.c_str(), &sRead))) {
            *psValue = std::move(sRead);
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CBaseManifestSubprocessor::LookupLCSettingsValue - failed to allocate LCSettings strings\n");
        psValue->clear();
    }
}

void CBaseManifestSubprocessor::LookupRegistryValue(const std::u16string& sName, std::u16string* psValue) {
    psValue->clear();
    try {
        const std::size_t f = sName.find(u'\\');
        if (sName.empty() || f == std::u16string::npos) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::LookupRegistryValue - failed to find registry path separator "
                u"in %s\n",
                sName);
            return;
        }
        const std::size_t l = sName.rfind(u'\\');
        if (l <= f + 1) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CBaseManifestSubprocessor::LookupRegistryValue - first and last registry path "
                      u"separators are too close together in %s\n",
                      sName);
            return;
        }
        const std::u16string sRoot = platform::ToUpper(std::u16string_view(sName).substr(0, f));
        const std::u16string sSubKey = sName.substr(f + 1, l - f - 1);
        const std::u16string sValueName = sName.substr(l + 1);
        const HKEY hRoot = VariableRoot(sRoot);
        if (hRoot == nullptr) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::LookupRegistryValue - manifest contains unexpected registry "
                u"specification %s\n",
                sName);
            return;
        }
        HKEY hKey = nullptr;
        if (platform::RegOpenKeyEx(hRoot, sSubKey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CBaseManifestSubprocessor::LookupRegistryValue - failed to open key %s\n", sName);
            return;
        }
        std::unique_ptr<char16_t[]> szBuffer;
        try {
            szBuffer = std::make_unique<char16_t[]>(MAX_PATH_CHARS);
        } catch (const std::bad_alloc&) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::LookupRegistryValue - failed to allocate room to store the "
                u"registry value for %s\n",
                sName);
            platform::RegCloseKey(hKey);
            return;
        }
        DWORD dwType = REG_NONE;
        DWORD cbData = MAX_PATH_CHARS * sizeof(char16_t);
        const LONG lResult = platform::RegQueryValueEx(hKey, sValueName.c_str(), &dwType,
                                                       reinterpret_cast<BYTE*>(szBuffer.get()), &cbData);
        platform::RegCloseKey(hKey);
        if (lResult != ERROR_SUCCESS || dwType != REG_SZ) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CBaseManifestSubprocessor::LookupRegistryValue - failed to query value %s\n", sName);
            return;
        }
        const std::size_t cch = std::min<std::size_t>(cbData / sizeof(char16_t), MAX_PATH_CHARS);
        const std::u16string_view sRead(szBuffer.get(), cch);
        *psValue = std::u16string(sRead.substr(0, std::min(sRead.find(u'\0'), sRead.size())));
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CBaseManifestSubprocessor::LookupRegistryValue - failed to allocate registry strings\n");
        psValue->clear();
    }
}

void CBaseManifestSubprocessor::LookupSHGetFolderPathValue(const std::u16string& sName,
                                                           std::u16string* psValue) {
    psValue->clear();
    try {
        auto szBuffer = std::make_unique<char16_t[]>(MAX_PATH_CHARS);
        DWORD dwSize = MAX_PATH_CHARS;
        if (m_pCache == nullptr || !m_pCache->GetCSIDLpath(sName.c_str(), szBuffer.get(), &dwSize)) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::LookupSHGetFolderPathValue - failed to get path for folder "
                u"%s. Required %d characters\n",
                sName, static_cast<int>(dwSize));
            return;
        }
        *psValue = szBuffer.get();
    } catch (const std::bad_alloc&) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CBaseManifestSubprocessor::LookupSHGetFolderPathValue - failed to allocate folder strings\n");
        psValue->clear();
    }
}

void CBaseManifestSubprocessor::ConvertRegistryRoot(std::u16string& sText) {
    static const struct {
        const char16_t* szRoot;
        const char16_t* szNative;
    } CONVERSIONS[] = {
        {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE"},
        {u"HKEY_CLASSES_ROOT", u"\\REGISTRY\\MACHINE\\SOFTWARE\\CLASSES"},
        {u"HKEY_USERS", u"\\REGISTRY\\USER"},
    };
    try {
        const std::size_t nFirst = sText.find(u'\\');
        if (nFirst == std::u16string::npos) {
            DebugOut2(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::ConvertRegistryRoot - found no registry path separators in "
                u"registry string %s\n",
                sText);
            return;
        }
        std::size_t nStart = 0;
        std::size_t nEnd = nFirst;
        if (nFirst == 0) {
            nStart = 1;
            nEnd = sText.find(u'\\', 1);
            if (nEnd == std::u16string::npos) {
                DebugOut2(
                    DBG_CAT_MANIFEST,
                    u"CBaseManifestSubprocessor::ConvertRegistryRoot - found no registry path separators "
                    u"in registry string %s\n",
                    sText);
                return;
            }
        }
        const std::u16string sRoot =
            platform::ToUpper(std::u16string_view(sText).substr(nStart, nEnd - nStart));
        for (const auto& conversion : CONVERSIONS) {
            if (sRoot == conversion.szRoot) {
                sText = conversion.szNative + sText.substr(nEnd);
                return;
            }
        }
        DebugOut2(
            DBG_CAT_MANIFEST,
            u"CBaseManifestSubprocessor::ConvertRegistryRoot - unexpected registry key form in manifest %s\n",
            sText);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CBaseManifestSubprocessor::ConvertRegistryRoot - failed fixing up registry key roots\n");
    }
}

void CBaseManifestSubprocessor::NormalizePathSeparators(std::u16string& sText) {
    try {
        bool bReplaced = true;
        while (bReplaced) {
            bReplaced = false;
            std::size_t nPos = 0;
            while ((nPos = sText.find(u"\\\\", nPos)) != std::u16string::npos) {
                sText.replace(nPos, 2, u"\\");
                ++nPos;
                bReplaced = true;
            }
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CBaseManifestSubprocessor::NormalizePathSeparators - failed replacing path separator "
                  u"sequences\n");
    }
}

void CBaseManifestSubprocessor::AddTrailingPathSeparator(std::u16string& sText) {
    try {
        if (sText.empty()) {
            throw std::invalid_argument("empty path");
        }
        if (sText.back() != u'\\') {
            sText.push_back(u'\\');
        }
    } catch (const std::exception&) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CBaseManifestSubprocessor::AddTrailingPathSeparator - failed to add trailing path "
                  u"separator\n");
    }
}

bool CBaseManifestSubprocessor::GetBooleanAttribute(const platform::CXmlNode& node, const char16_t* szName,
                                                    bool bDefault) {
    std::u16string sNodeName;
    try {
        if (!node) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::GetBooleanAttribute - exception getting element name %08x\n",
                static_cast<DWORD>(platform::XML_E_NO_DOCUMENT));
            return bDefault;
        }
        sNodeName = node.NodeName();
        if (!node.IsElement()) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::GetBooleanAttribute - received node %s with no attributes\n",
                sNodeName);
            return bDefault;
        }
        std::u16string sValue;
        const HRESULT hr = node.GetAttribute(szName, &sValue);
        if (FAILED(hr)) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::GetBooleanAttribute - failed to get value of attribute %s from "
                u"node %s %08x\n",
                szName, sNodeName, static_cast<DWORD>(hr));
            return bDefault;
        }
        if (hr == S_FALSE) {
            return bDefault;
        }
        if (platform::EqualNoCase(sValue, u"true")) {
            return true;
        }
        if (platform::EqualNoCase(sValue, u"false")) {
            return false;
        }
        DebugOut2(DBG_CAT_MANIFEST,
                  u"CBaseManifestSubprocessor::GetBooleanAttribute - node %s contains attribute %s with "
                  u"unexpected value %s. Using default value\n",
                  sNodeName, szName, sValue);
        return bDefault;
    } catch (const std::bad_alloc&) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CBaseManifestSubprocessor::GetBooleanAttribute - exception getting attribute %s from node %s "
            u"%08x\n",
            szName, sNodeName, static_cast<DWORD>(E_OUTOFMEMORY));
        return bDefault;
    }
}

ZELRESULT CBaseManifestSubprocessor::AddToSettings(int nSlot, const char16_t* szKeyPath,
                                                   const std::u16string& sEntry) {
    CComPtr<ISettings>& pKey = m_Keys[static_cast<std::size_t>(nSlot)];
    if (!pKey) {
        ZELRESULT zr = ZEL_E_INVALID_ARGUMENT;
        if (m_pSettingsManager) {
            zr = m_pSettingsManager->CreateSettings(szKeyPath, &pKey);
        }
        if (!ZEL_SUCCEEDED(zr) || !pKey) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CBaseManifestSubprocessor::AddToSettings - m_settingsManager->CreateSettings(\"%s\") "
                      u"failed (%#08X)\n",
                      szKeyPath, static_cast<DWORD>(zr));
            pKey.Release();
            return zr;
        }
    }
    const ZELRESULT zr = pKey->PutString(sEntry.c_str(), u"");
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CBaseManifestSubprocessor::AddToSettings - failed to put value %s into lcSettings\n",
                  sEntry);
    }
    return zr;
}

ZELRESULT CBaseManifestSubprocessor::SaveSettings() {
    ZELRESULT zrAll = ZEL_SUCCESS;
    for (CComPtr<ISettings>& pKey : m_Keys) {
        if (!pKey) {
            continue;
        }
        const ZELRESULT zr = m_pSettingsManager->PutSettings(pKey.Get());
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CBaseManifestSubprocessor::SaveSettings - m_SettingsManager->PutSettings() failed: %#08X\n",
                static_cast<DWORD>(zr));
            zrAll = zr;
        }
        pKey.Release();
    }
    return zrAll;
}

// ---------------------------------------------------------------------------------------------

template <const char16_t* const* ppElement>
CSingleElementManifestSubprocessor<ppElement>::CSingleElementManifestSubprocessor(
    ISettingsManager* pSettingsManager, ktCSIDLcache::CSIDLcache* pCache)
    : CBaseManifestSubprocessor(pSettingsManager, pCache,
                                ElementTraits<ppElement>::ROW.szOtherKey != nullptr ? 2 : 1) {}

template <const char16_t* const* ppElement>
void CSingleElementManifestSubprocessor<ppElement>::ProcessXML(const platform::CXmlDocument& document) {
    const char16_t* szXPath = *ppElement;
    const char16_t* szElement = ElementTraits<ppElement>::NAME;
    std::vector<platform::CXmlNode> nodes;
    const HRESULT hr = document.SelectNodes(szXPath, &nodes);
    if (FAILED(hr)) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CSingleElementManifestSubprocessor<&unsigned short const * const ManifestXMLStrings::%s>::"
            u"ProcessXML - manifest select for %s failed\n",
            szElement, szXPath);
        return;
    }
    if (nodes.empty()) {
        return;
    }
    for (const platform::CXmlNode& node : nodes) {
        std::u16string sText;
        try {
            sText = node.GetText();
        } catch (const std::bad_alloc&) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CSingleElementManifestSubprocessor<&unsigned short const * const ManifestXMLStrings::%s>::"
                u"ProcessXML - failed to allocate element text string\n",
                szElement);
            continue;
        }
        ProcessElement(sText, node);
    }
    SaveSettings();
}

template <const char16_t* const* ppElement>
void CSingleElementManifestSubprocessor<ppElement>::ProcessElement(std::u16string& sText,
                                                                   const platform::CXmlNode& node) {
    constexpr ElementRow row = ElementTraits<ppElement>::ROW;
    SubstituteVariables(sText);
    if constexpr (row.bRegistryRoot) {
        ConvertRegistryRoot(sText);
    }
    NormalizePathSeparators(sText);
    if constexpr (row.bTrailingSeparator) {
        AddTrailingPathSeparator(sText);
    }
    if constexpr (row.bSubtree) {
        if (GetBooleanAttribute(node, u"subtree", true)) {
            AddToSettings(0, row.szTreeKey, sText);
        } else {
            AddToSettings(1, row.szOtherKey, sText);
        }
    } else {
        AddToSettings(0, row.szTreeKey, sText);
    }
}

template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::PROT_PATH_ELEM>;
template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::PROT_PATH_EXCL_ELEM>;
template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::PROT_FILE_ELEM>;
template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::PROT_REGKEY_ELEM>;
template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::PROT_REGKEY_EXCL_ELEM>;
template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::PROT_PROCESS_ELEM>;
template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::AUTH_PATH_ELEM>;
template class CSingleElementManifestSubprocessor<&ManifestXMLStrings::AUTH_FILE_ELEM>;

// ---------------------------------------------------------------------------------------------

CGatewardenManifestLoad::~CGatewardenManifestLoad() {
    Uninitialize();
}

void CGatewardenManifestLoad::DeleteSubprocessors() {
    m_Subprocessors.clear();
}

void CGatewardenManifestLoad::Uninitialize() {
    DeleteSubprocessors();
    m_pSettingsManager.Release();
}

bool CGatewardenManifestLoad::Initialize(ISettingsManager* pSettingsManager) {
    CComPtr<ISettingsManager> pHeld = CComPtr<ISettingsManager>::Attach(pSettingsManager);
    if (!m_CSIDLcache.RetrieveCSIDLPaths()) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CGatewardenManifestLoad::Initialize - Failed to retrieve CSIDL paths\n");
    }
    m_pSettingsManager = std::move(pHeld);
    if (!m_pSettingsManager) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CGatewardenManifestLoad::Initialize - Constructed with NULL settings manager pointer\n");
        DeleteSubprocessors();
        return false;
    }
    DeleteSubprocessors();
    try {
        auto add = [this]<const char16_t* const * ppElement>() {
            m_pSettingsManager->AddRef();
            m_Subprocessors.push_back(std::make_unique<CSingleElementManifestSubprocessor<ppElement>>(
                m_pSettingsManager.Get(), &m_CSIDLcache));
        };
        m_Subprocessors.reserve(8);
        add.operator()<&ManifestXMLStrings::PROT_PATH_ELEM>();
        add.operator()<&ManifestXMLStrings::PROT_PATH_EXCL_ELEM>();
        add.operator()<&ManifestXMLStrings::PROT_FILE_ELEM>();
        add.operator()<&ManifestXMLStrings::PROT_REGKEY_ELEM>();
        add.operator()<&ManifestXMLStrings::PROT_REGKEY_EXCL_ELEM>();
        add.operator()<&ManifestXMLStrings::PROT_PROCESS_ELEM>();
        add.operator()<&ManifestXMLStrings::AUTH_PATH_ELEM>();
        add.operator()<&ManifestXMLStrings::AUTH_FILE_ELEM>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CGatewardenManifestLoad::Initialize - failed to allocate memory for manifest subprocessors: "
            u"%s\n",
            platform::FromUtf8(e.what()));
        DeleteSubprocessors();
        m_pSettingsManager.Release();
        return false;
    }
    return true;
}

bool CGatewardenManifestLoad::Load(const char16_t* szFolder) {
    return LoadT(szFolder != nullptr ? std::u16string(szFolder) : std::u16string());
}

bool CGatewardenManifestLoad::Load(const char* szFolder) {
    return LoadT(platform::FromUtf8(szFolder != nullptr ? szFolder : ""));
}

bool CGatewardenManifestLoad::LoadT(const std::u16string& sFolder) {
    m_Times = {};
    std::u16string sDir;
    std::vector<std::u16string> names;
    try {
        if (sFolder.empty()) {
            throw std::invalid_argument("empty folder name");
        }
        sDir = sFolder;
        if (sDir.back() != u'\\') {
            sDir.push_back(u'\\');
        }
        if (!platform::ListFiles(sDir.c_str(), &names)) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CGatewardenManifestLoad::LoadT - Failed to open manifest folder %s\n", sDir);
            return true;
        }
        for (const std::u16string& sName : names) {
            // "*.gwm" of this folder only.
            if (sName.size() > 4 &&
                platform::EqualNoCase(std::u16string_view(sName).substr(sName.size() - 4), u".gwm")) {
                LoadFile(sDir + sName);
            }
        }
    } catch (const std::exception& e) {
        DebugOut1(DBG_CAT_MANIFEST, u"LCCATCH : %s\n", platform::FromUtf8(e.what()));
    }
    return true;
}

void CGatewardenManifestLoad::LoadFile(const std::u16string& sPath) {
    DebugOut3(DBG_CAT_MANIFEST, u"CGatewardenManifestLoad::LoadFile - Processing %s\n", sPath);
    ++m_Times.nFiles;
    auto start = std::chrono::steady_clock::now();
    {
        struct CTimed {
            std::chrono::steady_clock::duration& total;
            std::chrono::steady_clock::time_point& start;
            ~CTimed() {
                const auto now = std::chrono::steady_clock::now();
                total += now - start;
                start = now;
            }
        } timed{m_Times.authentication, start};
        CAuthenticate authenticate;
        bool bAuthentic = false;
        if (!authenticate.IsAuthentic(sPath.c_str(), &bAuthentic)) {
            return;
        }
        if (!bAuthentic) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CGatewardenManifestLoad::LoadFile - Authentication of \"%s\" failed\n", sPath);
            return;
        }
    }
    const HANDLE hFile = platform::CreateFile(sPath.c_str(), GENERIC_READ, platform::FILE_SHARE_READ,
                                              platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CGatewardenManifestLoad::LoadFile - File open of \"%s\" failed (%#08X)\n", sPath,
                  platform::GetLastError());
        return;
    }
    std::unique_ptr<BYTE[]> pBuffer;
    DWORD cbFile = 0;
    bool bRead = false;
    LONGLONG llSize = 0;
    if (!platform::GetFileSizeEx(hFile, &llSize) || llSize < 0 || llSize >= 0xFFFFFFFFLL) {
        DebugOut1(DBG_CAT_MANIFEST, u"CGatewardenManifestLoad::LoadFile - Get file size of \"%s\" failed\n",
                  sPath);
    } else {
        cbFile = static_cast<DWORD>(llSize);
        try {
            pBuffer.reset(new BYTE[cbFile == 0 ? 1 : cbFile]);
        } catch (const std::bad_alloc&) {
            DebugOut1(DBG_CAT_MANIFEST, u"LCCATCH : %s\n", u"std::bad_alloc");
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CGatewardenManifestLoad::LoadFile - Allocate buffer of %d bytes failed for file \"%s\"\n",
                static_cast<int>(cbFile), sPath);
        }
        if (pBuffer) {
            DWORD cbRead = 0;
            bRead = platform::ReadFile(hFile, pBuffer.get(), cbFile, &cbRead) && cbRead == cbFile;
            if (!bRead) {
                DebugOut1(DBG_CAT_MANIFEST,
                          u"CGatewardenManifestLoad::LoadFile - ReadFile of \"%s\" failed\n", sPath);
            }
        }
    }
    platform::CloseHandle(hFile);
    if (!bRead) {
        return;
    }
    DecipherManifest(pBuffer.get(), cbFile);
    m_Times.parsing += std::chrono::steady_clock::now() - start;
    ProcessBytes(sPath, pBuffer.get(), cbFile);
}

void CGatewardenManifestLoad::ProcessBytes(const std::u16string& sPath, const BYTE* pData,
                                           std::size_t cbData) {
    platform::CXmlDocument* pRawDoc = nullptr;
    const HRESULT hrCreate = platform::CXmlDocument::Create(&pRawDoc);
    CComPtr<platform::CXmlDocument> pXMLDoc = CComPtr<platform::CXmlDocument>::Attach(pRawDoc);
    if (FAILED(hrCreate) || !pXMLDoc) {
        if (hrCreate == REGDB_E_CLASSNOTREG) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CGatewardenManifestLoad::LoadFile - pXMLDoc.CreateInstance() failed. MSXML is not "
                      u"registered.\n");
        } else {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CGatewardenManifestLoad::LoadFile - pXMLDoc.CreateInstance() failed for file %s (%#08X)\n",
                sPath, static_cast<DWORD>(hrCreate));
        }
        return;
    }
    try {
        auto start = std::chrono::steady_clock::now();
        const HRESULT hrLoad = pXMLDoc->Load(pData, cbData);
        const auto parsed = std::chrono::steady_clock::now();
        m_Times.parsing += parsed - start;
        if (SUCCEEDED(hrLoad)) {
            for (const auto& pSubprocessor : m_Subprocessors) {
                pSubprocessor->ProcessXML(*pXMLDoc.Get());
            }
            m_Times.settings += std::chrono::steady_clock::now() - parsed;
            return;
        }
        const platform::XmlParseError& error = pXMLDoc->ParseError();
        if (error.errorCode == S_OK) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CGatewardenManifestLoad::LoadFile - Loading decrypted XML data failed for \"%s\"\n",
                      sPath);
            return;
        }
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CGatewardenManifestLoad::LoadFileManifest XML parse error in %s: code %x, line %d, position "
            u"%d\n",
            sPath, static_cast<DWORD>(error.errorCode), static_cast<int>(error.line),
            static_cast<int>(error.linepos));
        DebugOut1(DBG_CAT_MANIFEST, u"CGatewardenManifestLoad::LoadFileManifest XML parse error reason: %s\n",
                  error.reason);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MANIFEST, u"CGatewardenManifestLoad::LoadFile - COM exception caught: %#08X\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
    }
}
