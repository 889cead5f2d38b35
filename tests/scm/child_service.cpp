// A service program for the service control manager tests.
//   krell_child_service MASK EXIT [START_DELAY_MS] [hang-stop] [ignore-term]
//       runs the control dispatcher; ServiceMain reports START_PENDING, waits START_DELAY_MS, reports
//       RUNNING with MASK as controls accepted, and on STOP reports STOP_PENDING with rising
//       checkpoints and then STOPPED (exit code EXIT as service-specific code, 0 for none).
//       hang-stop: a stop control is answered but ignored. ignore-term: SIGTERM is ignored.
//       refuse: after the delay it reports STOPPED with EXIT instead of RUNNING.
//       stall: it stays START_PENDING, never raising its checkpoint, until its process is ended.
//   krell_child_service driver [ignore-term]   a driver stand-in: sleeps until it is ended
//   krell_child_service exit-now               exits at once without connecting
// Received controls, the ServiceMain arguments and the root are written to standard output (on
// Windows, from ServiceMain on, to SERVICE_NAME.log beside the program).
// Exit code 63 when the dispatcher fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>

#include "platform/paths.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

using namespace platform;

DWORD g_dwMask = 0;
DWORD g_dwExitCode = 0;
DWORD g_dwStartDelay = 0;
bool g_bHangStop = false;
bool g_bRefuse = false;
bool g_bStall = false;
HANDLE g_hStopEvent = nullptr;
SERVICE_STATUS_HANDLE g_hStatus = nullptr;
std::atomic<DWORD> g_dwState{SERVICE_START_PENDING};
FILE* g_pOut = stdout;

void Report(DWORD dwState, DWORD dwCheckPoint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = dwState;
    const bool bPending = dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING;
    status.dwControlsAccepted = bPending || dwState == SERVICE_STOPPED ? 0 : g_dwMask;
    status.dwCheckPoint = dwCheckPoint;
    status.dwWaitHint = bPending ? 3000 : 0;
    if (dwState == SERVICE_STOPPED && g_dwExitCode != 0) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = g_dwExitCode;
    }
    g_dwState = dwState;
    if (!SetServiceStatus(g_hStatus, &status)) {
        fprintf(g_pOut, "SetServiceStatus failed %u\n", GetLastError());
    }
}

DWORD HandlerEx(DWORD dwControl, DWORD dwEventType, void* pEventData, void* pContext) {
    fprintf(g_pOut, "control %u\n", dwControl);
    fflush(g_pOut);
    switch (dwControl) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            if (!g_bHangStop) {
                SetEvent(g_hStopEvent);
            }
            return ERROR_SUCCESS;
        case SERVICE_CONTROL_INTERROGATE:
            Report(g_dwState, 0);
            return ERROR_SUCCESS;
        default:
            return dwControl >= 128 && dwControl <= 255 ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
    }
}

void ServiceMain(DWORD dwArgc, char16_t** pArgv) {
#ifdef _WIN32
    // A service's standard output goes nowhere on Windows: the log is a file beside the program.
    std::u16string sLog;
    if (GetModuleFileName(&sLog)) {
        sLog = sLog.substr(0, sLog.rfind(u'\\') + 1) + pArgv[0] + u".log";
        FILE* pLog = fopen(ToUtf8(sLog).c_str(), "a");
        g_pOut = pLog != nullptr ? pLog : stdout;
    }
#endif
    std::string sArgs;
    for (DWORD i = 0; i < dwArgc; ++i) {
        sArgs += " " + ToUtf8(pArgv[i]);
    }
    fprintf(g_pOut, "args:%s\n", sArgs.c_str());
    fflush(g_pOut);
    g_hStatus = RegisterServiceCtrlHandlerEx(pArgv[0], HandlerEx, nullptr);
    if (g_hStatus == nullptr) {
        fprintf(g_pOut, "RegisterServiceCtrlHandlerEx failed %u\n", GetLastError());
        return;
    }
    Report(SERVICE_START_PENDING, 1);
    Sleep(g_dwStartDelay);
    if (g_bRefuse) {
        Report(SERVICE_STOPPED, 0);
        return;
    }
    if (g_bStall) {
        WaitForSingleObject(g_hStopEvent, INFINITE);
        Report(SERVICE_STOPPED, 0);
        return;
    }
    Report(SERVICE_RUNNING, 0);
    WaitForSingleObject(g_hStopEvent, INFINITE);
    for (DWORD dwCheckPoint = 1; dwCheckPoint <= 3; ++dwCheckPoint) {
        Report(SERVICE_STOP_PENDING, dwCheckPoint);
        Sleep(60);
    }
    Report(SERVICE_STOPPED, 0);
}

}  // namespace

int main(int argc, char** argv) {
    const char* szRoot = getenv("KRELL_ROOT");
    fprintf(g_pOut, "root: %s\n", szRoot != nullptr ? szRoot : "(none)");
    fflush(g_pOut);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "ignore-term") == 0) {
            signal(SIGTERM, SIG_IGN);
        }
        g_bHangStop = g_bHangStop || strcmp(argv[i], "hang-stop") == 0;
        g_bRefuse = g_bRefuse || strcmp(argv[i], "refuse") == 0;
        g_bStall = g_bStall || strcmp(argv[i], "stall") == 0;
    }
    if (argc >= 2 && strcmp(argv[1], "exit-now") == 0) {
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "driver") == 0) {
        for (;;) {
            Sleep(1000);
        }
    }
    if (argc < 3) {
        fprintf(stderr, "usage: krell_child_service MASK EXIT [START_DELAY_MS] [hang-stop] [ignore-term]\n");
        return 2;
    }
    g_dwMask = static_cast<DWORD>(strtoul(argv[1], nullptr, 0));
    g_dwExitCode = static_cast<DWORD>(strtoul(argv[2], nullptr, 0));
    g_dwStartDelay = argc >= 4 ? static_cast<DWORD>(strtoul(argv[3], nullptr, 0)) : 0;
    g_hStopEvent = CreateEvent(true, false, nullptr);
    static const SERVICE_TABLE_ENTRY TABLE[] = {{u"ChildService", ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcher(TABLE)) {
        const DWORD dwError = GetLastError();
        fprintf(stderr, "StartServiceCtrlDispatcher failed %u\n", dwError);
        return dwError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? 63 : 1;
    }
    fprintf(g_pOut, "dispatcher returned\n");
    fflush(g_pOut);
    return 0;
}
