// The settings store's database: one SQLite file of the machine root, shared by every process.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "settings/settings_interfaces.h"

namespace lcset {

struct CValue {
    std::u16string sName;
    DWORD dwType = 0;
    DWORD dwValue = 0;         // SETTINGS_TYPE_DWORD
    std::u16string sText;      // SETTINGS_TYPE_STRING
    std::vector<BYTE> binary;  // SETTINGS_TYPE_BINARY
    bool bDirty = false;       // put since the key was read or last committed
};

// What a commit of one key changes.
struct CKeyChanges {
    std::vector<const CValue*> puts;
    std::vector<std::u16string> deletes;
};

// Splits a key path into its components. Empty names, empty components and leading or trailing
// backslashes are refused rather than guessed at (ZEL_E_INVALID_ARGUMENT).
ZELRESULT SplitKeyName(const char16_t* szKeyName, std::vector<std::u16string>* pComponents);

// Names compare as the store compares them: ASCII letters without regard to case.
bool EqualNames(std::u16string_view a, std::u16string_view b);
// The form under which names that compare equal are one.
std::u16string FoldName(std::u16string_view s);

class CSession;

// One connection, opened on first use and again after the file failed; every call is one
// transaction. Safe for the threads of one process (calls take turns).
class CSettingsDatabase {
public:
    CSettingsDatabase() = default;
    ~CSettingsDatabase();
    CSettingsDatabase(const CSettingsDatabase&) = delete;
    CSettingsDatabase& operator=(const CSettingsDatabase&) = delete;

    // The key's values in enumeration order; ZEL_E_NOT_FOUND when the key is missing.
    ZELRESULT ReadKey(const std::vector<std::u16string>& path, std::vector<CValue>* pValues);
    // ZEL_SUCCESS when the key exists, ZEL_E_NOT_FOUND when it does not.
    ZELRESULT KeyExists(const std::vector<std::u16string>& path);
    // Creates the key (and its parents) when missing, applies the changes, counts the change.
    ZELRESULT CommitKey(const std::vector<std::u16string>& path, const CKeyChanges& changes);
    ZELRESULT DeleteKey(const std::vector<std::u16string>& path);
    // An empty path names the top of the store.
    ZELRESULT ReadSubKeys(const std::vector<std::u16string>& path, std::vector<std::u16string>* pNames);
    ZELRESULT ReadChangeCount(ULONGLONG* pullCount);
    // Copies what the write-ahead log holds into the file, as far as no reader needs it.
    void Checkpoint();

private:
    ZELRESULT EnsureOpen();
    void Close();
    ZELRESULT Run(bool bWrite, const std::function<ZELRESULT(CSession&)>& fnBody);

    std::mutex m_mutex;
    sqlite3* m_pDb = nullptr;
    // The connection's prepared statements by their text (literals), kept between transactions.
    std::unordered_map<const char*, sqlite3_stmt*> m_statements;
};

// The store's file: <root>/settings.db.
std::string DatabasePath();

}  // namespace lcset
