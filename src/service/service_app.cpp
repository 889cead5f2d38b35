#include "service/service_app.h"

#include "diagnostics/user_debug_output.h"
#include "platform/event_log.h"
#include "platform/process.h"

namespace {
constexpr DWORD PENDING_WAIT_HINT_MS = 30000;
constexpr DWORD EVENT_TYPES_SUPPORTED = 31;
// The dependency list of the installed service: one name, double-NUL terminated.
constexpr char16_t SERVICE_DEPENDENCIES[] = u"RPCSS\0";
}  // namespace

int CServiceApp::Run(const char16_t* szServiceName, const char16_t* szDisplayName,
                     const char16_t* szDescription, DWORD dwControlsAccepted) {
    // The optional system entry points (input-method editor, OLE clean-up, the Windows 9x service
    // registration), COM and the security descriptors of the named objects have no counterpart on
    // POSIX: the root's directory permissions guard the named objects.
    try {
        m_sServiceName = szServiceName;
        m_sDisplayName = szDisplayName;
        m_sDescription = szDescription;
    } catch (const std::bad_alloc&) {
        TraceOut1(u"CServiceApp::Run() : CStringConvert::Copy() == false\n");
        return -1;
    }
    const std::u16string sTerminateName = m_sServiceName + u"_Terminate_Lock";
    if (!m_TerminateEvent.Create(nullptr, true, false, sTerminateName.c_str(), true)) {
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
    const int nResult = RunMode(commandLine, dwControlsAccepted);
    m_EventLog.Close();
    return nResult;
}

int CServiceApp::RunMode(const CCommandLine& commandLine, DWORD dwControlsAccepted) {
    if (commandLine.HasSwitch({u"Version", u"V"})) {
        TraceOut3(u"CServiceApp::Run() : OnShowVersion()\n");
        return OnShowVersion();
    }
    if (commandLine.HasSwitch({u"Help", u"H", u"?"})) {
        TraceOut3(u"CServiceApp::Run() : OnShowHelp()\n");
        return OnShowHelp();
    }
    if (commandLine.HasSwitch({u"Terminate", u"T"})) {
        TraceOut1(u"CServiceApp::Run() : OnTerminate()\n");
        return OnTerminate();
    }
    const std::u16string sInstanceName = m_sServiceName + u"_Single_Instance_Lock";
    if (!m_InstanceMutex.Create(nullptr, false, sInstanceName.c_str(), true)) {
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
    if (commandLine.HasSwitch({u"Install", u"I"})) {
        TraceOut3(u"CServiceApp::Run() : OnInstallService()\n");
        return OnInstallService();
    }
    if (commandLine.HasSwitch({u"Remove", u"R"})) {
        TraceOut3(u"CServiceApp::Run() : OnRemoveService()\n");
        return OnRemoveService();
    }
    if (commandLine.HasSwitch({u"RegServer"})) {
        TraceOut3(u"CServiceApp::Run() : OnRegServer()\n");
        return OnRegServer();
    }
    if (commandLine.HasSwitch({u"UnregServer"})) {
        TraceOut3(u"CServiceApp::Run() : OnUnregServer()\n");
        return OnUnregServer();
    }
    if (commandLine.HasSwitch({u"Debug", u"D"})) {
        TraceOut3(u"CServiceApp::Run() : OnRunDebug()\n");
        return OnRunDebug();
    }
    if (commandLine.HasSwitch({u"Embedding"})) {
        TraceOut3(u"CServiceApp::Run() : OnRunEmbedded()\n");
        return OnRunEmbedded();
    }
    TraceOut1(u"CServiceApp::Run() : OnRunService()\n");
    return OnRunService(dwControlsAccepted);
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
    // The platform's critical-error and fault boxes do not exist here; there is no error mode to set.
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
