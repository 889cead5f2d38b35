// What the settings fuzz target and its corpus replay feed: the settings store reads what its file holds: key
// names as callers give them, and the rows of one key's values as another process or a damaged file may leave
// them (any type number, any kind of data). Reading the key either calls the store corrupt or gives values of
// the three types; a name that splits gives components that are neither empty nor hold a separator.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "settings_db.h"

namespace krellfuzz {

inline std::u16string Utf16(const std::uint8_t* pData, std::size_t cbData) {
    std::u16string s;
    for (std::size_t i = 0; i + 1 < cbData; i += 2) {
        s.push_back(static_cast<char16_t>(pData[i] | (pData[i + 1] << 8)));
    }
    return s;
}

inline void CheckKeyName(const std::u16string& sName) {
    std::vector<std::u16string> components;
    if (lcset::SplitKeyName(sName.c_str(), &components) != ZEL_SUCCESS) {
        return;
    }
    for (const std::u16string& sComponent : components) {
        if (sComponent.empty() || sComponent.find(u'\\') != std::u16string::npos) {
            std::abort();
        }
    }
    if (components.size() >= 2 && lcset::EqualNames(components[0], components[1]) !=
                                      (lcset::FoldName(components[0]) == lcset::FoldName(components[1]))) {
        std::abort();
    }
}

// Replaces the values of the key FUZZ by rows read from the input: [kind, type, name length, name,
// data length, data], kind choosing how the data is stored.
inline bool WriteRows(sqlite3* pDb, const std::uint8_t* pData, std::size_t cbData) {
    if (sqlite3_exec(pDb,
                     "DELETE FROM vals WHERE key = (SELECT id FROM keys WHERE parent = 0 AND name = 'FUZZ')",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_stmt* pInsert = nullptr;
    if (sqlite3_prepare_v2(
            pDb,
            "INSERT OR IGNORE INTO vals(key, name, type, data) VALUES((SELECT id FROM keys WHERE "
            "parent = 0 AND name = 'FUZZ'), ?, ?, ?)",
            -1, &pInsert, nullptr) != SQLITE_OK) {
        return false;
    }
    std::size_t nPos = 0;
    while (nPos + 4 <= cbData) {
        const std::uint8_t bKind = pData[nPos];
        const std::int64_t llType = static_cast<std::int8_t>(pData[nPos + 1]);
        const std::size_t cbName = std::min<std::size_t>(pData[nPos + 2], cbData - nPos - 4);
        const std::uint8_t* pName = pData + nPos + 3;
        nPos += 3 + cbName;
        const std::size_t cbValue = std::min<std::size_t>(pData[nPos], cbData - nPos - 1);
        const std::uint8_t* pValue = pData + nPos + 1;
        nPos += 1 + cbValue;
        sqlite3_reset(pInsert);
        sqlite3_bind_text(pInsert, 1, reinterpret_cast<const char*>(pName), static_cast<int>(cbName),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(pInsert, 2, llType);
        switch (bKind % 4) {
            case 0:
                sqlite3_bind_int64(pInsert, 3, static_cast<std::int64_t>(cbValue) << (bKind % 64));
                break;
            case 1:
                sqlite3_bind_text(pInsert, 3, reinterpret_cast<const char*>(pValue),
                                  static_cast<int>(cbValue), SQLITE_TRANSIENT);
                break;
            case 2:
                sqlite3_bind_blob(pInsert, 3, pValue, static_cast<int>(cbValue), SQLITE_TRANSIENT);
                break;
            default:
                sqlite3_bind_double(pInsert, 3, static_cast<double>(cbValue) / 3.0);
                break;
        }
        sqlite3_step(pInsert);
    }
    sqlite3_finalize(pInsert);
    return true;
}

// One input; whether the store read the key.
inline bool FeedSettingsValues(const std::uint8_t* pData, std::size_t cbData) {
    const std::size_t cbName = cbData == 0 ? 0 : std::min<std::size_t>(pData[0], cbData - 1);
    CheckKeyName(Utf16(pData + 1, cbName));

    static lcset::CSettingsDatabase s_Database;
    static sqlite3* s_pRaw = [] {
        lcset::CValue seed;
        seed.sName = u"seed";
        seed.dwType = SETTINGS_TYPE_DWORD;
        lcset::CKeyChanges changes;
        changes.puts.push_back(&seed);
        if (s_Database.CommitKey({u"FUZZ"}, changes) != ZEL_SUCCESS) {
            std::abort();
        }
        sqlite3* pDb = nullptr;
        sqlite3_open(lcset::DatabasePath().c_str(), &pDb);
        return pDb;
    }();
    if (cbData == 0 || !WriteRows(s_pRaw, pData + 1 + cbName, cbData - 1 - cbName)) {
        return false;
    }
    std::vector<lcset::CValue> values;
    if (s_Database.ReadKey({u"FUZZ"}, &values) != ZEL_SUCCESS) {
        return false;
    }
    for (const lcset::CValue& value : values) {
        if (value.dwType < SETTINGS_TYPE_DWORD || value.dwType > SETTINGS_TYPE_BINARY) {
            std::abort();
        }
    }
    return true;
}

}  // namespace krellfuzz
