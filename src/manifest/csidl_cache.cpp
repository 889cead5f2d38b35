#include "manifest/csidl_cache.h"

#include <algorithm>

#include "diagnostics/user_debug_output.h"
#include "platform/known_folders.h"
#include "platform/strings.h"
#include "settings/settings_helpers.h"

namespace ktCSIDLcache {

const CSIDLFolder CSIDL_FOLDERS[CSIDL_COUNT] = {
    {u"CSIDL_COMMON_APPDATA", platform::CSIDL_COMMON_APPDATA},
    {u"CSIDL_PROGRAM_FILES", platform::CSIDL_PROGRAM_FILES},
    {u"CSIDL_PROGRAM_FILES_COMMON", platform::CSIDL_PROGRAM_FILES_COMMON},
    {u"CSIDL_SYSTEM", platform::CSIDL_SYSTEM},
    {u"CSIDL_WINDOWS", platform::CSIDL_WINDOWS},
};

CSIDLcache::~CSIDLcache() = default;

bool CSIDLcache::EnsureSettingsManager() {
    if (m_pSettingsManager) {
        return true;
    }
    if (!ZEL_SUCCEEDED(m_settingsManagerLoader.Load(u"lcSet.dll")) ||
        !ZEL_SUCCEEDED(m_settingsManagerLoader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager,
                                                            reinterpret_cast<void**>(&m_pSettingsManager)))) {
        m_pSettingsManager.Release();
        return false;
    }
    return true;
}

bool CSIDLcache::RetrieveCSIDLPaths() {
    for (std::u16string& sPath : m_szPaths) {
        sPath.clear();
    }
    const bool bLoaded = LoadDataFromLCSettings();
    if (UpdateCSIDLFromOS(!bLoaded)) {
        return SaveDataToLCSettings();
    }
    return bLoaded;
}

bool CSIDLcache::LoadDataFromLCSettings() {
    if (!EnsureSettingsManager()) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - m_settingsManagerLoader.CreateObject "
                  u"failed\n");
        return false;
    }
    for (DWORD i = 0; i < CSIDL_COUNT; ++i) {
        std::u16string sPath;
        if (!ZEL_SUCCEEDED(
                CLcSettingsHelper::GetString(CComPtr<ISettingsManager>(m_pSettingsManager).Detach(),
                                             CSIDL_CACHE_KEY, CSIDL_FOLDERS[i].szName, &sPath))) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - pSettings->GetString(...) failed "
                      u"for CSIDL "
                      u"%s at index %d\n",
                      CSIDL_FOLDERS[i].szName, static_cast<int>(i));
            return false;
        }
        m_szPaths[i] = std::move(sPath);
    }
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::GetDword(CComPtr<ISettingsManager>(m_pSettingsManager).Detach(),
                                                   CSIDL_CACHE_KEY, u"OSMajor", &m_dwMajorVersion))) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - pSettings->GetDword(...) failed for "
                  u"MajorOSver\n");
        return false;
    }
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::GetDword(CComPtr<ISettingsManager>(m_pSettingsManager).Detach(),
                                                   CSIDL_CACHE_KEY, u"OSMinor", &m_dwMinorVersion))) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - pSettings->GetDword(...) failed for "
                  u"MinorOSver\n");
        return false;
    }
    return true;
}

bool CSIDLcache::UpdateCSIDLFromOS(bool bForce) {
    DWORD dwMajor = 0;
    DWORD dwMinor = 0;
    if (!RetrieveOSVersion(&dwMajor, &dwMinor)) {
        return false;
    }
    if (dwMajor == m_dwMajorVersion && dwMinor == m_dwMinorVersion && !bForce) {
        return true;
    }
    std::u16string paths[CSIDL_COUNT];
    for (DWORD i = 0; i < CSIDL_COUNT; ++i) {
        // The shell answers into a buffer of 260 characters; a longer path does not fit.
        if (!platform::SHGetSpecialFolderPath(CSIDL_FOLDERS[i].nCsidl, &paths[i], false) ||
            paths[i].size() >= CSIDL_PATH_LENGTH) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"ktCSIDLcache::CSIDLcache::UpdateCSIDLFromOS - SHGetFolderPath failed\n");
            return false;
        }
    }
    std::move(std::begin(paths), std::end(paths), std::begin(m_szPaths));
    m_dwMajorVersion = dwMajor;
    m_dwMinorVersion = dwMinor;
    return true;
}

bool CSIDLcache::RetrieveOSVersion(DWORD* pdwMajor, DWORD* pdwMinor) {
    if (!platform::GetVersionEx(pdwMajor, pdwMinor)) {
        DebugOut1(DBG_CAT_MANIFEST, u"ktCSIDLcache::CSIDLcache::RetrieveOSVersion - GetVersionEx failed\n");
        return false;
    }
    return true;
}

bool CSIDLcache::SaveDataToLCSettings() {
    // Without a manager every write below fails and says so.
    EnsureSettingsManager();
    bool bResult = true;
    for (DWORD i = 0; i < CSIDL_COUNT; ++i) {
        if (!ZEL_SUCCEEDED(CLcSettingsHelper::PutString(
                CComPtr<ISettingsManager>(m_pSettingsManager).Detach(), CSIDL_CACHE_KEY,
                CSIDL_FOLDERS[i].szName, m_szPaths[i].c_str()))) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"ktCSIDLcache::CSIDLcache::SaveDataToLCSettings - pSettings->PutString(...) failed "
                      u"for CSIDL %s "
                      u"at index %d\n",
                      CSIDL_FOLDERS[i].szName, static_cast<int>(i));
            bResult = false;
            break;
        }
    }
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::PutDword(CComPtr<ISettingsManager>(m_pSettingsManager).Detach(),
                                                   CSIDL_CACHE_KEY, u"OSMajor", m_dwMajorVersion))) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"ktCSIDLcache::CSIDLcache::SaveDataToLCSettings - pSettings->PutDword(...) failed for "
                  u"MajorOSver\n");
        return false;
    }
    if (!ZEL_SUCCEEDED(CLcSettingsHelper::PutDword(CComPtr<ISettingsManager>(m_pSettingsManager).Detach(),
                                                   CSIDL_CACHE_KEY, u"OSMinor", m_dwMinorVersion))) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"ktCSIDLcache::CSIDLcache::SaveDataToLCSettings - pSettings->PutDword(...) failed for "
                  u"MinorOSver\n");
        return false;
    }
    return bResult;
}

bool CSIDLcache::GetCSIDLpath(const char16_t* szName, char16_t* szBuffer, DWORD* pdwSize) {
    if (*pdwSize == 0) {
        *pdwSize = CSIDL_PATH_LENGTH;
        return true;
    }
    for (DWORD i = 0; i < CSIDL_COUNT; ++i) {
        if (!platform::EqualNoCase(szName, CSIDL_FOLDERS[i].szName)) {
            continue;
        }
        const std::u16string& sPath = m_szPaths[i];
        if (*pdwSize > sPath.size()) {
            std::copy(sPath.begin(), sPath.end(), szBuffer);
            szBuffer[sPath.size()] = u'\0';
            return true;
        }
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"ktCSIDLcache::CSIDLcache::GetCSIDLpath - Not enough storage for the CSIDL %s, indexed at %d\n",
            szName, static_cast<int>(i));
        return false;
    }
    return false;
}

}  // namespace ktCSIDLcache
