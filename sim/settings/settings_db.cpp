#include "settings_db.h"

#include <filesystem>
#include <new>
#include <utility>

#include "platform/posix/root_location.h"
#include "platform/posix/shared_database.h"

namespace lcset {
namespace {

using platform::posix::BusyTimeoutMs;
using platform::posix::CSetupLock;
using platform::posix::OpenSharedDatabase;

constexpr int SCHEMA_VERSION = 1;
constexpr const char* BUSY_ENV = "KRELL_SETTINGS_BUSY_MS";
constexpr int BUSY_DEFAULT_MS = 5000;

// Key 0 is the top of the store; every key has a parent, so the unique index covers top-level keys.
constexpr const char* SCHEMA_SQL = R"(
CREATE TABLE keys(
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE);
CREATE UNIQUE INDEX keys_by_parent ON keys(parent, name);
INSERT INTO keys(id, parent, name) VALUES(0, NULL, '');
CREATE TABLE vals(
  id INTEGER PRIMARY KEY,
  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data NOT NULL);
CREATE UNIQUE INDEX vals_by_key ON vals(key, name);
CREATE TABLE changes(id INTEGER PRIMARY KEY CHECK(id = 1), count INTEGER NOT NULL);
INSERT INTO changes(id, count) VALUES(1, 0);
)";

struct CDbError {
    ZELRESULT zr;
};

ZELRESULT CodeFromSqlite(int nResult) {
    switch (nResult & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ZEL_E_STORE_BUSY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_SCHEMA:
            return ZEL_E_STORE_CORRUPT;
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG:
            return ZEL_E_OUT_OF_MEMORY;
        default:
            return ZEL_E_STORE_IO;
    }
}

void Check(int nResult) {
    if (nResult != SQLITE_OK && nResult != SQLITE_ROW && nResult != SQLITE_DONE) {
        throw CDbError{CodeFromSqlite(nResult)};
    }
}

void Exec(sqlite3* pDb, const char* szSql) {
    Check(sqlite3_exec(pDb, szSql, nullptr, nullptr, nullptr));
}

}  // namespace

// A transaction's connection and the statements prepared on it.
class CSession {
public:
    CSession(sqlite3* pDb, std::unordered_map<const char*, sqlite3_stmt*>* pStatements)
        : m_pDb(pDb), m_pStatements(pStatements) {}
    sqlite3* Db() const { return m_pDb; }
    // The prepared statement of the text, taken from the connection's until Give returns it; nullptr
    // when it is not prepared yet or already taken.
    sqlite3_stmt* Take(const char* szSql) {
        const auto it = m_pStatements->find(szSql);
        return it == m_pStatements->end() ? nullptr : std::exchange(it->second, nullptr);
    }
    // Keeps the statement for the text's next use; false when one is kept already.
    bool Give(const char* szSql, sqlite3_stmt* pStmt) {
        const auto [it, bNew] = m_pStatements->try_emplace(szSql, pStmt);
        if (bNew || it->second == nullptr) {
            it->second = pStmt;
            return true;
        }
        return false;
    }

private:
    sqlite3* const m_pDb;
    std::unordered_map<const char*, sqlite3_stmt*>* const m_pStatements;
};

