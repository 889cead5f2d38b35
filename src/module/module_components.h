// The components the protection module starts and stops around its own state machine: the event
// bridge, the notification sender, the driver channel and its subscriber, driver control, the
// listeners, the manifest folder watcher and the configuration compiler. The module sees them only
// through their results, so its start-up and stop sequences are the same whoever implements them.
#pragma once

#include <functional>

#include <memory>
#include <string>

#include "compiler/configuration_compiler.h"
#include "events/ktums_event_provider.h"
#include "manifest/manifest_component.h"
#include "module/driver_control.h"
#include "module/install_identifier.h"
#include "module/listener_context.h"
#include "module/service_counters.h"
#include "platform/types.h"
#include "settings/settings_interfaces.h"

class IModuleComponents {
public:
    virtual ~IModuleComponents() = default;

    // The module's stop status report, for components that take several steps to stop.
    virtual void SetStopStepReporter(std::function<void()> /*pfnReport*/) {}
    // How a component asks the service to stop (the compiler, when the protection is switched off).
    virtual void SetStopRequester(std::function<void()> /*pfnRequestStop*/) {}

    // The module's settings manager, once it has made one (the components take their own reference).
    virtual void SetSettingsManager(ISettingsManager* pManager) = 0;

    // Start-up, in the order the module calls them. Each logs its own failure details.
    virtual bool CreateEventProvider() = 0;
    virtual bool InitializeNotificationSender() = 0;
    virtual bool InitializeChannelSubscriber() = 0;
    virtual bool OpenDriverChannel() = 0;
    // *pdwDriverError: the driver error marker a failed load leaves (1 or 2).
    virtual bool LoadDriver(DWORD* pdwDriverError) = 0;
    virtual bool CreatePolicyEventListener() = 0;
    virtual bool CreateMSIQueryListener(int nIndex) = 0;
    virtual bool StartListeningForMessages() = 0;
    // The activation handshake; the manifest folder is tracked while the driver answers.
    virtual bool ActivateDriver() = 0;
    virtual bool CreateConfigurationCompiler() = 0;
    // The event bridge's result code: 1 for success.
    virtual DWORD ForceSettingsRefresh() = 0;

    virtual void EnqueueNotification(DWORD dwCode, const char16_t* szText) = 0;

    // The stop, in the order the module calls them.
    virtual void ShutdownDriver(bool bUnload) = 0;
    virtual void DestroyConfigurationCompiler() = 0;
    virtual void StopTrackingManifestFolder(DWORD dwTimeout) = 0;
    virtual void DestroyNotificationSender() = 0;
    virtual void DestroyEventProvider() = 0;
};

// The components of this build. Those that are not built in yet are skipped: they log one line
// saying so and report success, so that every step that exists runs end to end.
class CModuleComponents : public IModuleComponents,
                          private IConfigCompilerCallback,
                          private IListenerContext {
public:
    CModuleComponents();
    // The listener threads end before the subscriber, their objects and the channel go.
    ~CModuleComponents() override;
    void SetSettingsManager(ISettingsManager* pManager) override;
    void SetStopStepReporter(std::function<void()> pfnReport) override;
    void SetStopRequester(std::function<void()> pfnRequestStop) override;
    bool CreateEventProvider() override;
    bool InitializeNotificationSender() override;
    bool InitializeChannelSubscriber() override;
    bool OpenDriverChannel() override;
    bool LoadDriver(DWORD* pdwDriverError) override;
    bool CreatePolicyEventListener() override;
    bool CreateMSIQueryListener(int nIndex) override;
    bool StartListeningForMessages() override;
    bool ActivateDriver() override;
    bool CreateConfigurationCompiler() override;
    DWORD ForceSettingsRefresh() override;
    void EnqueueNotification(DWORD dwCode, const char16_t* szText) override;
    void ShutdownDriver(bool bUnload) override;
    void DestroyConfigurationCompiler() override;
    void StopTrackingManifestFolder(DWORD dwTimeout) override;
    void DestroyNotificationSender() override;
    void DestroyEventProvider() override;

private:
    // The compiler's owner: it delivers KC files on the compiler's event thread.
    void RequestStop() override;
    HRESULT SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack) override;
    void RequestSettingsRefresh() override;

    // What the listeners use.
    CKTKChannelSubscriber& Subscriber() override;
    CKTUMessageChannel& Channel() override;
    LONG SendGatewardenAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath, ULONG nActorProcessId,
                             ULONG nAction, const char16_t* szTargetPath, ULONG nTargetProcessId,
                             ULONG nSessionId, bool bBlocked) override;
    bool EnqueueNotification(DWORD dwCode, const char16_t* szText, const SYSTEMTIME& time) override;
    ISettingsManager* SettingsManager() override;
    CInstallIdentifier& InstallIdentifier() override;
    CServiceCounters& Counters() override;

    // Waits for the listener threads once their subscriptions are aborted.
    void EndListeners();

    // First: the listeners count into it until they end.
    CServiceCounters m_Counters;
    CComPtr<ISettingsManager> m_SettingsMgr;
    CInstallIdentifier m_InstallIdentifier;
    CDriverControl m_DriverControl;
    // The listener threads (CKTUMSModule's nested classes), created at start-up.
    struct CListeners;
    std::unique_ptr<CListeners> m_pListeners;
    // After the driver control: it goes first, before the subscriber and the channel.
    CKTUMSEventProvider m_EventProvider;
    std::function<void()> m_pfnRequestStop;
    // Its watcher thread is stopped by the module before the components go.
    CManifestComponent m_Manifest;
    // Last: its thread delivers through the driver control, so it goes before everything else.
    std::unique_ptr<CKTConfigurationCompiler> m_pCompiler;
};
