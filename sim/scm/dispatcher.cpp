// The service process's side: the control dispatcher, the handler registration and status reports.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "scm_internal.h"

namespace scm::detail {
namespace {

// One service per process: the status handle has one valid value.
SERVICE_STATUS_HANDLE const STATUS_HANDLE =
    reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0x5C5C0001});
constexpr int REQUEST_READ_TIMEOUT_S = 5;

struct DispatcherState {
    std::mutex mutex;
    bool bStarted = false;
    std::u16string sName;
    std::u16string sTableName;
    SERVICE_MAIN_FUNCTION pfnServiceMain = nullptr;
    std::vector<std::u16string> args;
    std::vector<char16_t*> argv;
    HANDLER_FUNCTION pfnHandler = nullptr;
    HANDLER_FUNCTION_EX pfnHandlerEx = nullptr;
    void* pContext = nullptr;
    bool bStopped = false;
    int wakePipe[2] = {-1, -1};
};

DispatcherState& State() {
    static DispatcherState* s_pState = new DispatcherState;  // the ServiceMain thread may outlive main
    return *s_pState;
}

DWORD ServiceMainThread(void*) {
    DispatcherState& state = State();
    DWORD dwArgc;
    char16_t** pArgv;
    SERVICE_MAIN_FUNCTION pfnMain;
    {
        std::lock_guard lock(state.mutex);
        dwArgc = static_cast<DWORD>(state.args.size());
        pArgv = state.argv.data();
        pfnMain = state.pfnServiceMain;
    }
    pfnMain(dwArgc, pArgv);
    return 0;
}

DWORD CallHandler(DWORD dwControl, DWORD dwEventType) {
    DispatcherState& state = State();
    HANDLER_FUNCTION pfnHandler;
    HANDLER_FUNCTION_EX pfnHandlerEx;
    void* pContext;
    {
        std::lock_guard lock(state.mutex);
        pfnHandler = state.pfnHandler;
        pfnHandlerEx = state.pfnHandlerEx;
        pContext = state.pContext;
    }
    if (pfnHandlerEx != nullptr) {
        return pfnHandlerEx(dwControl, dwEventType, nullptr, pContext);
    }
    if (pfnHandler != nullptr) {
        pfnHandler(dwControl);
        return ERROR_SUCCESS;
    }
    // ServiceMain has not registered a handler yet.
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
}

void ServeOne(int fdListen) {
    const int fd = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // A client that connects and says nothing must not hold up the dispatcher.
    timeval tv{REQUEST_READ_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ControlRequest request{};
    std::size_t nDone = 0;
    while (nDone < sizeof(request)) {
        const ssize_t n = recv(fd, reinterpret_cast<char*>(&request) + nDone, sizeof(request) - nDone, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        nDone += static_cast<std::size_t>(n);
    }
    if (nDone == sizeof(request) && request.magic == CONTROL_MAGIC) {
        const ControlReply reply{CONTROL_MAGIC, CallHandler(request.dwControl, request.dwEventType)};
        send(fd, &reply, sizeof(reply), MSG_NOSIGNAL);
    }
    close(fd);
}

int ListenOnControlSocket(const std::string& sPath, ino_t* pInode) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (sPath.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, sPath.c_str(), sPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    unlink(sPath.c_str());
    struct stat st {};
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0 ||
        stat(sPath.c_str(), &st) != 0) {
        const int nErrno = errno;
        close(fd);
        errno = nErrno;
        return -1;
    }
    *pInode = st.st_ino;
    return fd;
}

void SignalReady() {
    const char* szFd = std::getenv(ENV_READY_FD);
    if (szFd == nullptr) {
        return;
    }
    const int fd = std::atoi(szFd);
    if (fd > 2 && fcntl(fd, F_GETFD) >= 0) {
        const char ch = 1;
        (void)!write(fd, &ch, 1);
        close(fd);
    }
}

std::vector<std::u16string> ServiceArgs(const std::u16string& sName) {
    std::vector<std::u16string> args{sName};
    const char* szArgs = std::getenv(ENV_ARGS);
    std::string_view sArgs = szArgs != nullptr ? szArgs : "";
    while (!sArgs.empty()) {
        const std::size_t nEnd = std::min(sArgs.find('\x1f'), sArgs.size());
        args.push_back(platform::FromUtf8(sArgs.substr(0, nEnd)));
        sArgs.remove_prefix(std::min(nEnd + 1, sArgs.size()));
    }
    return args;
}

// A stopped service that was marked for delete goes now, not at the next look of a controller.
void RemoveIfMarked(const std::u16string& sName) {
    RunLock lock;
    ServiceConfig config;
    if (ReadConfig(sName, &config) && config.bDeleteFlag) {
        Observe(config);
    }
}

}  // namespace
}  // namespace scm::detail

