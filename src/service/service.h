// The service's side of the service control manager: registration in the service database, the
// dispatcher, ServiceMain and the control handlers, and status reports.
#pragma once

#include <string>

#include "platform/service_control.h"
#include "platform/types.h"
#include "service/sync_objects.h"

class CService {
public:
    CService();
    virtual ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // szDependencies is a double-NUL-terminated list; szAccount null means LocalSystem.
    static bool Install(const char16_t* szName, const char16_t* szDisplayName, const char16_t* szDescription,
                        DWORD dwStartType, const char16_t* szDependencies, const char16_t* szAccount,
                        const char16_t* szPassword, bool bInteractive);
    // A service that does not exist counts as removed.
    static bool Remove(const char16_t* szName);
    // Runs the dispatcher until the service has stopped, then waits for the ServiceMain thread.
    bool Register(const char16_t* szName, DWORD dwControlsAccepted);

    // The service's main work; returns the service-specific exit code, 0 for success.
    virtual DWORD Start() = 0;
    virtual void OnStop() = 0;
    virtual void OnPause() = 0;
    virtual void OnContinue() = 0;
    virtual void OnShutdown() = 0;
    virtual void OnInterrogate() = 0;
    virtual void OnUserControl(DWORD dwControl) = 0;
    virtual void OnParamChange() = 0;
    virtual void OnNetBindAdd() = 0;
    virtual void OnNetBindRemove() = 0;
    virtual void OnNetBindEnable() = 0;
    virtual void OnNetBindDisable() = 0;
    virtual void OnDeviceEvent(DWORD dwEventType, void* pEventData) = 0;
    virtual void OnHardwareProfileChange(DWORD dwEventType, void* pEventData) = 0;
    virtual void OnPowerEvent(DWORD dwEventType, void* pEventData) = 0;
    virtual void OnSessionChange(DWORD dwEventType, void* pEventData) = 0;

protected:
    // Exit codes are kept only for SERVICE_STOPPED; pending states accept no controls.
    void ReportStatus(DWORD dwState, DWORD dwWaitHint = 0, DWORD dwCheckPoint = 0, DWORD dwWin32ExitCode = 0,
                      DWORD dwServiceSpecificExitCode = 0);
    // Sends the current status again (the answer to an interrogation).
    void ReportCurrentStatus();

private:
    static void ServiceMainEntry(DWORD dwArgc, char16_t** pszArgv);
    static DWORD HandlerExEntry(DWORD dwControl, DWORD dwEventType, void* pEventData, void* pContext);
    void ServiceMain();
    void Handler(DWORD dwControl);

    SERVICE_TABLE_ENTRY m_ServiceTable[2] = {};
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    SERVICE_STATUS m_Status = {};
    std::u16string m_sName;
    DWORD m_dwControlsAccepted = 0;
    CCriticalSection m_StatusLock;
    HANDLE m_hServiceMainThread = nullptr;
};
