// The system's side of the settings store: the check that the store runs, the creation of its
// manager, typed reads and writes, and iterators over a key's values and sub-keys.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "events/object_loader.h"
#include "settings/settings_interfaces.h"

class CSettingsManagerHelper {
public:
    // True when the store's service holds its running mutex.
    static bool IsSettingsManagerActive();
    // The caller owns one reference to the manager. ZEL_E_STORE_NOT_RUNNING without the service.
    ZELRESULT Create(ISettingsManager** ppManager);

private:
    CObjectLoader m_Loader;
};

// Each operation takes over the caller's reference to the manager and releases it before returning,
// on every path; a caller that keeps its manager hands in an added reference.
class CLcSettingsHelper {
public:
    static ZELRESULT PutDword(ISettingsManager* pSetMgr, const char16_t* szKeyName,
                              const char16_t* szValueName, DWORD dwValue);
    static ZELRESULT PutString(ISettingsManager* pSetMgr, const char16_t* szKeyName,
                               const char16_t* szValueName, const char16_t* szText);
    // With a default, an absent key or value answers ZEL_SUCCESS_DEFAULT and the default, silently.
    static ZELRESULT GetDword(ISettingsManager* pSetMgr, const char16_t* szKeyName,
                              const char16_t* szValueName, DWORD* pdwValue,
                              const DWORD* pdwDefault = nullptr);
    static ZELRESULT GetString(ISettingsManager* pSetMgr, const char16_t* szKeyName,
                               const char16_t* szValueName, std::u16string* psText,
                               const char16_t* szDefault = nullptr);
    // The names of the key's values, in the store's order; a missing key gives an empty list.
    static bool LoadStringsFromKey(ISettingsManager* pSetMgr, const char16_t* szKeyName,
                                   std::vector<std::u16string>* pStrings);
};

class CSettingsValuesIterator {
public:
    ZELRESULT Init(ISettings* pSettings);
    bool HasMoreValues() const { return m_iCurrentIndex < m_dwMaxItems; }
    DWORD GetCount() const { return m_dwMaxItems; }
    // The name stays valid until the next call.
    ZELRESULT GetNextValue(const char16_t** pszName);

private:
    std::unique_ptr<char16_t[]> m_szName;
    DWORD m_cchName = 0;
    DWORD m_iCurrentIndex = 0;
    DWORD m_dwMaxItems = 0;
    CComPtr<ISettingsEnum> m_pValues;
};

class CSettingsKeysIterator {
public:
    // The buffer's first size; longer names make it grow.
    static constexpr DWORD INITIAL_NAME_LENGTH = 64;

    // Borrows the manager. A missing key gives an empty iterator and ZEL_SUCCESS_DEFAULT.
    ZELRESULT Init(ISettingsManager* pSetMgr, const char16_t* szKeyName);
    bool HasMoreValues() const { return m_iCurrentIndex < m_dwMaxItems; }
    DWORD GetCount() const { return m_dwMaxItems; }
    ZELRESULT GetNextValue(const char16_t** pszName);

private:
    std::unique_ptr<char16_t[]> m_szName;
    DWORD m_cchName = 0;
    DWORD m_iCurrentIndex = 0;
    DWORD m_dwMaxItems = 0;
    CComPtr<ISettingsEnum> m_pValues;
};
