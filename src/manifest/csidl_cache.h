// The known-folder cache of the manifest loader: five shell folder paths kept in the settings store
// with the operating-system version they were obtained for, asked of the shell again only when the
// cache cannot be read or the version changed.
#pragma once

#include <string>

#include "events/object_loader.h"
#include "platform/com.h"
#include "platform/types.h"
#include "settings/settings_interfaces.h"

namespace ktCSIDLcache {

constexpr DWORD CSIDL_COUNT = 5;
constexpr DWORD CSIDL_PATH_LENGTH = 260;
constexpr const char16_t* CSIDL_CACHE_KEY = u"GATEWARDEN\\PRIVATE\\Manifest\\CSIDLcache";

struct CSIDLFolder {
    const char16_t* szName;  // also the settings value's name
    int nCsidl;
};
extern const CSIDLFolder CSIDL_FOLDERS[CSIDL_COUNT];

class CSIDLcache {
public:
    CSIDLcache() = default;
    virtual ~CSIDLcache();
    CSIDLcache(const CSIDLcache&) = delete;
    CSIDLcache& operator=(const CSIDLcache&) = delete;

    // Fills the cache; called once by the manifest loader.
    virtual bool RetrieveCSIDLPaths();
    // One lookup by folder name (any case). A size of 0 asks for the buffer size needed.
    virtual bool GetCSIDLpath(const char16_t* szName, char16_t* szBuffer, DWORD* pdwSize);

    bool LoadDataFromLCSettings();
    bool SaveDataToLCSettings();
    bool UpdateCSIDLFromOS(bool bForce);
    bool RetrieveOSVersion(DWORD* pdwMajor, DWORD* pdwMinor);

private:
    bool EnsureSettingsManager();

    CObjectLoader m_settingsManagerLoader;
    CComPtr<ISettingsManager> m_pSettingsManager;
    DWORD m_dwMajorVersion = 0;
    DWORD m_dwMinorVersion = 0;
    std::u16string m_szPaths[CSIDL_COUNT];
};

}  // namespace ktCSIDLcache
