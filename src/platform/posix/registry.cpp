// The registry API over the store. Handles are entries of a per-process table (key id and granted
// access), so a stale or made-up HKEY is answered with ERROR_INVALID_HANDLE and never dereferenced.
#include "platform/registry.h"

#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/posix/registry_store.h"

namespace platform {
namespace {

using registry::CRegistryStore;
using registry::CStatement;
using registry::UpperKey;

constexpr std::size_t MAX_KEY_NAME_CHARS = 255;
constexpr std::size_t MAX_VALUE_NAME_CHARS = 16383;
constexpr std::uintptr_t PREDEFINED_FIRST = 0x80000000;

struct CKeyRef {
    sqlite3_int64 llId;
    REGSAM samGranted;
};

class CHandleTable {
public:
    static CHandleTable& Instance() {
        static CHandleTable* s_pTable = new CHandleTable();
        return *s_pTable;
    }

    // nullptr when out of memory.
    HKEY Add(const CKeyRef& ref) {
        std::lock_guard<std::mutex> lock(m_mutex);
        try {
            std::uintptr_t uValue;
            do {
                // Values grow and are not reused, so a closed handle stays invalid; they stay clear of
                // the predefined keys.
                uValue = (m_uNext++) << 4;
            } while (uValue == 0 || (uValue >= PREDEFINED_FIRST && uValue <= PREDEFINED_FIRST + 0xF) ||
                     m_entries.count(uValue) != 0);
            m_entries.emplace(uValue, ref);
            return reinterpret_cast<HKEY>(uValue);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    bool Remove(HKEY hKey) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries.erase(reinterpret_cast<std::uintptr_t>(hKey)) != 0;
    }

    bool Lookup(HKEY hKey, CKeyRef* pRef) {
        const auto uValue = reinterpret_cast<std::uintptr_t>(hKey);
        if (uValue >= PREDEFINED_FIRST && uValue <= PREDEFINED_FIRST + 3) {
            pRef->llId = static_cast<sqlite3_int64>(uValue - PREDEFINED_FIRST) + registry::HIVE_CLASSES_ROOT;
            pRef->samGranted = KEY_ALL_ACCESS;
            return true;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_entries.find(uValue);
        if (it == m_entries.end()) {
            return false;
        }
        *pRef = it->second;
        return true;
    }

private:
    std::mutex m_mutex;
    std::unordered_map<std::uintptr_t, CKeyRef> m_entries;
    std::uintptr_t m_uNext = 1;
};

bool IsPredefined(HKEY hKey) {
    const auto uValue = reinterpret_cast<std::uintptr_t>(hKey);
    return uValue >= PREDEFINED_FIRST && uValue <= PREDEFINED_FIRST + 3;
}

REGSAM MapAccess(REGSAM sam) {
    REGSAM samMapped = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY | GENERIC_READ | GENERIC_WRITE |
                               GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (sam & GENERIC_READ) {
        samMapped |= KEY_READ;
    }
    if (sam & GENERIC_WRITE) {
        samMapped |= KEY_WRITE;
    }
    if (sam & GENERIC_EXECUTE) {
        samMapped |= KEY_EXECUTE;
    }
    if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        samMapped |= KEY_ALL_ACCESS;
    }
    return samMapped;
}

// Splits a sub-key path as the platform's key parser does: no leading separator, runs of separators
// are one, trailing ones end the path.
LONG SplitPath(const char16_t* szSubKey, std::vector<std::u16string_view>* pParts) {
    const std::u16string_view sPath =
        szSubKey == nullptr ? std::u16string_view() : std::u16string_view(szSubKey);
    if (!sPath.empty() && sPath.front() == u'\\') {
        return ERROR_BAD_PATHNAME;
    }
    std::size_t nPos = 0;
    while (nPos < sPath.size()) {
        if (sPath[nPos] == u'\\') {
            ++nPos;
            continue;
        }
        std::size_t nEnd = sPath.find(u'\\', nPos);
        if (nEnd == std::u16string_view::npos) {
            nEnd = sPath.size();
        }
        if (nEnd - nPos > MAX_KEY_NAME_CHARS) {
            return ERROR_INVALID_NAME;
        }
        pParts->push_back(sPath.substr(nPos, nEnd - nPos));
        nPos = nEnd;
    }
    return ERROR_SUCCESS;
}

std::u16string_view ValueName(const char16_t* szValueName) {
    return szValueName == nullptr ? std::u16string_view() : std::u16string_view(szValueName);
}

bool KeyExists(sqlite3* pDb, sqlite3_int64 llId) {
    CStatement stmt(pDb, "SELECT 1 FROM keys WHERE id = ?");
    return stmt.Bind(1, llId).Step();
}

// 0 when there is no such child.
sqlite3_int64 FindChild(sqlite3* pDb, sqlite3_int64 llParent, std::u16string_view sName) {
    const std::string sUpper = UpperKey(sName);
    CStatement stmt(pDb, "SELECT id FROM keys WHERE parent = ? AND name_upper = ?");
    stmt.Bind(1, llParent).BindBlob(2, sUpper.data(), sUpper.size());
    return stmt.Step() ? stmt.Int64(0) : 0;
}

// Follows the path from llBase; returns how many components exist and the id of the last one found.
std::size_t Walk(sqlite3* pDb, sqlite3_int64 llBase, const std::vector<std::u16string_view>& parts,
                 sqlite3_int64* pllId) {
    sqlite3_int64 llId = llBase;
    std::size_t nFound = 0;
    for (const auto& sPart : parts) {
        const sqlite3_int64 llChild = FindChild(pDb, llId, sPart);
        if (llChild == 0) {
            break;
        }
        llId = llChild;
        ++nFound;
    }
    *pllId = llId;
    return nFound;
}

void Touch(sqlite3* pDb, sqlite3_int64 llId) {
    CStatement(pDb, "UPDATE keys SET last_write = ? WHERE id = ?")
        .Bind(1, registry::FileTimeNow())
        .Bind(2, llId)
        .Execute();
}

sqlite3_int64 ParentOf(sqlite3* pDb, sqlite3_int64 llId) {
    CStatement stmt(pDb, "SELECT parent FROM keys WHERE id = ?");
    return stmt.Bind(1, llId).Step() ? stmt.Int64(0) : 0;
}

// Deletes the values and sub-keys below llId, and llId itself when bSelf.
void DeleteSubtree(sqlite3* pDb, sqlite3_int64 llId, bool bSelf) {
    constexpr const char* TREE =
        "WITH RECURSIVE tree(id) AS (SELECT id FROM keys WHERE parent = ?1 "
        "UNION ALL SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) ";
    CStatement(pDb, (std::string(TREE) + "DELETE FROM vals WHERE key IN tree").c_str())
        .Bind(1, llId)
        .Execute();
    CStatement(pDb, (std::string(TREE) + "DELETE FROM keys WHERE id IN tree").c_str())
        .Bind(1, llId)
        .Execute();
    CStatement(pDb, "DELETE FROM vals WHERE key = ?").Bind(1, llId).Execute();
    if (bSelf) {
        CStatement(pDb, "DELETE FROM keys WHERE id = ?").Bind(1, llId).Execute();
    }
}

// Test option (docs/registry.md): a DWORD "OpenForWrite <path>" under this key of HKEY_LOCAL_MACHINE
// makes opening that key of HKEY_LOCAL_MACHINE for setting values fail with the DWORD, as a key whose
// permissions deny it does. 0 when no such fault is set.
DWORD WriteOpenFault(sqlite3* pDb, const std::vector<std::u16string_view>& parts) {
    static const std::vector<std::u16string_view> FAULTS_PATH = {u"SYSTEM", u"CurrentControlSet", u"Control",
                                                                 u"RegistryFaults"};
    sqlite3_int64 llFaults = 0;
    if (Walk(pDb, registry::HIVE_LOCAL_MACHINE, FAULTS_PATH, &llFaults) != FAULTS_PATH.size()) {
        return 0;
    }
    std::u16string sName = u"OpenForWrite";
    for (const auto& sPart : parts) {
        sName += sName.size() == 12 ? u' ' : u'\\';
        sName += sPart;
    }
    const std::string sUpper = UpperKey(sName);
    CStatement stmt(pDb, "SELECT type, data FROM vals WHERE key = ? AND name_upper = ?");
    stmt.Bind(1, llFaults).BindBlob(2, sUpper.data(), sUpper.size());
    DWORD dwError = 0;
    if (stmt.Step() && stmt.Int64(0) == REG_DWORD && stmt.Bytes(1) == sizeof(dwError)) {
        std::memcpy(&dwError, stmt.Blob(1), sizeof(dwError));
    }
    return dwError;
}

LONG OpenOrCreate(HKEY hKey, const char16_t* szSubKey, REGSAM samDesired, bool bCreate, HKEY* phkResult,
                  DWORD* pdwDisposition) {
    CKeyRef base{};
    if (!CHandleTable::Instance().Lookup(hKey, &base)) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<std::u16string_view> parts;
    LONG lResult = SplitPath(szSubKey, &parts);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }

