// The receiving side of the driver channel: two listener threads read whole messages and hand each
// to the subscriptions of its type, in the order they were made; a subscription that declines a
// message passes it on to the next one, and a message nobody takes is destroyed.
//
// Locks are always taken in one order: m_MapLock, then m_ActiveMessagesLock, then a subscription's
// m_MsgQueueLock (the listener releases m_MapLock before delivering).
#pragma once

#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <unordered_map>

#include "channel/message_channel.h"
#include "platform/thread.h"
#include "service/sync_objects.h"
#include "service/thread.h"

constexpr HRESULT KTK_E_WAIT_TIMEOUT = HRESULT_FROM_WIN32(WAIT_TIMEOUT);  // 0x80070102

class CKTKChannelSubscriber {
public:
    // One subscription. Records are shared: the subscription map, the lists of pending messages and a
    // waiting component each hold a reference, so a record outlives every path that may still reach it.
    class CSubscriberInfo : public std::enable_shared_from_this<CSubscriberInfo> {
    public:
        explicit CSubscriberInfo(CKTKChannelSubscriber* pOwner) : m_pOwner(pOwner) {}
        CSubscriberInfo(const CSubscriberInfo&) = delete;
        CSubscriberInfo& operator=(const CSubscriberInfo&) = delete;

        bool Init(DWORD dwMessageType);
        // Queues a message and wakes the waiter. Caller holds m_ActiveMessagesLock.
        void Alert(CKTUMessage* pMsg);
        // The first queued message, or null; clears the event whenever it takes one.
        CKTUMessage* Pop();
        // Caller holds m_ActiveMessagesLock: every queued message is destroyed, waits end with E_ABORT.
        void Abort();
        HRESULT Wait(CKTUMessage** ppMsg, DWORD dwTimeout);

        DWORD m_dwMessageType = 0;
        CEvent m_hEvent;
        std::deque<CKTUMessage*> m_MsgQueue;
        CCriticalSection m_MsgQueueLock;
        CKTKChannelSubscriber* m_pOwner;
        // Set under m_ActiveMessagesLock by Unsubscribe and Abort: no delivery reaches the record after.
        bool m_bDetached = false;
        std::atomic<bool> m_bAborted{false};
    };

    class CChannelListener : public CThread {
    public:
        bool Create(DWORD dwCreationFlags);
        CKTKChannelSubscriber* m_pSubscriber = nullptr;
        std::atomic<DWORD> m_dwExitCode{platform::STILL_ACTIVE};

    protected:
        DWORD Run() override;
    };

    CKTKChannelSubscriber() = default;
    // Stops the listeners (they never outlive the subscriber), aborts every subscription and releases
    // the messages still known to it, including ones a component took and has not given back.
    virtual ~CKTKChannelSubscriber();
    CKTKChannelSubscriber(const CKTKChannelSubscriber&) = delete;
    CKTKChannelSubscriber& operator=(const CKTKChannelSubscriber&) = delete;

    bool Initialize();
    bool StartListeningForMessages(CKTUMessageChannel* pChannel);
    HRESULT SubscribeToMessageType(DWORD dwMessageType, CSubscriberInfo** ppSubscriber);
    HRESULT WaitForKTMessage(CSubscriberInfo* pSubscriber, CKTUMessage** ppMsg, DWORD dwTimeout);
    HRESULT MessageWasHandled(CKTUMessage** ppMsg);
    HRESULT MessageNotHandled(CKTUMessage** ppMsg);
    void Unsubscribe(CSubscriberInfo** ppSubscriber);

    // The exit codes of the listeners once they have ended (STILL_ACTIVE while they run).
    DWORD ListenerExitCode(int nIndex);

private:
    using SubscriberList = std::list<std::shared_ptr<CSubscriberInfo>>;

    void Stop();
    void Dispatch(CKTUMessage* pMsg);
    // Hands the message to the first subscription of its list that is still attached; destroys it when
    // none is left. Caller holds m_ActiveMessagesLock.
    bool DeliverToFirst(CKTUMessage* pMsg, SubscriberList& subscribers);

    CChannelListener m_Listeners[2];
    std::multimap<DWORD, std::shared_ptr<CSubscriberInfo>> m_SubscriptionMap;
    CCriticalSection m_MapLock;
    std::unordered_map<CKTUMessage*, SubscriberList> m_ActiveMessages;
    CCriticalSection m_ActiveMessagesLock;
    CEvent m_AllUnsubscribed{true, true};
    std::atomic<CKTUMessageChannel*> m_pChannel{nullptr};
};
