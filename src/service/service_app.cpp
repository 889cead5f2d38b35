#include "service/service_app.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "diagnostics/user_debug_output.h"
#include "platform/event_log.h"
#include "platform/process.h"
#include "platform/strings.h"
#include "service/co_initialize.h"
#include "service/terminate_event.h"

namespace {
constexpr DWORD PENDING_WAIT_HINT_MS = 30000;
constexpr DWORD EVENT_TYPES_SUPPORTED = 31;
// The dependency list of the installed service: one name, double-NUL terminated.
constexpr char16_t SERVICE_DEPENDENCIES[] = u"RPCSS\0";

// The run modes' switches, each with its spellings, the full name first.
constexpr std::initializer_list<const char16_t*> SWITCH_VERSION = {u"Version", u"V"};
constexpr std::initializer_list<const char16_t*> SWITCH_HELP = {u"Help", u"H", u"?"};
constexpr std::initializer_list<const char16_t*> SWITCH_TERMINATE = {u"Terminate", u"T"};
constexpr std::initializer_list<const char16_t*> SWITCH_INSTALL = {u"Install", u"I"};
constexpr std::initializer_list<const char16_t*> SWITCH_REMOVE = {u"Remove", u"R"};
constexpr std::initializer_list<const char16_t*> SWITCH_REGSERVER = {u"RegServer"};
constexpr std::initializer_list<const char16_t*> SWITCH_UNREGSERVER = {u"UnregServer"};
constexpr std::initializer_list<const char16_t*> SWITCH_DEBUG = {u"Debug", u"D"};
constexpr std::initializer_list<const char16_t*> SWITCH_EMBEDDING = {u"Embedding"};
constexpr std::initializer_list<const char16_t*> RUN_MODE_SWITCHES[] = {
    SWITCH_VERSION,   SWITCH_HELP,        SWITCH_TERMINATE, SWITCH_INSTALL,  SWITCH_REMOVE,
    SWITCH_REGSERVER, SWITCH_UNREGSERVER, SWITCH_DEBUG,     SWITCH_EMBEDDING};

// The switch tokens that name no run mode, as typed.
std::vector<std::u16string> UnknownSwitches(const CCommandLine& commandLine) {
    std::vector<std::u16string> unknown;
    for (const auto& entry : commandLine.Entries()) {
        const auto names = [&](const char16_t* szSpelling) {
            return platform::EqualNoCase(entry.m_sText, szSpelling);
        };
        const bool bKnown = std::ranges::any_of(
            RUN_MODE_SWITCHES, [&](const auto& spellings) { return std::ranges::any_of(spellings, names); });
        if (entry.m_bSwitch && !bKnown) {
            unknown.push_back(entry.m_sRaw);
        }
    }
    return unknown;
}

// Someone typed the program with a switch it does not know, and no service control manager started
// it: the exit code alone would not tell them which switches exist.
void ReportUnknownSwitches(const std::u16string& sProgram, const std::vector<std::u16string>& unknown) {
    std::string sText = platform::ToUtf8(sProgram) + ": unknown switch";
    for (const auto& sSwitch : unknown) {
        sText += " " + platform::ToUtf8(sSwitch);
    }
    sText += "\nswitches, with / or - and in any case:";
    const char* szSeparator = " ";
    for (const auto& spellings : RUN_MODE_SWITCHES) {
        sText += szSeparator + platform::ToUtf8(*spellings.begin());
        szSeparator = ", ";
        std::string sShort;
        for (auto it = spellings.begin() + 1; it != spellings.end(); ++it) {
            sShort += (sShort.empty() ? "" : " ") + platform::ToUtf8(*it);
        }
        sText += sShort.empty() ? "" : " (" + sShort + ")";
    }
    sText += "\nwithout a switch it runs as a service, started by the service control manager\n";
    std::fputs(sText.c_str(), stderr);
}

}  // namespace