namespace {

class CStatement {
public:
    // Prepared for this use alone.
    CStatement(sqlite3* pDb, const char* szSql) {
        Check(sqlite3_prepare_v2(pDb, szSql, -1, &m_pStmt, nullptr));
    }
    // Prepared once per connection and kept: a commit runs about ten statements, and preparing them
    // took a third of its time.
    CStatement(CSession& session, const char* szSql) : m_pSession(&session), m_szSql(szSql) {
        m_pStmt = session.Take(szSql);
        if (m_pStmt == nullptr) {
            Check(sqlite3_prepare_v3(session.Db(), szSql, -1, SQLITE_PREPARE_PERSISTENT, &m_pStmt, nullptr));
        }
    }
    ~CStatement() {
        if (m_pSession == nullptr || m_pStmt == nullptr) {
            sqlite3_finalize(m_pStmt);
            return;
        }
        sqlite3_reset(m_pStmt);
        sqlite3_clear_bindings(m_pStmt);
        if (!m_pSession->Give(m_szSql, m_pStmt)) {
            sqlite3_finalize(m_pStmt);
        }
    }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    CStatement& Bind(int nIndex, sqlite3_int64 llValue) {
        Check(sqlite3_bind_int64(m_pStmt, nIndex, llValue));
        return *this;
    }
    CStatement& Bind(int nIndex, std::u16string_view sText) {
        Check(sqlite3_bind_text16(m_pStmt, nIndex, sText.data(),
                                  static_cast<int>(sText.size() * sizeof(char16_t)), SQLITE_TRANSIENT));
        return *this;
    }
    CStatement& BindBlob(int nIndex, const std::vector<BYTE>& data) {
        // A zero-length blob, not NULL: the column refuses NULL.
        Check(sqlite3_bind_zeroblob(m_pStmt, nIndex, 0));
        if (!data.empty()) {
            Check(sqlite3_bind_blob(m_pStmt, nIndex, data.data(), static_cast<int>(data.size()),
                                    SQLITE_TRANSIENT));
        }
        return *this;
    }
    void Reset() {
        sqlite3_reset(m_pStmt);
        sqlite3_clear_bindings(m_pStmt);
    }
    bool Step() {
        const int nResult = sqlite3_step(m_pStmt);
        Check(nResult);
        return nResult == SQLITE_ROW;
    }
    void Execute() {
        while (Step()) {
        }
    }
    sqlite3_int64 Int64(int nColumn) { return sqlite3_column_int64(m_pStmt, nColumn); }
    std::u16string Text(int nColumn) {
        const auto* p = static_cast<const char16_t*>(sqlite3_column_text16(m_pStmt, nColumn));
        const int cb = sqlite3_column_bytes16(m_pStmt, nColumn);
        if (p == nullptr && sqlite3_errcode(sqlite3_db_handle(m_pStmt)) == SQLITE_NOMEM) {
            throw std::bad_alloc();
        }
        return p == nullptr ? std::u16string()
                            : std::u16string(p, static_cast<std::size_t>(cb) / sizeof(char16_t));
    }
    std::vector<BYTE> Blob(int nColumn) {
        const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(m_pStmt, nColumn));
        const int cb = sqlite3_column_bytes(m_pStmt, nColumn);
        return p == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(p, p + cb);
    }

private:
    CSession* const m_pSession = nullptr;
    const char* const m_szSql = nullptr;
    sqlite3_stmt* m_pStmt = nullptr;
};

sqlite3_int64 UserVersion(sqlite3* pDb) {
    CStatement stmt(pDb, "PRAGMA user_version");
    return stmt.Step() ? stmt.Int64(0) : 0;
}

// The key's id, or -1 when a component is missing.
constexpr const char* FIND_CHILD_SQL = "SELECT id FROM keys WHERE parent = ? AND name = ?";

sqlite3_int64 FindKey(CSession& session, const std::vector<std::u16string>& path) {
    sqlite3_int64 llId = 0;
    CStatement find(session, FIND_CHILD_SQL);
    for (const auto& sComponent : path) {
        find.Reset();
        find.Bind(1, llId).Bind(2, sComponent);
        if (!find.Step()) {
            return -1;
        }
        llId = find.Int64(0);
    }
    return llId;
}

sqlite3_int64 CreateKey(CSession& session, const std::vector<std::u16string>& path) {
    sqlite3_int64 llId = 0;
    for (const auto& sComponent : path) {
        CStatement find(session, FIND_CHILD_SQL);
        find.Bind(1, llId).Bind(2, sComponent);
        if (find.Step()) {
            llId = find.Int64(0);
            continue;
        }
        CStatement(session, "INSERT INTO keys(parent, name) VALUES(?, ?)")
            .Bind(1, llId)
            .Bind(2, sComponent)
            .Execute();
        llId = sqlite3_last_insert_rowid(session.Db());
    }
    return llId;
}

void CountChange(CSession& session) {
    CStatement(session, "UPDATE changes SET count = count + 1 WHERE id = 1").Execute();
}

char16_t AsciiUpper(char16_t ch) {
    return ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - u'a' + u'A') : ch;
}

}  // namespace

std::string DatabasePath() {
    return platform::LocateRoot() + "/settings.db";
}

std::u16string FoldName(std::u16string_view s) {
    std::u16string sFolded(s);
    for (char16_t& ch : sFolded) {
        ch = AsciiUpper(ch);
    }
    return sFolded;
}

bool EqualNames(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) {
            return false;
        }
    }
    return true;
}

