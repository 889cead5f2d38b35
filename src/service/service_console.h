// The console of the foreground debug run. The platform's console control events are signals here:
// Ctrl+C (SIGINT), Ctrl+Break (SIGQUIT), a closed terminal (SIGHUP) and termination (SIGTERM) all ask
// the application to stop. A thread of the console waits for them; every other thread of the process
// keeps them blocked, so none is interrupted.
#pragma once

#include <signal.h>

#include "service/thread.h"

class CServiceApp;

class CServiceConsole {
public:
    CServiceConsole() = default;
    ~CServiceConsole() { Destroy(); }
    CServiceConsole(const CServiceConsole&) = delete;
    CServiceConsole& operator=(const CServiceConsole&) = delete;

    bool Create(CServiceApp* pServiceApp);
    void Destroy();

private:
    class CControlThread : public CThread {
    public:
        CControlThread(CServiceApp* pServiceApp, const sigset_t& signals)
            : m_pServiceApp(pServiceApp), m_Signals(signals) {}

    protected:
        DWORD Run() override;

    private:
        CServiceApp* m_pServiceApp;
        sigset_t m_Signals;
    };

    CControlThread* m_pThread = nullptr;
    sigset_t m_PreviousMask{};
};
