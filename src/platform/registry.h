// The registry: hives, keys and typed values, kept in the root's registry store (one SQLite
// database shared by every process of the root). Calls return the platform's error codes
// (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_ACCESS_DENIED, ...). Every change is
// one transaction: it is stored whole or not at all.
#pragma once

#include <cstdint>

#include "platform/types.h"

struct HKEY__;
using HKEY = HKEY__*;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_EXECUTE = 0x00020019;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
// Accepted, but there is no restart that would clear a volatile key: it is kept like any other.
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

namespace platform {

// Key paths use backslashes and compare case-insensitively; key and value names keep their case.
// A path may not begin with a backslash (ERROR_BAD_PATHNAME); runs of backslashes count as one and
// trailing ones are ignored. A path component longer than 255 characters is ERROR_INVALID_NAME.
// Failures of the store itself: ERROR_LOCK_VIOLATION when another process holds it locked past the
// busy timeout, ERROR_REGISTRY_CORRUPT for a damaged file, ERROR_BADDB for a store of an unknown
// layout, ERROR_REGISTRY_IO_FAILED when it cannot be opened, read or written.
LONG RegCreateKeyEx(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired, HKEY* phkResult,
                    DWORD* pdwDisposition);
LONG RegOpenKeyEx(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired, HKEY* phkResult);
LONG RegCloseKey(HKEY hKey);
// Deletes the sub-key and everything below it. With szSubKey null, deletes the sub-keys and values of
// hKey but keeps hKey (which then needs DELETE, KEY_ENUMERATE_SUB_KEYS and KEY_QUERY_VALUE); an empty
// szSubKey deletes hKey itself with its tree. The whole deletion is one transaction.
LONG RegDeleteTree(HKEY hKey, const char16_t* szSubKey);
// Deletes a sub-key that has no sub-keys of its own (ERROR_ACCESS_DENIED otherwise, as the platform).
// An empty szSubKey deletes hKey itself. Hive roots cannot be deleted (ERROR_ACCESS_DENIED).
LONG RegDeleteKey(HKEY hKey, const char16_t* szSubKey);

// pData holds cbData bytes; string types include their terminators as the platform's callers pass them.
LONG RegSetValueEx(HKEY hKey, const char16_t* szValueName, DWORD dwType, const BYTE* pData, DWORD cbData);
// pdwType and pData may be null; with pData null, *pcbData receives the size. A buffer that is too
// small yields ERROR_MORE_DATA and the size needed in *pcbData.
LONG RegQueryValueEx(HKEY hKey, const char16_t* szValueName, DWORD* pdwType, BYTE* pData, DWORD* pcbData);
LONG RegDeleteValue(HKEY hKey, const char16_t* szValueName);

// Enumeration in a stable order (by upper-cased name). pcchName is in characters: on entry the
// buffer size including the terminator, on return the name length without it. ERROR_NO_MORE_ITEMS
// past the end; ERROR_MORE_DATA when the name does not fit (*pcchName is then left as it was). For
// values, data that does not fit gives ERROR_MORE_DATA with the size needed in *pcbData.
LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, char16_t* szName, DWORD* pcchName);
LONG RegEnumValue(HKEY hKey, DWORD dwIndex, char16_t* szValueName, DWORD* pcchValueName, DWORD* pdwType,
                  BYTE* pData, DWORD* pcbData);
// Any out-parameter may be null. Keys have no class (an empty one is reported) and no security
// descriptor (size 0). Maximum lengths are in characters without terminator, data in bytes.
LONG RegQueryInfoKey(HKEY hKey, char16_t* szClass, DWORD* pcchClass, DWORD* pdwReserved, DWORD* pcSubKeys,
                     DWORD* pcchMaxSubKeyLen, DWORD* pcchMaxClassLen, DWORD* pcValues,
                     DWORD* pcchMaxValueNameLen, DWORD* pcbMaxValueLen, DWORD* pcbSecurityDescriptor,
                     FILETIME* pftLastWriteTime);
inline LONG RegQueryInfoKey(HKEY hKey, DWORD* pcSubKeys, DWORD* pcValues) {
    return RegQueryInfoKey(hKey, nullptr, nullptr, nullptr, pcSubKeys, nullptr, nullptr, pcValues, nullptr,
                           nullptr, nullptr, nullptr);
}
// Every change is committed when its call returns; this also moves the store's log into its main file.
LONG RegFlushKey(HKEY hKey);

}  // namespace platform
