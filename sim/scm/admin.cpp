// Listing, waiting, boot and shutdown for tools and tests.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
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

bool IsBootStarted(const ServiceEntry& entry) {
    return entry.dwStartType <= SERVICE_AUTO_START && !entry.bMarkedForDelete;
}

bool IsAny(const ServiceEntry&) {
    return true;
}

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

// Why a start failed, from the status the service stopped with.
void SetFailure(const SERVICE_STATUS& status, DWORD dwResult, Step* pStep) {
    pStep->outcome = Outcome::Failed;
    pStep->dwError = dwResult;
    pStep->dwServiceSpecificExitCode =
        dwResult == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode : 0;
}

Step BootOne(const ServiceEntry& entry, DWORD dwTimeoutMs) {
    Step step{entry.sName, Outcome::Started, ERROR_SUCCESS};
    if (entry.status.dwCurrentState == SERVICE_STOPPED) {
        if (!StartServiceByName(entry.sName)) {
            step.dwError = platform::GetLastError();
            if (step.dwError != ERROR_SERVICE_ALREADY_RUNNING) {
                step.outcome = Outcome::Failed;
                return step;
            }
            step.dwError = ERROR_SUCCESS;
            step.outcome = Outcome::AlreadyRunning;
        }
    } else {
        step.outcome = Outcome::AlreadyRunning;
    }
    if (IsDriverType(entry.dwType)) {
        return step;
    }
    SERVICE_STATUS status{};
    const DWORD dwResult = WaitForStart(entry.sName, dwTimeoutMs, &status);
    if (dwResult != ERROR_SUCCESS) {
        SetFailure(status, dwResult, &step);
    }
    return step;
}

// Whether something the entry depends on did not come up: a service that failed, or a group of
// which no member runs.
bool DependencyFailed(const ServiceEntry& entry, const EntryMap& map,
                      const std::set<std::u16string>& failed) {
    for (const auto& sDependency : entry.dependencies) {
        if (failed.contains(platform::ToUpper(sDependency))) {
            return true;
        }
    }
    for (const auto& sGroup : entry.groupDependencies) {
        const bool bMemberRuns = std::any_of(map.begin(), map.end(), [&](const auto& item) {
            ServiceEntry member;
            return platform::EqualNoCase(item.second.sGroup, sGroup) &&
                   QueryService(item.second.sName, &member) &&
                   member.status.dwCurrentState == SERVICE_RUNNING;
        });
        if (!bMemberRuns) {
            return true;
        }
    }
    return false;
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
    if (current.status.dwCurrentState == SERVICE_START_PENDING) {
        // Stopping it halfway would leave whatever it was setting up half done.
        SERVICE_STATUS status{};
        WaitForStart(current.sName, dwTimeoutMs, &status);
        if (!QueryService(entry.sName, &current) || current.status.dwCurrentState == SERVICE_STOPPED) {
            return step;
        }
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
    entry.sGroup = config.sGroup;
    entry.dependencies = config.dependencies;
    entry.groupDependencies = config.groupDependencies;
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

DWORD WaitForStart(std::u16string_view sName, DWORD dwBoundMs, SERVICE_STATUS* pLast) {
    const auto start = std::chrono::steady_clock::now();
    auto progress = start;
    SERVICE_STATUS last{};
    for (;;) {
        ServiceEntry entry;
        if (!QueryService(sName, &entry)) {
            return platform::GetLastError();
        }
        const SERVICE_STATUS& s = entry.status;
        *pLast = s;
        if (s.dwCurrentState == SERVICE_STOPPED) {
            return s.dwWin32ExitCode != ERROR_SUCCESS ? s.dwWin32ExitCode : ERROR_SERVICE_NEVER_STARTED;
        }
        // A service that gives up its start reports STOP_PENDING first; its exit code comes with STOPPED.
        if (s.dwCurrentState != SERVICE_START_PENDING && s.dwCurrentState != SERVICE_STOP_PENDING) {
            return ERROR_SUCCESS;
        }
        if (s.dwCurrentState != last.dwCurrentState || s.dwCheckPoint != last.dwCheckPoint) {
            progress = std::chrono::steady_clock::now();
        }
        last = s;
        const auto allowance = std::chrono::milliseconds(std::max(s.dwWaitHint, MIN_WAIT_HINT_MS));
        if (Since(progress) > allowance || Since(start) > std::chrono::milliseconds(dwBoundMs)) {
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        SleepMs(20);
    }
}

bool Boot(std::vector<Step>* pSteps, DWORD dwTimeoutMs) {
    pSteps->clear();
    RunLock bootLock(BOOT_LOCK_FILE);
    std::vector<ServiceEntry> services;
    if (!ListServices(&services)) {
        return false;
    }
    const EntryMap map = ByName(services);
    const StartOrder order = ComputeStartOrder(services, ReadGroupOrder(), IsBootStarted);
    std::set<std::u16string> failed;
    bool bAllStarted = true;
    for (const auto& sName : order.names) {
        const std::u16string sKey = platform::ToUpper(sName);
        const ServiceEntry& entry = map.at(sKey);
        Step step{entry.sName, Outcome::Failed, ERROR_SUCCESS};
        if (std::find(order.cyclic.begin(), order.cyclic.end(), sName) != order.cyclic.end()) {
            step.dwError = ERROR_CIRCULAR_DEPENDENCY;
        } else if (DependencyFailed(entry, map, failed)) {
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
    RunLock bootLock(BOOT_LOCK_FILE);
    std::vector<ServiceEntry> services;
    if (!ListServices(&services)) {
        return false;
    }
    std::erase_if(services, [](const ServiceEntry& e) { return e.status.dwCurrentState == SERVICE_STOPPED; });
    const EntryMap map = ByName(services);
    StartOrder order = ComputeStartOrder(services, ReadGroupOrder(), IsAny);
    std::reverse(order.names.begin(), order.names.end());
    bool bAllStopped = true;
    for (const auto& sName : order.names) {
        Step step = ShutdownOne(map.at(platform::ToUpper(sName)), dwTimeoutMs);
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

bool ReadStatusHistory(std::u16string_view sName, std::vector<SERVICE_STATUS>* pHistory) {
    std::u16string sStored;
    if (!FindServiceName(sName, &sStored)) {
        return false;
    }
    std::vector<StatusRecord> records;
    pHistory->clear();
    if (ReadStatusHistory(sStored, &records)) {
        for (const auto& record : records) {
            pHistory->push_back(record.status);
        }
    }
    return true;
}

}  // namespace scm