ZELRESULT SplitKeyName(const char16_t* szKeyName, std::vector<std::u16string>* pComponents) {
    if (szKeyName == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    pComponents->clear();
    const std::u16string_view sKey(szKeyName);
    if (sKey.empty()) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nEnd = sKey.find(u'\\', nStart);
        const std::u16string_view sComponent = sKey.substr(nStart, nEnd - nStart);
        if (sComponent.empty()) {
            pComponents->clear();
            return ZEL_E_INVALID_ARGUMENT;
        }
        pComponents->emplace_back(sComponent);
        if (nEnd == std::u16string_view::npos) {
            return ZEL_SUCCESS;
        }
        nStart = nEnd + 1;
    }
}

CSettingsDatabase::~CSettingsDatabase() {
    Close();
}

void CSettingsDatabase::Close() {
    if (m_pDb != nullptr) {
        if (!sqlite3_get_autocommit(m_pDb)) {
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        for (const auto& [szSql, pStmt] : m_statements) {
            sqlite3_finalize(pStmt);
        }
        m_statements.clear();
        sqlite3_close_v2(m_pDb);
        m_pDb = nullptr;
    }
}

ZELRESULT CSettingsDatabase::EnsureOpen() {
    if (m_pDb != nullptr) {
        return ZEL_SUCCESS;
    }
    const std::string sPath = DatabasePath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(sPath).parent_path(), ec);
    const int nOpen = OpenSharedDatabase(sPath, BusyTimeoutMs(BUSY_ENV, BUSY_DEFAULT_MS), &m_pDb);
    if (nOpen != SQLITE_OK) {
        Close();
        return CodeFromSqlite(nOpen);
    }
    const CSetupLock setupLock(sPath);
    try {
        {
            CStatement mode(m_pDb, "PRAGMA journal_mode = WAL");
            if (!mode.Step() || mode.Text(0) != u"wal") {
                throw CDbError{ZEL_E_STORE_IO};
            }
        }
        // In WAL mode NORMAL loses no committed transaction when a process dies, only on power loss.
        Exec(m_pDb, "PRAGMA synchronous = NORMAL");
        Exec(m_pDb, "PRAGMA foreign_keys = ON");
        // Copying the log back into the file (with its fsyncs) is left to the store's service, once
        // writes go quiet (Checkpoint), as a registry's lazy writer does; a writer does it itself only
        // when the log has grown this large (pages), with no service running.
        Exec(m_pDb, "PRAGMA wal_autocheckpoint = 10000");
        if (UserVersion(m_pDb) == 0) {
            Exec(m_pDb, "BEGIN IMMEDIATE");
            if (UserVersion(m_pDb) == 0) {
                Exec(m_pDb, SCHEMA_SQL);
                Exec(m_pDb, "PRAGMA user_version = 1");
            }
            Exec(m_pDb, "COMMIT");
        }
        if (UserVersion(m_pDb) != SCHEMA_VERSION) {
            throw CDbError{ZEL_E_STORE_CORRUPT};
        }
    } catch (const CDbError& error) {
        Close();
        return error.zr;
    } catch (const std::bad_alloc&) {
        Close();
        return ZEL_E_OUT_OF_MEMORY;
    }
    return ZEL_SUCCESS;
}

ZELRESULT CSettingsDatabase::Run(bool bWrite, const std::function<ZELRESULT(CSession&)>& fnBody) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const ZELRESULT zrOpen = EnsureOpen();
    if (!ZEL_SUCCEEDED(zrOpen)) {
        return zrOpen;
    }
    const auto rollback = [this] {
        if (!sqlite3_get_autocommit(m_pDb)) {
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    };
    try {
        // IMMEDIATE takes the write lock at once, through the busy handler; a read transaction that
        // upgrades later could fail at once on a snapshot another process has moved past.
        CSession session(m_pDb, &m_statements);
        CStatement(session, bWrite ? "BEGIN IMMEDIATE" : "BEGIN").Execute();
        const ZELRESULT zr = fnBody(session);
        if (bWrite && !ZEL_SUCCEEDED(zr)) {
            rollback();
        } else {
            CStatement(session, "COMMIT").Execute();
        }
        return zr;
    } catch (const CDbError& error) {
        rollback();
        if (error.zr == ZEL_E_STORE_CORRUPT || error.zr == ZEL_E_STORE_IO) {
            // Open afresh next time, in case the file has been repaired or replaced.
            Close();
        }
        return error.zr;
    } catch (const std::bad_alloc&) {
        rollback();
        return ZEL_E_OUT_OF_MEMORY;
    }
}

