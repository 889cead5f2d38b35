#include "service/service.h"

#include <mutex>

#include "diagnostics/user_debug_output.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

// The process's one service; the dispatcher's callbacks reach it through this pointer.
CService* g_pService = nullptr;

constexpr DWORD START_WAIT_HINT_MS = 30000;
constexpr const char16_t* SERVICES_ACTIVE_DATABASE = u"ServicesActive";

bool IsPendingState(DWORD dwState) {
    return dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING ||
           dwState == SERVICE_CONTINUE_PENDING || dwState == SERVICE_PAUSE_PENDING;
}

// Closes a service control manager handle on every path.
class CScHandle {
public:
    explicit CScHandle(SC_HANDLE h) : m_h(h) {}
    ~CScHandle() {
        if (m_h != nullptr) {
            platform::CloseServiceHandle(m_h);
        }
    }
    CScHandle(const CScHandle&) = delete;
    CScHandle& operator=(const CScHandle&) = delete;
    SC_HANDLE Get() const { return m_h; }

private:
    SC_HANDLE m_h;
};

}  // namespace

CService::CService() {
    m_Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_pService = this;
}

CService::~CService() {
    if (m_hServiceMainThread != nullptr) {
        platform::CloseHandle(m_hServiceMainThread);
    }
    if (g_pService == this) {
        g_pService = nullptr;
    }
}

bool CService::Install(const char16_t* szName, const char16_t* szDisplayName, const char16_t* szDescription,
                       DWORD dwStartType, const char16_t* szDependencies, const char16_t* szAccount,
                       const char16_t* szPassword, bool bInteractive) {
    CScHandle scm(platform::OpenSCManager(nullptr, SERVICES_ACTIVE_DATABASE, SC_MANAGER_CREATE_SERVICE));
    if (scm.Get() == nullptr) {
        TraceOut1(u"CService::Install() : OpenSCManager() == NULL, 0x%08X\n", platform::GetLastError());
        return false;
    }
    std::u16string sPath;
    if (!platform::GetModuleFileName(&sPath)) {
        TraceOut1(u"CService::Install() : path.SplitPath() == false\n");
        return false;
    }
    const DWORD dwType = SERVICE_WIN32_OWN_PROCESS | (bInteractive ? SERVICE_INTERACTIVE_PROCESS : 0);
    CScHandle service(platform::CreateService(scm.Get(), szName, szDisplayName, SERVICE_ALL_ACCESS, dwType,
                                              dwStartType, SERVICE_ERROR_NORMAL, sPath.c_str(), nullptr,
                                              nullptr, szDependencies, szAccount, szPassword));
    if (service.Get() == nullptr) {
        TraceOut1(u"CService::Install() : CreateService() == NULL, 0x%08X\n", platform::GetLastError());
        return false;
    }
    std::u16string sDescription = szDescription;
    SERVICE_DESCRIPTION description{sDescription.data()};
    if (!platform::ChangeServiceConfig2(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        TraceOut1(u"CService::Install() : ChangeServiceConfig2() == FALSE, 0x%08X\n",
                  platform::GetLastError());
        return false;
    }
    return true;
}

bool CService::Remove(const char16_t* szName) {
    CScHandle scm(platform::OpenSCManager(nullptr, SERVICES_ACTIVE_DATABASE, SC_MANAGER_ALL_ACCESS));
    if (scm.Get() == nullptr) {
        TraceOut1(u"CService::Remove() : OpenSCManager() == NULL, 0x%08X\n", platform::GetLastError());
        return false;
    }
    CScHandle service(platform::OpenService(scm.Get(), szName, SERVICE_ALL_ACCESS));
    if (service.Get() == nullptr) {
        const DWORD dwError = platform::GetLastError();
        if (dwError == ERROR_SERVICE_DOES_NOT_EXIST) {
            return true;
        }
        TraceOut1(u"CService::Remove() : OpenService() == NULL, 0x%08X\n", dwError);
        return false;
    }
    if (!platform::DeleteService(service.Get())) {
        TraceOut1(u"CService::Remove() : DeleteService() == FALSE, 0x%08X\n", platform::GetLastError());
        return false;
    }
    return true;
}

bool CService::Register(const char16_t* szName, DWORD dwControlsAccepted) {
    m_sName = szName;
    m_dwControlsAccepted = dwControlsAccepted;
    m_ServiceTable[0] = {m_sName.c_str(), &CService::ServiceMainEntry};
    m_ServiceTable[1] = {nullptr, nullptr};
    if (!platform::StartServiceCtrlDispatcher(m_ServiceTable)) {
        TraceOut1(u"CService::Register() : StartServiceCtrlDispatcher() == FALSE, 0x%08X\n",
                  platform::GetLastError());
        return false;
    }
    bool bResult = true;
    if (m_hServiceMainThread != nullptr) {
        if (platform::WaitForSingleObject(m_hServiceMainThread, INFINITE) != WAIT_OBJECT_0) {
            TraceOut1(u"CService::Register() : WaitForSingleObject() != WAIT_OBJECT_0\n");
            bResult = false;
        }
        platform::CloseHandle(m_hServiceMainThread);
        m_hServiceMainThread = nullptr;
    }
    return bResult;
}

void CService::ServiceMainEntry(DWORD /*dwArgc*/, char16_t** /*pszArgv*/) {
    if (g_pService != nullptr) {
        g_pService->ServiceMain();
    }
}

void CService::ServiceMain() {
    m_hServiceMainThread = platform::OpenCurrentThread();
    if (m_hServiceMainThread == nullptr) {
        TraceOut1(u"CService::ServiceMain() : m_pService->m_hServiceMainThread.Copy() == FALSE\n");
        return;
    }
    m_hStatus = platform::RegisterServiceCtrlHandlerEx(m_sName.c_str(), &CService::HandlerExEntry, this);
    if (m_hStatus == nullptr) {
        TraceOut1(u"CService::ServiceMain() : m_pService->m_hStatus == NULL, 0x%08X\n",
                  platform::GetLastError());
        return;
    }
    ReportStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS, 1);
    const DWORD dwResult = Start();
    if (dwResult == 0) {
        ReportStatus(SERVICE_STOPPED);
    } else {
        ReportStatus(SERVICE_STOPPED, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, dwResult);
    }
}

