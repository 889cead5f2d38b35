// Shared parts of the service control manager stand-in: the service database in the registry store,
// the run files of a service (pid, status, control socket, log) and the supervision of its process.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/service_control.h"
#include "platform/types.h"

namespace scm::detail {

constexpr const char16_t* SERVICES_KEY = u"SYSTEM\\CurrentControlSet\\Services";
// Set by StartService in the environment of an own-process service: its name, and the pipe through
// which its dispatcher reports that it listens for controls.
constexpr const char* ENV_SERVICE = "KRELL_SCM_SERVICE";
constexpr const char* ENV_READY_FD = "KRELL_SCM_READY_FD";
// The arguments of StartService, each ended by 0x1F.
constexpr const char* ENV_ARGS = "KRELL_SCM_ARGS";

// How long a starter waits for the dispatcher to connect, and a controller for the handler's answer.
constexpr DWORD CONNECT_TIMEOUT_MS = 30000;
// How long a driver's start waits for its device.
constexpr DWORD DRIVER_READY_TIMEOUT_MS = 2000;
constexpr DWORD CONTROL_TIMEOUT_MS = 30000;
// Between SIGTERM and SIGKILL when a process is ended by force.
constexpr DWORD KILL_GRACE_MS = 3000;

constexpr std::uint32_t CONTROL_MAGIC = 0x3143534B;  // "KSC1"

struct ControlRequest {
    std::uint32_t magic;
    std::uint32_t dwControl;
    std::uint32_t dwEventType;
};

struct ControlReply {
    std::uint32_t magic;
    std::uint32_t dwResult;
};

struct ServiceConfig {
    std::u16string sName;  // the key's own spelling
    std::u16string sDisplayName;
    std::u16string sImagePath;
    std::u16string sDescription;
    std::u16string sObjectName;
    DWORD dwType = 0;
    DWORD dwStartType = 0;
    DWORD dwErrorControl = 0;
    std::u16string sGroup;
    std::vector<std::u16string> dependencies;
    std::vector<std::u16string> groupDependencies;
    bool bDeleteFlag = false;
};

bool IsDriverType(DWORD dwType);

// Test faults: a DWORD named "<operation> <subject>" under FAULTS_KEY makes that call fail with the
// DWORD as its last error, read at every call so a running test can set and clear it. The subject is
// the service's name, or for OpenSCManager the access asked for, in decimal. "<...> Pass" lets each
// process's first N such calls through; "Hold <...>" makes the call wait while it is set.
constexpr const char16_t* FAULTS_KEY = u"SYSTEM\\CurrentControlSet\\Control\\ServiceControlManagerFaults";
bool FaultInjected(std::u16string_view sOperation, std::u16string_view sSubject);

// What an SC_HANDLE names: the manager or one service, with the access granted when it was opened.
struct ScObject {
    bool bManager = false;
    DWORD dwAccess = 0;
    std::u16string sName;
};

// The object of a valid handle; false with ERROR_INVALID_HANDLE otherwise (also for a handle of the
// other kind than bManager asks for).
bool LookupScHandle(SC_HANDLE hHandle, bool bManager, ScObject* pObject);
// False with ERROR_ACCESS_DENIED unless every right of dwNeeded was granted.
bool CheckAccess(const ScObject& object, DWORD dwNeeded);

// The stored spelling of a service's name, or false (ERROR_SERVICE_DOES_NOT_EXIST).
bool FindServiceName(std::u16string_view sName, std::u16string* psStored);
bool ReadConfig(std::u16string_view sName, ServiceConfig* pConfig);
bool ListServiceNames(std::vector<std::u16string>* pNames);
// The strings of REG_MULTI_SZ data, up to its empty string.
std::vector<std::u16string> SplitMultiString(const std::u16string& s);
// Removes the database entry and the run files (caller holds the run lock).
void RemoveService(const std::u16string& sName);
bool SetDeleteFlag(const std::u16string& sName);

std::string RunFile(const std::u16string& sName, const char* szSuffix);

struct PidRecord {
    pid_t pid = 0;
    unsigned long long ullStartTime = 0;
};

struct StatusRecord {
    SERVICE_STATUS status{};
    DWORD dwProcessId = 0;  // the process that the record describes
};

// The start time of a living process (clock ticks since boot), false for a dead or zombie one.
bool ProcessStartTime(pid_t pid, unsigned long long* pullStartTime);
// True while the recorded process lives; a reused pid has another start time.
bool IsAlive(const PidRecord& record);
bool ReadPidFile(const std::u16string& sName, PidRecord* pRecord);
bool WritePidFile(const std::u16string& sName, const PidRecord& record);
bool ReadStatusFile(const std::u16string& sName, StatusRecord* pRecord);
// Written to a temporary file and renamed, so a reader sees the old record or the new one.
bool WriteStatusFile(const std::u16string& sName, const StatusRecord& record);
// Every report of the service's current process, in order: <name>.history, one status line each,
// emptied when its dispatcher starts.
bool ResetStatusHistory(const std::u16string& sName);
bool AppendStatusHistory(const std::u16string& sName, const StatusRecord& record);
bool ReadStatusHistory(const std::u16string& sName, std::vector<StatusRecord>* pHistory);

// Serialises changes of the service database and the run files among all processes of the root
// (the default file), or, on its own file, whole boots and shutdowns.
constexpr const char* BOOT_LOCK_FILE = ".boot.lock";
class RunLock {
public:
    explicit RunLock(const char* szFile = ".scm.lock");
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    int m_fd = -1;
};

struct Observed {
    StatusRecord record;
    PidRecord process;      // pid 0 when no process runs
    bool bRemoved = false;  // a service marked for delete was found stopped and removed
};

// The service's status as it stands (caller holds the run lock). A process that died without
// reporting SERVICE_STOPPED is settled here as stopped with ERROR_PROCESS_ABORTED; a stopped
// service that is marked for delete is removed.
Observed Observe(const ServiceConfig& config);

bool IsPendingState(DWORD dwState);

// Sends a signal to the recorded process if it still is that process.
bool SignalProcess(const PidRecord& record, int nSignal);
// Waits until the recorded process has ended; false on timeout.
bool WaitProcessEnd(const PidRecord& record, DWORD dwTimeoutMs);
// SIGTERM, then SIGKILL after KILL_GRACE_MS. Returns the signal that ended it (0 when it was gone).
int EndProcess(const PidRecord& record);

// Starts, stops and controls (the controller's side).
bool StartServiceByName(const std::u16string& sName);
// serviceArgs reach ServiceMain after the service's name.
bool StartServiceWithArgs(const std::u16string& sName, const std::vector<std::string>& serviceArgs);
// Delivers a control to an own-process service through its control socket (no state checks).
// Returns the handler's result, or ERROR_SERVICE_REQUEST_TIMEOUT when the socket is not served.
DWORD SendControl(const std::u16string& sName, DWORD dwControl, DWORD dwTimeoutMs);

}  // namespace scm::detail