int CServiceApp::Run(const char16_t* szServiceName, const char16_t* szDisplayName,
                     const char16_t* szDescription, DWORD dwControlsAccepted) {
    // The optional system entry points (input-method editor, OLE clean-up, the Windows 9x service
    // registration) have no counterpart on POSIX.
    try {
        m_sServiceName = szServiceName;
        m_sDisplayName = szDisplayName;
        m_sDescription = szDescription;
    } catch (const std::bad_alloc&) {
        TraceOut1(u"CServiceApp::Run() : CStringConvert::Copy() == false\n");
        return -1;
    }
    // Left again on every way out of Run.
    CCoInitialize coInit;
    if (m_eApartment == APARTMENT_MULTITHREADED || m_eApartment == APARTMENT_THREADED) {
        const HRESULT hr = coInit.CoInitialize(m_eApartment == APARTMENT_THREADED ? COINIT_APARTMENTTHREADED
                                                                                  : COINIT_MULTITHREADED);
        if (hr != S_OK) {
            TraceOut1(u"CServiceApp::Run() : CCoInitialize::CoInitialize() != S_OK, 0x%08X\n",
                      static_cast<DWORD>(hr));
            return -1;
        }
    }
    // Anyone may meet the instance lock; only administrators and the system may signal the stop.
    CNullDacl nullDacl;
    if (!nullDacl.Create()) {
        TraceOut1(u"CServiceApp::Run() : nullDacl.Create() == FALSE\n");
        return -1;
    }
    CAdminDacl adminDacl;
    if (!adminDacl.Create()) {
        TraceOut1(u"CServiceApp::Run() : adminDacl.Create() == FALSE\n");
        return -1;
    }
    const std::u16string sTerminateName = TerminateEventName(m_sServiceName);
    if (!m_TerminateEvent.Create(adminDacl.Get(), true, false, sTerminateName.c_str(), true)) {
        TraceOut1(u"CServiceApp::Run() : m_TerminateEvent.Create() == FALSE\n");
        return -1;
    }
    if (IsTerminating()) {
        TraceOut1(u"CServiceApp::Run() : IsTerminating() != FALSE\n");
        return -1;
    }
    CCommandLine commandLine;
    if (!commandLine.Parse(platform::GetCommandLine().c_str())) {
        TraceOut1(u"CServiceApp::Run() : commandLine.Parse() == FALSE\n");
        return -1;
    }
    const int nResult = RunMode(commandLine, dwControlsAccepted, nullDacl.Get());
    m_EventLog.Close();
    return nResult;
}

int CServiceApp::RunMode(const CCommandLine& commandLine, DWORD dwControlsAccepted,
                         const SECURITY_ATTRIBUTES* pInstanceSecurity) {
    if (commandLine.HasSwitch(SWITCH_VERSION)) {
        TraceOut3(u"CServiceApp::Run() : OnShowVersion()\n");
        return OnShowVersion();
    }
    if (commandLine.HasSwitch(SWITCH_HELP)) {
        TraceOut3(u"CServiceApp::Run() : OnShowHelp()\n");
        return OnShowHelp();
    }
    if (commandLine.HasSwitch(SWITCH_TERMINATE)) {
        TraceOut1(u"CServiceApp::Run() : OnTerminate()\n");
        return OnTerminate();
    }
    const std::u16string sInstanceName = m_sServiceName + u"_Single_Instance_Lock";
    if (!m_InstanceMutex.Create(pInstanceSecurity, false, sInstanceName.c_str(), true)) {
        TraceOut1(u"CServiceApp::Run() : m_InstanceMutex.Create() == FALSE\n");
        return -1;
    }
    if (!m_InstanceMutex.Lock(0)) {
        TraceOut1(u"CServiceApp::Run() : OnSingleInstance()\n");
        return OnSingleInstance();
    }
    if (!RegisterEventLog()) {
        TraceOut1(u"CServiceApp::Run() : RegisterEventLog() == FALSE\n");
        return -1;
    }
    if (!ProcessCommandLine(commandLine)) {
        TraceOut1(u"CServiceApp::Run() : ProcessCommandLine() == FALSE\n");
        return -1;
    }
    if (commandLine.HasSwitch(SWITCH_INSTALL)) {
        TraceOut3(u"CServiceApp::Run() : OnInstallService()\n");
        return OnInstallService();
    }
    if (commandLine.HasSwitch(SWITCH_REMOVE)) {
        TraceOut3(u"CServiceApp::Run() : OnRemoveService()\n");
        return OnRemoveService();
    }
    if (commandLine.HasSwitch(SWITCH_REGSERVER)) {
        TraceOut3(u"CServiceApp::Run() : OnRegServer()\n");
        return OnRegServer();
    }
    if (commandLine.HasSwitch(SWITCH_UNREGSERVER)) {
        TraceOut3(u"CServiceApp::Run() : OnUnregServer()\n");
        return OnUnregServer();
    }
    if (commandLine.HasSwitch(SWITCH_DEBUG)) {
        TraceOut3(u"CServiceApp::Run() : OnRunDebug()\n");
        return OnRunDebug();
    }
    if (commandLine.HasSwitch(SWITCH_EMBEDDING)) {
        TraceOut3(u"CServiceApp::Run() : OnRunEmbedded()\n");
        return OnRunEmbedded();
    }
    TraceOut1(u"CServiceApp::Run() : OnRunService()\n");
    const int nResult = OnRunService(dwControlsAccepted);
    if (const auto unknown = UnknownSwitches(commandLine); nResult != 0 && !unknown.empty()) {
        ReportUnknownSwitches(m_sServiceName, unknown);
    }
    return nResult;
}

