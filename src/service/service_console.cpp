#include "service/service_console.h"

#include <errno.h>
#include <time.h>

#include "diagnostics/user_debug_output.h"
#include "service/service_app.h"

namespace {
constexpr long SIGNAL_POLL_NS = 100L * 1000 * 1000;
constexpr DWORD CONSOLE_STOP_TIMEOUT_MS = 5000;
}  // namespace

bool CServiceConsole::Create(CServiceApp* pServiceApp) {
    if (pServiceApp == nullptr) {
        TraceOut1(u"CServiceConsole::Create() : pServiceApp == NULL\n");
        return false;
    }
    sigset_t signals;
    sigemptyset(&signals);
    for (int nSignal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        sigaddset(&signals, nSignal);
    }
    // Blocked before the console thread starts, so every thread created from here on inherits it.
    pthread_sigmask(SIG_BLOCK, &signals, &m_PreviousMask);
    m_pThread = new CControlThread(pServiceApp, signals);
    if (!m_pThread->Create()) {
        delete m_pThread;
        m_pThread = nullptr;
        pthread_sigmask(SIG_SETMASK, &m_PreviousMask, nullptr);
        return false;
    }
    return true;
}

void CServiceConsole::Destroy() {
    if (m_pThread != nullptr) {
        m_pThread->Terminate(CONSOLE_STOP_TIMEOUT_MS);
        delete m_pThread;
        m_pThread = nullptr;
        pthread_sigmask(SIG_SETMASK, &m_PreviousMask, nullptr);
    }
}

DWORD CServiceConsole::CControlThread::Run() {
    while (!IsTerminateRequested()) {
        const timespec timeout{0, SIGNAL_POLL_NS};
        const int nSignal = sigtimedwait(&m_Signals, nullptr, &timeout);
        if (nSignal > 0) {
            TraceOut2(u"CServiceConsole::CControlThread::Run() : console control event, signal %d\n",
                      nSignal);
            m_pServiceApp->PostTerminate();
        }
    }
    return 0;
}
