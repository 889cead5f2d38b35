#include "running_service.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace sim {
namespace {

struct CRunningService {
    const char16_t* szName = nullptr;
    const char16_t* szMutex = nullptr;
    const std::function<void(HANDLE)>* pfnWork = nullptr;
    CSlowStart slowStart;
    HANDLE hStop = nullptr;
    SERVICE_STATUS_HANDLE hStatus = nullptr;
    int nExitCode = 0;
};

CRunningService g_Service;

void Report(DWORD dwState, DWORD dwWin32ExitCode = 0, DWORD dwWaitHint = 5000, DWORD dwCheckPoint = 0) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS,
                          dwState,
                          dwState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0u,
                          dwWin32ExitCode,
                          0,
                          dwCheckPoint,
                          dwState == SERVICE_RUNNING || dwState == SERVICE_STOPPED ? 0u : dwWaitHint};
    if (g_Service.hStatus != nullptr) {
        platform::SetServiceStatus(g_Service.hStatus, &status);
    }
}

DWORD Handler(DWORD dwControl, DWORD, void*, void*) {
    if (dwControl == SERVICE_CONTROL_STOP || dwControl == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING);
        platform::SetEvent(g_Service.hStop);
    } else if (dwControl == SERVICE_CONTROL_INTERROGATE) {
        Report(SERVICE_RUNNING);
    }
    return ERROR_SUCCESS;
}

// The service's life: hold the mutex, do the work until stopped, let go.
void Serve() {
    const CSlowStart& slow = g_Service.slowStart;
    DWORD dwCheckPoint = 0;
    for (DWORD dwWaited = 0; dwWaited < slow.dwPendingMs;) {
        Report(SERVICE_START_PENDING, 0, slow.dwWaitHint, dwCheckPoint);
        const DWORD dwStep = slow.dwProgressMs != 0 ? std::min(slow.dwProgressMs, slow.dwPendingMs - dwWaited)
                                                    : slow.dwPendingMs - dwWaited;
        platform::Sleep(dwStep);
        dwWaited += dwStep;
        if (slow.dwProgressMs != 0) {
            ++dwCheckPoint;
        }
    }
    HANDLE hMutex = platform::CreateMutex(true, g_Service.szMutex);
    if (hMutex == nullptr || platform::GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "%s: cannot own %s (error %u)\n", platform::ToUtf8(g_Service.szName).c_str(),
                     platform::ToUtf8(g_Service.szMutex).c_str(), platform::GetLastError());
        if (hMutex != nullptr) {
            platform::CloseHandle(hMutex);
        }
        g_Service.nExitCode = 1;
        Report(SERVICE_STOPPED, ERROR_SERVICE_ALREADY_RUNNING);
        return;
    }
    Report(SERVICE_RUNNING);
    (*g_Service.pfnWork)(g_Service.hStop);
    platform::ReleaseMutex(hMutex);
    platform::CloseHandle(hMutex);
    Report(SERVICE_STOPPED);
}

void ServiceMain(DWORD, char16_t**) {
    g_Service.hStatus = platform::RegisterServiceCtrlHandlerEx(g_Service.szName, &Handler, nullptr);
    Report(SERVICE_START_PENDING);
    Serve();
}

}  // namespace

int RunRunningMutexService(const char16_t* szServiceName, const char16_t* szRunningMutex,
                           const std::function<void(HANDLE hStopEvent)>& fnWork, CSlowStart slowStart) {
    g_Service = {szServiceName,
                 szRunningMutex,
                 &fnWork,
                 slowStart,
                 platform::CreateEvent(true, false, nullptr),
                 nullptr,
                 0};
    const SERVICE_TABLE_ENTRY table[] = {{szServiceName, &ServiceMain}, {nullptr, nullptr}};
    if (!platform::StartServiceCtrlDispatcher(table)) {
        std::fprintf(stderr, "%s: runs as a service only; start it with krellctl service start (error %u)\n",
                     platform::ToUtf8(szServiceName).c_str(), platform::GetLastError());
        g_Service.nExitCode = 1;
    }
    platform::CloseHandle(g_Service.hStop);
    return g_Service.nExitCode;
}

}  // namespace sim
