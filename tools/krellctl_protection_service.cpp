#include "krellctl_protection_service.h"

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "krellctl_commands.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "service/terminate_event.h"

namespace {

struct CDriverState {
    bool bActivated = false;
    unsigned long ulOffered = 0;  // configurations the service has sent, whatever the driver made of them
};

CDriverState ReadDriverState() {
    CDriverState state;
    std::string sReply;
    if (AskDriver("status", &sReply) != DriverAnswer::Answered) {
        return state;
    }
    state.bActivated = sReply.find(" driver=activated") != std::string::npos;
    const std::size_t nOffered = sReply.find(" offered=");
    if (nOffered != std::string::npos) {
        state.ulOffered = std::strtoul(sReply.c_str() + nOffered + 9, nullptr, 10);
    }
    return state;
}

DWORD ServiceState(SERVICE_STATUS* pStatus) {
    scm::ServiceEntry entry;
    if (!scm::QueryService(PROTECTION_SERVICE, &entry)) {
        return SERVICE_STOPPED;
    }
    *pStatus = entry.status;
    return entry.status.dwCurrentState;
}

// The service's terminate event is set: its stop is under way.
bool IsStopRequested() {
    const std::u16string sName = u"Global\\" + TerminateEventName(PROTECTION_SERVICE);
    HANDLE hEvent = platform::OpenEvent(platform::SYNCHRONIZE, false, sName.c_str());
    if (hEvent == nullptr) {
        return false;
    }
    const bool bSet = platform::WaitForSingleObject(hEvent, 0) == WAIT_OBJECT_0;
    platform::CloseHandle(hEvent);
    return bSet;
}

}  // namespace

CProtectionStart CProtectionStart::Begun() {
    return CProtectionStart(ReadDriverState().ulOffered);
}

bool CProtectionStart::IsUp() const {
    const CDriverState state = ReadDriverState();
    return state.bActivated && state.ulOffered > m_ulOfferedBefore;
}

bool CProtectionStart::Await(DWORD dwBoundMs, scm::Step* pStep) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwBoundMs);
    for (;;) {
        SERVICE_STATUS status{};
        if (ServiceState(&status) == SERVICE_STOPPED) {
            pStep->outcome = scm::Outcome::Failed;
            pStep->dwError = status.dwWin32ExitCode != ERROR_SUCCESS ? status.dwWin32ExitCode
                                                                     : ERROR_SERVICE_NEVER_STARTED;
            pStep->dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
            return false;
        }
        if (IsUp()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            pStep->outcome = scm::Outcome::Failed;
            pStep->dwError = ERROR_SERVICE_REQUEST_TIMEOUT;
            return false;
        }
        const timespec pause{0, 50L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

void SettleProtectionService(DWORD dwBoundMs) {
    SERVICE_STATUS status{};
    if (ServiceState(&status) == SERVICE_STOPPED) {
        return;
    }
    const std::string sName = platform::ToUtf8(PROTECTION_SERVICE);
    if (IsStopRequested() || status.dwCurrentState == SERVICE_STOP_PENDING) {
        if (!scm::WaitForState(PROTECTION_SERVICE, SERVICE_STOPPED, dwBoundMs)) {
            std::fprintf(stderr, "krellctl: %s still stopping after %u s; ending it\n", sName.c_str(),
                         dwBoundMs / 1000);
        }
        return;
    }
    // No configuration offered yet: its start-up is still under way.
    scm::Step step{PROTECTION_SERVICE};
    if (!CProtectionStart::Any().Await(dwBoundMs, &step) && step.dwError == ERROR_SERVICE_REQUEST_TIMEOUT) {
        std::fprintf(stderr, "krellctl: %s still starting after %u s; ending it\n", sName.c_str(),
                     dwBoundMs / 1000);
    }
}
