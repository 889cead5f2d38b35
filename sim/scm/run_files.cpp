// Run files of a service and the supervision of its process.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "scm_internal.h"

namespace scm::detail {
namespace {

std::string ReadSmallFile(const std::string& sPath) {
    std::ifstream in(sPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFileAtomically(const std::string& sPath, const std::string& sContent) {
    static std::atomic<unsigned> s_nCounter{0};
    const std::string sTemp = sPath + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++s_nCounter);
    const int fd = open(sTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool bWritten =
        write(fd, sContent.data(), sContent.size()) == static_cast<ssize_t>(sContent.size());
    close(fd);
    if (!bWritten || rename(sTemp.c_str(), sPath.c_str()) != 0) {
        unlink(sTemp.c_str());
        return false;
    }
    return true;
}

void SleepMs(DWORD dwMs) {
    timespec ts{static_cast<time_t>(dwMs / 1000), static_cast<long>(dwMs % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

}  // namespace

bool IsDriverType(DWORD dwType) {
    return (dwType & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0;
}

bool IsPendingState(DWORD dwState) {
    return dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING ||
           dwState == SERVICE_CONTINUE_PENDING || dwState == SERVICE_PAUSE_PENDING;
}

std::string RunFile(const std::u16string& sName, const char* szSuffix) {
    return platform::RootSubdirectory("run") + "/" + platform::ToUtf8(sName) + szSuffix;
}

bool ProcessStartTime(pid_t pid, unsigned long long* pullStartTime) {
    if (pid <= 0) {
        return false;
    }
    const std::string sStat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces and parentheses; the fields after it are plain.
    const std::size_t nClose = sStat.rfind(')');
    if (nClose == std::string::npos) {
        return false;
    }
    std::istringstream fields(sStat.substr(nClose + 1));
    std::string sState;
    fields >> sState;
    if (sState.empty() || sState == "Z" || sState == "X" || sState == "x") {
        return false;
    }
    // Field 22 is the start time; the state was field 3.
    std::string sField;
    for (int nField = 4; nField <= 22; ++nField) {
        if (!(fields >> sField)) {
            return false;
        }
    }
    *pullStartTime = std::strtoull(sField.c_str(), nullptr, 10);
    return true;
}

bool IsAlive(const PidRecord& record) {
    unsigned long long ullStart = 0;
    return ProcessStartTime(record.pid, &ullStart) && ullStart == record.ullStartTime;
}

bool ReadPidFile(const std::u16string& sName, PidRecord* pRecord) {
    std::istringstream in(ReadSmallFile(RunFile(sName, ".pid")));
    long long llPid = 0;
    unsigned long long ullStart = 0;
    if (!(in >> llPid >> ullStart) || llPid <= 0) {
        return false;
    }
    pRecord->pid = static_cast<pid_t>(llPid);
    pRecord->ullStartTime = ullStart;
    return true;
}

bool WritePidFile(const std::u16string& sName, const PidRecord& record) {
    return WriteFileAtomically(RunFile(sName, ".pid"),
                               std::to_string(record.pid) + " " + std::to_string(record.ullStartTime) + "\n");
}

bool ReadStatusFile(const std::u16string& sName, StatusRecord* pRecord) {
    std::istringstream in(ReadSmallFile(RunFile(sName, ".status")));
    std::string sMagic;
    StatusRecord r;
    SERVICE_STATUS& s = r.status;
    if (!(in >> sMagic >> s.dwServiceType >> s.dwCurrentState >> s.dwControlsAccepted >> s.dwWin32ExitCode >>
          s.dwServiceSpecificExitCode >> s.dwCheckPoint >> s.dwWaitHint >> r.dwProcessId) ||
        sMagic != "KSS1") {
        return false;
    }
    *pRecord = r;
    return true;
}

namespace {

std::string StatusLine(const StatusRecord& record) {
    const SERVICE_STATUS& s = record.status;
    char szLine[160];
    std::snprintf(szLine, sizeof(szLine), "KSS1 %u %u %u %u %u %u %u %u\n", s.dwServiceType, s.dwCurrentState,
                  s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint,
                  s.dwWaitHint, record.dwProcessId);
    return szLine;
}

}  // namespace

bool WriteStatusFile(const std::u16string& sName, const StatusRecord& record) {
    return WriteFileAtomically(RunFile(sName, ".status"), StatusLine(record));
}

bool ResetStatusHistory(const std::u16string& sName) {
    return WriteFileAtomically(RunFile(sName, ".history"), "");
}

bool AppendStatusHistory(const std::u16string& sName, const StatusRecord& record) {
    const int fd = open(RunFile(sName, ".history").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const std::string sLine = StatusLine(record);
    const bool bWritten = write(fd, sLine.data(), sLine.size()) == static_cast<ssize_t>(sLine.size());
    close(fd);
    return bWritten;
}

bool ReadStatusHistory(const std::u16string& sName, std::vector<StatusRecord>* pHistory) {
    std::ifstream in(RunFile(sName, ".history"));
    if (!in) {
        return false;
    }
    pHistory->clear();
    std::string sLine;
    while (std::getline(in, sLine)) {
        std::istringstream fields(sLine);
        std::string sMagic;
        StatusRecord r;
        SERVICE_STATUS& s = r.status;
        if (fields >> sMagic >> s.dwServiceType >> s.dwCurrentState >> s.dwControlsAccepted >>
                s.dwWin32ExitCode >> s.dwServiceSpecificExitCode >> s.dwCheckPoint >> s.dwWaitHint >>
                r.dwProcessId &&
            sMagic == "KSS1") {
            pHistory->push_back(r);
        }
    }
    return true;
}

RunLock::RunLock(const char* szFile) {
    const std::string sPath = platform::RootSubdirectory("run") + "/" + szFile;
    m_fd = open(sPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd >= 0) {
        while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

RunLock::~RunLock() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

Observed Observe(const ServiceConfig& config) {
    Observed o;
    const std::u16string& sName = config.sName;
    StatusRecord stored;
    const bool bHasStatus = ReadStatusFile(sName, &stored);
    PidRecord process;
    const bool bHasPid = ReadPidFile(sName, &process);

    bool bStopped = false;
    if (bHasPid && IsAlive(process)) {
        o.process = process;
        if (bHasStatus && stored.dwProcessId == static_cast<DWORD>(process.pid)) {
            o.record = stored;
        } else {
            // Started, nothing reported yet.
            o.record.status.dwCurrentState = SERVICE_START_PENDING;
            o.record.dwProcessId = static_cast<DWORD>(process.pid);
        }
        // A process that reported STOPPED may still be on its way out; it no longer counts.
        if (o.record.status.dwCurrentState == SERVICE_STOPPED) {
            o.process = PidRecord{};
            bStopped = true;
        }
    } else if (bHasPid) {
        // The process is gone: it stopped properly or it died.
        if (bHasStatus && stored.dwProcessId == static_cast<DWORD>(process.pid) &&
            stored.status.dwCurrentState == SERVICE_STOPPED) {
            o.record = stored;
        } else {
            o.record.status.dwCurrentState = SERVICE_STOPPED;
            o.record.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
            o.record.dwProcessId = static_cast<DWORD>(process.pid);
            WriteStatusFile(sName, o.record);
        }
        unlink(RunFile(sName, ".pid").c_str());
        unlink(RunFile(sName, ".ctl").c_str());
        bStopped = true;
    } else {
        if (bHasStatus && stored.status.dwCurrentState == SERVICE_STOPPED) {
            o.record = stored;
        } else {
            o.record.status.dwCurrentState = SERVICE_STOPPED;
        }
        bStopped = true;
    }
    o.record.status.dwServiceType = config.dwType;
    if (bStopped) {
        o.record.status.dwControlsAccepted = 0;
        o.record.status.dwCheckPoint = 0;
        o.record.status.dwWaitHint = 0;
        o.record.dwProcessId = 0;
        if (config.bDeleteFlag) {
            RemoveService(sName);
            o.bRemoved = true;
        }
    }
    return o;
}

bool SignalProcess(const PidRecord& record, int nSignal) {
    return IsAlive(record) && kill(record.pid, nSignal) == 0;
}

bool WaitProcessEnd(const PidRecord& record, DWORD dwTimeoutMs) {
    for (DWORD dwWaited = 0;; dwWaited += 10) {
        if (!IsAlive(record)) {
            return true;
        }
        if (dwWaited >= dwTimeoutMs) {
            return false;
        }
        SleepMs(10);
    }
}

int EndProcess(const PidRecord& record) {
    if (!SignalProcess(record, SIGTERM)) {
        return 0;
    }
    if (WaitProcessEnd(record, KILL_GRACE_MS)) {
        return SIGTERM;
    }
    SignalProcess(record, SIGKILL);
    WaitProcessEnd(record, KILL_GRACE_MS);
    return SIGKILL;
}

}  // namespace scm::detail
