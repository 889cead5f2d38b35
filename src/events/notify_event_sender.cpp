#include "events/notify_event_sender.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "diagnostics/user_debug_output.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

CNotifyEventSender g_NotifyEventSender;

CThread::COptions SenderThreadOptions() {
    CThread::COptions options;
    options.m_bPumpMessages = true;
    options.m_eApartment = CThread::APARTMENT_MULTITHREADED;
    // Initialize succeeds even when the thread's own set-up fails later: the queue then fills up.
    options.m_bWaitForInitInstance = false;
    return options;
}

}  // namespace

CNotifyEventSender::CNotifyEventSender(IEventBridgeSource* pSource) : m_pSource(pSource) {}

CNotifyEventSender::~CNotifyEventSender() {
    if (m_bInitialized) {
        DebugOut2(DBG_CAT_NOTIFY_SENDER, u"CNotifyEventSender::~CNotifyEventSender - Destroy not called\n");
        DestroyInternal();
    }
}

bool CNotifyEventSender::Initialize() {
    return g_NotifyEventSender.InitializeInternal();
}

void CNotifyEventSender::Destroy() {
    g_NotifyEventSender.DestroyInternal();
}

bool CNotifyEventSender::EnqueueEvent(DWORD dwCode, const char16_t* szData, const SYSTEMTIME& time) {
    return g_NotifyEventSender.EnqueueEventInternal(dwCode, szData, time);
}

bool CNotifyEventSender::EnqueueEvent(DWORD dwCode, const char16_t* szData) {
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    return g_NotifyEventSender.EnqueueEventInternal(dwCode, szData, now);
}

bool CNotifyEventSender::InitializeInternal() {
    if (m_bInitialized) {
        return false;
    }
    if (!m_QueueNotifyEvent.IsCreated() && !m_QueueNotifyEvent.Create(nullptr, false, false)) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::InitializeInternal - m_QueueNotifyEvent.Create() failed\n");
        return false;
    }
    if (!m_ShutdownEvent.IsCreated() && !m_ShutdownEvent.Create(nullptr, false, false)) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::InitializeInternal - m_ShutdownEvent.Create() failed\n");
        return false;
    }
    if (!m_QueueAccessLock.Create()) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::InitializeInternal - m_QueueAccessLock.Create() failed\n");
        return false;
    }
    // A shutdown request left over from an earlier run must not end the new thread at once.
    m_ShutdownEvent.ResetEvent();
    try {
        m_EventSendingThread =
            std::make_unique<NotifySenderThread>(this, m_QueueNotifyEvent, m_ShutdownEvent);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::InitializeInternal - m_EventSendingThread.Create() failed\n");
        return false;
    }
    if (!m_EventSendingThread->Create(nullptr, 0, 0)) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::InitializeInternal - m_EventSendingThread.Create() failed\n");
        m_EventSendingThread.reset();
        return false;
    }
    std::lock_guard lock(m_QueueAccessLock);
    m_bInitialized = true;
    m_bEnded = false;
    return true;
}

void CNotifyEventSender::DestroyInternal() {
    if (!m_bInitialized) {
        return;
    }
    {
        std::lock_guard lock(m_QueueAccessLock);
        m_bInitialized = false;
    }
    const bool bSet = m_ShutdownEvent.SetEvent();
    if (!bSet || platform::WaitForSingleObject(m_EventSendingThread->ThreadHandle(),
                                               THREAD_STOP_TIMEOUT_MS) != WAIT_OBJECT_0) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::DestroyInternal - Thread did not respond in time\n");
    }
    // Ended already, or killed here.
    m_EventSendingThread->Terminate(0);
    m_EventSendingThread.reset();
    std::lock_guard lock(m_QueueAccessLock);
    m_Queue.clear();
}

