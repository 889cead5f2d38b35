#include "service/registry_key.h"

#include <vector>

#include "diagnostics/user_debug_output.h"
#include "platform/system.h"

bool CRegistryKey::Open(HKEY hParent, const char16_t* szSubKey, REGSAM samDesired) {
    Close();
    const LONG lResult = platform::RegOpenKeyEx(hParent, szSubKey, 0, samDesired, &m_hKey);
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        m_hKey = nullptr;
        TraceOut2(u"CRegistryKey::Open() : RegOpenKeyEx() != ERROR_SUCCESS, %s, 0x%08X\n", szSubKey, lResult);
        platform::SetLastError(static_cast<DWORD>(lResult));
        return false;
    }
    return true;
}

bool CRegistryKey::Create(HKEY hParent, const char16_t* szSubKey, REGSAM samDesired) {
    Close();
    const LONG lResult =
        platform::RegCreateKeyEx(hParent, szSubKey, REG_OPTION_NON_VOLATILE, samDesired, &m_hKey, nullptr);
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        m_hKey = nullptr;
        TraceOut1(u"CRegistryKey::Create() : RegCreateKeyEx() != ERROR_SUCCESS, %s, 0x%08X\n", szSubKey,
                  lResult);
        platform::SetLastError(static_cast<DWORD>(lResult));
        return false;
    }
    return true;
}

void CRegistryKey::Close() {
    if (m_hKey != nullptr) {
        platform::RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
}

bool CRegistryKey::GetDword(const char16_t* szName, DWORD* pdwValue) const {
    DWORD dwType = REG_NONE;
    DWORD dwValue = 0;
    DWORD cbData = sizeof(dwValue);
    const LONG lResult =
        platform::RegQueryValueEx(m_hKey, szName, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cbData);
    if (lResult != static_cast<LONG>(ERROR_SUCCESS) || dwType != REG_DWORD || cbData != sizeof(dwValue)) {
        TraceOut3(u"CRegistryKey::GetDword() : RegQueryValueEx() != ERROR_SUCCESS, %s, 0x%08X\n", szName,
                  lResult);
        return false;
    }
    *pdwValue = dwValue;
    return true;
}

bool CRegistryKey::GetString(const char16_t* szName, std::u16string* psValue) const {
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    LONG lResult = platform::RegQueryValueEx(m_hKey, szName, &dwType, nullptr, &cbData);
    std::vector<char16_t> buffer;
    if (lResult == static_cast<LONG>(ERROR_SUCCESS) && (dwType == REG_SZ || dwType == REG_EXPAND_SZ)) {
        buffer.resize(cbData / sizeof(char16_t) + 1);
        lResult = platform::RegQueryValueEx(m_hKey, szName, &dwType, reinterpret_cast<BYTE*>(buffer.data()),
                                            &cbData);
    }
    if (lResult != static_cast<LONG>(ERROR_SUCCESS) || (dwType != REG_SZ && dwType != REG_EXPAND_SZ)) {
        TraceOut3(u"CRegistryKey::GetString() : RegQueryValueEx() != ERROR_SUCCESS, %s, 0x%08X\n", szName,
                  lResult);
        return false;
    }
    // A stored value need not carry its terminator; the extra element guarantees one.
    buffer[cbData / sizeof(char16_t)] = u'\0';
    psValue->assign(buffer.data());
    return true;
}

bool CRegistryKey::SetDword(const char16_t* szName, DWORD dwValue) {
    const LONG lResult = platform::RegSetValueEx(m_hKey, szName, REG_DWORD,
                                                 reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        TraceOut1(u"CRegistryKey::SetDword() : RegSetValueEx() != ERROR_SUCCESS, %s, 0x%08X\n", szName,
                  lResult);
        platform::SetLastError(static_cast<DWORD>(lResult));
        return false;
    }
    return true;
}

bool CRegistryKey::SetString(const char16_t* szName, const std::u16string& sValue) {
    const auto cbData = static_cast<DWORD>((sValue.size() + 1) * sizeof(char16_t));
    const LONG lResult = platform::RegSetValueEx(m_hKey, szName, REG_SZ,
                                                 reinterpret_cast<const BYTE*>(sValue.c_str()), cbData);
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        TraceOut1(u"CRegistryKey::SetString() : RegSetValueEx() != ERROR_SUCCESS, %s, 0x%08X\n", szName,
                  lResult);
        platform::SetLastError(static_cast<DWORD>(lResult));
        return false;
    }
    return true;
}
