// A SQLite database file that the processes of a root share (the registry, the settings store's):
// how long a busy file is waited for, how it is opened, and the lock under which a process sets up
// a new one. Header-only, so that stand-in libraries that link nothing of the system can use it.
#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/foreign_code.h"

namespace platform::posix {

// The environment variable's value when it is a number of milliseconds up to a day, else nDefault.
inline int BusyTimeoutMs(const char* szEnvironmentVariable, int nDefault) {
    const char* szValue = std::getenv(szEnvironmentVariable);
    if (szValue == nullptr || *szValue == '\0') {
        return nDefault;
    }
    char* pEnd = nullptr;
    const long lValue = std::strtol(szValue, &pEnd, 10);
    if (*pEnd != '\0' || lValue < 0 || lValue > 24L * 3600 * 1000) {
        return nDefault;
    }
    return static_cast<int>(lValue);
}

// Opens (or creates) the file for one thread at a time, with extended result codes and the busy
// timeout. The SQLite result; on failure *ppDb may still need sqlite3_close.
inline int OpenSharedDatabase(const std::string& sPath, int nBusyMs, sqlite3** ppDb) {
    const CForeignCall call;
    const int nOpen = sqlite3_open_v2(
        sPath.c_str(), ppDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (nOpen == SQLITE_OK) {
        sqlite3_extended_result_codes(*ppDb, 1);
        sqlite3_busy_timeout(*ppDb, nBusyMs);
    }
    CForeignCall::Written(ppDb, sizeof(*ppDb));
    return nOpen;
}

// Switching a new file to WAL and creating its schema can meet another process doing the same, and
// SQLite answers some of those meetings with SQLITE_BUSY at once instead of waiting: the processes
// take turns under this lock on a file beside the database instead. Without that file, no lock.
class CSetupLock {
public:
    explicit CSetupLock(const std::string& sDatabasePath)
        : m_nFd(open((sDatabasePath + ".init").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (m_nFd >= 0) {
            while (flock(m_nFd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~CSetupLock() {
        if (m_nFd >= 0) {
            close(m_nFd);
        }
    }
    CSetupLock(const CSetupLock&) = delete;
    CSetupLock& operator=(const CSetupLock&) = delete;

private:
    int m_nFd;
};

}  // namespace platform::posix