bool CNotifyEventSender::EnqueueEventInternal(DWORD dwCode, const char16_t* szData, const SYSTEMTIME& time) {
    try {
        std::unique_lock lock(m_QueueAccessLock);
        if (!m_bInitialized) {
            lock.unlock();
            DebugOut1(
                DBG_CAT_NOTIFY_SENDER,
                u"CNotifyEventSender::EnqueueEvent - Internal initialization is not complete. Unable to "
                u"Enqueue event.\n");
            return false;
        }
        lock.unlock();
        const char16_t* szText = szData != nullptr ? szData : u"";
        DebugOut3(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::EnqueueEvent - Sending event: code=%d, data=\"%s\"\n",
                  static_cast<LONG>(dwCode), szText);
        CNotifyRecord record{dwCode, szText, {}};
        platform::SystemTimeToFileTime(&time, &record.ftTime);

        lock.lock();
        if (!m_bInitialized) {
            // Destroyed meanwhile: nothing would send it.
            return false;
        }
        if (m_bEnded) {
            lock.unlock();
            DebugOut2(DBG_CAT_NOTIFY_SENDER,
                      u"CNotifyEventSender::EnqueueEvent - Run ended, event refused: code=%d, data=\"%s\"\n",
                      static_cast<LONG>(dwCode), szText);
            return false;
        }
        if (m_Queue.size() >= MAX_QUEUED_EVENTS) {
            lock.unlock();
            DebugOut2(DBG_CAT_NOTIFY_SENDER, u"CNotifyEventSender::EnqueueEvent - Queue full\n");
            return false;
        }
        m_Queue.push_back(std::move(record));
        m_bEnded = dwCode == NOTIFY_ENDED;
        if (!m_QueueNotifyEvent.SetEvent()) {
            lock.unlock();
            DebugOut1(DBG_CAT_NOTIFY_SENDER,
                      u"CNotifyEventSender::EnqueueEvent - m_QueueNotifyEvent.SetEvent() failed\n");
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER, u"CNotifyEventSender::EnqueueEvent - Out of memory\n");
        return false;
    }
}

size_t CNotifyEventSender::QueuedCount() {
    std::lock_guard lock(m_QueueAccessLock);
    return m_Queue.size();
}

bool CNotifyEventSender::TakeFirst(CNotifyRecord* pRecord) {
    std::lock_guard lock(m_QueueAccessLock);
    if (m_Queue.empty()) {
        return false;
    }
    *pRecord = std::move(m_Queue.front());
    m_Queue.pop_front();
    return true;
}

CNotifyEventSender::NotifySenderThread::NotifySenderThread(CNotifyEventSender* pSender, CEvent& queueEvent,
                                                           CEvent& shutdownEvent)
    : CThread(SenderThreadOptions()),
      m_pSender(pSender),
      m_QueueNotifyEvent(queueEvent),
      m_ShutdownEvent(shutdownEvent),
      m_Reconnector(pSender->m_pSource, u"CNotifyEventSender::NotifySenderThread::CheckConnection()",
                    u"notifications", DBG_CAT_NOTIFY_SENDER) {}

CNotifyEventSender::NotifySenderThread::~NotifySenderThread() {
    // A thread that was killed never ran ExitInstance.
    ExitInstance();
}

bool CNotifyEventSender::NotifySenderThread::InitInstance() {
    IEventBridgeSource* pSource = m_pSender->m_pSource;
    bool bResult = false;
    if (!m_EventFactory &&
        (!ZEL_SUCCEEDED(pSource->CreateEventFactory(&m_EventFactoryLoader, &m_EventFactory)) ||
         !m_EventFactory)) {
        DebugOut1(
            DBG_CAT_NOTIFY_SENDER,
            u"CNotifyEventSender::NotifySenderThread::InitInstance - m_EventFactoryLoader.CreateObject() "
            u"failed.\n");
    } else if (!m_ProxyFactory &&
               (!ZEL_SUCCEEDED(pSource->CreateProxyFactory(&m_ProxyFactoryLoader, &m_ProxyFactory)) ||
                !m_ProxyFactory)) {
        DebugOut1(
            DBG_CAT_NOTIFY_SENDER,
            u"CNotifyEventSender::NotifySenderThread::InitInstance - m_ProxyFactoryLoader.CreateObject() "
            u"failed.\n");
    } else {
        try {
            m_EventManagerHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
            if (!pSource->ConnectEventManager(m_EventManagerHelper.Get(), m_EventFactory.Get(),
                                              m_ProxyFactory.Get())) {
                DebugOut1(
                    DBG_CAT_NOTIFY_SENDER,
                    u"CNotifyEventSender::NotifySenderThread::InitInstance - m_EventManagerHelper.Create() "
                    u"failed.\n");
            } else if (!m_ProviderHelper.Create(m_EventManagerHelper.Get(), false)) {
                DebugOut1(DBG_CAT_NOTIFY_SENDER,
                          u"CNotifyEventSender::NotifySenderThread::InitInstance - m_ProviderHelper.Create() "
                          u"failed.\n");
            } else {
                bResult = true;
            }
        } catch (const std::bad_alloc&) {
            DebugOut1(DBG_CAT_NOTIFY_SENDER, u"LCCATCH : %s\n", u"std::bad_alloc");
        }
    }
    if (!bResult) {
        ExitInstance();
    }
    return bResult;
}

