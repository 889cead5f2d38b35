#include "platform/registry.h"

#include "platform/win32/win32_api.h"

namespace platform {
namespace {

win32::HKEY_ K(HKEY hKey) {
    return reinterpret_cast<win32::HKEY_>(hKey);
}

}  // namespace

// The seam's HKEY values are the platform's: predefined keys have the same numbers, opened keys are
// the platform's own handles.
LONG RegCreateKeyEx(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired, HKEY* phkResult,
                    DWORD* pdwDisposition) {
    return win32::RegCreateKeyExW(K(hKey), win32::W(szSubKey), 0, nullptr, dwOptions, samDesired, nullptr,
                                  reinterpret_cast<win32::HKEY_*>(phkResult), pdwDisposition);
}

LONG RegOpenKeyEx(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired, HKEY* phkResult) {
    return win32::RegOpenKeyExW(K(hKey), win32::W(szSubKey), dwOptions, samDesired,
                                reinterpret_cast<win32::HKEY_*>(phkResult));
}

LONG RegCloseKey(HKEY hKey) {
    return win32::RegCloseKey(K(hKey));
}

LONG RegDeleteTree(HKEY hKey, const char16_t* szSubKey) {
    return win32::RegDeleteTreeW(K(hKey), win32::W(szSubKey));
}

LONG RegDeleteKey(HKEY hKey, const char16_t* szSubKey) {
    return win32::RegDeleteKeyW(K(hKey), win32::W(szSubKey));
}

LONG RegSetValueEx(HKEY hKey, const char16_t* szValueName, DWORD dwType, const BYTE* pData, DWORD cbData) {
    return win32::RegSetValueExW(K(hKey), win32::W(szValueName), 0, dwType, pData, cbData);
}

LONG RegQueryValueEx(HKEY hKey, const char16_t* szValueName, DWORD* pdwType, BYTE* pData, DWORD* pcbData) {
    return win32::RegQueryValueExW(K(hKey), win32::W(szValueName), nullptr, pdwType, pData, pcbData);
}

LONG RegDeleteValue(HKEY hKey, const char16_t* szValueName) {
    return win32::RegDeleteValueW(K(hKey), win32::W(szValueName));
}

LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, char16_t* szName, DWORD* pcchName) {
    return win32::RegEnumKeyExW(K(hKey), dwIndex, win32::W(szName), pcchName, nullptr, nullptr, nullptr,
                                nullptr);
}

LONG RegEnumValue(HKEY hKey, DWORD dwIndex, char16_t* szValueName, DWORD* pcchValueName, DWORD* pdwType,
                  BYTE* pData, DWORD* pcbData) {
    return win32::RegEnumValueW(K(hKey), dwIndex, win32::W(szValueName), pcchValueName, nullptr, pdwType,
                                pData, pcbData);
}

LONG RegQueryInfoKey(HKEY hKey, char16_t* szClass, DWORD* pcchClass, DWORD* pdwReserved, DWORD* pcSubKeys,
                     DWORD* pcchMaxSubKeyLen, DWORD* pcchMaxClassLen, DWORD* pcValues,
                     DWORD* pcchMaxValueNameLen, DWORD* pcbMaxValueLen, DWORD* pcbSecurityDescriptor,
                     FILETIME* pftLastWriteTime) {
    return win32::RegQueryInfoKeyW(K(hKey), win32::W(szClass), pcchClass, pdwReserved, pcSubKeys,
                                   pcchMaxSubKeyLen, pcchMaxClassLen, pcValues, pcchMaxValueNameLen,
                                   pcbMaxValueLen, pcbSecurityDescriptor, pftLastWriteTime);
}

LONG RegFlushKey(HKEY hKey) {
    return win32::RegFlushKey(K(hKey));
}

}  // namespace platform
