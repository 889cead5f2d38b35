#include "settings/settings_helpers.h"

#include <exception>
#include <new>

#include "diagnostics/user_debug_output.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "service/sync_objects.h"

namespace {

constexpr DWORD Code(ZELRESULT zr) {
    return static_cast<DWORD>(zr);
}

}  // namespace

bool CSettingsManagerHelper::IsSettingsManagerActive() {
    CMutex runningMutex;
    if (!runningMutex.Open(platform::SYNCHRONIZE, false, u"lcSetMgr_Running", true)) {
        DebugOut1(
            DBG_CAT_ALL,
            u"CSettingsManagerHelper::IsSettingsManagerActive() : runningMutex.Open() == FALSE, 0x%08X\n",
            platform::GetLastError());
        return false;
    }
    return true;
}

ZELRESULT CSettingsManagerHelper::Create(ISettingsManager** ppManager) {
    if (ppManager == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    *ppManager = nullptr;
    if (!IsSettingsManagerActive()) {
        DebugOut3(DBG_CAT_ALL, u"CSettingsManagerHelper::Create() : IsSettingsManagerActive() == false\n");
        return ZEL_E_STORE_NOT_RUNNING;
    }
    const ZELRESULT zrLoad = m_Loader.Load(u"lcSet.dll");
    if (!ZEL_SUCCEEDED(zrLoad)) {
        return zrLoad;
    }
    return m_Loader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager,
                                 reinterpret_cast<void**>(ppManager));
}

namespace {

// The steps every Put helper shares: open the key for writing, put the value through fnPut (which
// logs its own failure), commit. szCaller names the helper in the log.
template <typename PutValue>
ZELRESULT PutOneValue(const char16_t* szCaller, ISettingsManager* pSetMgrIn, const char16_t* szKeyName,
                      const PutValue& fnPut) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    if (!pSetMgr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    CComPtr<ISettings> pSettings;
    ZELRESULT zr = pSetMgr->CreateSettings(szKeyName, &pSettings);
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::%s() - pSetMgr->CreateSettings(%s) failed: %#08X\n",
                  szCaller, szKeyName, Code(zr));
        return zr;
    }
    zr = fnPut(pSettings.Get());
    if (!ZEL_SUCCEEDED(zr)) {
        return zr;
    }
    zr = pSetMgr->PutSettings(pSettings.Get());
    if (!ZEL_SUCCEEDED(zr)) {
        // Every helper's commit logs under PutDword's name.
        DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::PutDword() - pSetMgr->PutSettings() failed: %#08X\n",
                  Code(zr));
        return zr;
    }
    return ZEL_SUCCESS;
}

}  // namespace

ZELRESULT CLcSettingsHelper::PutDword(ISettingsManager* pSetMgrIn, const char16_t* szKeyName,
                                      const char16_t* szValueName, DWORD dwValue) {
    return PutOneValue(u"PutDword", pSetMgrIn, szKeyName, [&](ISettings* pSettings) {
        const ZELRESULT zr = pSettings->PutDword(szValueName, dwValue);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_ALL,
                      u"CLcSettingsHelper::PutDword() - pSettings->PutDword(\"%s\", %#08X) failed: %#08X\n",
                      szValueName, dwValue, Code(zr));
        }
        return zr;
    });
}

ZELRESULT CLcSettingsHelper::PutString(ISettingsManager* pSetMgrIn, const char16_t* szKeyName,
                                       const char16_t* szValueName, const char16_t* szText) {
    return PutOneValue(u"PutString", pSetMgrIn, szKeyName, [&](ISettings* pSettings) {
        const ZELRESULT zr = pSettings->PutString(szValueName, szText);
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(
                DBG_CAT_ALL,
                u"CLcSettingsHelper::PutString() - pSettings->PutString(\"%s\", \"%s\") failed: %#08X\n",
                szValueName, szText, Code(zr));
        }
        return zr;
    });
}

ZELRESULT CLcSettingsHelper::GetDword(ISettingsManager* pSetMgrIn, const char16_t* szKeyName,
                                      const char16_t* szValueName, DWORD* pdwValue, const DWORD* pdwDefault) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    if (!pSetMgr || pdwValue == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    if (pdwDefault != nullptr) {
        *pdwValue = *pdwDefault;
    }
    CComPtr<ISettings> pSettings;
    ZELRESULT zr = pSetMgr->GetSettings(szKeyName, &pSettings);
    if (zr == ZEL_E_NOT_FOUND && pdwDefault != nullptr) {
        return ZEL_SUCCESS_DEFAULT;
    }
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::GetDword() - pSetMgr->GetSettings(%s) failed: %#08X\n",
                  szKeyName, Code(zr));
        return zr;
    }
    DWORD dwValue = 0;
    zr = pSettings->GetDword(szValueName, &dwValue);
    if (zr == ZEL_E_NOT_FOUND && pdwDefault != nullptr) {
        return ZEL_SUCCESS_DEFAULT;
    }
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::GetDword() - pSettings->GetDword(%s) failed: %#08X\n",
                  szValueName, Code(zr));
        return zr;
    }
    *pdwValue = dwValue;
    return ZEL_SUCCESS;
}

