#include "channel/channel_subscriber.h"

#include <mutex>
#include <new>
#include <vector>

#include "diagnostics/user_debug_output.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {
constexpr DWORD LISTENER_STOP_TIMEOUT_MS = 5000;
constexpr DWORD UNSUBSCRIBE_GRACE_MS = 1000;
}  // namespace

// --- CSubscriberInfo

bool CKTKChannelSubscriber::CSubscriberInfo::Init(DWORD dwMessageType) {
    m_dwMessageType = dwMessageType;
    bool bResult = true;
    if (!m_MsgQueueLock.Create()) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::CSubscriberInfo::Init - m_MsgQueueLock.Create() failed\n");
        bResult = false;
    }
    if (!m_hEvent.Create(nullptr, true, false)) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::CSubscriberInfo::Init - m_hEvent.Create() failed\n");
        bResult = false;
    }
    return bResult;
}

void CKTKChannelSubscriber::CSubscriberInfo::Alert(CKTUMessage* pMsg) {
    std::lock_guard lock(m_MsgQueueLock);
    try {
        m_MsgQueue.push_back(pMsg);
    } catch (const std::exception& e) {
        DebugOut1(DBG_CAT_MODULE, u"CKTKChannelSubscriber::CSubscriberInfo::Alert - exception caught: %S\n",
                  e.what());
    }
    if (!m_hEvent.SetEvent()) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::CSubscriberInfo::Alert - m_hEvent.SetEvent() failed\n");
    }
}

CKTUMessage* CKTKChannelSubscriber::CSubscriberInfo::Pop() {
    std::lock_guard lock(m_MsgQueueLock);
    if (m_MsgQueue.empty()) {
        return nullptr;
    }
    CKTUMessage* pMsg = m_MsgQueue.front();
    m_MsgQueue.pop_front();
    m_hEvent.ResetEvent();
    return pMsg;
}

void CKTKChannelSubscriber::CSubscriberInfo::Abort() {
    // m_ActiveMessagesLock is held by the caller and taken before the queue lock, so the messages are
    // moved out here and released after the queue lock is given up.
    std::deque<CKTUMessage*> queued;
    {
        std::lock_guard lock(m_MsgQueueLock);
        m_bDetached = true;
        m_bAborted = true;
        queued.swap(m_MsgQueue);
        if (!m_hEvent.SetEvent()) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTKChannelSubscriber::CSubscriberInfo::Abort - m_hEvent.SetEvent() failed\n");
        }
    }
    for (CKTUMessage* pMsg : queued) {
        m_pOwner->MessageWasHandled(&pMsg);
    }
}

HRESULT CKTKChannelSubscriber::CSubscriberInfo::Wait(CKTUMessage** ppMsg, DWORD dwTimeout) {
    if ((*ppMsg = Pop()) != nullptr) {
        return S_OK;
    }
    if (m_bAborted) {
        return E_ABORT;
    }
    const DWORD dwWait = platform::WaitForSingleObject(m_hEvent.Handle(), dwTimeout);
    if (dwWait == WAIT_TIMEOUT) {
        DebugOut2(DBG_CAT_MODULE, u"CKTKChannelSubscriber::CSubscriberInfo::Wait - Wait timed out\n");
        return KTK_E_WAIT_TIMEOUT;
    }
    if (dwWait != WAIT_OBJECT_0) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::CSubscriberInfo::Wait - WaitForSingleObject returned %#08X "
                  u"(error=%#08X)\n",
                  dwWait, platform::GetLastError());
        return E_FAIL;
    }
    std::lock_guard lock(m_MsgQueueLock);
    m_hEvent.ResetEvent();
    if (m_MsgQueue.empty()) {
        return E_ABORT;
    }
    *ppMsg = m_MsgQueue.front();
    m_MsgQueue.pop_front();
    return S_OK;
}

// --- CChannelListener

bool CKTKChannelSubscriber::CChannelListener::Create(DWORD dwCreationFlags) {
    if (m_pSubscriber == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTKChannelSubscriber::CChannelListener::Create - pSubscriber==NULL\n");
        return false;
    }
    return CThread::Create(nullptr, 0, dwCreationFlags);
}

