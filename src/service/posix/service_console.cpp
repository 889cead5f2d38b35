// The console control events are signals here: Ctrl+C (SIGINT), Ctrl+Break (SIGQUIT), a closed
// terminal (SIGHUP) and termination (SIGTERM). A thread of the console waits for them; every other
// thread of the process keeps them blocked, so none is interrupted.
#include "service/service_console.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include "diagnostics/user_debug_output.h"
#include "service/service_app.h"
#include "service/thread.h"

namespace {
constexpr long SIGNAL_POLL_NS = 100L * 1000 * 1000;
constexpr DWORD CONSOLE_STOP_TIMEOUT_MS = 5000;

class CControlThread : public CThread {
public:
    CControlThread(CServiceApp* pServiceApp, const sigset_t& signals)
        : m_pServiceApp(pServiceApp), m_Signals(signals) {}

protected:
    DWORD Run() override {
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

private:
    CServiceApp* m_pServiceApp;
    sigset_t m_Signals;
};

}  // namespace

struct CServiceConsole::CPlatformPart {
    CControlThread* pThread = nullptr;
    sigset_t previousMask{};
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
    sigset_t signals;
    sigemptyset(&signals);
    for (int nSignal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        sigaddset(&signals, nSignal);
    }
    auto pPart = std::make_unique<CPlatformPart>();
    // Blocked before the console thread starts, so every thread created from here on inherits it.
    pthread_sigmask(SIG_BLOCK, &signals, &pPart->previousMask);
    pPart->pThread = new CControlThread(pServiceApp, signals);
    if (!pPart->pThread->Create()) {
        delete pPart->pThread;
        pthread_sigmask(SIG_SETMASK, &pPart->previousMask, nullptr);
        return false;
    }
    m_pPart = std::move(pPart);
    return true;
}

void CServiceConsole::Destroy() {
    if (m_pPart != nullptr) {
        m_pPart->pThread->Terminate(CONSOLE_STOP_TIMEOUT_MS);
        delete m_pPart->pThread;
        pthread_sigmask(SIG_SETMASK, &m_pPart->previousMask, nullptr);
        m_pPart.reset();
    }
}
