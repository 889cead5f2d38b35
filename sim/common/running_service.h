// The common shape of the stand-ins' own-process services: while the service runs it holds a named
// mutex by which its clients know it is there, and it stops on the STOP control.
#pragma once

#include <functional>

#include "platform/types.h"

namespace sim {

// A start that stays START_PENDING for dwPendingMs, reporting dwWaitHint, before the service takes
// its mutex and runs: a test option, for clients that wait for it. The checkpoint rises every
// dwProgressMs, or never when that is 0.
struct CSlowStart {
    DWORD dwPendingMs = 0;
    DWORD dwWaitHint = 5000;
    DWORD dwProgressMs = 0;
};

// Runs the service until it is stopped; pfnWork runs on the service thread with the stop event and
// returns when that event is set. Returns the process exit code.
int RunRunningMutexService(const char16_t* szServiceName, const char16_t* szRunningMutex,
                           const std::function<void(HANDLE hStopEvent)>& fnWork, CSlowStart slowStart = {});

}  // namespace sim
