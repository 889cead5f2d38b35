// The protection service as krellctl boot and shutdown see it. The service reports RUNNING before
// its start-up has done anything, so the protection counts as up only when the driver says so:
// activated, and offered a configuration since the start began (the service sends one only once
// its compiler runs; whether the driver accepts it is the configuration's answer, not the start's).
#pragma once

#include "platform/types.h"
#include "scm/scm_admin.h"

constexpr const char16_t* PROTECTION_SERVICE = u"KRELLSvc";

class CProtectionStart {
public:
    // Before the service starts: remembers how many configurations the driver has been offered.
    static CProtectionStart Begun();
    // A start of which any configuration the driver has been offered is the first.
    static CProtectionStart Any() { return CProtectionStart(0); }

    // Waits at most dwBoundMs until the protection is up or the service stopped. False, with *pStep
    // turned into a failure with the service's exit code (or ERROR_SERVICE_REQUEST_TIMEOUT), when it
    // did not come up.
    bool Await(DWORD dwBoundMs, scm::Step* pStep) const;

private:
    explicit CProtectionStart(unsigned long ulOffered) : m_ulOfferedBefore(ulOffered) {}
    bool IsUp() const;

    unsigned long m_ulOfferedBefore;
};

// Before a shutdown: lets a start of the protection that is under way come up, and a stop that was
// asked for (krellsvc -Terminate) run to its end, each at most dwBoundMs, so that ending the process
// does not cut a driver load or the writing of the final state in half.
void SettleProtectionService(DWORD dwBoundMs);
