// The administration side of the service control manager stand-in, for tools and tests: listing
// services, waiting for a state, and starting up or shutting down all services of a root as a
// machine boot and shutdown would.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/service_control.h"
#include "platform/types.h"

namespace scm {

struct ServiceEntry {
    std::u16string sName;
    std::u16string sDisplayName;
    std::u16string sImagePath;
    std::u16string sDescription;
    DWORD dwType = 0;
    DWORD dwStartType = 0;
    std::vector<std::u16string> dependencies;
    bool bMarkedForDelete = false;
    SERVICE_STATUS status{};
    DWORD dwProcessId = 0;  // 0 unless a process of the service runs
};

// Every service of the root, ordered by name. False (last error set) when the store fails.
bool ListServices(std::vector<ServiceEntry>* pServices);
// False with ERROR_SERVICE_DOES_NOT_EXIST for an unknown name.
bool QueryService(std::u16string_view sName, ServiceEntry* pEntry);

// Waits until the service reads dwState. False with ERROR_TIMEOUT when it did not within the time,
// or with ERROR_SERVICE_DOES_NOT_EXIST when the service is gone; *pLast holds the last status read.
bool WaitForState(std::u16string_view sName, DWORD dwState, DWORD dwTimeoutMs,
                  SERVICE_STATUS* pLast = nullptr);

enum class Outcome {
    Started,           // boot: started (and, for an own-process service, reported running)
    AlreadyRunning,    // boot: was running
    Failed,            // dwError says why
    DependencyFailed,  // boot: a service it depends on did not start
    Stopped,           // shutdown: stopped on request (a driver: its process ended on SIGTERM)
    Terminated,        // shutdown: ended by SIGTERM, as a machine shutdown ends it
    Killed,            // shutdown: ended by SIGKILL after it outlived the bound
};

struct Step {
    std::u16string sName;
    Outcome outcome = Outcome::Failed;
    DWORD dwError = ERROR_SUCCESS;
};

const char* OutcomeName(Outcome outcome);

// Starts every automatically started service (start type boot, system or automatic) that is not
// running, dependencies first; a dependency installed in the root is started with its dependent
// even when its own start type is on demand, and one that is not installed (such as "RPCSS") counts
// as a system service that always runs. Own-process services are waited for until they leave
// START_PENDING (at most dwTimeoutMs each) before their dependents start. Returns true when every
// service started; *pSteps says what happened to each, in the order of the attempts.
bool Boot(std::vector<Step>* pSteps, DWORD dwTimeoutMs = 30000);

// Stops every running service, dependents before the services they depend on. A service that
// accepts STOP gets the stop control (else SHUTDOWN, when it accepts that) and dwTimeoutMs to reach
// SERVICE_STOPPED. A service that accepts neither, or does not stop in time, is ended the way a
// machine shutdown ends it here: SIGTERM to its process, SIGKILL when it outlives a short bound.
// Drivers are stopped by ending their process. Returns true when every service is stopped at the end,
// however it ended; *pSteps says how.
bool Shutdown(std::vector<Step>* pSteps, DWORD dwTimeoutMs = 20000);

}  // namespace scm
