// A service application of the framework whose main work ends with the exit code given by
// KRELL_TEST_START_RESULT, once its terminate event is set: the framework's status sequence for a
// failing service, seen from outside.
#include <stdlib.h>

#include "service/service_app.h"

namespace {

class CTestApp : public CServiceApp {
public:
    DWORD Start() override {
        ReportRunning();
        WaitForTerminate(INFINITE);
        const char* szResult = getenv("KRELL_TEST_START_RESULT");
        return szResult != nullptr ? static_cast<DWORD>(strtoul(szResult, nullptr, 0)) : 0;
    }
};

}  // namespace

int main() {
    CTestApp app;
    return app.Run(u"KRELLTestApp", u"KRELL Test Application", u"A service of the framework's tests", 0);
}