void CNotifyEventSender::NotifySenderThread::ExitInstance() {
    m_ProviderHelper.Release();
    m_EventManagerHelper.Release();
    m_ProxyFactory.Release();
    m_EventFactory.Release();
}

DWORD CNotifyEventSender::NotifySenderThread::Run() {
    const HANDLE handles[2] = {m_ShutdownEvent.Handle(), m_QueueNotifyEvent.Handle()};
    for (;;) {
        const DWORD dwWait = CMessageLock().LockWithMessagePump(handles, 2, false, INFINITE);
        if (dwWait == WAIT_OBJECT_0) {
            return 0;
        }
        if (dwWait != WAIT_OBJECT_0 + 1) {
            continue;
        }
        PublishQueued();
    }
}

bool CNotifyEventSender::NotifySenderThread::Reconnect() {
    CComPtr<CEventManagerHelper> pHelper =
        ConnectEventManager(m_pSender->m_pSource, m_EventFactory.Get(), m_ProxyFactory.Get());
    if (!pHelper || !m_ProviderHelper.Create(pHelper.Get(), false)) {
        return false;
    }
    m_EventManagerHelper = std::move(pHelper);
    return true;
}

bool CNotifyEventSender::NotifySenderThread::CheckConnection() {
    return m_Reconnector.Check(m_EventManagerHelper.Get(), [this] { return Reconnect(); });
}

void CNotifyEventSender::NotifySenderThread::PublishQueued() {
    // Looked at once per wake-up, not per record; an idle sender does not watch the connection, its
    // registration comes back with the next notification.
    bool bConnected = CheckConnection();
    // The queue event is auto-reset: everything queued meanwhile goes out on this one wake-up.
    CNotifyRecord record;
    while (m_pSender->TakeFirst(&record)) {
        if (!bConnected) {
            LogUnsent(record);
            m_Reconnector.CountDropped();
        } else if (!Publish(record) && !m_EventManagerHelper->IsConnected()) {
            // Gone in the middle of a burst: the rest is dropped without calling it.
            m_Reconnector.CountDropped();
            bConnected = false;
        }
    }
}

void CNotifyEventSender::NotifySenderThread::LogUnsent(const CNotifyRecord& record) {
    DebugOut1(DBG_CAT_ALL,
              u"CNotifyEventSender::NotifySenderThread::Run - Unable to send event; code=%d, data=\"%s\"\n",
              static_cast<LONG>(record.dwCode), record.sData);
}

bool CNotifyEventSender::NotifySenderThread::Publish(const CNotifyRecord& record) {
    SYSTEMTIME time{};
    platform::FileTimeToSystemTime(&record.ftTime, &time);
    bool bSent = false;
    CComPtr<IKTEvent> pEvent;
    const LONG nNew = m_EventManagerHelper->NewEvent(KT_EVENT_NOTIFY, &pEvent);
    if (nNew != CError::eNoError || !pEvent) {
        DebugOut1(DBG_CAT_NOTIFY_SENDER,
                  u"CNotifyEventSender::NotifySenderThread::Run - m_EventManagerHelper.NewEvent() != "
                  u"eNoError (%d)\n",
                  nNew);
    } else {
        CComPtr<IKTNotifyEvent> pNotifyEventPtr;
        pEvent->QueryInterface(IID_IKTNotifyEvent, reinterpret_cast<void**>(&pNotifyEventPtr));
        if (!pNotifyEventPtr) {
            DebugOut1(DBG_CAT_NOTIFY_SENDER,
                      u"CNotifyEventSender::NotifySenderThread::Run - pNotifyEventPtr == NULL\n");
        } else {
            pNotifyEventPtr->SetCode(record.dwCode);
            pNotifyEventPtr->SetTime(&time);
            if (!record.sData.empty()) {
                pNotifyEventPtr->SetData(record.sData.c_str());
            }
            LONG nEventId = 0;
            const LONG nCreate = m_ProviderHelper.CreateEvent(pEvent.Get(), true, &nEventId);
            if (nCreate != CError::eNoError) {
                DebugOut1(DBG_CAT_NOTIFY_SENDER,
                          u"CNotifyEventSender::NotifySenderThread::Run - m_ProviderHelper.CreateEvent() != "
                          u"eNoError (%d)\n",
                          nCreate);
            } else {
                bSent = true;
            }
        }
    }
    if (!bSent) {
        LogUnsent(record);
    }
    return bSent;
}