DWORD CKTKChannelSubscriber::CChannelListener::Run() {
    // A listener stopped before it was started has no channel, or while it waited for room in the
    // backlog: both orderly ends.
    DWORD dwResult = KTU_MSG_CHANNEL_CLOSED;
    while (CKTUMessageChannel* pChannel = m_pSubscriber->m_pChannel.load()) {
        if (!m_pSubscriber->AcquireBacklogSlot(TerminateEvent())) {
            dwResult = KTU_MSG_CHANNEL_CLOSED;
            break;
        }
        CKTUMessage* pMsg = nullptr;
        dwResult = pChannel->ReceiveKTMessage(&pMsg);
        if (dwResult != KTU_MSG_CHANNEL_SUCCESS) {
            m_pSubscriber->ReleaseBacklogSlot();
            break;
        }
        m_pSubscriber->Dispatch(pMsg);
    }
    DWORD dwExitCode = 0;
    if (dwResult != KTU_MSG_CHANNEL_CLOSED) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::CChannelListener::Run - Could not receive message (status = %d)\n",
                  dwResult);
        dwExitCode = 1;
        m_pSubscriber->OnChannelLost();
    }
    m_dwExitCode = dwExitCode;
    return dwExitCode;
}

// --- CKTKChannelSubscriber

void CKTKChannelSubscriber::OnChannelLost() {
    if (m_bChannelLost.exchange(true)) {
        return;
    }
    DebugOut1(DBG_CAT_MODULE,
              u"CKTKChannelSubscriber::CChannelListener::Run - the driver channel is lost: no more messages "
              u"are received from the driver until the service restarts\n");
    if (m_pLostCounter != nullptr) {
        m_pLostCounter->fetch_add(1, std::memory_order_relaxed);
    }
}

CKTKChannelSubscriber::~CKTKChannelSubscriber() {
    Stop();
    if (!m_AllUnsubscribed.Lock(0) && !m_AllUnsubscribed.Lock(UNSUBSCRIBE_GRACE_MS)) {
        DebugOut2(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::~CKTKChannelSubscriber - Not all subscribers have unregistered "
                  u"from events\n");
    }
    // Messages components took and never gave back: the subscriber is their last owner.
    std::lock_guard lock(m_ActiveMessagesLock);
    for (auto& [pMsg, subscribers] : m_ActiveMessages) {
        ReleaseMessage(pMsg);
    }
    m_ActiveMessages.clear();
}

void CKTKChannelSubscriber::Stop() {
    for (CChannelListener& listener : m_Listeners) {
        listener.Terminate(LISTENER_STOP_TIMEOUT_MS);
    }
    std::lock_guard mapLock(m_MapLock);
    m_bStopped = true;
    std::lock_guard activeLock(m_ActiveMessagesLock);
    for (auto& [dwType, pSubscriber] : m_SubscriptionMap) {
        pSubscriber->Abort();
    }
}

bool CKTKChannelSubscriber::Initialize() {
    bool bResult = true;
    for (CChannelListener& listener : m_Listeners) {
        listener.m_pSubscriber = this;
        if (!listener.Create(platform::CREATE_SUSPENDED)) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTKChannelSubscriber::Initialize - Unable to create listener thread\n");
            bResult = false;
        }
    }
    if (bResult && !m_MapLock.Create()) {
        DebugOut1(DBG_CAT_MODULE, u"CKTKChannelSubscriber::Initialize - m_MapLock.Create() failed\n");
        bResult = false;
    }
    if (bResult && !m_ActiveMessagesLock.Create()) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::Initialize - m_ActiveMessagesLock.Create() failed\n");
        bResult = false;
    }
    if (!bResult) {
        Stop();
    }
    return bResult;
}

bool CKTKChannelSubscriber::StartListeningForMessages(CKTUMessageChannel* pChannel) {
    if (pChannel == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTKChannelSubscriber::StartListeningForMessages - pChannel == NULL\n");
        return false;
    }
    m_pChannel = pChannel;
    for (CChannelListener& listener : m_Listeners) {
        listener.ResumeThread();
    }
    return true;
}

DWORD CKTKChannelSubscriber::ListenerExitCode(int nIndex) {
    return m_Listeners[nIndex].m_dwExitCode.load();
}

DWORD CKTKChannelSubscriber::Backlog() {
    std::lock_guard lock(m_BacklogLock);
    return m_dwBacklog;
}

