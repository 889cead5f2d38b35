// Notifications (a code, an optional text and a time stamp) published as events of the event
// manager. Callers never wait for the event manager: EnqueueEvent queues the record and returns, and
// one sender thread publishes the queue in order.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "events/event_bridge_source.h"
#include "events/event_manager_reconnector.h"
#include "events/provider_helper.h"
#include "service/sync_objects.h"
#include "service/thread.h"

class CNotifyEventSender {
public:
    static constexpr size_t MAX_QUEUED_EVENTS = 101;
    static constexpr DWORD THREAD_STOP_TIMEOUT_MS = 1000;
    // "Ended": the module's last notification of a run. Once it is queued the sender refuses every
    // other until the next Initialize, so a watcher can take it as the end of the run: otherwise a
    // component still at work during the stop (the compiler answering a configuration change that
    // came just before it, a violation reported before the driver is shut down) would announce
    // itself after it.
    static constexpr DWORD NOTIFY_ENDED = 2;

    explicit CNotifyEventSender(IEventBridgeSource* pSource = ProductEventBridgeSource());
    ~CNotifyEventSender();
    CNotifyEventSender(const CNotifyEventSender&) = delete;
    CNotifyEventSender& operator=(const CNotifyEventSender&) = delete;

    // The process's sender.
    static bool Initialize();
    static void Destroy();
    static bool EnqueueEvent(DWORD dwCode, const char16_t* szData, const SYSTEMTIME& time);
    // Stamped with the current local time.
    static bool EnqueueEvent(DWORD dwCode, const char16_t* szData = nullptr);

    bool InitializeInternal();
    void DestroyInternal();
    bool EnqueueEventInternal(DWORD dwCode, const char16_t* szData, const SYSTEMTIME& time);

    size_t QueuedCount();

private:
    struct CNotifyRecord {
        DWORD dwCode;
        std::u16string sData;
        FILETIME ftTime;
    };

    class NotifySenderThread : public CThread {
    public:
        NotifySenderThread(CNotifyEventSender* pSender, CEvent& queueEvent, CEvent& shutdownEvent);
        ~NotifySenderThread() override;

    protected:
        DWORD Run() override;
        bool InitInstance() override;
        void ExitInstance() override;

    private:
        // Registers again when the event manager went away and is back; false while it is away.
        bool CheckConnection();
        bool Reconnect();
        // Publishes the records queued now; without a connection each is logged and dropped.
        void PublishQueued();
        bool Publish(const CNotifyRecord& record);
        static void LogUnsent(const CNotifyRecord& record);

        CNotifyEventSender* m_pSender;
        CEvent& m_QueueNotifyEvent;
        CEvent& m_ShutdownEvent;
        CObjectLoader m_ProxyFactoryLoader;
        CObjectLoader m_EventFactoryLoader;
        CComPtr<IKTProxyFactory> m_ProxyFactory;
        CComPtr<IKTEventFactory> m_EventFactory;
        CComPtr<CEventManagerHelper> m_EventManagerHelper;
        CProviderHelper m_ProviderHelper;
        CEventManagerReconnector m_Reconnector;
    };

    bool TakeFirst(CNotifyRecord* pRecord);

    IEventBridgeSource* m_pSource;
    bool m_bInitialized = false;
    // NOTIFY_ENDED is queued; under m_QueueAccessLock.
    bool m_bEnded = false;
    std::unique_ptr<NotifySenderThread> m_EventSendingThread;
    CEvent m_QueueNotifyEvent;
    CEvent m_ShutdownEvent;
    std::deque<CNotifyRecord> m_Queue;
    CCriticalSection m_QueueAccessLock;
};
