// lcSet.dll: the settings store's objects. A manager opens keys; a key object holds a snapshot of the
// key's values plus the caller's changes, which PutSettings commits as one transaction. A key opened
// for creation reads its snapshot at its first read, not when it is opened: a writer that only adds
// values (the manifest loader adds to keys of thousands) never pays for reading them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>

#include "../common/class_factory.h"
#include "../common/registry_peek.h"
#include "settings_db.h"

#define LCSET_EXPORT extern "C" __attribute__((visibility("default")))

namespace lcset {
namespace {

// Known only inside the library: lets PutSettings recognise its own key objects.
constexpr IID IID_CSettingsImpl = {
    0x6c0d4f1e, 0x2b7a, 0x4e59, {0x9a, 0x41, 0x3d, 0x0b, 0x7e, 0x52, 0xc8, 0x19}};

std::atomic<ULONG> g_ulObjects{0};

// Test faults of the store's service key (docs/settings.md): "FailRead NAME" and "FailWrite NAME"
// make reads of the value NAME, or commits that write it, answer the DWORD; "FailGetSettings KEY" and
// "FailCreateSettings KEY" do the same for opening the key KEY. Looked up again at most
// every 100 ms, so a running test can set and clear them without every read opening the registry.
ZELRESULT InjectedFault(std::string_view sOperation, std::u16string_view sValue) {
    static std::mutex s_mutex;
    static std::vector<std::pair<std::string, std::uint32_t>> s_faults;
    static std::chrono::steady_clock::time_point s_read;
    std::lock_guard lock(s_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (s_read == std::chrono::steady_clock::time_point() || now - s_read >= std::chrono::milliseconds(100)) {
        s_faults = sim::PeekMachineDwords("SYSTEM\\CurrentControlSet\\Services\\lcSetMgr\\Parameters");
        s_read = now;
    }
    // Names are stored upper-cased: "FAILREAD CURRENTSTATE".
    for (const auto& [sFault, dwCode] : s_faults) {
        if (dwCode == 0 || sFault.size() != sOperation.size() + 1 + sValue.size() ||
            sFault.compare(0, sOperation.size(), sOperation) != 0 || sFault[sOperation.size()] != ' ') {
            continue;
        }
        const bool bSame = std::equal(sValue.begin(), sValue.end(), sFault.begin() + sOperation.size() + 1,
                                      [](char16_t ch, char chFault) {
                                          return ch < 0x80 && std::toupper(static_cast<int>(ch)) == chFault;
                                      });
        if (bSame) {
            return static_cast<ZELRESULT>(dwCode);
        }
    }
    return ZEL_SUCCESS;
}

class CCounted : public CRefCounted {
protected:
    CCounted() { ++g_ulObjects; }
    ~CCounted() override { --g_ulObjects; }
};

#define LCSET_IUNKNOWN_REFS                      \
    ULONG STDMETHODCALLTYPE AddRef() override {  \
        return AddRefImpl();                     \
    }                                            \
    ULONG STDMETHODCALLTYPE Release() override { \
        return ReleaseImpl();                    \
    }

template <class T>
HRESULT Answer(T* pThis, void** ppv) {
    pThis->AddRef();
    *ppv = pThis;
    return S_OK;
}

// Copies a name or text with its terminator; the required length (terminator included) when the
// buffer is too small.
ZELRESULT CopyOut(std::u16string_view s, char16_t* szBuffer, DWORD* pcch) {
    if (pcch == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    const DWORD cchNeeded = static_cast<DWORD>(s.size() + 1);
    if (szBuffer == nullptr || *pcch < cchNeeded) {
        *pcch = cchNeeded;
        return ZEL_E_BUFFER_TOO_SMALL;
    }
    std::copy(s.begin(), s.end(), szBuffer);
    szBuffer[s.size()] = u'\0';
    *pcch = static_cast<DWORD>(s.size());
    return ZEL_SUCCESS;
}

struct CEnumItem {
    std::u16string sName;
    DWORD dwType;
};

class CSettingsEnum final : public ISettingsEnum, public CCounted {
public:
    explicit CSettingsEnum(std::vector<CEnumItem> items) : m_items(std::move(items)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        return riid == IID_IUnknown ? Answer(this, ppv) : E_NOINTERFACE;
    }
    LCSET_IUNKNOWN_REFS

    ZELRESULT STDMETHODCALLTYPE GetCount(DWORD* pdwCount) override {
        if (pdwCount == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        *pdwCount = static_cast<DWORD>(m_items.size());
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetItem(DWORD dwIndex, char16_t* szName, DWORD* pcchName,
                                        DWORD* pdwType) override {
        if (dwIndex >= m_items.size()) {
            return ZEL_E_NOT_FOUND;
        }
        const ZELRESULT zr = CopyOut(m_items[dwIndex].sName, szName, pcchName);
        if (ZEL_SUCCEEDED(zr) && pdwType != nullptr) {
            *pdwType = m_items[dwIndex].dwType;
        }
        return zr;
    }

private:
    const std::vector<CEnumItem> m_items;
};

class CSettingsManager;

class CSettings final : public ISettings, public CCounted {
public:
    // stored: the key's values when already read, otherwise they are read at the first read.
    CSettings(CSettingsManager* pManager, CSettingsDatabase* pDatabase, std::vector<std::u16string> path,
              std::optional<std::vector<CValue>> stored);
    ~CSettings() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        return riid == IID_IUnknown || riid == IID_CSettingsImpl ? Answer(this, ppv) : E_NOINTERFACE;
    }
    LCSET_IUNKNOWN_REFS

    ZELRESULT STDMETHODCALLTYPE GetDword(const char16_t* szName, DWORD* pdwValue) override {
        const CValue* pValue = nullptr;
        const ZELRESULT zr = Find(szName, SETTINGS_TYPE_DWORD, &pValue);
        if (!ZEL_SUCCEEDED(zr)) {
            return zr;
        }
        if (pdwValue == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        *pdwValue = pValue->dwValue;
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetString(const char16_t* szName, char16_t* szText,
                                          DWORD* pcchText) override {
        const CValue* pValue = nullptr;
        const ZELRESULT zr = Find(szName, SETTINGS_TYPE_STRING, &pValue);
        return ZEL_SUCCEEDED(zr) ? CopyOut(pValue->sText, szText, pcchText) : zr;
    }
    ZELRESULT STDMETHODCALLTYPE GetBinary(const char16_t* szName, BYTE* pData, DWORD* pcbData) override {
        const CValue* pValue = nullptr;
        const ZELRESULT zr = Find(szName, SETTINGS_TYPE_BINARY, &pValue);
        if (!ZEL_SUCCEEDED(zr)) {
            return zr;
        }
        if (pcbData == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        const DWORD cbNeeded = static_cast<DWORD>(pValue->binary.size());
        if ((pData == nullptr && cbNeeded != 0) || *pcbData < cbNeeded) {
            *pcbData = cbNeeded;
            return ZEL_E_BUFFER_TOO_SMALL;
        }
        if (cbNeeded != 0) {
            std::memcpy(pData, pValue->binary.data(), cbNeeded);
        }
        *pcbData = cbNeeded;
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetValueType(const char16_t* szName, DWORD* pdwType) override {
        const CValue* pValue = nullptr;
        const ZELRESULT zr = Find(szName, 0, &pValue);
        if (ZEL_SUCCEEDED(zr) && pdwType != nullptr) {
            *pdwType = pValue->dwType;
        }
        return zr;
    }

    ZELRESULT STDMETHODCALLTYPE PutDword(const char16_t* szName, DWORD dwValue) override {
        return Put(szName, [dwValue](CValue* p) {
            p->dwType = SETTINGS_TYPE_DWORD;
            p->dwValue = dwValue;
        });
    }
    ZELRESULT STDMETHODCALLTYPE PutString(const char16_t* szName, const char16_t* szText) override {
        if (szText == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        return Put(szName, [szText](CValue* p) {
            p->dwType = SETTINGS_TYPE_STRING;
            p->sText = szText;
        });
    }
    ZELRESULT STDMETHODCALLTYPE PutBinary(const char16_t* szName, const BYTE* pData, DWORD cbData) override {
        if (pData == nullptr && cbData != 0) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        return Put(szName, [pData, cbData](CValue* p) {
            p->dwType = SETTINGS_TYPE_BINARY;
            p->binary.assign(pData, pData + cbData);
        });
    }
    ZELRESULT STDMETHODCALLTYPE DeleteValue(const char16_t* szName) override {
        if (szName == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        try {
            if (const ZELRESULT zrLoad = Load(); !ZEL_SUCCEEDED(zrLoad)) {
                return zrLoad;
            }
            const auto it = FindIt(szName);
            if (it == m_values.end()) {
                return ZEL_E_NOT_FOUND;
            }
            m_deleted.push_back(it->sName);
            m_values.erase(it);
            Reindex();
            return ZEL_SUCCESS;
        } catch (const std::bad_alloc&) {
            return ZEL_E_OUT_OF_MEMORY;
        }
    }

    ZELRESULT STDMETHODCALLTYPE GetValues(ISettingsEnum** ppValues) override {
        if (ppValues == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        *ppValues = nullptr;
        try {
            if (const ZELRESULT zrLoad = Load(); !ZEL_SUCCEEDED(zrLoad)) {
                return zrLoad;
            }
            std::vector<CEnumItem> items;
            items.reserve(m_values.size());
            for (const auto& value : m_values) {
                items.push_back({value.sName, value.dwType});
            }
            *ppValues = new CSettingsEnum(std::move(items));
            return ZEL_SUCCESS;
        } catch (const std::bad_alloc&) {
            return ZEL_E_OUT_OF_MEMORY;
        }
    }
    ZELRESULT STDMETHODCALLTYPE GetMaxValueNameLength(DWORD* pcchMax) override {
        if (pcchMax == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        if (const ZELRESULT zrLoad = Load(); !ZEL_SUCCEEDED(zrLoad)) {
            return zrLoad;
        }
        std::size_t cchMax = 0;
        for (const auto& value : m_values) {
            cchMax = std::max(cchMax, value.sName.size());
        }
        *pcchMax = static_cast<DWORD>(cchMax);
        return ZEL_SUCCESS;
    }

    // Commits the changes; afterwards the object is clean again.
    ZELRESULT Commit(CSettingsDatabase* pDatabase) {
        try {
            CKeyChanges changes;
            changes.deletes = m_deleted;
            for (const auto& value : m_values) {
                if (value.bDirty) {
                    if (const ZELRESULT zrFault = InjectedFault("FAILWRITE", value.sName);
                        zrFault != ZEL_SUCCESS) {
                        return zrFault;
                    }
                    changes.puts.push_back(&value);
                }
            }
            const ZELRESULT zr = pDatabase->CommitKey(m_path, changes);
            if (ZEL_SUCCEEDED(zr)) {
                for (auto& value : m_values) {
                    value.bDirty = false;
                }
                m_deleted.clear();
            }
            return zr;
        } catch (const std::bad_alloc&) {
            return ZEL_E_OUT_OF_MEMORY;
        }
    }

private:
    std::vector<CValue>::iterator FindIt(std::u16string_view sName) {
        const auto it = m_index.find(FoldName(sName));
        return it == m_index.end() ? m_values.end()
                                   : m_values.begin() + static_cast<std::ptrdiff_t>(it->second);
    }
    // Reads the stored values under the values put so far (a delete loads first, so there is none to
    // apply). bad_alloc goes to the caller's handler.
    ZELRESULT Load() {
        if (m_bLoaded) {
            return ZEL_SUCCESS;
        }
        std::vector<CValue> stored;
        const ZELRESULT zr = m_pDatabase->ReadKey(m_path, &stored);
        // A key opened for creation, or deleted since it was opened, has nothing stored.
        if (!ZEL_SUCCEEDED(zr) && zr != ZEL_E_NOT_FOUND) {
            return zr;
        }
        // A value put replaces the stored one in its place and keeps its stored name; new ones follow.
        std::vector<bool> placed(m_values.size(), false);
        for (CValue& value : stored) {
            if (const auto it = m_index.find(FoldName(value.sName)); it != m_index.end()) {
                m_values[it->second].sName = std::move(value.sName);
                value = std::move(m_values[it->second]);
                placed[it->second] = true;
            }
        }
        for (std::size_t i = 0; i < m_values.size(); ++i) {
            if (!placed[i]) {
                stored.push_back(std::move(m_values[i]));
            }
        }
        m_values = std::move(stored);
        Reindex();
        m_bLoaded = true;
        return ZEL_SUCCESS;
    }
    void Reindex() {
        m_index.clear();
        for (std::size_t i = 0; i < m_values.size(); ++i) {
            m_index.emplace(FoldName(m_values[i].sName), i);
        }
    }
    // dwType 0 accepts any type.
    ZELRESULT Find(const char16_t* szName, DWORD dwType, const CValue** ppValue) {
        if (szName == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        if (const ZELRESULT zrFault = InjectedFault("FAILREAD", szName); zrFault != ZEL_SUCCESS) {
            return zrFault;
        }
        if (const ZELRESULT zrLoad = Load(); !ZEL_SUCCEEDED(zrLoad)) {
            return zrLoad;
        }
        const auto it = FindIt(szName);
        if (it == m_values.end()) {
            return ZEL_E_NOT_FOUND;
        }
        if (dwType != 0 && it->dwType != dwType) {
            return ZEL_E_WRONG_TYPE;
        }
        *ppValue = &*it;
        return ZEL_SUCCESS;
    }
    template <class F>
    ZELRESULT Put(const char16_t* szName, F fnSet) {
        if (szName == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        try {
            const auto it = FindIt(szName);
            CValue value;
            value.sName = it != m_values.end() ? it->sName : std::u16string(szName);
            fnSet(&value);
            value.bDirty = true;
            if (!m_deleted.empty()) {
                const auto matches = [&](const std::u16string& s) { return EqualNames(s, value.sName); };
                m_deleted.erase(std::remove_if(m_deleted.begin(), m_deleted.end(), matches), m_deleted.end());
            }
            if (it != m_values.end()) {
                *it = std::move(value);
            } else {
                m_index.emplace(FoldName(value.sName), m_values.size());
                m_values.push_back(std::move(value));
            }
            return ZEL_SUCCESS;
        } catch (const std::bad_alloc&) {
            return ZEL_E_OUT_OF_MEMORY;
        }
    }

    CSettingsManager* const m_pManager;    // one reference held
    CSettingsDatabase* const m_pDatabase;  // the manager's
    const std::vector<std::u16string> m_path;
    bool m_bLoaded = false;
    std::vector<CValue> m_values;                             // in enumeration order
    std::unordered_map<std::u16string, std::size_t> m_index;  // folded name -> position in m_values
    std::vector<std::u16string> m_deleted;                    // names deleted since the last commit
};

class CSettingsManager final : public ISettingsManager, public CCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        return riid == IID_IUnknown || riid == IID_ISettingsManager ? Answer(this, ppv) : E_NOINTERFACE;
    }
    LCSET_IUNKNOWN_REFS

    ZELRESULT STDMETHODCALLTYPE CreateSettings(const char16_t* szKeyName, ISettings** ppSettings) override {
        return Open(szKeyName, ppSettings, true);
    }
    ZELRESULT STDMETHODCALLTYPE GetSettings(const char16_t* szKeyName, ISettings** ppSettings) override {
        return Open(szKeyName, ppSettings, false);
    }
    ZELRESULT STDMETHODCALLTYPE PutSettings(ISettings* pSettings) override {
        if (pSettings == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        void* pImpl = nullptr;
        if (pSettings->QueryInterface(IID_CSettingsImpl, &pImpl) < 0 || pImpl == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        auto* pKey = static_cast<CSettings*>(pImpl);
        const ZELRESULT zr = pKey->Commit(&m_database);
        pKey->Release();
        return zr;
    }
    ZELRESULT STDMETHODCALLTYPE GetSubKeys(const char16_t* szKeyName, ISettingsEnum** ppSubKeys) override {
        if (ppSubKeys == nullptr || szKeyName == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        *ppSubKeys = nullptr;
        try {
            std::vector<std::u16string> path;
            if (*szKeyName != u'\0') {
                const ZELRESULT zrName = SplitKeyName(szKeyName, &path);
                if (!ZEL_SUCCEEDED(zrName)) {
                    return zrName;
                }
            }
            std::vector<std::u16string> names;
            const ZELRESULT zr = m_database.ReadSubKeys(path, &names);
            if (!ZEL_SUCCEEDED(zr)) {
                return zr;
            }
            std::vector<CEnumItem> items;
            items.reserve(names.size());
            for (auto& sName : names) {
                items.push_back({std::move(sName), 0});
            }
            *ppSubKeys = new CSettingsEnum(std::move(items));
            return ZEL_SUCCESS;
        } catch (const std::bad_alloc&) {
            return ZEL_E_OUT_OF_MEMORY;
        }
    }
    ZELRESULT STDMETHODCALLTYPE DeleteSettings(const char16_t* szKeyName) override {
        try {
            std::vector<std::u16string> path;
            const ZELRESULT zrName = SplitKeyName(szKeyName, &path);
            return ZEL_SUCCEEDED(zrName) ? m_database.DeleteKey(path) : zrName;
        } catch (const std::bad_alloc&) {
            return ZEL_E_OUT_OF_MEMORY;
        }
    }
    ZELRESULT STDMETHODCALLTYPE GetChangeCount(ULONGLONG* pullCount) override {
        if (pullCount == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        return m_database.ReadChangeCount(pullCount);
    }

private:
    ZELRESULT Open(const char16_t* szKeyName, ISettings** ppSettings, bool bCreate) {
        if (ppSettings == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        *ppSettings = nullptr;
        try {
            std::vector<std::u16string> path;
            const ZELRESULT zrName = SplitKeyName(szKeyName, &path);
            if (!ZEL_SUCCEEDED(zrName)) {
                return zrName;
            }
            if (const ZELRESULT zrFault =
                    InjectedFault(bCreate ? "FAILCREATESETTINGS" : "FAILGETSETTINGS", szKeyName);
                zrFault != ZEL_SUCCESS) {
                return zrFault;
            }
            // A key opened to be read is read at once, in the transaction that finds it; one opened to
            // be created is only looked for, and read if the writer reads it.
            std::optional<std::vector<CValue>> stored;
            ZELRESULT zr = ZEL_SUCCESS;
            if (bCreate) {
                zr = m_database.KeyExists(path);
            } else {
                zr = m_database.ReadKey(path, &stored.emplace());
            }
            // A key to be created starts empty; nothing is stored until it is committed.
            if (!ZEL_SUCCEEDED(zr) && !(bCreate && zr == ZEL_E_NOT_FOUND)) {
                return zr;
            }
            *ppSettings = new CSettings(this, &m_database, std::move(path), std::move(stored));
            return ZEL_SUCCESS;
        } catch (const std::bad_alloc&) {
            return ZEL_E_OUT_OF_MEMORY;
        }
    }

    CSettingsDatabase m_database;
};

CSettings::CSettings(CSettingsManager* pManager, CSettingsDatabase* pDatabase,
                     std::vector<std::u16string> path, std::optional<std::vector<CValue>> stored)
    : m_pManager(pManager), m_pDatabase(pDatabase), m_path(std::move(path)), m_bLoaded(stored.has_value()) {
    if (stored) {
        m_values = std::move(*stored);
        Reindex();
    }
    m_pManager->AddRef();
}

CSettings::~CSettings() {
    m_pManager->Release();
}

}  // namespace
}  // namespace lcset

LCSET_EXPORT ZELRESULT GetFactory(const CLSID* pClsid, IClassFactory** ppFactory) {
    if (pClsid == nullptr || ppFactory == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    *ppFactory = nullptr;
    if (!(*pClsid == CLSID_SettingsManager)) {
        return sim::CLASS_E_CLASSNOTAVAILABLE;
    }
    *ppFactory = new (std::nothrow) sim::CClassFactory<lcset::CSettingsManager, lcset::g_ulObjects>();
    return *ppFactory != nullptr ? ZEL_SUCCESS : ZEL_E_OUT_OF_MEMORY;
}

LCSET_EXPORT ULONG GetObjectCount() {
    return lcset::g_ulObjects.load();
}