bool CKTKChannelSubscriber::AcquireBacklogSlot(HANDLE hStop) {
    bool bStalled = false;
    for (;;) {
        {
            std::lock_guard lock(m_BacklogLock);
            if (m_dwBacklog < m_dwBacklogLimit) {
                ++m_dwBacklog;
                return true;
            }
            m_BacklogRoom.ResetEvent();
        }
        if (!bStalled) {
            bStalled = true;
            ++m_ullStalls;
            if (m_pStallCounter != nullptr) {
                m_pStallCounter->fetch_add(1, std::memory_order_relaxed);
            }
            DebugOut2(DBG_CAT_MODULE,
                      u"CKTKChannelSubscriber::CChannelListener::Run - %u messages not yet handled, reading "
                      u"paused\n",
                      m_dwBacklogLimit);
        }
        // No lock is held here: handling a message, which makes the room, takes the subscriber's locks.
        const HANDLE handles[2] = {m_BacklogRoom.Handle(), hStop};
        if (platform::WaitForMultipleObjects(2, handles, false, INFINITE) != WAIT_OBJECT_0) {
            return false;
        }
    }
}

void CKTKChannelSubscriber::ReleaseBacklogSlot() {
    std::lock_guard lock(m_BacklogLock);
    if (m_dwBacklog > 0) {
        if (m_dwBacklog-- == m_dwBacklogLimit) {
            m_BacklogRoom.SetEvent();
        }
    }
}

void CKTKChannelSubscriber::ReleaseMessage(CKTUMessage* pMsg) {
    CKTUMessageChannel::DestroyKTMessage(pMsg);
    ReleaseBacklogSlot();
}

void CKTKChannelSubscriber::Dispatch(CKTUMessage* pMsg) {
    const DWORD dwType = pMsg->GetType();
    SubscriberList subscribers;
    {
        std::lock_guard lock(m_MapLock);
        try {
            const auto range = m_SubscriptionMap.equal_range(dwType);
            for (auto it = range.first; it != range.second; ++it) {
                subscribers.push_back(it->second);
            }
        } catch (const std::bad_alloc&) {
            subscribers.clear();
        }
        if (subscribers.empty()) {
            DebugOut2(DBG_CAT_MODULE,
                      u"CKTKChannelSubscriber::CChannelListener::Run - No subscribers for event, type=%d\n",
                      dwType);
            ReleaseMessage(pMsg);
            return;
        }
    }
    std::lock_guard lock(m_ActiveMessagesLock);
    // Subscriptions that ended after they were collected are skipped here, under the same lock that
    // Unsubscribe detaches them with.
    while (!subscribers.empty() && subscribers.front()->m_bDetached) {
        subscribers.pop_front();
    }
    if (subscribers.empty()) {
        DebugOut2(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::CChannelListener::Run - No subscribers for event, type=%d\n",
                  dwType);
        ReleaseMessage(pMsg);
        return;
    }
    try {
        auto [it, bInserted] = m_ActiveMessages.emplace(pMsg, std::move(subscribers));
        it->second.front()->Alert(pMsg);
    } catch (const std::bad_alloc&) {
        ReleaseMessage(pMsg);
    }
}

bool CKTKChannelSubscriber::DeliverToFirst(CKTUMessage* pMsg, SubscriberList& subscribers) {
    while (!subscribers.empty() && subscribers.front()->m_bDetached) {
        subscribers.pop_front();
    }
    if (subscribers.empty()) {
        return false;
    }
    subscribers.front()->Alert(pMsg);
    return true;
}

HRESULT CKTKChannelSubscriber::SubscribeToMessageType(DWORD dwMessageType, CSubscriberInfo** ppSubscriber) {
    if (ppSubscriber == nullptr) {
        return E_INVALIDARG;
    }
    *ppSubscriber = nullptr;
    std::shared_ptr<CSubscriberInfo> pSubscriber;
    try {
        pSubscriber = std::make_shared<CSubscriberInfo>(this);
        *ppSubscriber = pSubscriber.get();
        if (!pSubscriber->Init(dwMessageType)) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTKChannelSubscriber::SubscribeToMessageType - pSubscriber.Init() failed\n");
            *ppSubscriber = nullptr;
            return E_FAIL;
        }
        std::lock_guard lock(m_MapLock);
        if (m_bStopped) {
            // Made after the stop: it would wait for ever. Its waits end at once, as an aborted one's.
            std::lock_guard queueLock(pSubscriber->m_MsgQueueLock);
            pSubscriber->m_bDetached = true;
            pSubscriber->m_bAborted = true;
            pSubscriber->m_hEvent.SetEvent();
        }
        // A multimap inserts after the existing entries of the key: subscription order is kept.
        m_SubscriptionMap.emplace(dwMessageType, pSubscriber);
        m_AllUnsubscribed.ResetEvent();
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::SubscribeToMessageType - Unable to allocate CSubscriberInfo "
                  u"object: %S\n",
                  e.what());
        *ppSubscriber = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CKTKChannelSubscriber::WaitForKTMessage(CSubscriberInfo* pSubscriber, CKTUMessage** ppMsg,
                                                DWORD dwTimeout) {
    if (pSubscriber == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTKChannelSubscriber::WaitForKTMessage - pSubscriber==NULL\n");
        return E_INVALIDARG;
    }
    if (ppMsg == nullptr) {
        return E_INVALIDARG;
    }
    *ppMsg = nullptr;
    // Held for the wait, so a record unsubscribed meanwhile stays valid until the waiter has left it.
    const std::shared_ptr<CSubscriberInfo> pHold = pSubscriber->shared_from_this();
    return pHold->Wait(ppMsg, dwTimeout);
}