bool CServiceApp::RegisterEventLog() {
    return m_EventLog.Register(m_sServiceName.c_str(), nullptr, EVENT_TYPES_SUPPORTED) &&
           m_EventLog.Open(m_sServiceName.c_str());
}

void CServiceApp::LogDisplayNameEvent(DWORD dwEventId) {
    const char16_t* strings[] = {m_sDisplayName.c_str()};
    m_EventLog.Log(platform::EVENTLOG_INFORMATION_TYPE, dwEventId, strings, 1);
}

void CServiceApp::OnStop() {
    ReportStatus(SERVICE_STOP_PENDING, PENDING_WAIT_HINT_MS, 1);
    PostTerminate();
}

void CServiceApp::OnPause() {
    ReportStatus(SERVICE_PAUSE_PENDING, PENDING_WAIT_HINT_MS, 1);
}

void CServiceApp::OnContinue() {
    ReportStatus(SERVICE_CONTINUE_PENDING, PENDING_WAIT_HINT_MS, 1);
}

bool CServiceApp::WaitForTerminate(DWORD dwTimeout) {
    return m_TerminateEvent.Lock(dwTimeout, m_bPumpMessages);
}

void CServiceApp::PostTerminate() {
    m_TerminateEvent.SetEvent();
}

int CServiceApp::OnTerminate() {
    PostTerminate();
    return 0;
}

int CServiceApp::OnInstallService() {
    Remove(m_sServiceName.c_str());
    if (!Install(m_sServiceName.c_str(), m_sDisplayName.c_str(), m_sDescription.c_str(), SERVICE_AUTO_START,
                 SERVICE_DEPENDENCIES, nullptr, nullptr, false)) {
        TraceOut1(u"CServiceApp::OnInstallService() : Install() == FALSE\n");
        return -1;
    }
    LogDisplayNameEvent(EVENT_ID_INSTALLED);
    return 0;
}

int CServiceApp::OnRemoveService() {
    int nResult = 0;
    if (!Remove(m_sServiceName.c_str())) {
        TraceOut1(u"CServiceApp::OnRemoveService() : Remove() == FALSE\n");
        nResult = -1;
    }
    LogDisplayNameEvent(EVENT_ID_REMOVED);
    m_EventLog.Close();
    if (!m_EventLog.Unregister(m_sServiceName.c_str())) {
        TraceOut1(u"CServiceApp::RegisterEventLog() : m_EventLog.Unregister() == FALSE\n");
        TraceOut1(u"CServiceApp::OnRemoveService() : RegisterEventLog() == FALSE\n");
        nResult = -1;
    }
    return nResult;
}

int CServiceApp::OnRunDebug() {
    if (!m_Console.Create(this)) {
        TraceOut1(u"CServiceApp::OnRunDebug() : m_Console.Create() == FALSE\n");
        return -1;
    }
    m_bRunningAsDebug = true;
    TraceOut3(u"CServiceApp::OnRunDebug() : Start()\n");
    const auto nResult = static_cast<int>(Start());
    m_Console.Destroy();
    return nResult;
}

int CServiceApp::OnRunService(DWORD dwControlsAccepted) {
    // Nobody is there to answer a message box of the system.
    platform::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT |
                           SEM_NOOPENFILEERRORBOX);
    m_bRunningAsService = true;
    TraceOut3(u"CServiceApp::OnRunService() : Register()\n");
    if (!Register(m_sServiceName.c_str(), dwControlsAccepted)) {
        TraceOut1(u"CServiceApp::OnRunService() : Register() == FALSE\n");
        return -1;
    }
    return 0;
}

void CServiceApp::ReportRunning() {
    if (m_bRunningAsService) {
        ReportStatus(SERVICE_RUNNING);
    }
}

void CServiceApp::ReportStopPending(DWORD dwWaitHint, DWORD dwCheckPoint) {
    if (m_bRunningAsService) {
        ReportStatus(SERVICE_STOP_PENDING, dwWaitHint, dwCheckPoint);
    }
}
