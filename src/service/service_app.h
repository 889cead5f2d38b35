// The application framework of the service executable: the process from entry to exit, the run mode
// chosen from the command line, the single-instance guard, the terminate signal shared by every
// process of the service, and the framework's default handlers.
#pragma once

#include <string>

#include "service/command_line.h"
#include "service/event_log.h"
#include "service/service.h"
#include "service/service_console.h"
#include "service/sync_objects.h"

class CServiceApp : public CService {
public:
    // COM on the main thread while Run runs. The framework's debug options name no apartment, so
    // APARTMENT_FROM_OPTIONS joins none.
    enum eApartment {
        APARTMENT_FROM_OPTIONS = 0,
        APARTMENT_MULTITHREADED = 1,
        APARTMENT_THREADED = 2,
        APARTMENT_NONE = 3
    };

    static constexpr DWORD EVENT_ID_INSTALLED = 0x40000020;
    static constexpr DWORD EVENT_ID_REMOVED = 0x40000021;

    CServiceApp() = default;

    // The process's work: -1 when a start-up step fails, otherwise the chosen handler's result.
    int Run(const char16_t* szServiceName, const char16_t* szDisplayName, const char16_t* szDescription,
            DWORD dwControlsAccepted);

    // Service control slots: the framework's defaults.
    void OnStop() override;
    void OnPause() override;
    void OnContinue() override;
    void OnShutdown() override { OnStop(); }
    void OnInterrogate() override { ReportCurrentStatus(); }
    void OnUserControl(DWORD) override { OnInterrogate(); }
    void OnParamChange() override { OnInterrogate(); }
    void OnNetBindAdd() override { OnInterrogate(); }
    void OnNetBindRemove() override { OnInterrogate(); }
    void OnNetBindEnable() override { OnInterrogate(); }
    void OnNetBindDisable() override { OnInterrogate(); }
    void OnDeviceEvent(DWORD, void*) override { OnInterrogate(); }
    void OnHardwareProfileChange(DWORD, void*) override { OnInterrogate(); }
    void OnPowerEvent(DWORD, void*) override { OnInterrogate(); }
    void OnSessionChange(DWORD, void*) override { OnInterrogate(); }

    // True when the terminate event was set within the timeout.
    virtual bool WaitForTerminate(DWORD dwTimeout);
    virtual void PostTerminate();
    bool IsTerminating() { return m_TerminateEvent.Lock(0); }

    // Run-mode handlers.
    virtual bool ProcessCommandLine(const CCommandLine&) { return true; }
    virtual int OnSingleInstance() { return -1; }
    virtual int OnTerminate();
    virtual int OnShowHelp() { return 0; }
    virtual int OnShowVersion() { return 0; }
    virtual int OnRunEmbedded() { return -1; }
    virtual int OnRegServer() { return -1; }
    virtual int OnUnregServer() { return -1; }
    virtual int OnInstallService();
    virtual int OnRemoveService();
    virtual int OnRunDebug();
    virtual int OnRunService(DWORD dwControlsAccepted);

    // Status steps of a running service; nothing is reported in the debug run.
    void ReportRunning();
    void ReportStopPending(DWORD dwWaitHint, DWORD dwCheckPoint);

    const std::u16string& ServiceName() const { return m_sServiceName; }
    bool IsRunningAsService() const { return m_bRunningAsService; }
    bool IsRunningAsDebug() const { return m_bRunningAsDebug; }

protected:
    bool m_bRunningAsDebug = false;
    bool m_bRunningAsService = false;
    CEvent m_TerminateEvent;
    CMutex m_InstanceMutex;
    CServiceConsole m_Console;
    CEventLog m_EventLog;
    bool m_bPumpMessages = false;
    std::u16string m_sServiceName;
    std::u16string m_sDisplayName;
    std::u16string m_sDescription;
    eApartment m_eApartment = APARTMENT_NONE;

private:
    int RunMode(const CCommandLine& commandLine, DWORD dwControlsAccepted,
                const SECURITY_ATTRIBUTES* pInstanceSecurity);
    bool RegisterEventLog();
    void LogDisplayNameEvent(DWORD dwEventId);
};