HRESULT CKTKChannelSubscriber::MessageWasHandled(CKTUMessage** ppMsg) {
    std::lock_guard lock(m_ActiveMessagesLock);
    CKTUMessage* pMsg = ppMsg == nullptr ? nullptr : *ppMsg;
    const auto it = m_ActiveMessages.find(pMsg);
    if (it == m_ActiveMessages.end()) {
        DebugOut1(DBG_CAT_MODULE, u"CKTKChannelSubscriber::MessageWasHandled - pMsg not known: %#08p\n",
                  static_cast<const void*>(pMsg));
        return E_INVALIDARG;
    }
    m_ActiveMessages.erase(it);
    ReleaseMessage(pMsg);
    *ppMsg = nullptr;
    return S_OK;
}

HRESULT CKTKChannelSubscriber::MessageNotHandled(CKTUMessage** ppMsg) {
    std::lock_guard lock(m_ActiveMessagesLock);
    CKTUMessage* pMsg = ppMsg == nullptr ? nullptr : *ppMsg;
    const auto it = m_ActiveMessages.find(pMsg);
    if (it == m_ActiveMessages.end()) {
        DebugOut1(DBG_CAT_MODULE, u"CKTKChannelSubscriber::MessageNotHandled - pMsg not known: %#08p\n",
                  static_cast<const void*>(pMsg));
        return E_INVALIDARG;
    }
    SubscriberList& subscribers = it->second;
    if (!subscribers.empty()) {
        subscribers.pop_front();
    }
    if (!DeliverToFirst(pMsg, subscribers)) {
        DebugOut3(DBG_CAT_MODULE,
                  u"CKTKChannelSubscriber::MessageNotHandled - Deleting unhandled KT message (type=%d)\n",
                  pMsg->GetType());
        MessageWasHandled(ppMsg);
    }
    return S_OK;
}

void CKTKChannelSubscriber::Unsubscribe(CSubscriberInfo** ppSubscriber) {
    if (ppSubscriber == nullptr || *ppSubscriber == nullptr) {
        return;
    }
    CSubscriberInfo* pRecord = *ppSubscriber;
    std::shared_ptr<CSubscriberInfo> pSubscriber;
    bool bEmpty;
    {
        std::lock_guard lock(m_MapLock);
        const auto range = m_SubscriptionMap.equal_range(pRecord->m_dwMessageType);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second.get() == pRecord) {
                pSubscriber = std::move(it->second);
                m_SubscriptionMap.erase(it);
                break;
            }
        }
        bEmpty = m_SubscriptionMap.empty();
    }
    if (pSubscriber != nullptr) {
        std::lock_guard lock(m_ActiveMessagesLock);
        {
            std::lock_guard queueLock(pSubscriber->m_MsgQueueLock);
            pSubscriber->m_bDetached = true;
        }
        // Each queued message has this record first in its list: declining passes it on.
        while (CKTUMessage* pMsg = pSubscriber->Pop()) {
            MessageNotHandled(&pMsg);
        }
    }
    *ppSubscriber = nullptr;
    pSubscriber.reset();
    if (bEmpty) {
        std::lock_guard lock(m_MapLock);  // a subscription made meanwhile keeps the event clear
        if (m_SubscriptionMap.empty()) {
            m_AllUnsubscribed.SetEvent();
        }
    }
}