    // Opening needs no write lock, so an existing key opens even while another process writes.
    sqlite3_int64 llId = 0;
    bool bComplete = false;
    const bool bCheckFault =
        base.llId == registry::HIVE_LOCAL_MACHINE && (MapAccess(samDesired) & KEY_SET_VALUE) != 0;
    lResult = CRegistryStore::Instance().Read([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, base.llId)) {
            return ERROR_KEY_DELETED;
        }
        if (bCheckFault) {
            if (const DWORD dwFault = WriteOpenFault(pDb, parts); dwFault != 0) {
                return static_cast<LONG>(dwFault);
            }
        }
        bComplete = Walk(pDb, base.llId, parts, &llId) == parts.size();
        return ERROR_SUCCESS;
    });
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    DWORD dwDisposition = REG_OPENED_EXISTING_KEY;
    if (!bComplete) {
        if (!bCreate) {
            return ERROR_FILE_NOT_FOUND;
        }
        if ((base.samGranted & KEY_CREATE_SUB_KEY) == 0) {
            return ERROR_ACCESS_DENIED;
        }
        lResult = CRegistryStore::Instance().Write([&](sqlite3* pDb) -> LONG {
            if (!KeyExists(pDb, base.llId)) {
                return ERROR_KEY_DELETED;
            }
            // Walk again: another process may have created part of the path meanwhile.
            std::size_t nFound = Walk(pDb, base.llId, parts, &llId);
            if (nFound == parts.size()) {
                dwDisposition = REG_OPENED_EXISTING_KEY;
                return ERROR_SUCCESS;
            }
            const sqlite3_int64 llNow = registry::FileTimeNow();
            Touch(pDb, llId);
            for (; nFound < parts.size(); ++nFound) {
                const std::u16string_view sName = parts[nFound];
                const std::string sUpper = UpperKey(sName);
                CStatement(pDb, "INSERT INTO keys(parent, name, name_upper, last_write) VALUES(?, ?, ?, ?)")
                    .Bind(1, llId)
                    .BindBlob(2, sName.data(), sName.size() * sizeof(char16_t))
                    .BindBlob(3, sUpper.data(), sUpper.size())
                    .Bind(4, llNow)
                    .Execute();
                llId = sqlite3_last_insert_rowid(pDb);
            }
            dwDisposition = REG_CREATED_NEW_KEY;
            return ERROR_SUCCESS;
        });
        if (lResult != ERROR_SUCCESS) {
            return lResult;
        }
    }
    const HKEY hNew = CHandleTable::Instance().Add(CKeyRef{llId, MapAccess(samDesired)});
    if (hNew == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *phkResult = hNew;
    if (pdwDisposition != nullptr) {
        *pdwDisposition = dwDisposition;
    }
    return ERROR_SUCCESS;
}

// Looks up the handle and checks the access the call needs.
LONG Resolve(HKEY hKey, REGSAM samNeeded, CKeyRef* pRef) {
    if (!CHandleTable::Instance().Lookup(hKey, pRef)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((pRef->samGranted & samNeeded) != samNeeded) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

DWORD ClampDword(std::size_t n) {
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(n);
}

// Nothing may leave the seam as an exception; allocation failures become the platform's code.
template <typename F>
LONG NoThrow(F fnCall) {
    try {
        return fnCall();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

static LONG RegCreateKeyExImpl(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired,
                               HKEY* phkResult, DWORD* pdwDisposition) {
    if (phkResult == nullptr || szSubKey == nullptr || (dwOptions & ~REG_OPTION_VOLATILE) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    return OpenOrCreate(hKey, szSubKey, samDesired, true, phkResult, pdwDisposition);
}

static LONG RegOpenKeyExImpl(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired,
                             HKEY* phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    return OpenOrCreate(hKey, szSubKey, samDesired, false, phkResult, nullptr);
}

static LONG RegCloseKeyImpl(HKEY hKey) {
    if (IsPredefined(hKey)) {
        return ERROR_SUCCESS;
    }
    return CHandleTable::Instance().Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

static LONG RegDeleteKeyImpl(HKEY hKey, const char16_t* szSubKey) {
    if (szSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    CKeyRef base{};
    LONG lResult = Resolve(hKey, 0, &base);
    std::vector<std::u16string_view> parts;
    if (lResult == ERROR_SUCCESS) {
        lResult = SplitPath(szSubKey, &parts);
    }
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Write([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, base.llId)) {
            return ERROR_KEY_DELETED;
        }
        sqlite3_int64 llId = 0;
        if (Walk(pDb, base.llId, parts, &llId) != parts.size()) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (llId <= registry::HIVE_LAST) {
            return ERROR_ACCESS_DENIED;
        }
        if (CStatement(pDb, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1").Bind(1, llId).Step()) {
            return ERROR_ACCESS_DENIED;
        }
        Touch(pDb, ParentOf(pDb, llId));
        DeleteSubtree(pDb, llId, true);
        return ERROR_SUCCESS;
    });
}

static LONG RegDeleteTreeImpl(HKEY hKey, const char16_t* szSubKey) {
    constexpr REGSAM SAM_TREE = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    CKeyRef base{};
    LONG lResult = Resolve(hKey, szSubKey == nullptr ? SAM_TREE : 0, &base);
    std::vector<std::u16string_view> parts;
    if (lResult == ERROR_SUCCESS) {
        lResult = SplitPath(szSubKey, &parts);
    }
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Write([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, base.llId)) {
            return ERROR_KEY_DELETED;
        }
        if (szSubKey == nullptr) {
            Touch(pDb, base.llId);
            DeleteSubtree(pDb, base.llId, false);
            return ERROR_SUCCESS;
        }
        sqlite3_int64 llId = 0;
        if (Walk(pDb, base.llId, parts, &llId) != parts.size()) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (llId <= registry::HIVE_LAST) {
            return ERROR_ACCESS_DENIED;
        }
        Touch(pDb, ParentOf(pDb, llId));
        DeleteSubtree(pDb, llId, true);
        return ERROR_SUCCESS;
    });
}

static LONG RegSetValueExImpl(HKEY hKey, const char16_t* szValueName, DWORD dwType, const BYTE* pData,
                              DWORD cbData) {
    CKeyRef key{};
    const LONG lResult = Resolve(hKey, KEY_SET_VALUE, &key);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    if (pData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    const std::u16string_view sName = ValueName(szValueName);
    if (sName.size() > MAX_VALUE_NAME_CHARS) {
        return ERROR_INVALID_PARAMETER;
    }
    return CRegistryStore::Instance().Write([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, key.llId)) {
            return ERROR_KEY_DELETED;
        }
        const std::string sUpper = UpperKey(sName);
        // A value set again under another case keeps the name it was created with.
        CStatement(pDb,
                   "INSERT INTO vals(key, name, name_upper, type, data) VALUES(?, ?, ?, ?, ?) "
                   "ON CONFLICT(key, name_upper) DO UPDATE SET type = excluded.type, data = excluded.data")
            .Bind(1, key.llId)
            .BindBlob(2, sName.data(), sName.size() * sizeof(char16_t))
            .BindBlob(3, sUpper.data(), sUpper.size())
            .Bind(4, dwType)
            .BindBlob(5, pData, cbData)
            .Execute();
        Touch(pDb, key.llId);
        return ERROR_SUCCESS;
    });
}

// Hands a stored value to the caller: its size always (when asked for), its bytes when they fit.
static LONG CopyValueData(const BYTE* pStored, DWORD cbStored, BYTE* pData, DWORD* pcbData) {
    if (pcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD cbBuffer = *pcbData;
    *pcbData = cbStored;
    if (pData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (cbBuffer < cbStored) {
        return ERROR_MORE_DATA;
    }
    if (cbStored != 0) {
        std::memcpy(pData, pStored, cbStored);
    }
    return ERROR_SUCCESS;
}

static LONG RegQueryValueExImpl(HKEY hKey, const char16_t* szValueName, DWORD* pdwType, BYTE* pData,
                                DWORD* pcbData) {
    if (pData != nullptr && pcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    CKeyRef key{};
    const LONG lResult = Resolve(hKey, KEY_QUERY_VALUE, &key);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Read([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, key.llId)) {
            return ERROR_KEY_DELETED;
        }
        const std::string sUpper = UpperKey(ValueName(szValueName));
        CStatement stmt(pDb, "SELECT type, data FROM vals WHERE key = ? AND name_upper = ?");
        stmt.Bind(1, key.llId).BindBlob(2, sUpper.data(), sUpper.size());
        if (!stmt.Step()) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (pdwType != nullptr) {
            *pdwType = static_cast<DWORD>(stmt.Int64(0));
        }
        return CopyValueData(stmt.Blob(1), ClampDword(stmt.Bytes(1)), pData, pcbData);
    });
}

static LONG RegDeleteValueImpl(HKEY hKey, const char16_t* szValueName) {
    CKeyRef key{};
    const LONG lResult = Resolve(hKey, KEY_SET_VALUE, &key);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Write([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, key.llId)) {
            return ERROR_KEY_DELETED;
        }
        const std::string sUpper = UpperKey(ValueName(szValueName));
        CStatement(pDb, "DELETE FROM vals WHERE key = ? AND name_upper = ?")
            .Bind(1, key.llId)
            .BindBlob(2, sUpper.data(), sUpper.size())
            .Execute();
        if (sqlite3_changes(pDb) == 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        Touch(pDb, key.llId);
        return ERROR_SUCCESS;
    });
}

static LONG RegEnumKeyExImpl(HKEY hKey, DWORD dwIndex, char16_t* szName, DWORD* pcchName) {
    if (szName == nullptr || pcchName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    CKeyRef key{};
    const LONG lResult = Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, &key);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Read([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, key.llId)) {
            return ERROR_KEY_DELETED;
        }
        CStatement stmt(pDb, "SELECT name FROM keys WHERE parent = ? ORDER BY name_upper LIMIT 1 OFFSET ?");
        if (!stmt.Bind(1, key.llId).Bind(2, dwIndex).Step()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const std::u16string sName = stmt.Name(0);
        if (sName.size() + 1 > *pcchName) {
            return ERROR_MORE_DATA;
        }
        std::memcpy(szName, sName.c_str(), (sName.size() + 1) * sizeof(char16_t));
        *pcchName = static_cast<DWORD>(sName.size());
        return ERROR_SUCCESS;
    });
}

static LONG RegEnumValueImpl(HKEY hKey, DWORD dwIndex, char16_t* szValueName, DWORD* pcchValueName,
                             DWORD* pdwType, BYTE* pData, DWORD* pcbData) {
    if (szValueName == nullptr || pcchValueName == nullptr || (pData != nullptr && pcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    CKeyRef key{};
    const LONG lResult = Resolve(hKey, KEY_QUERY_VALUE, &key);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Read([&](sqlite3* pDb) -> LONG {
        if (!KeyExists(pDb, key.llId)) {
            return ERROR_KEY_DELETED;
        }
        CStatement stmt(
            pDb, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name_upper LIMIT 1 OFFSET ?");
        if (!stmt.Bind(1, key.llId).Bind(2, dwIndex).Step()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const std::u16string sName = stmt.Name(0);
        if (sName.size() + 1 > *pcchValueName) {
            return ERROR_MORE_DATA;
        }
        std::memcpy(szValueName, sName.c_str(), (sName.size() + 1) * sizeof(char16_t));
        *pcchValueName = static_cast<DWORD>(sName.size());
        if (pdwType != nullptr) {
            *pdwType = static_cast<DWORD>(stmt.Int64(1));
        }
        return CopyValueData(stmt.Blob(2), ClampDword(stmt.Bytes(2)), pData, pcbData);
    });
}

static LONG RegQueryInfoKeyImpl(HKEY hKey, char16_t* szClass, DWORD* pcchClass, DWORD* pdwReserved,
                                DWORD* pcSubKeys, DWORD* pcchMaxSubKeyLen, DWORD* pcchMaxClassLen,
                                DWORD* pcValues, DWORD* pcchMaxValueNameLen, DWORD* pcbMaxValueLen,
                                DWORD* pcbSecurityDescriptor, FILETIME* pftLastWriteTime) {
    if (pdwReserved != nullptr || (szClass != nullptr && pcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    CKeyRef key{};
    const LONG lResult = Resolve(hKey, KEY_QUERY_VALUE, &key);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Read([&](sqlite3* pDb) -> LONG {
        CStatement self(pDb, "SELECT last_write FROM keys WHERE id = ?");
        if (!self.Bind(1, key.llId).Step()) {
            return ERROR_KEY_DELETED;
        }
        const auto ullLastWrite = static_cast<ULONGLONG>(self.Int64(0));
        CStatement keys(pDb, "SELECT count(*), coalesce(max(length(name)), 0) FROM keys WHERE parent = ?");
        keys.Bind(1, key.llId).Step();
        CStatement vals(pDb,
                        "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) "
                        "FROM vals WHERE key = ?");
        vals.Bind(1, key.llId).Step();

        if (szClass != nullptr) {
            if (*pcchClass == 0) {
                return ERROR_MORE_DATA;
            }
            szClass[0] = u'\0';
        }
        if (pcchClass != nullptr) {
            *pcchClass = 0;
        }
        if (pcSubKeys != nullptr) {
            *pcSubKeys = static_cast<DWORD>(keys.Int64(0));
        }
        if (pcchMaxSubKeyLen != nullptr) {
            *pcchMaxSubKeyLen = static_cast<DWORD>(keys.Int64(1) / 2);
        }
        if (pcchMaxClassLen != nullptr) {
            *pcchMaxClassLen = 0;
        }
        if (pcValues != nullptr) {
            *pcValues = static_cast<DWORD>(vals.Int64(0));
        }
        if (pcchMaxValueNameLen != nullptr) {
            *pcchMaxValueNameLen = static_cast<DWORD>(vals.Int64(1) / 2);
        }
        if (pcbMaxValueLen != nullptr) {
            *pcbMaxValueLen = ClampDword(static_cast<std::size_t>(vals.Int64(2)));
        }
        if (pcbSecurityDescriptor != nullptr) {
            *pcbSecurityDescriptor = 0;
        }
        if (pftLastWriteTime != nullptr) {
            pftLastWriteTime->dwLowDateTime = static_cast<DWORD>(ullLastWrite & 0xFFFFFFFF);
            pftLastWriteTime->dwHighDateTime = static_cast<DWORD>(ullLastWrite >> 32);
        }
        return ERROR_SUCCESS;
    });
}

static LONG RegFlushKeyImpl(HKEY hKey) {
    CKeyRef key{};
    const LONG lResult = Resolve(hKey, 0, &key);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    return CRegistryStore::Instance().Checkpoint();
}

LONG RegCreateKeyEx(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired, HKEY* phkResult,
                    DWORD* pdwDisposition) {
    return NoThrow(
        [&] { return RegCreateKeyExImpl(hKey, szSubKey, dwOptions, samDesired, phkResult, pdwDisposition); });
}

LONG RegOpenKeyEx(HKEY hKey, const char16_t* szSubKey, DWORD dwOptions, REGSAM samDesired, HKEY* phkResult) {
    return NoThrow([&] { return RegOpenKeyExImpl(hKey, szSubKey, dwOptions, samDesired, phkResult); });
}

LONG RegCloseKey(HKEY hKey) {
    return NoThrow([&] { return RegCloseKeyImpl(hKey); });
}

LONG RegDeleteKey(HKEY hKey, const char16_t* szSubKey) {
    return NoThrow([&] { return RegDeleteKeyImpl(hKey, szSubKey); });
}

LONG RegDeleteTree(HKEY hKey, const char16_t* szSubKey) {
    return NoThrow([&] { return RegDeleteTreeImpl(hKey, szSubKey); });
}

LONG RegSetValueEx(HKEY hKey, const char16_t* szValueName, DWORD dwType, const BYTE* pData, DWORD cbData) {
    return NoThrow([&] { return RegSetValueExImpl(hKey, szValueName, dwType, pData, cbData); });
}

LONG RegQueryValueEx(HKEY hKey, const char16_t* szValueName, DWORD* pdwType, BYTE* pData, DWORD* pcbData) {
    return NoThrow([&] { return RegQueryValueExImpl(hKey, szValueName, pdwType, pData, pcbData); });
}

LONG RegDeleteValue(HKEY hKey, const char16_t* szValueName) {
    return NoThrow([&] { return RegDeleteValueImpl(hKey, szValueName); });
}

LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, char16_t* szName, DWORD* pcchName) {
    return NoThrow([&] { return RegEnumKeyExImpl(hKey, dwIndex, szName, pcchName); });
}

LONG RegEnumValue(HKEY hKey, DWORD dwIndex, char16_t* szValueName, DWORD* pcchValueName, DWORD* pdwType,
                  BYTE* pData, DWORD* pcbData) {
    return NoThrow(
        [&] { return RegEnumValueImpl(hKey, dwIndex, szValueName, pcchValueName, pdwType, pData, pcbData); });
}

LONG RegQueryInfoKey(HKEY hKey, char16_t* szClass, DWORD* pcchClass, DWORD* pdwReserved, DWORD* pcSubKeys,
                     DWORD* pcchMaxSubKeyLen, DWORD* pcchMaxClassLen, DWORD* pcValues,
                     DWORD* pcchMaxValueNameLen, DWORD* pcbMaxValueLen, DWORD* pcbSecurityDescriptor,
                     FILETIME* pftLastWriteTime) {
    return NoThrow([&] {
        return RegQueryInfoKeyImpl(hKey, szClass, pcchClass, pdwReserved, pcSubKeys, pcchMaxSubKeyLen,
                                   pcchMaxClassLen, pcValues, pcchMaxValueNameLen, pcbMaxValueLen,
                                   pcbSecurityDescriptor, pftLastWriteTime);
    });
}

LONG RegFlushKey(HKEY hKey) {
    return NoThrow([&] { return RegFlushKeyImpl(hKey); });
}

}  // namespace platform
