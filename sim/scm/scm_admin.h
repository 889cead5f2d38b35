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
    std::u16string sGroup;  // the load-order group, empty for none
    std::vector<std::u16string> dependencies;
    std::vector<std::u16string> groupDependencies;  // groups of which one member must run first
    bool bMarkedForDelete = false;
    SERVICE_STATUS status{};
    DWORD dwProcessId = 0;  // 0 unless a process of the service runs
};

// Every service of the root, ordered by name. False (last error set) when the store fails.
bool ListServices(std::vector<ServiceEntry>* pServices);
// False with ERROR_SERVICE_DOES_NOT_EXIST for an unknown name.
bool QueryService(std::u16string_view sName, ServiceEntry* pEntry);

// Every status the service's last own process reported with SetServiceStatus, in order. False with
// ERROR_SERVICE_DOES_NOT_EXIST for an unknown name; empty for a service that never reported.
bool ReadStatusHistory(std::u16string_view sName, std::vector<SERVICE_STATUS>* pHistory);

// Waits until the service reads dwState. False with ERROR_TIMEOUT when it did not within the time,
// or with ERROR_SERVICE_DOES_NOT_EXIST when the service is gone; *pLast holds the last status read.
bool WaitForState(std::u16string_view sName, DWORD dwState, DWORD dwTimeoutMs,
                  SERVICE_STATUS* pLast = nullptr);

// Waits while a service starts, as the platform's callers do: it may stay pending as long as its
// wait hint (at least MIN_WAIT_HINT_MS) since its checkpoint last rose, and dwBoundMs in all. Returns
// ERROR_SUCCESS once it runs; when it stopped instead, its exit code (ERROR_SERVICE_SPECIFIC_ERROR
// with the code in *pLast, or ERROR_SERVICE_NEVER_STARTED when it gave none); else
// ERROR_SERVICE_REQUEST_TIMEOUT. *pLast holds the last status read.
constexpr DWORD MIN_WAIT_HINT_MS = 10000;
DWORD WaitForStart(std::u16string_view sName, DWORD dwBoundMs, SERVICE_STATUS* pLast);

// The platform's load-order groups: SYSTEM\CurrentControlSet\Control\ServiceGroupOrder "List".
constexpr const char16_t* GROUP_ORDER_KEY = u"SYSTEM\\CurrentControlSet\\Control\\ServiceGroupOrder";
std::vector<std::u16string> ReadGroupOrder();

struct StartOrder {
    std::vector<std::u16string> names;   // as stored, each after what it depends on
    std::vector<std::u16string> cyclic;  // the members of dependency cycles (also in names)
};

// The order in which a machine starts the services that pfnWanted picks out of installed: drivers
// before services (boot start, then system start), then by load-order group as groupOrder lists
// them (groups not listed and services without a group last), then by name; a service's
// dependencies (DependOnService, and the members of its DependOnGroup groups that are wanted too)
// come before it even from a later group, and an installed dependency is taken along even when not
// wanted itself. Shutdown uses the reverse.
StartOrder ComputeStartOrder(const std::vector<ServiceEntry>& installed,
                             const std::vector<std::u16string>& groupOrder,
                             bool (*pfnWanted)(const ServiceEntry&));

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
    DWORD dwServiceSpecificExitCode = 0;  // with dwError ERROR_SERVICE_SPECIFIC_ERROR
};

const char* OutcomeName(Outcome outcome);

// Starts every automatically started service (start type boot, system or automatic) that is not
// running, in ComputeStartOrder's order; a dependency installed in the root is started with its
// dependent even when its own start type is on demand, and one that is not installed (such as
// "RPCSS") counts as a system service that always runs. Each own-process service is waited for
// (WaitForStart, at most dwTimeoutMs) before the next starts. Returns true when every service runs;
// *pSteps says what happened to each, in the order of the attempts. One boot or shutdown of a root
// runs at a time; another waits for it.
bool Boot(std::vector<Step>* pSteps, DWORD dwTimeoutMs = 60000);

// Stops every running service in the reverse of the start order, so dependents and later groups go
// before what they need. A service still starting is first waited for (WaitForStart). A service that
// accepts STOP gets the stop control (else SHUTDOWN, when it accepts that) and dwTimeoutMs to reach
// SERVICE_STOPPED. A service that accepts neither, or does not stop in time, is ended the way a
// machine shutdown ends it here: SIGTERM to its process, SIGKILL when it outlives a short bound.
// Drivers are stopped by ending their process. Returns true when every service is stopped at the end,
// however it ended; *pSteps says how.
bool Shutdown(std::vector<Step>* pSteps, DWORD dwTimeoutMs = 20000);

}  // namespace scm