ZELRESULT CLcSettingsHelper::GetString(ISettingsManager* pSetMgrIn, const char16_t* szKeyName,
                                       const char16_t* szValueName, std::u16string* psText,
                                       const char16_t* szDefault) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    if (!pSetMgr || psText == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    try {
        if (szDefault != nullptr) {
            psText->assign(szDefault);
        }
        CComPtr<ISettings> pSettings;
        ZELRESULT zr = pSetMgr->GetSettings(szKeyName, &pSettings);
        if (zr == ZEL_E_NOT_FOUND && szDefault != nullptr) {
            return ZEL_SUCCESS_DEFAULT;
        }
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_ALL,
                      u"CLcSettingsHelper::GetString() - pSetMgr->GetSettings(%s) failed: %#08X\n", szKeyName,
                      Code(zr));
            return zr;
        }
        // Ask for the length first; a value that grew in between is asked for once more.
        std::u16string sText;
        DWORD cchText = 0;
        zr = pSettings->GetString(szValueName, nullptr, &cchText);
        for (int nTry = 0; nTry < 2 && zr == ZEL_E_BUFFER_TOO_SMALL; ++nTry) {
            sText.resize(cchText);
            zr = pSettings->GetString(szValueName, sText.data(), &cchText);
        }
        if (zr == ZEL_E_NOT_FOUND && szDefault != nullptr) {
            return ZEL_SUCCESS_DEFAULT;
        }
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_ALL,
                      u"CLcSettingsHelper::GetString() - pSettings->GetString(%s) failed: %#08X\n",
                      szValueName, Code(zr));
            return zr;
        }
        sText.resize(cchText);
        *psText = std::move(sText);
        return ZEL_SUCCESS;
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::GetString() - Atl exception: %#08X\n",
                  Code(E_OUTOFMEMORY));
        return ZEL_E_OUT_OF_MEMORY;
    }
}

bool CLcSettingsHelper::LoadStringsFromKey(ISettingsManager* pSetMgrIn, const char16_t* szKeyName,
                                           std::vector<std::u16string>* pStrings) {
    auto pSetMgr = CComPtr<ISettingsManager>::Attach(pSetMgrIn);
    if (szKeyName == nullptr) {
        DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::LoadStringsFromKey - szKeyName==NULL\n");
        return false;
    }
    if (!pSetMgr || pStrings == nullptr) {
        return false;
    }
    try {
        CComPtr<ISettings> pSettings;
        ZELRESULT zr = pSetMgr->GetSettings(szKeyName, &pSettings);
        if (zr == ZEL_E_NOT_FOUND) {
            pStrings->clear();
            return true;
        }
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_ALL,
                      u"CLcSettingsHelper::LoadStringsFromKey - pSettings->GetSettings(%s) failed: %#08X\n",
                      szKeyName, Code(zr));
            return false;
        }
        CSettingsValuesIterator SettingsValues;
        zr = SettingsValues.Init(pSettings.Get());
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_ALL,
                      u"CLcSettingsHelper::LoadStringsFromKey - SettingsValues.Init() failed: %#08X\n",
                      Code(zr));
            return false;
        }
        pStrings->clear();
        pStrings->reserve(SettingsValues.GetCount());
        while (SettingsValues.HasMoreValues()) {
            const char16_t* szName = nullptr;
            zr = SettingsValues.GetNextValue(&szName);
            if (!ZEL_SUCCEEDED(zr)) {
                DebugOut1(
                    DBG_CAT_ALL,
                    u"CLcSettingsHelper::LoadStringsFromKey - SettingsValues.GetNextValue() failed: %#08X\n",
                    Code(zr));
                return false;
            }
            std::u16string sName;
            try {
                sName = szName;
            } catch (const std::bad_alloc&) {
                DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::LoadStringsFromKey - Atl exception: %#08X\n",
                          Code(E_OUTOFMEMORY));
                return false;
            }
            pStrings->push_back(std::move(sName));
        }
        return true;
    } catch (const std::exception& e) {
        DebugOut1(DBG_CAT_ALL, u"CLcSettingsHelper::LoadStringsFromKey - Exception caught: %S\n", e.what());
        return false;
    }
}

