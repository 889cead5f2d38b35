// Second process for the registry tests.
//   krell_child_registry [--root DIR] [--busy-ms N] COMMAND ...
//   write KEY PREFIX COUNT   under HKLM\KEY: sub-keys PREFIX<i> and DWORD values PREFIX<i> = i
//   delete KEY               deletes HKLM\KEY with its tree
//   populate                 fills HKLM\Software\Populated and flushes the store into its main file
//   hold READY_FILE          holds the store's write lock (BEGIN EXCLUSIVE) until killed
//   probe RESULT_FILE        tries a three-level create and an open of HKLM\Software\Populated, and
//                            writes "<create code> <create ms> <open code>" to RESULT_FILE
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/registry.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

int Write(const std::string& sKey, const std::string& sPrefix, int nCount) {
    HKEY hKey = nullptr;
    LONG lResult = platform::RegCreateKeyEx(HKEY_LOCAL_MACHINE, platform::FromUtf8(sKey).c_str(), 0,
                                            KEY_ALL_ACCESS, &hKey, nullptr);
    if (lResult != ERROR_SUCCESS) {
        fprintf(stderr, "create %s: %d\n", sKey.c_str(), lResult);
        return 1;
    }
    for (int i = 0; i < nCount; ++i) {
        const std::u16string sName = platform::FromUtf8(sPrefix + std::to_string(i));
        HKEY hSub = nullptr;
        lResult = platform::RegCreateKeyEx(hKey, sName.c_str(), 0, KEY_READ, &hSub, nullptr);
        if (lResult == ERROR_SUCCESS) {
            platform::RegCloseKey(hSub);
            const DWORD dwValue = static_cast<DWORD>(i);
            lResult = platform::RegSetValueEx(hKey, sName.c_str(), REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
        }
        if (lResult != ERROR_SUCCESS) {
            fprintf(stderr, "write %d: %d\n", i, lResult);
            return 1;
        }
    }
    platform::RegCloseKey(hKey);
    return 0;
}

int Populate() {
    HKEY hKey = nullptr;
    if (platform::RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Populated", 0, KEY_ALL_ACCESS, &hKey,
                                 nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    const std::u16string sData(2000, u'x');
    for (int i = 0; i < 20; ++i) {
        const std::u16string sName = u"Value" + platform::FromUtf8(std::to_string(i));
        if (platform::RegSetValueEx(hKey, sName.c_str(), REG_SZ, reinterpret_cast<const BYTE*>(sData.c_str()),
                                    static_cast<DWORD>((sData.size() + 1) * sizeof(char16_t))) !=
            ERROR_SUCCESS) {
            return 1;
        }
    }
    const LONG lResult = platform::RegFlushKey(hKey);
    platform::RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS ? 0 : 1;
}

int Hold(const std::string& sReadyFile) {
    sqlite3* pDb = nullptr;
    const std::string sPath = platform::RootDirectory() + "/registry.db";
    if (sqlite3_open(sPath.c_str(), &pDb) != SQLITE_OK ||
        sqlite3_exec(pDb, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fprintf(stderr, "hold: %s\n", sqlite3_errmsg(pDb));
        return 1;
    }
    if (FILE* pFile = fopen(sReadyFile.c_str(), "w")) {
        fclose(pFile);
    }
    for (;;) {
        pause();
    }
}

int Probe(const std::string& sResultFile) {
    const DWORD dwStart = platform::GetTickCount();
    HKEY hKey = nullptr;
    const LONG lCreate =
        platform::RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Probe\\A\\B", 0, KEY_ALL_ACCESS, &hKey, nullptr);
    const DWORD dwElapsed = platform::GetTickCount() - dwStart;
    if (hKey != nullptr) {
        platform::RegCloseKey(hKey);
    }
    hKey = nullptr;
    const LONG lOpen = platform::RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"Software\\Populated", 0, KEY_READ, &hKey);
    if (hKey != nullptr) {
        platform::RegCloseKey(hKey);
    }
    FILE* pFile = fopen(sResultFile.c_str(), "w");
    if (pFile == nullptr) {
        return 1;
    }
    fprintf(pFile, "%d %u %d\n", lCreate, dwElapsed, lOpen);
    fclose(pFile);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (strcmp(argv[i], "--root") == 0) {
            setenv("KRELL_ROOT", argv[i + 1], 1);
        } else if (strcmp(argv[i], "--busy-ms") == 0) {
            setenv("KRELL_REGISTRY_BUSY_MS", argv[i + 1], 1);
        } else {
            return 2;
        }
    }
    const std::string sCommand = i < argc ? argv[i] : "";
    if (sCommand == "write" && i + 3 < argc) {
        return Write(argv[i + 1], argv[i + 2], atoi(argv[i + 3]));
    }
    if (sCommand == "delete" && i + 1 < argc) {
        return platform::RegDeleteTree(HKEY_LOCAL_MACHINE, platform::FromUtf8(argv[i + 1]).c_str()) ==
                       ERROR_SUCCESS
                   ? 0
                   : 1;
    }
    if (sCommand == "populate") {
        return Populate();
    }
    if (sCommand == "hold" && i + 1 < argc) {
        return Hold(argv[i + 1]);
    }
    if (sCommand == "probe" && i + 1 < argc) {
        return Probe(argv[i + 1]);
    }
    return 2;
}
