// The configuration compiler: each configuration-change event (6008) wakes its event thread, which
// gathers the plug-ins' shares, writes a new KC file when something changed and hands its path to the
// owner; the outcome goes back in the event and as a notification.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "compiler/config_compiler_plugin.h"
#include "compiler/kt_data_file.h"
#include "events/event_bridge_source.h"
#include "events/event_manager_reconnector.h"
#include "events/notify_event_sender.h"
#include "events/subscriber_helper.h"
#include "service/sync_objects.h"
#include "service/thread.h"

// What the compiler needs of the protection module.
class IConfigCompilerCallback {
public:
    virtual ~IConfigCompilerCallback() = default;
    virtual void RequestStop() = 0;
    // Delivers the committed KC file at sPath to the driver.
    virtual HRESULT SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack) = 0;
    // The compiler has subscribed again to an event manager that came back. A change published while
    // it was away reaches it only in a new configuration change, which a settings refresh brings.
    virtual void RequestSettingsRefresh() {}
};

// Where one compilation's time went.
struct CCompilationTimes {
    // The plug-ins asked for their configurations, these merged and the cached configuration updated.
    std::chrono::steady_clock::duration configuration{};
    // Rule nodes turned into serialized rules (their GetData).
    std::chrono::steady_clock::duration rules{};
    // Creating, filling and committing the KC file, or deleting a file that failed; rules excluded.
    std::chrono::steady_clock::duration kcFile{};
    // The owner's SendConfigNotification: the driver told and its reply awaited.
    std::chrono::steady_clock::duration delivery{};
};

// Watches compilations from the event thread, for diagnostics and measurements.
class ICompilationObserver {
public:
    virtual ~ICompilationObserver() = default;
    // After each compilation that got as far as a KC file, before its event is answered.
    virtual void OnCompiled(const CCompilationTimes& times, HRESULT hr) = 0;
};

// Appends the compiler's messages to an event's error stack and folds in their status.
void MergeIntoEventErrorStack(IKTErrorStack* pEventStack, const CErrorStack& errorStack);

class CKTConfigurationCompiler : public CSubscriberHelper {
public:
    static constexpr ULONG PLUGIN_SLOTS = 4;
    static constexpr ULONG CONFIG_EVENT_TYPE = 6008;
    static constexpr DWORD MAX_SECTIONS = 50;
    static constexpr DWORD MAX_SECTION_DATA = 0x80000;
    static constexpr int KC_NAME_ATTEMPTS = 100;
    static constexpr DWORD NOTIFY_CONFIG_SUCCEEDED = 5;
    static constexpr DWORD NOTIFY_CONFIG_FAILED = 6;
    // How often the event thread looks at its subscription while no event comes.
    static constexpr DWORD CONNECTION_CHECK_MS = 1000;

    // A null sender means the process's own.
    explicit CKTConfigurationCompiler(IConfigCompilerCallback* pOwner,
                                      IEventBridgeSource* pSource = ProductEventBridgeSource(),
                                      SettingsManagerFactory createSettings = {},
                                      CNotifyEventSender* pNotifySender = nullptr);
    ~CKTConfigurationCompiler() override;

    bool Create();
    void Destroy();
    // Set before Create; the observer must outlive the compiler's event thread.
    void SetObserver(ICompilationObserver* pObserver) { m_pObserver = pObserver; }

    LONG STDMETHODCALLTYPE OnEvent(LONG nSubscriberId, IKTEvent* pEvent, LONG* pnAction) override;

protected:
    virtual ULONG CreatePlugins();
    HRESULT UpdateConfig(CErrorStack& errorStack);
    bool CreateKCFile(CKTDataFile& file, std::u16string& sPath);
    void DeleteKCFile(CKTDataFile& file, const std::u16string& sPath);
    // Deletes the KC files of the product directory other than the one the driver just accepted:
    // files of earlier runs, and files sent while the driver's verdict was unknown.
    void RemoveStaleKCFiles(const std::u16string& sInForce);

    // Constructs, initialises and files one plug-in at slot *pnCount; a failure leaves the slot empty.
    void AddPlugin(const char16_t* szClassName,
                   std::unique_ptr<CBaseConfigCompilerPlugin> (*make)(const SettingsManagerFactory&),
                   ULONG* pnCount);

    SettingsManagerFactory m_CreateSettings;
    std::unique_ptr<std::unique_ptr<CBaseConfigCompilerPlugin>[]> m_pPlugins;

private:
    class EventThread : public CThread {
    public:
        explicit EventThread(CKTConfigurationCompiler* pCompiler);
        ~EventThread() override;
        void PostTerminate() override { SignalTermination(); }
        void SignalTermination();

    protected:
        DWORD Run() override;
        bool InitInstance() override;
        void ExitInstance() override;

    private:
        void ProcessEvent();

        CKTConfigurationCompiler* m_pCompiler;
        CEvent m_TerminationSignal;
        std::atomic<bool> m_bRunning{false};
    };

    // Connects a new event manager helper and subscribes to 6008 through it.
    enum eSubscribeResult { SUBSCRIBED, CONNECT_FAILED, SUBSCRIBE_FAILED };
    eSubscribeResult Subscribe();
    // On the event thread: subscribes again when the event manager went away and is back.
    void CheckConnection();
    // Commits an answered event through the current subscription.
    LONG CommitAnswer(IKTEvent* pEvent);
    void Notify(HRESULT hr);
    void ReportTimes(const CCompilationTimes& times, HRESULT hr);

    IConfigCompilerCallback* m_pOwner;
    ICompilationObserver* m_pObserver = nullptr;
    std::unique_ptr<CIntermediateConfiguration> m_pCachedConfiguration;
    IEventBridgeSource* m_pSource;
    CEventManagerReconnector m_Reconnector;
    // Guards the subscription and its helper: the event thread renews them, Destroy ends them.
    CCriticalSection m_ConnectionLock;
    bool m_bConnectionClosed = true;
    CNotifyEventSender* m_pNotifySender;
    CObjectLoader m_ProxyFactoryLoader;
    CObjectLoader m_EventFactoryLoader;
    CComPtr<IKTProxyFactory> m_pProxyFactory;
    CComPtr<IKTEventFactory> m_pEventFactory;
    CComPtr<CEventManagerHelper> m_EventManagerHelper;
    CComPtr<IKTConfigEvent> m_pPendingEvent;
    CCriticalSection m_EventLock;
    CEvent m_EventSignal;
    EventThread m_EventThread;
};
