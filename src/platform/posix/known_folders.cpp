#include "platform/known_folders.h"

#include <vector>

#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace platform {
namespace {

struct CKnownFolder {
    int nCsidl;
    const char16_t* szName;
    const char16_t* szDefault;
};

constexpr CKnownFolder KNOWN_FOLDERS[] = {
    {CSIDL_APPDATA, u"CSIDL_APPDATA", u"C:\\Documents and Settings\\LocalService\\Application Data"},
    {CSIDL_COMMON_APPDATA, u"CSIDL_COMMON_APPDATA",
     u"C:\\Documents and Settings\\All Users\\Application Data"},
    {CSIDL_WINDOWS, u"CSIDL_WINDOWS", u"C:\\WINDOWS"},
    {CSIDL_SYSTEM, u"CSIDL_SYSTEM", u"C:\\WINDOWS\\system32"},
    {CSIDL_PROGRAM_FILES, u"CSIDL_PROGRAM_FILES", u"C:\\Program Files"},
    {CSIDL_PROGRAM_FILES_COMMON, u"CSIDL_PROGRAM_FILES_COMMON", u"C:\\Program Files\\Common Files"},
};

// The string value, or nullopt-like false when absent; an empty value is returned as present.
bool ReadString(const char16_t* szKey, const char16_t* szName, std::u16string* psValue) {
    HKEY hKey = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, KEY_READ, &hKey) != static_cast<LONG>(ERROR_SUCCESS)) {
        return false;
    }
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    LONG lResult = RegQueryValueEx(hKey, szName, &dwType, nullptr, &cbData);
    std::vector<char16_t> buffer(cbData / sizeof(char16_t) + 1, u'\0');
    if (lResult == static_cast<LONG>(ERROR_SUCCESS)) {
        lResult = RegQueryValueEx(hKey, szName, &dwType, reinterpret_cast<BYTE*>(buffer.data()), &cbData);
    }
    RegCloseKey(hKey);
    if (lResult != static_cast<LONG>(ERROR_SUCCESS) || (dwType != REG_SZ && dwType != REG_EXPAND_SZ)) {
        return false;
    }
    psValue->assign(buffer.data());
    return true;
}

// The value, the default when absent; false when present with another type or size.
bool ReadVersionDword(const char16_t* szName, DWORD dwDefault, DWORD* pdwValue) {
    *pdwValue = dwDefault;
    HKEY hKey = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, OS_VERSION_KEY, 0, KEY_READ, &hKey) !=
        static_cast<LONG>(ERROR_SUCCESS)) {
        return true;
    }
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    LONG lResult = RegQueryValueEx(hKey, szName, &dwType, nullptr, &cbData);
    if (lResult == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
        RegCloseKey(hKey);
        return true;
    }
    DWORD dwValue = 0;
    bool bGood =
        lResult == static_cast<LONG>(ERROR_SUCCESS) && dwType == REG_DWORD && cbData == sizeof(dwValue);
    if (bGood) {
        lResult = RegQueryValueEx(hKey, szName, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cbData);
        bGood = lResult == static_cast<LONG>(ERROR_SUCCESS);
    }
    RegCloseKey(hKey);
    if (bGood) {
        *pdwValue = dwValue;
    }
    return bGood;
}

DWORD ReadDword(const char16_t* szName, DWORD dwDefault) {
    DWORD dwValue = dwDefault;
    return ReadVersionDword(szName, dwDefault, &dwValue) ? dwValue : dwDefault;
}

// The folder and any missing parents, as the shell creates a folder it is asked for.
bool CreateFolderPath(const std::u16string& sPath) {
    for (std::size_t nEnd = sPath.find(u'\\', 3);; nEnd = sPath.find(u'\\', nEnd + 1)) {
        const std::u16string sPart = sPath.substr(0, nEnd);
        if (GetFileAttributes(sPart.c_str()) == INVALID_FILE_ATTRIBUTES && !CreateDirectory(sPart.c_str())) {
            return false;
        }
        if (nEnd == std::u16string::npos) {
            return true;
        }
    }
}

}  // namespace

bool SHGetSpecialFolderPath(int nCsidl, std::u16string* psPath, bool bCreate) {
    for (const auto& folder : KNOWN_FOLDERS) {
        if (folder.nCsidl != nCsidl) {
            continue;
        }
        std::u16string sPath;
        if (!ReadString(KNOWN_FOLDERS_KEY, folder.szName, &sPath)) {
            sPath = folder.szDefault;
        }
        if (sPath.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        if (bCreate && !CreateFolderPath(sPath)) {
            return false;
        }
        *psPath = std::move(sPath);
        return true;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

void GetVersion(DWORD* pdwMajor, DWORD* pdwMinor) {
    *pdwMajor = ReadDword(u"Major", 5);
    *pdwMinor = ReadDword(u"Minor", 1);
}

bool GetVersionEx(DWORD* pdwMajor, DWORD* pdwMinor) {
    DWORD dwMajor = 0;
    DWORD dwMinor = 0;
    if (!ReadVersionDword(u"Major", 5, &dwMajor) || !ReadVersionDword(u"Minor", 1, &dwMinor)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    *pdwMajor = dwMajor;
    *pdwMinor = dwMinor;
    return true;
}

}  // namespace platform
