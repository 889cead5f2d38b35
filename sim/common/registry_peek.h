// Reads one DWORD of HKEY_LOCAL_MACHINE straight from the root's registry store (docs/registry.md).
// Header-only and SQLite-only, for stand-in libraries that link nothing of the system but read their
// test options where a service reads its own; ASCII key and value names only.
#pragma once

#include <sqlite3.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/root_location.h"

namespace sim {

namespace detail {

// The store's name_upper column: upper-cased UTF-16 code units, big-endian.
inline std::string UpperNameBlob(std::string_view sName) {
    std::string sBlob;
    for (const char ch : sName) {
        sBlob.push_back('\0');
        sBlob.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
    }
    return sBlob;
}

inline bool StepId(sqlite3* pDb, const char* szSql, std::int64_t nParent, std::string_view sName,
                   std::int64_t* pnId, std::string* psData = nullptr) {
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(pDb, szSql, -1, &pStmt, nullptr) != SQLITE_OK) {
        return false;
    }
    const std::string sBlob = UpperNameBlob(sName);
    sqlite3_bind_int64(pStmt, 1, nParent);
    sqlite3_bind_blob(pStmt, 2, sBlob.data(), static_cast<int>(sBlob.size()), SQLITE_TRANSIENT);
    const bool bFound = sqlite3_step(pStmt) == SQLITE_ROW;
    if (bFound) {
        *pnId = sqlite3_column_int64(pStmt, 0);
        if (psData != nullptr) {
            const void* pData = sqlite3_column_blob(pStmt, 1);
            psData->assign(static_cast<const char*>(pData),
                           static_cast<std::size_t>(sqlite3_column_bytes(pStmt, 1)));
        }
    }
    sqlite3_finalize(pStmt);
    return bFound;
}

inline constexpr std::int64_t HKLM_ROW = 3;
inline constexpr std::int64_t REG_DWORD_TYPE = 4;

// The root's store opened for reading, or null when it cannot be.
inline sqlite3* OpenStore() {
    const std::string sPath = platform::LocateRoot() + "/registry.db";
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(sPath.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(pDb);
        return nullptr;
    }
    sqlite3_busy_timeout(pDb, 1000);
    return pDb;
}

// The row of HKEY_LOCAL_MACHINE\sKey; false when a component is missing.
inline bool FindMachineKey(sqlite3* pDb, std::string_view sKey, std::int64_t* pnKey) {
    *pnKey = HKLM_ROW;
    while (!sKey.empty()) {
        const std::size_t nEnd = sKey.find('\\');
        const std::string_view sPart = sKey.substr(0, nEnd);
        sKey = nEnd == std::string_view::npos ? std::string_view() : sKey.substr(nEnd + 1);
        if (!sPart.empty() &&
            !StepId(pDb, "SELECT id FROM keys WHERE parent = ?1 AND name_upper = ?2", *pnKey, sPart, pnKey)) {
            return false;
        }
    }
    return true;
}

}  // namespace detail

// The REG_DWORD szValue of HKEY_LOCAL_MACHINE\szKey, or dwDefault when the store, the key or the value
// is missing or the value is no DWORD.
inline std::uint32_t PeekMachineDword(std::string_view sKey, std::string_view sValue,
                                      std::uint32_t dwDefault) {
    sqlite3* pDb = detail::OpenStore();
    if (pDb == nullptr) {
        return dwDefault;
    }
    std::int64_t nKey = 0;
    const bool bFound = detail::FindMachineKey(pDb, sKey, &nKey);
    std::uint32_t dwValue = dwDefault;
    std::int64_t nType = 0;
    std::string sData;
    if (bFound &&
        detail::StepId(pDb, "SELECT type, data FROM vals WHERE key = ?1 AND name_upper = ?2", nKey, sValue,
                       &nType, &sData) &&
        nType == detail::REG_DWORD_TYPE && sData.size() == sizeof(dwValue)) {
        std::memcpy(&dwValue, sData.data(), sizeof(dwValue));  // stored little-endian, as the platform's
    }
    sqlite3_close(pDb);
    return dwValue;
}

// Every REG_DWORD of HKEY_LOCAL_MACHINE\sKey, names upper-cased (ASCII names only); empty when the
// store or the key is missing.
inline std::vector<std::pair<std::string, std::uint32_t>> PeekMachineDwords(std::string_view sKey) {
    std::vector<std::pair<std::string, std::uint32_t>> values;
    sqlite3* pDb = detail::OpenStore();
    if (pDb == nullptr) {
        return values;
    }
    std::int64_t nKey = 0;
    const bool bFound = detail::FindMachineKey(pDb, sKey, &nKey);
    sqlite3_stmt* pStmt = nullptr;
    if (bFound && sqlite3_prepare_v2(pDb, "SELECT name_upper, data FROM vals WHERE key = ?1 AND type = ?2",
                                     -1, &pStmt, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(pStmt, 1, nKey);
        sqlite3_bind_int64(pStmt, 2, detail::REG_DWORD_TYPE);
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            const auto* pName = static_cast<const unsigned char*>(sqlite3_column_blob(pStmt, 0));
            const int cbName = sqlite3_column_bytes(pStmt, 0);
            std::string sName;
            for (int i = 0; i + 1 < cbName; i += 2) {
                sName.push_back(pName[i] == 0 && pName[i + 1] < 0x80 ? static_cast<char>(pName[i + 1]) : '?');
            }
            std::uint32_t dwValue = 0;
            if (sqlite3_column_bytes(pStmt, 1) == sizeof(dwValue)) {
                std::memcpy(&dwValue, sqlite3_column_blob(pStmt, 1), sizeof(dwValue));
                values.emplace_back(std::move(sName), dwValue);
            }
        }
    }
    sqlite3_finalize(pStmt);
    sqlite3_close(pDb);
    return values;
}

}  // namespace sim
