// The console of the foreground debug run. Every console control event (Ctrl+C, Ctrl+Break, a closed
// console, log-off, shut-down) asks the application to stop. How those events arrive is the
// platform's: service/posix/ waits for the signals that stand for them, service/win32/ is the
// platform's console control handler.
#pragma once

#include <memory>

class CServiceApp;

class CServiceConsole {
public:
    CServiceConsole();
    ~CServiceConsole();
    CServiceConsole(const CServiceConsole&) = delete;
    CServiceConsole& operator=(const CServiceConsole&) = delete;

    bool Create(CServiceApp* pServiceApp);
    void Destroy();

private:
    // The platform half's state while the console exists.
    struct CPlatformPart;
    std::unique_ptr<CPlatformPart> m_pPart;
};
