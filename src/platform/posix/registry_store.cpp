#include "platform/posix/registry_store.h"

#include <time.h>

#include <cstring>
#include <new>

#include "platform/foreign_code.h"
#include "platform/posix/shared_database.h"
#include "platform/root.h"
#include "platform/strings.h"

namespace platform::registry {
namespace {

using posix::BusyTimeoutMs;
using posix::CSetupLock;
using posix::OpenSharedDatabase;

constexpr int SCHEMA_VERSION = 1;

// Names are UTF-16 blobs rather than text: SQLite's UTF-8 conversion would not keep unpaired
// surrogates, and the order must be the platform's code-unit order.
constexpr const char* SCHEMA_SQL =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused, so a stale handle cannot reach a new key
    "  parent INTEGER,"
    "  name BLOB NOT NULL,"
    "  name_upper BLOB NOT NULL,"
    "  last_write INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, name_upper);"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  name_upper BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name_upper)) WITHOUT ROWID;";

struct CHive {
    sqlite3_int64 llId;
    const char16_t* szName;
};
constexpr CHive HIVES[] = {
    {HIVE_CLASSES_ROOT, u"HKEY_CLASSES_ROOT"},
    {HIVE_CURRENT_USER, u"HKEY_CURRENT_USER"},
    {HIVE_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE"},
    {HIVE_USERS, u"HKEY_USERS"},
};

void Exec(sqlite3* pDb, const char* szSql) {
    const CForeignCall call;
    const int nResult = sqlite3_exec(pDb, szSql, nullptr, nullptr, nullptr);
    if (nResult != SQLITE_OK) {
        throw CStoreError{ErrorFromSqlite(nResult)};
    }
}

void RollbackIfOpen(sqlite3* pDb) {
    const CForeignCall call;
    if (pDb != nullptr && !sqlite3_get_autocommit(pDb)) {
        sqlite3_exec(pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

sqlite3_int64 UserVersion(sqlite3* pDb) {
    CStatement stmt(pDb, "PRAGMA user_version");
    return stmt.Step() ? stmt.Int64(0) : 0;
}

void CreateSchema(sqlite3* pDb) {
    Exec(pDb, SCHEMA_SQL);
    const sqlite3_int64 llNow = FileTimeNow();
    for (const CHive& hive : HIVES) {
        const std::u16string_view sName(hive.szName);
        const std::string sUpper = UpperKey(sName);
        CStatement(pDb, "INSERT INTO keys(id, parent, name, name_upper, last_write) VALUES(?, NULL, ?, ?, ?)")
            .Bind(1, hive.llId)
            .BindBlob(2, sName.data(), sName.size() * sizeof(char16_t))
            .BindBlob(3, sUpper.data(), sUpper.size())
            .Bind(4, llNow)
            .Execute();
    }
    Exec(pDb, "PRAGMA user_version = 1");
}

}  // namespace

LONG ErrorFromSqlite(int nResult) {
    switch (nResult & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_LOCK_VIOLATION;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        default:
            // I/O errors, a file that cannot be opened or is read-only, and anything unexpected.
            return ERROR_REGISTRY_IO_FAILED;
    }
}

std::string UpperKey(std::u16string_view sName) {
    std::string sKey;
    sKey.reserve(sName.size() * 2);
    for (const char16_t ch : sName) {
        const char16_t chUpper = UpperChar(ch);
        sKey.push_back(static_cast<char>(chUpper >> 8));
        sKey.push_back(static_cast<char>(chUpper & 0xFF));
    }
    return sKey;
}

sqlite3_int64 FileTimeNow() {
    constexpr sqlite3_int64 SECONDS_1601_TO_1970 = 11644473600LL;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<sqlite3_int64>(ts.tv_sec) + SECONDS_1601_TO_1970) * 10000000LL + ts.tv_nsec / 100;
}

CStatement::CStatement(sqlite3* pDb, const char* szSql) : m_pDb(pDb) {
    const CForeignCall call;
    const int nResult = sqlite3_prepare_v2(pDb, szSql, -1, &m_pStmt, nullptr);
    CForeignCall::Written(&m_pStmt, sizeof(m_pStmt));
    if (nResult != SQLITE_OK) {
        sqlite3_finalize(m_pStmt);
        throw CStoreError{ErrorFromSqlite(nResult)};
    }
}

CStatement::~CStatement() {
    const CForeignCall call;
    sqlite3_finalize(m_pStmt);
}

CStatement& CStatement::Bind(int nIndex, sqlite3_int64 llValue) {
    const CForeignCall call;
    const int nResult = sqlite3_bind_int64(m_pStmt, nIndex, llValue);
    if (nResult != SQLITE_OK) {
        throw CStoreError{ErrorFromSqlite(nResult)};
    }
    return *this;
}

CStatement& CStatement::BindBlob(int nIndex, const void* pData, std::size_t cbData) {
    // A null pointer would bind SQL NULL; an empty value is an empty blob.
    static const char EMPTY = 0;
    CForeignCall::HandOver(pData, cbData);
    const CForeignCall call;
    const int nResult = sqlite3_bind_blob64(m_pStmt, nIndex, cbData == 0 ? &EMPTY : pData,
                                            static_cast<sqlite3_uint64>(cbData), SQLITE_TRANSIENT);
    if (nResult != SQLITE_OK) {
        throw CStoreError{ErrorFromSqlite(nResult)};
    }
    return *this;
}

bool CStatement::Step() {
    const CForeignCall call;
    const int nResult = sqlite3_step(m_pStmt);
    if (nResult == SQLITE_ROW) {
        return true;
    }
    if (nResult == SQLITE_DONE) {
        return false;
    }
    throw CStoreError{ErrorFromSqlite(sqlite3_extended_errcode(m_pDb))};
}

void CStatement::Execute() {
    while (Step()) {
    }
}

sqlite3_int64 CStatement::Int64(int nColumn) {
    const CForeignCall call;
    return sqlite3_column_int64(m_pStmt, nColumn);
}

const BYTE* CStatement::Blob(int nColumn) {
    const CForeignCall call;
    const void* p = sqlite3_column_blob(m_pStmt, nColumn);
    if (p != nullptr) {
        CForeignCall::Written(const_cast<void*>(p),
                              static_cast<std::size_t>(sqlite3_column_bytes(m_pStmt, nColumn)));
    }
    if (p == nullptr && sqlite3_errcode(m_pDb) == SQLITE_NOMEM) {
        throw CStoreError{ERROR_NOT_ENOUGH_MEMORY};
    }
    return static_cast<const BYTE*>(p);
}

std::size_t CStatement::Bytes(int nColumn) {
    const CForeignCall call;
    return static_cast<std::size_t>(sqlite3_column_bytes(m_pStmt, nColumn));
}

std::string CStatement::Text(int nColumn) {
    const CForeignCall call;
    const unsigned char* sz = sqlite3_column_text(m_pStmt, nColumn);
    if (sz != nullptr) {
        CForeignCall::Written(const_cast<unsigned char*>(sz),
                              static_cast<std::size_t>(sqlite3_column_bytes(m_pStmt, nColumn)) + 1);
    }
    return sz == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(sz));
}

std::u16string CStatement::Name(int nColumn) {
    const BYTE* p = Blob(nColumn);
    const std::size_t cb = Bytes(nColumn);
    std::u16string s(cb / sizeof(char16_t), u'\0');
    if (!s.empty()) {
        std::memcpy(s.data(), p, s.size() * sizeof(char16_t));
    }
    return s;
}

CRegistryStore& CRegistryStore::Instance() {
    // Never destroyed: a thread still using the registry while the process exits must not find it gone.
    static CRegistryStore* s_pStore = new CRegistryStore();
    return *s_pStore;
}

void CRegistryStore::Close() {
    if (m_pDb != nullptr) {
        RollbackIfOpen(m_pDb);
        const CForeignCall call;
        sqlite3_close_v2(m_pDb);
        m_pDb = nullptr;
    }
}

LONG CRegistryStore::EnsureOpen() {
    if (m_pDb != nullptr) {
        return ERROR_SUCCESS;
    }
    const std::string sPath = RootDirectory() + "/registry.db";
    const int nOpen =
        OpenSharedDatabase(sPath, BusyTimeoutMs(REGISTRY_BUSY_ENV, REGISTRY_BUSY_DEFAULT_MS), &m_pDb);
    if (nOpen != SQLITE_OK) {
        Close();
        return ErrorFromSqlite(nOpen);
    }
    const CSetupLock setupLock(sPath);
    try {
        {
            CStatement mode(m_pDb, "PRAGMA journal_mode = WAL");
            if (!mode.Step() || mode.Text(0) != "wal") {
                throw CStoreError{ERROR_REGISTRY_IO_FAILED};
            }
        }
        Exec(m_pDb, "PRAGMA synchronous = NORMAL");
        if (UserVersion(m_pDb) == 0) {
            // Two processes may meet an empty store at once: the write lock decides who creates it.
            Exec(m_pDb, "BEGIN IMMEDIATE");
            if (UserVersion(m_pDb) == 0) {
                CreateSchema(m_pDb);
            }
            Exec(m_pDb, "COMMIT");
        }
        if (UserVersion(m_pDb) != SCHEMA_VERSION) {
            throw CStoreError{ERROR_BADDB};
        }
    } catch (const CStoreError& error) {
        Close();
        return error.lCode;
    } catch (const std::bad_alloc&) {
        Close();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

LONG CRegistryStore::Run(bool bWrite, const std::function<LONG(sqlite3*)>& fnBody) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const LONG lOpen = EnsureOpen();
    if (lOpen != ERROR_SUCCESS) {
        return lOpen;
    }
    try {
        // IMMEDIATE takes the write lock up front, through the busy handler; a deferred transaction
        // that upgrades later could fail at once on a snapshot another process has moved past.
        Exec(m_pDb, bWrite ? "BEGIN IMMEDIATE" : "BEGIN");
        const LONG lResult = fnBody(m_pDb);
        if (bWrite && lResult != ERROR_SUCCESS) {
            RollbackIfOpen(m_pDb);
        } else {
            Exec(m_pDb, "COMMIT");
        }
        return lResult;
    } catch (const CStoreError& error) {
        RollbackIfOpen(m_pDb);
        if (error.lCode == ERROR_REGISTRY_CORRUPT || error.lCode == ERROR_REGISTRY_IO_FAILED) {
            // Start afresh next time, in case the file has been repaired or replaced.
            Close();
        }
        return error.lCode;
    } catch (const std::bad_alloc&) {
        RollbackIfOpen(m_pDb);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG CRegistryStore::Read(const std::function<LONG(sqlite3*)>& fnBody) {
    return Run(false, fnBody);
}

LONG CRegistryStore::Write(const std::function<LONG(sqlite3*)>& fnBody) {
    return Run(true, fnBody);
}

LONG CRegistryStore::Checkpoint() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const LONG lOpen = EnsureOpen();
    if (lOpen != ERROR_SUCCESS) {
        return lOpen;
    }
    const CForeignCall call;
    int nResult = sqlite3_wal_checkpoint_v2(m_pDb, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if ((nResult & 0xFF) == SQLITE_BUSY) {
        // Readers of other processes keep the log in use; copying what can be copied syncs it all the same.
        nResult = sqlite3_wal_checkpoint_v2(m_pDb, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    return ErrorFromSqlite(nResult);
}

}  // namespace platform::registry
