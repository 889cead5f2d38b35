// Listing, waiting, boot and shutdown for tools and tests.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/strings.h"
#include "platform/system.h"
#include "scm/scm_admin.h"
#include "scm_internal.h"

namespace scm {
namespace {

using namespace detail;

void SleepMs(DWORD dwMs) {
    timespec ts{static_cast<time_t>(dwMs / 1000), static_cast<long>(dwMs % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

using EntryMap = std::map<std::u16string, ServiceEntry>;  // by upper-cased name

EntryMap ByName(const std::vector<ServiceEntry>& services) {
    EntryMap map;
    for (const auto& entry : services) {
        map.emplace(platform::ToUpper(entry.sName), entry);
    }
    return map;
}

// Depth first, dependencies before dependents. Dependencies outside the map are not services of
// this root and are left out; members of a cycle land in *pCyclic.
void Visit(const std::u16string& sKey, const EntryMap& map, std::set<std::u16string>* pVisiting,
           std::set<std::u16string>* pDone, std::set<std::u16string>* pCyclic,
           std::vector<std::u16string>* pOrder) {
    if (pDone->contains(sKey)) {
        return;
    }
    if (pVisiting->contains(sKey)) {
        pCyclic->insert(pVisiting->begin(), pVisiting->end());
        return;
    }
    pVisiting->insert(sKey);
    for (const auto& sDependency : map.at(sKey).dependencies) {
        const std::u16string sDependencyKey = platform::ToUpper(sDependency);
        if (map.contains(sDependencyKey)) {
            Visit(sDependencyKey, map, pVisiting, pDone, pCyclic, pOrder);
        }
    }
    pVisiting->erase(sKey);
    pDone->insert(sKey);
    pOrder->push_back(sKey);
}

// Waits while the service is START_PENDING; returns the state it settled in (START_PENDING on timeout).
DWORD WaitWhileStarting(const std::u16string& sName, DWORD dwTimeoutMs, SERVICE_STATUS* pStatus) {
    for (DWORD dwWaited = 0;; dwWaited += 10) {
        ServiceEntry entry;
        if (!QueryService(sName, &entry)) {
            return SERVICE_STOPPED;
        }
        *pStatus = entry.status;
        if (entry.status.dwCurrentState != SERVICE_START_PENDING || dwWaited >= dwTimeoutMs) {
            return entry.status.dwCurrentState;
        }
        SleepMs(10);
    }
}

Step BootOne(const ServiceEntry& entry, DWORD dwTimeoutMs) {
    Step step{entry.sName, Outcome::Started, ERROR_SUCCESS};
    if (entry.status.dwCurrentState == SERVICE_STOPPED) {
        if (!StartServiceByName(entry.sName)) {
            step.dwError = platform::GetLastError();
            step.outcome =
                step.dwError == ERROR_SERVICE_ALREADY_RUNNING ? Outcome::AlreadyRunning : Outcome::Failed;
            return step;
        }
    } else {
        step.outcome = Outcome::AlreadyRunning;
    }
    if (IsDriverType(entry.dwType)) {
        return step;
    }
    SERVICE_STATUS status{};
    const DWORD dwState = WaitWhileStarting(entry.sName, dwTimeoutMs, &status);
    if (dwState == SERVICE_START_PENDING) {
        step = {entry.sName, Outcome::Failed, ERROR_SERVICE_REQUEST_TIMEOUT};
    } else if (dwState == SERVICE_STOPPED || dwState == SERVICE_STOP_PENDING) {
        step = {
            entry.sName, Outcome::Failed,
            status.dwWin32ExitCode != ERROR_SUCCESS ? status.dwWin32ExitCode : ERROR_SERVICE_NEVER_STARTED};
    }
    return step;
}

// Ends the service's process as a machine shutdown does.
Outcome EndServiceProcess(const std::u16string& sName) {
    PidRecord process;
    int nSignal = 0;
    if (ReadPidFile(sName, &process)) {
        nSignal = EndProcess(process);
    }
    RunLock lock;
    ServiceConfig config;
    if (ReadConfig(sName, &config)) {
        Observe(config);
    }
    return nSignal == SIGKILL ? Outcome::Killed : nSignal == SIGTERM ? Outcome::Terminated : Outcome::Stopped;
}

Step ShutdownOne(const ServiceEntry& entry, DWORD dwTimeoutMs) {
    Step step{entry.sName, Outcome::Stopped, ERROR_SUCCESS};
    ServiceEntry current;
    if (!QueryService(entry.sName, &current) || current.status.dwCurrentState == SERVICE_STOPPED) {
        return step;
    }
    if (IsDriverType(current.dwType)) {
        EndServiceProcess(current.sName);
        return step;
    }
    const DWORD dwState = current.status.dwCurrentState;
    const DWORD dwAccepted = current.status.dwControlsAccepted;
    bool bAsked = dwState == SERVICE_STOP_PENDING;
    if (!bAsked && !IsPendingState(dwState)) {
        const DWORD dwControl = (dwAccepted & SERVICE_ACCEPT_STOP) != 0       ? SERVICE_CONTROL_STOP
                                : (dwAccepted & SERVICE_ACCEPT_SHUTDOWN) != 0 ? SERVICE_CONTROL_SHUTDOWN
                                                                              : 0;
        bAsked = dwControl != 0 && SendControl(current.sName, dwControl, dwTimeoutMs) == ERROR_SUCCESS;
    }
    if (bAsked && WaitForState(current.sName, SERVICE_STOPPED, dwTimeoutMs)) {
        return step;
    }
    // Outcome::Stopped here means it was gone before the signal: it stopped, late.
    step.outcome = EndServiceProcess(current.sName);
    return step;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Started:
            return "started";
        case Outcome::AlreadyRunning:
            return "already running";
        case Outcome::Failed:
            return "failed";
        case Outcome::DependencyFailed:
            return "dependency failed";
        case Outcome::Stopped:
            return "stopped";
        case Outcome::Terminated:
            return "ended by SIGTERM";
        case Outcome::Killed:
            return "ended by SIGKILL";
    }
    return "?";
}

bool QueryService(std::u16string_view sName, ServiceEntry* pEntry) {
    RunLock lock;
    ServiceConfig config;
    if (!ReadConfig(sName, &config)) {
        return false;
    }
    const Observed observed = Observe(config);
    if (observed.bRemoved) {
        platform::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return false;
    }
    ServiceEntry entry;
    entry.sName = config.sName;
    entry.sDisplayName = config.sDisplayName;
    entry.sImagePath = config.sImagePath;
    entry.sDescription = config.sDescription;
    entry.dwType = config.dwType;
    entry.dwStartType = config.dwStartType;
    entry.dependencies = config.dependencies;
    entry.bMarkedForDelete = config.bDeleteFlag;
    entry.status = observed.record.status;
    entry.dwProcessId = observed.record.dwProcessId;
    *pEntry = std::move(entry);
    return true;
}

bool ListServices(std::vector<ServiceEntry>* pServices) {
    pServices->clear();
    std::vector<std::u16string> names;
    if (!ListServiceNames(&names)) {
        return false;
    }
    for (const auto& sName : names) {
        ServiceEntry entry;
        if (QueryService(sName, &entry)) {
            pServices->push_back(std::move(entry));
        }
    }
    platform::SetLastError(ERROR_SUCCESS);
    return true;
}

bool WaitForState(std::u16string_view sName, DWORD dwState, DWORD dwTimeoutMs, SERVICE_STATUS* pLast) {
    for (DWORD dwWaited = 0;; dwWaited += 10) {
        ServiceEntry entry;
        if (!QueryService(sName, &entry)) {
            return false;
        }
        if (pLast != nullptr) {
            *pLast = entry.status;
        }
        if (entry.status.dwCurrentState == dwState) {
            return true;
        }
        if (dwWaited >= dwTimeoutMs) {
            platform::SetLastError(ERROR_TIMEOUT);
            return false;
        }
        SleepMs(10);
    }
}

bool Boot(std::vector<Step>* pSteps, DWORD dwTimeoutMs) {
    pSteps->clear();
    std::vector<ServiceEntry> services;
    if (!ListServices(&services)) {
        return false;
    }
    const EntryMap map = ByName(services);
    std::set<std::u16string> visiting, done, cyclic;
    std::vector<std::u16string> order;
    for (const auto& [sKey, entry] : map) {
        if (entry.dwStartType <= SERVICE_AUTO_START && !entry.bMarkedForDelete) {
            Visit(sKey, map, &visiting, &done, &cyclic, &order);
        }
    }
    std::set<std::u16string> failed;
    bool bAllStarted = true;
    for (const auto& sKey : order) {
        const ServiceEntry& entry = map.at(sKey);
        Step step{entry.sName, Outcome::Failed, ERROR_SUCCESS};
        const bool bDependencyFailed =
            std::any_of(entry.dependencies.begin(), entry.dependencies.end(),
                        [&failed](const std::u16string& s) { return failed.contains(platform::ToUpper(s)); });
        if (cyclic.contains(sKey)) {
            step.dwError = ERROR_CIRCULAR_DEPENDENCY;
        } else if (bDependencyFailed) {
            step = {entry.sName, Outcome::DependencyFailed, ERROR_SERVICE_DEPENDENCY_FAIL};
        } else {
            step = BootOne(entry, dwTimeoutMs);
        }
        if (step.outcome == Outcome::Failed || step.outcome == Outcome::DependencyFailed) {
            failed.insert(sKey);
            bAllStarted = false;
        }
        pSteps->push_back(std::move(step));
    }
    return bAllStarted;
}

bool Shutdown(std::vector<Step>* pSteps, DWORD dwTimeoutMs) {
    pSteps->clear();
    std::vector<ServiceEntry> services;
    if (!ListServices(&services)) {
        return false;
    }
    std::erase_if(services, [](const ServiceEntry& e) { return e.status.dwCurrentState == SERVICE_STOPPED; });
    const EntryMap map = ByName(services);
    std::set<std::u16string> visiting, done, cyclic;
    std::vector<std::u16string> order;
    for (const auto& [sKey, entry] : map) {
        Visit(sKey, map, &visiting, &done, &cyclic, &order);
    }
    std::reverse(order.begin(), order.end());
    bool bAllStopped = true;
    for (const auto& sKey : order) {
        Step step = ShutdownOne(map.at(sKey), dwTimeoutMs);
        ServiceEntry after;
        if (QueryService(step.sName, &after) && after.status.dwCurrentState != SERVICE_STOPPED) {
            step.outcome = Outcome::Failed;
            step.dwError = ERROR_SERVICE_REQUEST_TIMEOUT;
            bAllStopped = false;
        }
        pSteps->push_back(std::move(step));
    }
    return bAllStopped;
}

}  // namespace scm