DWORD CService::HandlerExEntry(DWORD dwControl, DWORD dwEventType, void* pEventData, void* pContext) {
    auto* pService = static_cast<CService*>(pContext);
    switch (dwControl) {
        case SERVICE_CONTROL_PARAMCHANGE:
            pService->OnParamChange();
            break;
        case SERVICE_CONTROL_NETBINDADD:
            pService->OnNetBindAdd();
            break;
        case SERVICE_CONTROL_NETBINDREMOVE:
            pService->OnNetBindRemove();
            break;
        case SERVICE_CONTROL_NETBINDENABLE:
            pService->OnNetBindEnable();
            break;
        case SERVICE_CONTROL_NETBINDDISABLE:
            pService->OnNetBindDisable();
            break;
        case SERVICE_CONTROL_DEVICEEVENT:
            pService->OnDeviceEvent(dwEventType, pEventData);
            break;
        case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
            pService->OnHardwareProfileChange(dwEventType, pEventData);
            break;
        case SERVICE_CONTROL_POWEREVENT:
            pService->OnPowerEvent(dwEventType, pEventData);
            break;
        case SERVICE_CONTROL_SESSIONCHANGE:
            pService->OnSessionChange(dwEventType, pEventData);
            break;
        default:
            pService->Handler(dwControl);
            break;
    }
    return ERROR_SUCCESS;
}

void CService::Handler(DWORD dwControl) {
    switch (dwControl) {
        case SERVICE_CONTROL_STOP:
            OnStop();
            break;
        case SERVICE_CONTROL_PAUSE:
            OnPause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            OnContinue();
            break;
        case SERVICE_CONTROL_INTERROGATE:
            OnInterrogate();
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            OnShutdown();
            break;
        default:
            OnUserControl(dwControl);
            break;
    }
}

void CService::ReportStatus(DWORD dwState, DWORD dwWaitHint, DWORD dwCheckPoint, DWORD dwWin32ExitCode,
                            DWORD dwServiceSpecificExitCode) {
    std::lock_guard<CCriticalSection> lock(m_StatusLock);
    const bool bPending = IsPendingState(dwState);
    const bool bStopped = dwState == SERVICE_STOPPED;
    m_Status.dwCurrentState = dwState;
    m_Status.dwControlsAccepted = bPending ? 0 : m_dwControlsAccepted;
    m_Status.dwWaitHint = bPending ? dwWaitHint : 0;
    m_Status.dwCheckPoint = bPending ? dwCheckPoint : 0;
    m_Status.dwWin32ExitCode = bStopped ? dwWin32ExitCode : 0;
    m_Status.dwServiceSpecificExitCode = bStopped ? dwServiceSpecificExitCode : 0;
    if (m_hStatus != nullptr) {
        platform::SetServiceStatus(m_hStatus, &m_Status);
    }
}

void CService::ReportCurrentStatus() {
    std::lock_guard<CCriticalSection> lock(m_StatusLock);
    if (m_hStatus != nullptr) {
        platform::SetServiceStatus(m_hStatus, &m_Status);
    }
}
