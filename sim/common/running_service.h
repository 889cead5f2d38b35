// The common shape of the stand-ins' own-process services: while the service runs it holds a named
// mutex by which its clients know it is there, and it stops on the STOP control.
#pragma once

#include <functional>

#include "platform/types.h"

namespace sim {

// Runs the service until it is stopped; pfnWork runs on the service thread with the stop event and
// returns when that event is set. Returns the process exit code.
int RunRunningMutexService(const char16_t* szServiceName, const char16_t* szRunningMutex,
                           const std::function<void(HANDLE hStopEvent)>& fnWork);

}  // namespace sim
