// The framework's registry key: one open key, closed on destruction. Failures are traced through the
// debug log's framework entry points and reported as false; opening, creating and setting leave the
// registry's code as the thread's last error.
#pragma once

#include <string>

#include "platform/registry.h"

class CRegistryKey {
public:
    CRegistryKey() = default;
    ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    bool Open(HKEY hParent, const char16_t* szSubKey, REGSAM samDesired = KEY_READ);
    bool Create(HKEY hParent, const char16_t* szSubKey, REGSAM samDesired = KEY_ALL_ACCESS);
    void Close();
    bool IsOpen() const { return m_hKey != nullptr; }
    HKEY Handle() const { return m_hKey; }

    bool GetDword(const char16_t* szName, DWORD* pdwValue) const;
    // REG_SZ and REG_EXPAND_SZ values; the terminator is not part of the result.
    bool GetString(const char16_t* szName, std::u16string* psValue) const;
    bool SetDword(const char16_t* szName, DWORD dwValue);
    bool SetString(const char16_t* szName, const std::u16string& sValue);

private:
    HKEY m_hKey = nullptr;
};
