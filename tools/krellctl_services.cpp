// krellctl's service commands: the service control manager of a root, as an operator sees it.
//   service list [--json]            every service with type, start type, state and process id
//   service status NAME [--json]     one service's status
//   service history NAME [--json]    every status its last process reported, in order
//   service start NAME               start it; returns once it runs, or fails with its exit code
//   service stop NAME                send STOP and wait up to 30 s for STOPPED
//   service control NAME CODE        send a control (4 interrogate, 128-255 user codes, ...)
//   boot                             start the automatic services by load-order group and dependency
//   shutdown                         stop every running service in the reverse order
#include <stdlib.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "json_text.h"
#include "krellctl_commands.h"
#include "krellctl_protection_service.h"
#include "module/service_counters.h"
#include "platform/error_text.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "scm/scm_admin.h"
#include "settings/settings_helpers.h"

namespace {

constexpr DWORD STOP_TIMEOUT_MS = 30000;
constexpr DWORD START_TIMEOUT_MS = 120000;
// From the protection service's start to its first configuration in the driver.
constexpr DWORD PROTECTION_TIMEOUT_MS = 120000;
// How long a shutdown lets a start or stop of the protection service under way finish.
constexpr DWORD PROTECTION_SETTLE_MS = 30000;

int ServiceUsage() {
    std::fprintf(
        stderr,
        "usage: krellctl [--root DIR] service list [--json] | service status|history NAME [--json]\n"
        "       krellctl [--root DIR] service start NAME | service stop NAME | service control NAME CODE\n"
        "       krellctl [--root DIR] boot | shutdown\n");
    return 2;
}

const char* StateName(DWORD dwState) {
    static const char* const NAMES[] = {"?",       "STOPPED",          "START_PENDING", "STOP_PENDING",
                                        "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return dwState < std::size(NAMES) ? NAMES[dwState] : "?";
}

const char* TypeName(DWORD dwType) {
    switch (dwType & ~SERVICE_INTERACTIVE_PROCESS) {
        case SERVICE_KERNEL_DRIVER:
            return "kernel-driver";
        case SERVICE_FILE_SYSTEM_DRIVER:
            return "file-system-driver";
        case SERVICE_WIN32_OWN_PROCESS:
            return "own-process";
        case SERVICE_WIN32_SHARE_PROCESS:
            return "share-process";
        default:
            return "?";
    }
}

const char* StartName(DWORD dwStart) {
    static const char* const NAMES[] = {"boot", "system", "auto", "demand", "disabled"};
    return dwStart < std::size(NAMES) ? NAMES[dwStart] : "?";
}

std::string Json(const scm::ServiceEntry& e) {
    std::string sDependencies = "[";
    for (std::size_t i = 0; i < e.dependencies.size(); ++i) {
        sDependencies += (i == 0 ? "" : ",") + JsonString(e.dependencies[i]);
    }
    sDependencies += "]";
    const SERVICE_STATUS& s = e.status;
    char szNumbers[512];
    std::snprintf(szNumbers, sizeof(szNumbers),
                  "\"type\":\"%s\",\"start\":\"%s\",\"state\":\"%s\",\"pid\":%u,\"controlsAccepted\":%u,"
                  "\"win32ExitCode\":%u,\"serviceSpecificExitCode\":%u,\"checkPoint\":%u,\"waitHint\":%u,"
                  "\"markedForDelete\":%s",
                  TypeName(e.dwType), StartName(e.dwStartType), StateName(s.dwCurrentState), e.dwProcessId,
                  s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint,
                  s.dwWaitHint, e.bMarkedForDelete ? "true" : "false");
    return "{\"name\":" + JsonString(e.sName) + ",\"displayName\":" + JsonString(e.sDisplayName) +
           ",\"imagePath\":" + JsonString(e.sImagePath) + ",\"dependencies\":" + sDependencies + "," +
           szNumbers + "}";
}

void PrintLine(const scm::ServiceEntry& e) {
    std::printf("%-20s %-18s %-8s %-16s %u\n", platform::ToUtf8(e.sName).c_str(), TypeName(e.dwType),
                StartName(e.dwStartType), StateName(e.status.dwCurrentState), e.dwProcessId);
}

void PrintStatus(const scm::ServiceEntry& e) {
    const SERVICE_STATUS& s = e.status;
    std::printf(
        "%s (%s)\n  type %s, start %s%s\n  state %s, pid %u, controls accepted 0x%X\n"
        "  exit code %s, service-specific %u, checkpoint %u, wait hint %u ms\n",
        platform::ToUtf8(e.sName).c_str(), platform::ToUtf8(e.sDisplayName).c_str(), TypeName(e.dwType),
        StartName(e.dwStartType), e.bMarkedForDelete ? ", marked for delete" : "",
        StateName(s.dwCurrentState), e.dwProcessId, s.dwControlsAccepted,
        platform::DescribeError(s.dwWin32ExitCode).c_str(), s.dwServiceSpecificExitCode, s.dwCheckPoint,
        s.dwWaitHint);
}

// The code a start failed with, in words.
std::string FailureText(DWORD dwError, DWORD dwServiceSpecificExitCode) {
    if (dwError != ERROR_SERVICE_SPECIFIC_ERROR) {
        return "error " + platform::DescribeError(dwError);
    }
    char szSpecific[48];
    std::snprintf(szSpecific, sizeof(szSpecific), ", service-specific exit code 0x%08X",
                  dwServiceSpecificExitCode);
    return "exit code " + platform::DescribeError(dwError) + szSpecific;
}

int Fail(const char* szWhat, const std::string& sName) {
    std::fprintf(stderr, "krellctl: %s %s failed: error %s\n", szWhat, sName.c_str(),
                 platform::DescribeError(platform::GetLastError()).c_str());
    return 1;
}

bool Lookup(const std::string& sName, scm::ServiceEntry* pEntry) {
    if (scm::QueryService(platform::FromUtf8(sName), pEntry)) {
        return true;
    }
    if (platform::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
        std::fprintf(stderr, "krellctl: no service named %s\n", sName.c_str());
    } else {
        Fail("query", sName);
    }
    return false;
}

// Opens a service for a control or start, with a clear message when it does not exist.
SC_HANDLE OpenForControl(const std::string& sName, SC_HANDLE* phManager) {
    *phManager = platform::OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (*phManager == nullptr) {
        Fail("connect to the service control manager for", sName);
        return nullptr;
    }
    SC_HANDLE hService =
        platform::OpenService(*phManager, platform::FromUtf8(sName).c_str(), SERVICE_ALL_ACCESS);
    if (hService == nullptr) {
        if (platform::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::fprintf(stderr, "krellctl: no service named %s\n", sName.c_str());
        } else {
            Fail("open", sName);
        }
        platform::CloseServiceHandle(*phManager);
    }
    return hService;
}

int List(bool bJson) {
    std::vector<scm::ServiceEntry> services;
    if (!scm::ListServices(&services)) {
        std::fprintf(stderr, "krellctl: cannot read the service database: error %s\n",
                     platform::DescribeError(platform::GetLastError()).c_str());
        return 1;
    }
    if (bJson) {
        std::printf("[");
        for (std::size_t i = 0; i < services.size(); ++i) {
            std::printf("%s%s", i == 0 ? "" : ",", Json(services[i]).c_str());
        }
        std::printf("]\n");
        return 0;
    }
    std::printf("%-20s %-18s %-8s %-16s %s\n", "NAME", "TYPE", "START", "STATE", "PID");
    for (const auto& entry : services) {
        PrintLine(entry);
    }
    return 0;
}

int Status(const std::string& sName, bool bJson) {
    scm::ServiceEntry entry;
    if (!Lookup(sName, &entry)) {
        return 1;
    }
    if (bJson) {
        std::printf("%s\n", Json(entry).c_str());
    } else {
        PrintStatus(entry);
    }
    return 0;
}

int History(const std::string& sName, bool bJson) {
    std::vector<SERVICE_STATUS> history;
    if (!scm::ReadStatusHistory(platform::FromUtf8(sName), &history)) {
        std::fprintf(stderr, "krellctl: %s: error %s\n", sName.c_str(),
                     platform::DescribeError(platform::GetLastError()).c_str());
        return 1;
    }
    if (bJson) {
        std::printf("[");
    }
    for (std::size_t i = 0; i < history.size(); ++i) {
        const SERVICE_STATUS& s = history[i];
        if (bJson) {
            std::printf(
                "%s{\"state\":\"%s\",\"checkpoint\":%u,\"waitHint\":%u,\"controls\":%u,"
                "\"win32ExitCode\":%u,\"serviceSpecificExitCode\":%u}",
                i == 0 ? "" : ",", StateName(s.dwCurrentState), s.dwCheckPoint, s.dwWaitHint,
                s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode);
        } else {
            std::printf("%-16s checkpoint=%u wait=%u controls=0x%X win32=%u specific=0x%08X\n",
                        StateName(s.dwCurrentState), s.dwCheckPoint, s.dwWaitHint, s.dwControlsAccepted,
                        s.dwWin32ExitCode, s.dwServiceSpecificExitCode);
        }
    }
    if (bJson) {
        std::printf("]\n");
    }
    return 0;
}

int Start(const std::string& sName) {
    SC_HANDLE hManager = nullptr;
    SC_HANDLE hService = OpenForControl(sName, &hManager);
    if (hService == nullptr) {
        return 1;
    }
    const bool bOk = platform::StartService(hService, 0, nullptr);
    const DWORD dwError = platform::GetLastError();
    platform::CloseServiceHandle(hService);
    platform::CloseServiceHandle(hManager);
    platform::SetLastError(dwError);
    if (!bOk) {
        return Fail("start", sName);
    }
    SERVICE_STATUS status{};
    const DWORD dwResult = scm::WaitForStart(platform::FromUtf8(sName), START_TIMEOUT_MS, &status);
    if (dwResult != ERROR_SUCCESS) {
        std::fprintf(stderr,
                     "krellctl: %s did not start (%s); last state %s, checkpoint %u, wait hint %u ms\n",
                     sName.c_str(), FailureText(dwResult, status.dwServiceSpecificExitCode).c_str(),
                     StateName(status.dwCurrentState), status.dwCheckPoint, status.dwWaitHint);
        return 1;
    }
    std::printf("%s: %s\n", sName.c_str(), StateName(status.dwCurrentState));
    return 0;
}

int Control(const std::string& sName, DWORD dwControl, bool bWaitForStop) {
    SC_HANDLE hManager = nullptr;
    SC_HANDLE hService = OpenForControl(sName, &hManager);
    if (hService == nullptr) {
        return 1;
    }
    SERVICE_STATUS status{};
    const bool bOk = platform::ControlService(hService, dwControl, &status);
    const DWORD dwError = platform::GetLastError();
    platform::CloseServiceHandle(hService);
    platform::CloseServiceHandle(hManager);
    if (!bOk) {
        platform::SetLastError(dwError);
        return Fail(("control " + std::to_string(dwControl) + " of").c_str(), sName);
    }
    if (bWaitForStop &&
        !scm::WaitForState(platform::FromUtf8(sName), SERVICE_STOPPED, STOP_TIMEOUT_MS, &status)) {
        // A service marked for delete is gone once it stopped.
        if (platform::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
            std::fprintf(stderr, "krellctl: %s did not stop within %u ms (state %s)\n", sName.c_str(),
                         STOP_TIMEOUT_MS, StateName(status.dwCurrentState));
            return 1;
        }
        status.dwCurrentState = SERVICE_STOPPED;
    }
    std::printf("%s: %s\n", sName.c_str(), StateName(status.dwCurrentState));
    return 0;
}

void PrintSteps(const std::vector<scm::Step>& steps) {
    for (const auto& step : steps) {
        if (step.dwError != ERROR_SUCCESS) {
            std::printf("%-20s %s (%s)\n", platform::ToUtf8(step.sName).c_str(),
                        scm::OutcomeName(step.outcome),
                        FailureText(step.dwError, step.dwServiceSpecificExitCode).c_str());
        } else {
            std::printf("%-20s %s\n", platform::ToUtf8(step.sName).c_str(), scm::OutcomeName(step.outcome));
        }
    }
}

}  // namespace

int RunServiceCommand(const std::vector<std::string>& args) {
    if (args.empty()) {
        return ServiceUsage();
    }
    const bool bJson = args.back() == "--json";
    const std::size_t nArgs = args.size() - (bJson ? 1 : 0);
    const std::string& sVerb = args[0];
    const bool bKnown = (sVerb == "list" && nArgs == 1) ||
                        ((sVerb == "status" || sVerb == "history") && nArgs == 2) ||
                        (!bJson && (sVerb == "start" || sVerb == "stop") && nArgs == 2) ||
                        (!bJson && sVerb == "control" && nArgs == 3);
    if (!bKnown) {
        return ServiceUsage();
    }
    DWORD dwCode = 0;
    if (sVerb == "control" && !toolargs::ParseDword(args[2], &dwCode)) {
        std::fprintf(stderr, "krellctl: not a control code: %s\n", args[2].c_str());
        return 2;
    }
    if (sVerb == "list") {
        return List(bJson);
    }
    if (sVerb == "status") {
        return Status(args[1], bJson);
    }
    if (sVerb == "history") {
        return History(args[1], bJson);
    }
    if (sVerb == "start") {
        return Start(args[1]);
    }
    if (sVerb == "stop") {
        return Control(args[1], SERVICE_CONTROL_STOP, true);
    }
    return Control(args[1], dwCode, false);
}

int RunBootCommand(const std::vector<std::string>& args) {
    if (!args.empty()) {
        return ServiceUsage();
    }
    const CProtectionStart protection = CProtectionStart::Begun();
    std::vector<scm::Step> steps;
    bool bOk = scm::Boot(&steps);
    for (auto& step : steps) {
        if (step.outcome == scm::Outcome::Started && platform::EqualNoCase(step.sName, PROTECTION_SERVICE) &&
            !protection.Await(PROTECTION_TIMEOUT_MS, &step)) {
            bOk = false;
            if (step.dwError == ERROR_SERVICE_REQUEST_TIMEOUT) {
                std::fprintf(stderr,
                             "krellctl: %s runs, but the driver got no configuration from it within %u s\n",
                             platform::ToUtf8(step.sName).c_str(), PROTECTION_TIMEOUT_MS / 1000);
            }
        }
    }
    PrintSteps(steps);
    return bOk ? 0 : 1;
}

int RunShutdownCommand(const std::vector<std::string>& args) {
    if (!args.empty()) {
        return ServiceUsage();
    }
    SettleProtectionService(PROTECTION_SETTLE_MS);
    std::vector<scm::Step> steps;
    const bool bOk = scm::Shutdown(&steps);
    PrintSteps(steps);
    return bOk ? 0 : 1;
}

namespace {

const char* ProtectionStateName(DWORD dwState) {
    static const char* const NAMES[] = {"GW_STATE_OFF",      "GW_STATE_ON",        "GW_STATE_UPDATING",
                                        "GW_STATE_ERROR_ON", "GW_STATE_ERROR_OFF", "GW_STATE_ERROR_UNKNOWN"};
    return dwState < std::size(NAMES) ? NAMES[dwState] : "unknown";
}

// One DWORD of the protection's private settings as the store answers it: a value, or why not.
struct CStoredDword {
    ZELRESULT zr = ZEL_E_NOT_FOUND;
    DWORD dwValue = 0;
};

CStoredDword ProtectionValue(CSettingsManagerHelper& helper, const char16_t* szName) {
    CStoredDword value;
    ISettingsManager* pManager = nullptr;
    value.zr = helper.Create(&pManager);
    if (ZEL_SUCCEEDED(value.zr)) {
        // The helper takes the manager over and releases it.
        value.zr = CLcSettingsHelper::GetDword(pManager, u"GATEWARDEN\\PRIVATE", szName, &value.dwValue);
    }
    return value;
}

// Why a stored value cannot be shown, or an empty text when it can.
std::string Problem(const CStoredDword& value, const char* szAbsent) {
    if (value.zr == ZEL_SUCCESS) {
        return "";
    }
    if (value.zr == ZEL_E_NOT_FOUND) {
        return std::string("absent (") + szAbsent + ")";
    }
    char szCode[16];
    std::snprintf(szCode, sizeof(szCode), "0x%08X", static_cast<unsigned>(value.zr));
    if (value.zr == ZEL_E_WRONG_TYPE) {
        return std::string("wrongly typed: not a DWORD (") + szCode + ")";
    }
    return std::string("unreadable (") + szCode + ")";
}

std::string Json(const CStoredDword& value) {
    if (value.zr == ZEL_SUCCESS) {
        return std::to_string(value.dwValue);
    }
    return value.zr == ZEL_E_NOT_FOUND ? "null" : JsonString(Problem(value, ""));
}

}  // namespace

// Whether the running service lost its driver channel: its counters say, once it has published them.
// Null when KRELLSvc does not run or has not published.
std::optional<bool> ChannelLost(const std::vector<scm::ServiceEntry>& services) {
    ULONGLONG values[SERVICE_COUNTER_COUNT];
    DWORD dwPublisher = 0;
    for (const auto& entry : services) {
        if (entry.sName == u"KRELLSvc" && entry.dwProcessId != 0 &&
            CServiceCounters::ReadPublished(values, &dwPublisher) && dwPublisher == entry.dwProcessId) {
            return values[COUNTER_CHANNEL_LOST] != 0;
        }
    }
    return std::nullopt;
}

int RunStatusCommand(const std::vector<std::string>& args) {
    const bool bJson = args.size() == 1 && args[0] == "--json";
    if (!args.empty() && !bJson) {
        std::fprintf(stderr, "usage: krellctl [--root DIR] status [--json]\n");
        return 2;
    }
    std::vector<scm::ServiceEntry> services;
    if (!scm::ListServices(&services)) {
        std::fprintf(stderr, "krellctl: cannot read the service database: error %s\n",
                     platform::DescribeError(platform::GetLastError()).c_str());
        return 1;
    }
    const bool bStore = CSettingsManagerHelper::IsSettingsManagerActive();
    CSettingsManagerHelper helper;
    const CStoredDword state = bStore ? ProtectionValue(helper, u"CurrentState") : CStoredDword{};
    const CStoredDword marker = bStore ? ProtectionValue(helper, u"DriverError") : CStoredDword{};
    const std::optional<bool> bLost = ChannelLost(services);
    if (bJson) {
        std::printf(
            "{\"settingsStore\":%s,\"currentState\":%s,\"driverError\":%s,\"driverChannelLost\":%s,"
            "\"services\":[",
            bStore ? "true" : "false", Json(state).c_str(), Json(marker).c_str(),
            !bLost ? "null" : (*bLost ? "true" : "false"));
        for (std::size_t i = 0; i < services.size(); ++i) {
            const auto& entry = services[i];
            std::printf("%s{\"name\":%s,\"state\":\"%s\",\"start\":\"%s\",\"pid\":%u}", i == 0 ? "" : ",",
                        JsonString(entry.sName).c_str(), StateName(entry.status.dwCurrentState),
                        StartName(entry.dwStartType), entry.dwProcessId);
        }
        std::printf("]}\n");
        return 0;
    }
    if (!bStore) {
        std::printf("settings store: not running (start the service lcSetMgr)\n");
    } else {
        const std::string sStateProblem = Problem(state, "read as GW_STATE_ERROR_UNKNOWN");
        const std::string sMarkerProblem = Problem(marker, "0");
        std::printf("protection state: %s\n",
                    sStateProblem.empty()
                        ? (std::to_string(state.dwValue) + " " + ProtectionStateName(state.dwValue)).c_str()
                        : sStateProblem.c_str());
        std::printf("driver error marker: %s\n",
                    sMarkerProblem.empty() ? std::to_string(marker.dwValue).c_str() : sMarkerProblem.c_str());
    }
    if (bLost) {
        std::printf("driver channel: %s\n", *bLost ? "lost, the service hears nothing more from the driver "
                                                     "until it restarts (see the debug log)"
                                                   : "no loss seen");
    }
    for (const auto& entry : services) {
        std::printf("service %-12s %-14s start %s\n", platform::ToUtf8(entry.sName).c_str(),
                    StateName(entry.status.dwCurrentState), StartName(entry.dwStartType));
    }
    return 0;
}