namespace platform {

using namespace scm::detail;

bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* pServiceTable) {
    if (pServiceTable == nullptr || pServiceTable[0].lpServiceName == nullptr ||
        pServiceTable[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* szService = std::getenv(ENV_SERVICE);
    if (szService == nullptr || *szService == '\0') {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    DispatcherState& state = State();
    {
        std::lock_guard lock(state.mutex);
        if (state.bStarted) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return false;
        }
        state.bStarted = true;
        // An own-process service answers to the name it was started under, whatever its table says.
        state.sName = FromUtf8(szService);
        state.sTableName = pServiceTable[0].lpServiceName;
        state.pfnServiceMain = pServiceTable[0].lpServiceProc;
        state.args = ServiceArgs(state.sName);
        for (auto& sArg : state.args) {
            state.argv.push_back(sArg.data());
        }
        state.argv.push_back(nullptr);
    }
    const std::string sSocket = RunFile(state.sName, ".ctl");
    ino_t inode = 0;
    const int fdListen = ListenOnControlSocket(sSocket, &inode);
    if (fdListen < 0 || pipe2(state.wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (fdListen >= 0) {
            close(fdListen);
        }
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    ResetStatusHistory(state.sName);
    SignalReady();
    HANDLE hThread = CreateThread(0, ServiceMainThread, nullptr, 0, nullptr);
    if (hThread == nullptr) {
        const DWORD dwError = GetLastError();
        close(fdListen);
        unlink(sSocket.c_str());
        SetLastError(dwError);
        return false;
    }
    // Controls are served here, on the caller's thread, until the service reports SERVICE_STOPPED.
    for (;;) {
        {
            std::lock_guard lock(state.mutex);
            if (state.bStopped) {
                break;
            }
        }
        pollfd pfds[2] = {{fdListen, POLLIN, 0}, {state.wakePipe[0], POLLIN, 0}};
        if (poll(pfds, 2, -1) < 0) {
            continue;
        }
        if ((pfds[0].revents & POLLIN) != 0) {
            ServeOne(fdListen);
        }
    }
    close(fdListen);
    // The file may already belong to a new instance started after this one reported STOPPED.
    struct stat st {};
    if (stat(sSocket.c_str(), &st) == 0 && st.st_ino == inode) {
        unlink(sSocket.c_str());
    }
    CloseHandle(hThread);
    RemoveIfMarked(state.sName);
    SetLastError(ERROR_SUCCESS);
    return true;
}

// Both registrations: exactly one of the two handlers is given.
static SERVICE_STATUS_HANDLE RegisterHandler(const char16_t* szServiceName, HANDLER_FUNCTION pfnHandler,
                                             HANDLER_FUNCTION_EX pfnHandlerEx, void* pContext) {
    DispatcherState& state = State();
    std::lock_guard lock(state.mutex);
    if (!state.bStarted) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    if (szServiceName == nullptr ||
        (!EqualNoCase(szServiceName, state.sName) && !EqualNoCase(szServiceName, state.sTableName))) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (pfnHandler == nullptr && pfnHandlerEx == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    state.pfnHandler = pfnHandler;
    state.pfnHandlerEx = pfnHandlerEx;
    state.pContext = pContext;
    SetLastError(ERROR_SUCCESS);
    return STATUS_HANDLE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char16_t* szServiceName,
                                                   HANDLER_FUNCTION_EX pfnHandler, void* pContext) {
    return RegisterHandler(szServiceName, nullptr, pfnHandler, pContext);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char16_t* szServiceName, HANDLER_FUNCTION pfnHandler) {
    return RegisterHandler(szServiceName, pfnHandler, nullptr, nullptr);
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, const SERVICE_STATUS* pServiceStatus) {
    DispatcherState& state = State();
    std::lock_guard lock(state.mutex);
    if (hServiceStatus != STATUS_HANDLE || !state.bStarted) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (pServiceStatus == nullptr || pServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        pServiceStatus->dwCurrentState > SERVICE_PAUSED) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    StatusRecord record;
    record.status = *pServiceStatus;
    record.dwProcessId = GetCurrentProcessId();
    if (!WriteStatusFile(state.sName, record)) {
        SetLastError(ERROR_CANTWRITE);
        return false;
    }
    AppendStatusHistory(state.sName, record);
    if (pServiceStatus->dwCurrentState == SERVICE_STOPPED && !state.bStopped) {
        state.bStopped = true;
        const char ch = 1;
        (void)!write(state.wakePipe[1], &ch, 1);
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace platform
