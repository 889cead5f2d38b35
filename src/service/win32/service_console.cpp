// The platform's console control handler. It runs on a thread the system starts for each event, so it
// only sets the terminate event.
#include "service/service_console.h"

#include <atomic>
#include <cstdio>

#include "diagnostics/user_debug_output.h"
#include "platform/win32/win32_api.h"
#include "service/service_app.h"

namespace {

// The handler has no context of its own; one console per process.
std::atomic<CServiceApp*> g_pConsoleApp{nullptr};

BOOL __stdcall ConsoleControlHandler(DWORD dwEvent) {
    switch (dwEvent) {
        case win32::CTRL_C_EVENT:
        case win32::CTRL_BREAK_EVENT:
        case win32::CTRL_CLOSE_EVENT:
        case win32::CTRL_LOGOFF_EVENT:
        case win32::CTRL_SHUTDOWN_EVENT:
            if (CServiceApp* pApp = g_pConsoleApp.load(); pApp != nullptr) {
                TraceOut2(u"CServiceConsole::ConsoleControlHandler() : console control event %u\n", dwEvent);
                pApp->PostTerminate();
                return 1;
            }
            return 0;
        default:
            return 0;
    }
}

}  // namespace

struct CServiceConsole::CPlatformPart {
    // Started from a console (a command prompt, or Wine from a terminal), the process keeps that one.
    bool bAllocated = false;
};

CServiceConsole::CServiceConsole() = default;

CServiceConsole::~CServiceConsole() {
    Destroy();
}

bool CServiceConsole::Create(CServiceApp* pServiceApp) {
    if (pServiceApp == nullptr) {
        TraceOut1(u"CServiceConsole::Create() : pServiceApp == NULL\n");
        return false;
    }
    auto pPart = std::make_unique<CPlatformPart>();
    pPart->bAllocated = win32::AllocConsole() != 0;
    if (pPart->bAllocated) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
    g_pConsoleApp.store(pServiceApp);
    if (win32::SetConsoleCtrlHandler(&ConsoleControlHandler, 1) == 0) {
        g_pConsoleApp.store(nullptr);
        if (pPart->bAllocated) {
            win32::FreeConsole();
        }
        return false;
    }
    m_pPart = std::move(pPart);
    return true;
}

void CServiceConsole::Destroy() {
    if (m_pPart != nullptr) {
        win32::SetConsoleCtrlHandler(&ConsoleControlHandler, 0);
        g_pConsoleApp.store(nullptr);
        if (m_pPart->bAllocated) {
            win32::FreeConsole();
        }
        m_pPart.reset();
    }
}