ZELRESULT CSettingsDatabase::ReadKey(const std::vector<std::u16string>& path, std::vector<CValue>* pValues) {
    return Run(false, [&](CSession& session) {
        const sqlite3_int64 llKey = FindKey(session, path);
        if (llKey < 0) {
            return ZEL_E_NOT_FOUND;
        }
        pValues->clear();
        CStatement stmt(session, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY id");
        stmt.Bind(1, llKey);
        while (stmt.Step()) {
            CValue value;
            value.sName = stmt.Text(0);
            value.dwType = static_cast<DWORD>(stmt.Int64(1));
            switch (value.dwType) {
                case SETTINGS_TYPE_DWORD:
                    value.dwValue = static_cast<DWORD>(stmt.Int64(2));
                    break;
                case SETTINGS_TYPE_STRING:
                    value.sText = stmt.Text(2);
                    break;
                case SETTINGS_TYPE_BINARY:
                    value.binary = stmt.Blob(2);
                    break;
                default:
                    return ZEL_E_STORE_CORRUPT;
            }
            pValues->push_back(std::move(value));
        }
        return ZEL_SUCCESS;
    });
}

ZELRESULT CSettingsDatabase::KeyExists(const std::vector<std::u16string>& path) {
    return Run(false,
               [&](CSession& session) { return FindKey(session, path) < 0 ? ZEL_E_NOT_FOUND : ZEL_SUCCESS; });
}

ZELRESULT CSettingsDatabase::CommitKey(const std::vector<std::u16string>& path, const CKeyChanges& changes) {
    return Run(true, [&](CSession& session) {
        const int nChangesBefore = sqlite3_total_changes(session.Db());
        const sqlite3_int64 llKey = CreateKey(session, path);
        for (const auto& sName : changes.deletes) {
            CStatement(session, "DELETE FROM vals WHERE key = ? AND name = ?")
                .Bind(1, llKey)
                .Bind(2, sName)
                .Execute();
        }
        CStatement upsert(session,
                          "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
                          "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
        for (const CValue* pValue : changes.puts) {
            upsert.Reset();
            upsert.Bind(1, llKey).Bind(2, pValue->sName).Bind(3, pValue->dwType);
            switch (pValue->dwType) {
                case SETTINGS_TYPE_DWORD:
                    upsert.Bind(4, static_cast<sqlite3_int64>(pValue->dwValue));
                    break;
                case SETTINGS_TYPE_STRING:
                    upsert.Bind(4, pValue->sText);
                    break;
                default:
                    upsert.BindBlob(4, pValue->binary);
                    break;
            }
            upsert.Execute();
        }
        // A commit that changed nothing is not a change others need to hear of.
        if (sqlite3_total_changes(session.Db()) != nChangesBefore) {
            CountChange(session);
        }
        return ZEL_SUCCESS;
    });
}

ZELRESULT CSettingsDatabase::DeleteKey(const std::vector<std::u16string>& path) {
    return Run(true, [&](CSession& session) {
        const sqlite3_int64 llKey = FindKey(session, path);
        if (llKey < 0) {
            return ZEL_E_NOT_FOUND;
        }
        CStatement(session, "DELETE FROM keys WHERE id = ?").Bind(1, llKey).Execute();
        CountChange(session);
        return ZEL_SUCCESS;
    });
}

ZELRESULT CSettingsDatabase::ReadSubKeys(const std::vector<std::u16string>& path,
                                         std::vector<std::u16string>* pNames) {
    return Run(false, [&](CSession& session) {
        const sqlite3_int64 llKey = FindKey(session, path);
        if (llKey < 0) {
            return ZEL_E_NOT_FOUND;
        }
        pNames->clear();
        CStatement stmt(session, "SELECT name FROM keys WHERE parent = ? ORDER BY name");
        stmt.Bind(1, llKey);
        while (stmt.Step()) {
            pNames->push_back(stmt.Text(0));
        }
        return ZEL_SUCCESS;
    });
}

void CSettingsDatabase::Checkpoint() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (ZEL_SUCCEEDED(EnsureOpen())) {
        sqlite3_wal_checkpoint_v2(m_pDb, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
}

ZELRESULT CSettingsDatabase::ReadChangeCount(ULONGLONG* pullCount) {
    return Run(false, [&](CSession& session) {
        CStatement stmt(session, "SELECT count FROM changes WHERE id = 1");
        if (!stmt.Step()) {
            return ZEL_E_STORE_CORRUPT;
        }
        *pullCount = static_cast<ULONGLONG>(stmt.Int64(0));
        return ZEL_SUCCESS;
    });
}

}  // namespace lcset
