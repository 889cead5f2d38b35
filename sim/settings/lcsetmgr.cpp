// lcSetMgr: the settings store's service. While it runs it holds "Global\lcSetMgr_Running", the sign
// by which clients know the store is available; it sets up the store's database on start and ends
// on STOP or SHUTDOWN. Beside the store it produces the configuration changes (refresh_publisher.h).
#include <cstdio>

#include "platform/service_control.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "refresh_publisher.h"
#include "service/sync_objects.h"
#include "settings_db.h"

namespace {

constexpr const char16_t* SERVICE_NAME = u"lcSetMgr";

SERVICE_STATUS_HANDLE g_hStatus = nullptr;
HANDLE g_hStopEvent = nullptr;

void Report(DWORD dwState, DWORD dwWin32ExitCode = ERROR_SUCCESS) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = dwState;
    status.dwControlsAccepted =
        dwState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = dwWin32ExitCode;
    status.dwWaitHint = dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING ? 3000 : 0;
    status.dwCheckPoint = dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING ? 1 : 0;
    platform::SetServiceStatus(g_hStatus, &status);
}

DWORD Handler(DWORD dwControl, DWORD /*dwEventType*/, void* /*pEventData*/, void* /*pContext*/) {
    switch (dwControl) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING);
            platform::SetEvent(g_hStopEvent);
            return ERROR_SUCCESS;
        case SERVICE_CONTROL_INTERROGATE:
            return ERROR_SUCCESS;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

void ServiceMain(DWORD /*dwArgc*/, char16_t** /*pArgv*/) {
    g_hStatus = platform::RegisterServiceCtrlHandlerEx(SERVICE_NAME, Handler, nullptr);
    if (g_hStatus == nullptr) {
        std::fprintf(stderr, "lcsetmgr: RegisterServiceCtrlHandlerEx failed (%u)\n",
                     platform::GetLastError());
        return;
    }
    Report(SERVICE_START_PENDING);
    // The first process to open a new store creates its schema; doing it here spares the clients.
    {
        lcset::CSettingsDatabase database;
        ULONGLONG ullChanges = 0;
        const ZELRESULT zr = database.ReadChangeCount(&ullChanges);
        if (!ZEL_SUCCEEDED(zr)) {
            std::fprintf(stderr, "lcsetmgr: the store %s cannot be used (0x%08X)\n",
                         lcset::DatabasePath().c_str(), static_cast<unsigned>(zr));
            Report(SERVICE_STOPPED, ERROR_CANTOPEN);
            return;
        }
    }
    CMutex running;
    if (!running.Create(nullptr, false, u"lcSetMgr_Running", true)) {
        std::fprintf(stderr, "lcsetmgr: cannot create the running mutex (%u)\n", platform::GetLastError());
        Report(SERVICE_STOPPED, platform::GetLastError());
        return;
    }
    Report(SERVICE_RUNNING);
    std::printf("lcSetMgr running, store %s\n", lcset::DatabasePath().c_str());
    std::fflush(stdout);
    lcset::CRefreshPublisher publisher;
    publisher.Start(g_hStopEvent);
    platform::WaitForSingleObject(g_hStopEvent, INFINITE);
    publisher.Stop();
    running.Close();
    std::printf("lcSetMgr stopped\n");
    std::fflush(stdout);
    Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
    g_hStopEvent = platform::CreateEvent(true, false, nullptr);
    static const SERVICE_TABLE_ENTRY TABLE[] = {{SERVICE_NAME, ServiceMain}, {nullptr, nullptr}};
    if (!platform::StartServiceCtrlDispatcher(TABLE)) {
        std::fprintf(stderr, "lcsetmgr: runs only as a service of the service control manager (%u)\n",
                     platform::GetLastError());
        return 1;
    }
    platform::CloseHandle(g_hStopEvent);
    return 0;
}
