// The receiving side of the driver channel: two listener threads read whole messages and hand each
// to the subscriptions of its type, in the order they were made; a subscription that declines a
// message passes it on to the next one, and a message nobody takes is destroyed.
//
// Locks are always taken in one order: m_MapLock, then m_ActiveMessagesLock, then a subscription's
// m_MsgQueueLock (the listener releases m_MapLock before delivering); m_BacklogLock comes last and
// nothing is waited for while it is held.
//
// The backlog bound: the listeners read a message from the driver only while fewer than the limit
// are queued or being handled; at the limit they pause until one is handled (or the subscriber
// stops), and the driver's sends wait in the channel meanwhile.
#pragma once

#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "channel/message_channel.h"
#include "platform/thread.h"
#include "service/sync_objects.h"
#include "service/thread.h"

constexpr HRESULT KTK_E_WAIT_TIMEOUT = HRESULT_FROM_WIN32(WAIT_TIMEOUT);  // 0x80070102
constexpr DWORD KTK_DEFAULT_BACKLOG_LIMIT = 4096;

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
    // Ends the listeners (a listener blocked in a read is ended by force after 5 s: close the channel
    // first) and aborts every subscription, including ones made from now on. The destructor does it too.
    void Stop();
    HRESULT SubscribeToMessageType(DWORD dwMessageType, CSubscriberInfo** ppSubscriber);
    HRESULT WaitForKTMessage(CSubscriberInfo* pSubscriber, CKTUMessage** ppMsg, DWORD dwTimeout);
    HRESULT MessageWasHandled(CKTUMessage** ppMsg);
    HRESULT MessageNotHandled(CKTUMessage** ppMsg);
    void Unsubscribe(CSubscriberInfo** ppSubscriber);

    // The exit codes of the listeners once they have ended (STILL_ACTIVE while they run).
    DWORD ListenerExitCode(int nIndex);

    // Messages read from the channel and not yet handled, at most this many. Set before listening.
    void SetBacklogLimit(DWORD dwLimit) { m_dwBacklogLimit = dwLimit == 0 ? 1 : dwLimit; }
    // Where each pause of the listeners at the bound is counted, besides BacklogStalls().
    void SetBacklogStallCounter(std::atomic<ULONGLONG>* pCounter) { m_pStallCounter = pCounter; }
    DWORD Backlog();
    ULONGLONG BacklogStalls() const { return m_ullStalls.load(); }
    // Where the loss of the channel (the listeners ended by anything but a close) is counted, once.
    void SetChannelLostCounter(std::atomic<ULONGLONG>* pCounter) { m_pLostCounter = pCounter; }
    bool ChannelLost() const { return m_bChannelLost.load(); }

private:
    using SubscriberList = std::list<std::shared_ptr<CSubscriberInfo>>;

    void Dispatch(CKTUMessage* pMsg);
    // A place in the backlog for the next read; waits while it is full. False when hStop was set.
    bool AcquireBacklogSlot(HANDLE hStop);
    void ReleaseBacklogSlot();
    // A listener ended by a failure: both will, so it is told and counted once.
    void OnChannelLost();
    // Destroys a message read from the channel and gives its place in the backlog back.
    void ReleaseMessage(CKTUMessage* pMsg);
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
    bool m_bStopped = false;  // under m_MapLock

    std::mutex m_BacklogLock;
    DWORD m_dwBacklog = 0;  // under m_BacklogLock
    DWORD m_dwBacklogLimit = KTK_DEFAULT_BACKLOG_LIMIT;
    CEvent m_BacklogRoom{true, true};
    std::atomic<ULONGLONG> m_ullStalls{0};
    std::atomic<ULONGLONG>* m_pStallCounter = nullptr;
    std::atomic<bool> m_bChannelLost{false};
    std::atomic<ULONGLONG>* m_pLostCounter = nullptr;
};
