// The registry store: one SQLite database per machine root, shared by every process of the root.
// Internal to the seam's registry; callers use platform/registry.h.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform::registry {

// Thrown inside a store transaction only; CRegistryStore::Read and Write turn it into the code.
struct CStoreError {
    LONG lCode;
};

// Maps a SQLite result onto the registry's error codes.
LONG ErrorFromSqlite(int nResult);

// Key ids of the hive roots, which exist in every store.
constexpr sqlite3_int64 HIVE_CLASSES_ROOT = 1;
constexpr sqlite3_int64 HIVE_CURRENT_USER = 2;
constexpr sqlite3_int64 HIVE_LOCAL_MACHINE = 3;
constexpr sqlite3_int64 HIVE_USERS = 4;
constexpr sqlite3_int64 HIVE_LAST = HIVE_USERS;

// Milliseconds another process may hold the store locked before a call gives up with
// ERROR_LOCK_VIOLATION. Read once per process from this environment variable.
constexpr const char* REGISTRY_BUSY_ENV = "KRELL_REGISTRY_BUSY_MS";
constexpr int REGISTRY_BUSY_DEFAULT_MS = 5000;

// A prepared statement that throws CStoreError on every failure.
class CStatement {
public:
    CStatement(sqlite3* pDb, const char* szSql);
    ~CStatement();
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    CStatement& Bind(int nIndex, sqlite3_int64 llValue);
    CStatement& BindBlob(int nIndex, const void* pData, std::size_t cbData);
    // true while a row is available.
    bool Step();
    // Runs a statement that returns no row.
    void Execute();

    sqlite3_int64 Int64(int nColumn);
    const BYTE* Blob(int nColumn);
    std::size_t Bytes(int nColumn);
    std::string Text(int nColumn);
    // A name column (UTF-16 code units, native order).
    std::u16string Name(int nColumn);

private:
    sqlite3* m_pDb;
    sqlite3_stmt* m_pStmt = nullptr;
};

class CRegistryStore {
public:
    static CRegistryStore& Instance();

    // Runs fnBody in one transaction under the process's store lock and returns its code. A read
    // sees one consistent snapshot; a write takes the store's write lock first (waiting up to the
    // busy timeout) and is rolled back unless fnBody returns ERROR_SUCCESS.
    LONG Read(const std::function<LONG(sqlite3*)>& fnBody);
    LONG Write(const std::function<LONG(sqlite3*)>& fnBody);
    // Copies the write-ahead log into the main file and truncates it.
    LONG Checkpoint();

private:
    CRegistryStore() = default;
    LONG Run(bool bWrite, const std::function<LONG(sqlite3*)>& fnBody);
    // With m_mutex held: opens the database and sets up its schema once per process.
    LONG EnsureOpen();
    void Close();

    std::mutex m_mutex;
    sqlite3* m_pDb = nullptr;
};

// Upper-cased name in big-endian code units, so that SQLite's byte order is the platform's
// case-insensitive order.
std::string UpperKey(std::u16string_view sName);

// The current time as a FILETIME count.
sqlite3_int64 FileTimeNow();

}  // namespace platform::registry