ZELRESULT CSettingsValuesIterator::Init(ISettings* pSettings) {
    m_pValues.Release();
    m_szName.reset();
    m_cchName = 0;
    m_iCurrentIndex = 0;
    m_dwMaxItems = 0;
    if (pSettings == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    ZELRESULT zr = pSettings->GetValues(&m_pValues);
    if (!ZEL_SUCCEEDED(zr)) {
        return zr;
    }
    DWORD cchMax = 0;
    zr = pSettings->GetMaxValueNameLength(&cchMax);
    if (!ZEL_SUCCEEDED(zr)) {
        return zr;
    }
    // Room for the longest name and its terminator.
    m_szName.reset(new (std::nothrow) char16_t[cchMax + 1]);
    if (!m_szName) {
        return ZEL_E_OUT_OF_MEMORY;
    }
    m_cchName = cchMax + 1;
    DWORD dwCount = 0;
    zr = m_pValues->GetCount(&dwCount);
    if (!ZEL_SUCCEEDED(zr)) {
        return zr;
    }
    m_dwMaxItems = dwCount;
    return ZEL_SUCCESS;
}

ZELRESULT CSettingsValuesIterator::GetNextValue(const char16_t** pszName) {
    if (m_iCurrentIndex >= m_dwMaxItems || !m_pValues) {
        DebugOut1(
            DBG_CAT_ALL,
            u"CSettingsValuesIterator::GetNextValue(): Consistency error, m_iCurrentIndex >= m_dwMaxItems\n");
        return ZEL_E_CONSISTENCY;
    }
    DWORD cchName = m_cchName;
    const ZELRESULT zr = m_pValues->GetItem(m_iCurrentIndex, m_szName.get(), &cchName, nullptr);
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_ALL,
                  u"CSettingsValuesIterator::GetNextValue(): pValues->GetItem() failed (0x%08X).\n",
                  Code(zr));
        m_iCurrentIndex = m_dwMaxItems;
        return zr;
    }
    ++m_iCurrentIndex;
    if (pszName != nullptr) {
        *pszName = m_szName.get();
    }
    return ZEL_SUCCESS;
}

ZELRESULT CSettingsKeysIterator::Init(ISettingsManager* pSetMgr, const char16_t* szKeyName) {
    m_pValues.Release();
    m_iCurrentIndex = 0;
    m_dwMaxItems = 0;
    if (pSetMgr == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    if (!m_szName) {
        m_szName.reset(new (std::nothrow) char16_t[INITIAL_NAME_LENGTH]);
        if (!m_szName) {
            return ZEL_E_OUT_OF_MEMORY;
        }
        m_cchName = INITIAL_NAME_LENGTH;
    }
    ZELRESULT zr = pSetMgr->GetSubKeys(szKeyName, &m_pValues);
    if (zr == ZEL_E_NOT_FOUND) {
        return ZEL_SUCCESS_DEFAULT;
    }
    if (!ZEL_SUCCEEDED(zr)) {
        return zr;
    }
    DWORD dwCount = 0;
    zr = m_pValues->GetCount(&dwCount);
    if (!ZEL_SUCCEEDED(zr)) {
        m_pValues.Release();
        return zr;
    }
    m_dwMaxItems = dwCount;
    return ZEL_SUCCESS;
}

ZELRESULT CSettingsKeysIterator::GetNextValue(const char16_t** pszName) {
    if (m_iCurrentIndex >= m_dwMaxItems || !m_pValues) {
        DebugOut1(
            DBG_CAT_ALL,
            u"CSettingsKeysIterator::GetNextValue(): Consistency error, m_iCurrentIndex >= m_dwMaxItems\n");
        return ZEL_E_CONSISTENCY;
    }
    DWORD cchName = m_cchName;
    ZELRESULT zr = m_pValues->GetItem(m_iCurrentIndex, m_szName.get(), &cchName, nullptr);
    if (zr == ZEL_E_BUFFER_TOO_SMALL) {
        // cchName now holds the length the name needs: grow to it and try once more.
        std::unique_ptr<char16_t[]> szLarger(new (std::nothrow) char16_t[cchName]);
        if (!szLarger) {
            m_iCurrentIndex = m_dwMaxItems;
            return ZEL_E_OUT_OF_MEMORY;
        }
        m_szName = std::move(szLarger);
        m_cchName = cchName;
        zr = m_pValues->GetItem(m_iCurrentIndex, m_szName.get(), &cchName, nullptr);
    }
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_ALL,
                  u"CSettingsKeysIterator::GetNextValue(): pValues->GetItem() failed (0x%08X).\n", Code(zr));
        m_iCurrentIndex = m_dwMaxItems;
        return zr;
    }
    ++m_iCurrentIndex;
    if (pszName != nullptr) {
        *pszName = m_szName.get();
    }
    return ZEL_SUCCESS;
}
