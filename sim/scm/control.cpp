// The controller's side: starting a service's process, status queries and controls.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/paths.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "scm_internal.h"

extern char** environ;

namespace scm::detail {
namespace {

struct CommandLine {
    std::string sProgram;  // POSIX path
    std::vector<std::string> args;
};

bool IsRegularFile(const std::string& sPath) {
    struct stat st {};
    return stat(sPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The forms a driver's image path takes besides a plain drive path.
std::u16string NormalisePrefix(std::u16string s) {
    if (s.starts_with(u"\\??\\")) {
        s.erase(0, 4);
    }
    const std::u16string sUpper = platform::ToUpper(s);
    if (sUpper.starts_with(u"\\SYSTEMROOT\\")) {
        s = u"C:\\Windows" + s.substr(11);
    } else if (sUpper.starts_with(u"%SYSTEMROOT%\\") || sUpper.starts_with(u"%WINDIR%\\")) {
        s = u"C:\\Windows" + s.substr(s.find(u'%', 1) + 1);
    } else if (sUpper.starts_with(u"SYSTEM32\\")) {
        s = u"C:\\Windows\\" + s;
    }
    return s;
}

std::vector<std::string> SplitArguments(std::u16string_view s) {
    std::vector<std::string> args;
    std::u16string sCurrent;
    bool bInArg = false;
    bool bQuoted = false;
    for (const char16_t ch : s) {
        if (ch == u'"') {
            bQuoted = !bQuoted;
            bInArg = true;
        } else if ((ch == u' ' || ch == u'\t') && !bQuoted) {
            if (bInArg) {
                args.push_back(platform::ToUtf8(sCurrent));
                sCurrent.clear();
                bInArg = false;
            }
        } else {
            sCurrent += ch;
            bInArg = true;
        }
    }
    if (bInArg) {
        args.push_back(platform::ToUtf8(sCurrent));
    }
    return args;
}

// An unquoted path with spaces is resolved as the platform does: the shortest prefix ending at a
// space (or the end) that names an existing file is the program, the rest its arguments.
bool ParseImagePath(const std::u16string& sImagePath, CommandLine* pCommand) {
    const std::u16string s = NormalisePrefix(sImagePath);
    std::u16string sProgram;
    std::u16string_view sRest;
    if (s.starts_with(u'"')) {
        const std::size_t nClose = s.find(u'"', 1);
        if (nClose == std::u16string::npos) {
            platform::SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        sProgram = s.substr(1, nClose - 1);
        sRest = std::u16string_view(s).substr(nClose + 1);
    } else {
        std::size_t nEnd = 0;
        for (;;) {
            nEnd = s.find(u' ', nEnd + 1);
            const std::u16string sCandidate = s.substr(0, nEnd);
            std::string sPosix;
            if (platform::MapPath(sCandidate, &sPosix) && IsRegularFile(sPosix)) {
                sProgram = sCandidate;
                sRest = nEnd == std::u16string::npos ? std::u16string_view()
                                                     : std::u16string_view(s).substr(nEnd);
                break;
            }
            if (nEnd == std::u16string::npos) {
                platform::SetLastError(ERROR_FILE_NOT_FOUND);
                return false;
            }
        }
    }
    if (!platform::MapPath(sProgram, &pCommand->sProgram)) {
        return false;
    }
    if (!IsRegularFile(pCommand->sProgram)) {
        platform::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    pCommand->args = SplitArguments(sRest);
    return true;
}

std::vector<std::string> ServiceEnvironment(const ServiceConfig& config, int nReadyFd,
                                            const std::vector<std::string>& serviceArgs) {
    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string_view sEntry(*p);
        if (!sEntry.starts_with("KRELL_ROOT=") && !sEntry.starts_with("KRELL_SCM_")) {
            env.emplace_back(sEntry);
        }
    }
    env.push_back("KRELL_ROOT=" + platform::RootDirectory());
    if (nReadyFd >= 0 && IsDriverType(config.dwType)) {
        // A driver's start returns once the driver has created its device, as the platform's does.
        env.push_back(std::string(ENV_READY_FD) + "=" + std::to_string(nReadyFd));
    } else if (nReadyFd >= 0) {
        env.push_back(std::string(ENV_SERVICE) + "=" + platform::ToUtf8(config.sName));
        env.push_back(std::string(ENV_READY_FD) + "=" + std::to_string(nReadyFd));
        std::string sArgs;
        for (const auto& sArg : serviceArgs) {
            sArgs += sArg + '\x1f';
        }
        env.push_back(std::string(ENV_ARGS) + "=" + sArgs);
    }
    return env;
}

void ReadFully(int fd, void* pBuffer, std::size_t cb, std::size_t* pcbRead) {
    std::size_t nDone = 0;
    while (nDone < cb) {
        const ssize_t n = read(fd, static_cast<char*>(pBuffer) + nDone, cb - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        nDone += static_cast<std::size_t>(n);
    }
    *pcbRead = nDone;
}

// Runs the program detached from the caller (double fork, a session of its own), stdin from
// /dev/null, stdout and stderr appended to the log. nReadyFd (or -1) stays open in the program.
bool SpawnDetached(const CommandLine& command, const std::vector<std::string>& env, const std::string& sLog,
                   int nReadyFd, pid_t* pPid) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(command.sProgram.c_str()));
    for (const auto& sArg : command.args) {
        argv.push_back(const_cast<char*>(sArg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& sEntry : env) {
        envp.push_back(const_cast<char*>(sEntry.c_str()));
    }
    envp.push_back(nullptr);

    int pidPipe[2];
    int errPipe[2];
    if (pipe2(pidPipe, O_CLOEXEC) != 0) {
        platform::SetLastError(platform::ErrorFromErrno(errno));
        return false;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        platform::SetLastError(platform::ErrorFromErrno(errno));
        close(pidPipe[0]);
        close(pidPipe[1]);
        return false;
    }
    const pid_t intermediate = fork();
    if (intermediate == 0) {
        // Only async-signal-safe calls from here on: the caller may have other threads.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            const int fdNull = open("/dev/null", O_RDONLY);
            const int fdLog = open(sLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fdNull >= 0) {
                dup2(fdNull, 0);
            }
            if (fdLog >= 0) {
                dup2(fdLog, 1);
                dup2(fdLog, 2);
            }
            // Nothing else of the caller's leaks into the service.
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != nReadyFd) {
                    fcntl(fd, F_SETFD, FD_CLOEXEC);
                }
            }
            if (nReadyFd >= 0) {
                fcntl(nReadyFd, F_SETFD, 0);
            }
            sigset_t all;
            sigemptyset(&all);
            sigprocmask(SIG_SETMASK, &all, nullptr);
            for (int nSignal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
                signal(nSignal, SIG_DFL);
            }
            execve(argv[0], argv.data(), envp.data());
            const int nErrno = errno;
            (void)!write(errPipe[1], &nErrno, sizeof(nErrno));
            _exit(127);
        }
        if (grandchild < 0) {
            const int nErrno = errno;
            (void)!write(errPipe[1], &nErrno, sizeof(nErrno));
            _exit(1);
        }
        (void)!write(pidPipe[1], &grandchild, sizeof(grandchild));
        _exit(0);
    }
    close(pidPipe[1]);
    close(errPipe[1]);
    bool bOk = false;
    if (intermediate < 0) {
        platform::SetLastError(platform::ErrorFromErrno(errno));
    } else {
        int nStatus = 0;
        while (waitpid(intermediate, &nStatus, 0) < 0 && errno == EINTR) {
        }
        pid_t grandchild = 0;
        std::size_t cbRead = 0;
        ReadFully(pidPipe[0], &grandchild, sizeof(grandchild), &cbRead);
        const bool bHavePid = cbRead == sizeof(grandchild);
        int nErrno = 0;
        ReadFully(errPipe[0], &nErrno, sizeof(nErrno), &cbRead);
        if (cbRead == sizeof(nErrno)) {
            platform::SetLastError(nErrno == ENOENT ? ERROR_FILE_NOT_FOUND
                                                    : platform::ErrorFromErrno(nErrno));
        } else if (!bHavePid) {
            platform::SetLastError(ERROR_SERVICE_NO_THREAD);
        } else {
            *pPid = grandchild;
            bOk = true;
        }
    }
    close(pidPipe[0]);
    close(errPipe[0]);
    return bOk;
}

// Waits for the dispatcher's byte on the ready pipe. 0 on success, else the error for the starter.
DWORD WaitForConnect(int fdReady, const PidRecord& process, bool bDriver) {
    pollfd pfd{fdReady, POLLIN, 0};
    int nResult;
    const DWORD dwTimeout = bDriver ? DRIVER_READY_TIMEOUT_MS : CONNECT_TIMEOUT_MS;
    while ((nResult = poll(&pfd, 1, static_cast<int>(dwTimeout))) < 0 && errno == EINTR) {
    }
    if (nResult == 0) {
        // A driver program that never signals is taken as running.
        return bDriver ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    char ch = 0;
    ssize_t n;
    while ((n = read(fdReady, &ch, 1)) < 0 && errno == EINTR) {
    }
    if (n == 1) {
        return ERROR_SUCCESS;
    }
    // The pipe closed without a word: the process ended before it connected.
    return WaitProcessEnd(process, 100) ? ERROR_PROCESS_ABORTED : ERROR_SUCCESS;
}

bool FillSockAddr(const std::string& sPath, sockaddr_un* pAddress) {
    std::memset(pAddress, 0, sizeof(*pAddress));
    pAddress->sun_family = AF_UNIX;
    if (sPath.size() >= sizeof(pAddress->sun_path)) {
        platform::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(pAddress->sun_path, sPath.c_str(), sPath.size() + 1);
    return true;
}

bool StopDriver(const ServiceConfig& config, const PidRecord& process) {
    EndProcess(process);
    RunLock lock;
    PidRecord current;
    if (ReadPidFile(config.sName, &current) && current.pid == process.pid &&
        current.ullStartTime == process.ullStartTime) {
        StatusRecord stopped;
        stopped.status.dwServiceType = config.dwType;
        stopped.status.dwCurrentState = SERVICE_STOPPED;
        stopped.dwProcessId = static_cast<DWORD>(process.pid);
        WriteStatusFile(config.sName, stopped);
    }
    return true;
}

void ToStatus(const Observed& observed, SERVICE_STATUS* pStatus) {
    if (pStatus != nullptr) {
        *pStatus = observed.record.status;
    }
}

}  // namespace

bool StartServiceWithArgs(const std::u16string& sName, const std::vector<std::string>& serviceArgs) {
    ServiceConfig config;
    PidRecord process;
    int fdReady = -1;
    {
        RunLock lock;
        if (!ReadConfig(sName, &config)) {
            return false;
        }
        if (config.bDeleteFlag) {
            platform::SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
            return false;
        }
        if (config.dwStartType == SERVICE_DISABLED) {
            platform::SetLastError(ERROR_SERVICE_DISABLED);
            return false;
        }
        if (Observe(config).record.status.dwCurrentState != SERVICE_STOPPED) {
            platform::SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return false;
        }
        CommandLine command;
        if (!ParseImagePath(config.sImagePath, &command)) {
            return false;
        }
        const bool bDriver = IsDriverType(config.dwType);
        int readyPipe[2] = {-1, -1};
        if (pipe2(readyPipe, O_CLOEXEC) != 0) {
            platform::SetLastError(platform::ErrorFromErrno(errno));
            return false;
        }
        for (const char* szSuffix : {".pid", ".status", ".ctl"}) {
            unlink(RunFile(config.sName, szSuffix).c_str());
        }
        const bool bSpawned = SpawnDetached(command, ServiceEnvironment(config, readyPipe[1], serviceArgs),
                                            RunFile(config.sName, ".log"), readyPipe[1], &process.pid);
        if (readyPipe[1] >= 0) {
            close(readyPipe[1]);
        }
        fdReady = readyPipe[0];
        if (!bSpawned) {
            if (fdReady >= 0) {
                close(fdReady);
            }
            return false;
        }
        // A process that is already gone keeps start time 0 and reads as dead.
        ProcessStartTime(process.pid, &process.ullStartTime);
        WritePidFile(config.sName, process);
        if (bDriver) {
            StatusRecord running;
            running.status.dwServiceType = config.dwType;
            running.status.dwCurrentState = SERVICE_RUNNING;
            running.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
            running.dwProcessId = static_cast<DWORD>(process.pid);
            WriteStatusFile(config.sName, running);
        }
    }
    if (fdReady < 0) {
        platform::SetLastError(ERROR_SUCCESS);
        return true;
    }
    const DWORD dwResult = WaitForConnect(fdReady, process, IsDriverType(config.dwType));
    close(fdReady);
    if (dwResult == ERROR_SERVICE_REQUEST_TIMEOUT) {
        // As on the platform, a process that never connects is ended.
        EndProcess(process);
    }
    platform::SetLastError(dwResult);
    return dwResult == ERROR_SUCCESS;
}

bool StartServiceByName(const std::u16string& sName) {
    return StartServiceWithArgs(sName, {});
}

DWORD SendControl(const std::u16string& sName, DWORD dwControl, DWORD dwTimeoutMs) {
    sockaddr_un address;
    if (!FillSockAddr(RunFile(sName, ".ctl"), &address)) {
        return platform::GetLastError();
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return platform::ErrorFromErrno(errno);
    }
    DWORD dwResult = ERROR_SERVICE_REQUEST_TIMEOUT;
    const ControlRequest request{CONTROL_MAGIC, dwControl, 0};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        send(fd, &request, sizeof(request), MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(request))) {
        pollfd pfd{fd, POLLIN, 0};
        int nReady;
        while ((nReady = poll(&pfd, 1, static_cast<int>(dwTimeoutMs))) < 0 && errno == EINTR) {
        }
        ControlReply reply{};
        std::size_t cbRead = 0;
        if (nReady > 0) {
            ReadFully(fd, &reply, sizeof(reply), &cbRead);
        }
        if (cbRead == sizeof(reply) && reply.magic == CONTROL_MAGIC) {
            dwResult = reply.dwResult;
        }
    }
    close(fd);
    return dwResult;
}

}  // namespace scm::detail

namespace platform {

using namespace scm::detail;

bool StartService(SC_HANDLE hService, DWORD dwNumServiceArgs, const char16_t** pszServiceArgVectors) {
    ScObject object;
    if (!LookupScHandle(hService, false, &object) || !CheckAccess(object, SERVICE_START) ||
        FaultInjected(u"StartService", object.sName)) {
        return false;
    }
    std::vector<std::string> args;
    for (DWORD i = 0; i < dwNumServiceArgs && pszServiceArgVectors != nullptr; ++i) {
        args.push_back(ToUtf8(pszServiceArgVectors[i] != nullptr ? pszServiceArgVectors[i] : u""));
    }
    return StartServiceWithArgs(object.sName, args);
}

bool QueryServiceStatusEx(SC_HANDLE hService, DWORD dwInfoLevel, BYTE* pBuffer, DWORD cbBufSize,
                          DWORD* pcbBytesNeeded) {
    ScObject object;
    if (!LookupScHandle(hService, false, &object) || !CheckAccess(object, SERVICE_QUERY_STATUS)) {
        return false;
    }
    if (dwInfoLevel != SC_STATUS_PROCESS_INFO) {
        SetLastError(ERROR_INVALID_LEVEL);
        return false;
    }
    if (pcbBytesNeeded != nullptr) {
        *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    }
    if (pBuffer == nullptr || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    SERVICE_STATUS_PROCESS result{};
    result.dwCurrentState = SERVICE_STOPPED;
    {
        RunLock lock;
        ServiceConfig config;
        // A handle outlives a deleted service; the service reads as stopped.
        if (ReadConfig(object.sName, &config)) {
            const Observed observed = Observe(config);
            const SERVICE_STATUS& s = observed.record.status;
            result = SERVICE_STATUS_PROCESS{s.dwServiceType,
                                            s.dwCurrentState,
                                            s.dwControlsAccepted,
                                            s.dwWin32ExitCode,
                                            s.dwServiceSpecificExitCode,
                                            s.dwCheckPoint,
                                            s.dwWaitHint,
                                            observed.record.dwProcessId,
                                            0};
        }
    }
    std::memcpy(pBuffer, &result, sizeof(result));
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* pServiceStatus) {
    if (pServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    SERVICE_STATUS_PROCESS status;
    DWORD cbNeeded = 0;
    if (!QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &cbNeeded)) {
        return false;
    }
    std::memcpy(pServiceStatus, &status, sizeof(*pServiceStatus));
    return true;
}

bool ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* pServiceStatus) {
    ScObject object;
    if (!LookupScHandle(hService, false, &object) || FaultInjected(u"ControlService", object.sName)) {
        return false;
    }
    const bool bUserCode = dwControl >= 128 && dwControl <= 255;
    DWORD dwRight = 0;
    DWORD dwAcceptBit = 0;
    switch (dwControl) {
        case SERVICE_CONTROL_STOP:
            dwRight = SERVICE_STOP;
            dwAcceptBit = SERVICE_ACCEPT_STOP;
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            dwRight = SERVICE_PAUSE_CONTINUE;
            dwAcceptBit = SERVICE_ACCEPT_PAUSE_CONTINUE;
            break;
        case SERVICE_CONTROL_INTERROGATE:
            dwRight = SERVICE_INTERROGATE;
            break;
        case SERVICE_CONTROL_PARAMCHANGE:
            dwRight = SERVICE_PAUSE_CONTINUE;
            dwAcceptBit = SERVICE_ACCEPT_PARAMCHANGE;
            break;
        case SERVICE_CONTROL_NETBINDADD:
        case SERVICE_CONTROL_NETBINDREMOVE:
        case SERVICE_CONTROL_NETBINDENABLE:
        case SERVICE_CONTROL_NETBINDDISABLE:
            dwRight = SERVICE_PAUSE_CONTINUE;
            dwAcceptBit = SERVICE_ACCEPT_NETBINDCHANGE;
            break;
        default:
            // Shutdown, device, power and session events come from the system only.
            if (!bUserCode) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            dwRight = SERVICE_USER_DEFINED_CONTROL;
            break;
    }
    if (!CheckAccess(object, dwRight)) {
        return false;
    }
    ServiceConfig config;
    Observed observed;
    {
        RunLock lock;
        if (!ReadConfig(object.sName, &config)) {
            SetLastError(ERROR_SERVICE_NOT_ACTIVE);
            return false;
        }
        observed = Observe(config);
    }
    ToStatus(observed, pServiceStatus);
    const DWORD dwState = observed.record.status.dwCurrentState;
    if (dwState == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return false;
    }
    if (IsPendingState(dwState)) {
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return false;
    }
    if (dwAcceptBit != 0 && (observed.record.status.dwControlsAccepted & dwAcceptBit) == 0) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return false;
    }
    DWORD dwResult = ERROR_SUCCESS;
    if (IsDriverType(config.dwType)) {
        // A driver has no dispatcher: stopping it ends its process, interrogation reads the status.
        if (dwControl == SERVICE_CONTROL_STOP) {
            StopDriver(config, observed.process);
        } else if (dwControl != SERVICE_CONTROL_INTERROGATE) {
            dwResult = ERROR_INVALID_SERVICE_CONTROL;
        }
    } else {
        dwResult = SendControl(config.sName, dwControl, CONTROL_TIMEOUT_MS);
    }
    {
        RunLock lock;
        if (ReadConfig(object.sName, &config)) {
            observed = Observe(config);
        } else {
            observed.record.status.dwCurrentState = SERVICE_STOPPED;
            observed.record.status.dwControlsAccepted = 0;
        }
    }
    ToStatus(observed, pServiceStatus);
    if (dwResult == ERROR_SERVICE_REQUEST_TIMEOUT &&
        observed.record.status.dwCurrentState == SERVICE_STOPPED) {
        // Its process died meanwhile (or had left stale files behind).
        dwResult = ERROR_SERVICE_NOT_ACTIVE;
    }
    SetLastError(dwResult);
    return dwResult == ERROR_SUCCESS;
}

}  // namespace platform
