// The service's connection to the event manager: finds it running, creates its client object, and
// keeps the proxies it registers so that every registration is handed back when it ends.
#pragma once

#include <map>

#include "events/event_interfaces.h"
#include "service/sync_objects.h"

class CEventManagerHelper : private CRefCounted {
public:
    static constexpr const char16_t* RUNNING_MUTEX_NAME = u"zuZazEzi_Running";

    CEventManagerHelper() = default;
    CEventManagerHelper(const CEventManagerHelper&) = delete;
    CEventManagerHelper& operator=(const CEventManagerHelper&) = delete;

    // Shared by a provider or subscriber helper and its owner, whichever goes last.
    ULONG AddRef() { return AddRefImpl(); }
    ULONG Release() { return ReleaseImpl(); }

    static bool IsEventManagerActive();
    // The same test without a word in the log, for callers that ask again and again.
    static bool RunningMutexExists();

    // Whether the connection Create made still stands: the event manager object is there and still
    // running. Registrations made through a connection that is gone went with it.
    bool IsConnected();

    // Never starts the event manager: it has to be running already.
    bool Create(IKTEventFactory* pEventFactory, IKTProxyFactory* pProxyFactory);
    // Connects to an event manager object created elsewhere (an in-process one, such as a test's).
    bool Create(IKTEventManager* pEventManager, IKTEventFactory* pEventFactory,
                IKTProxyFactory* pProxyFactory);

    LONG RegisterProvider(IKTEventProviderCallback* pCallback, LONG* pnProviderId);
    LONG UnregisterProvider(LONG nProviderId);
    LONG RegisterSubscriber(IKTEventSubscriberCallback* pCallback, ULONG nEventType, ULONG nParam1,
                            const LONG* pEventStates, LONG nStateCount, ULONG nParam2, bool bFlag,
                            LONG* pnSubscriberId);
    LONG UnregisterSubscriber(LONG nSubscriberId);
    LONG CreateEvent(LONG nProviderId, IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId);
    LONG CommitEvent(LONG nSubscriberId, IKTEvent* pEvent);
    LONG CancelEvent(LONG nSubscriberId, IKTEvent* pEvent);
    LONG NewEvent(ULONG nType, IKTEvent** ppEvent);
    LONG CopyEvent(IKTEvent* pEvent, IKTEvent** ppCopy);
    LONG DeleteEvent(IKTEvent* pEvent);

    size_t ProviderCount();
    size_t SubscriberCount();

private:
    ~CEventManagerHelper() override;

    void ReleaseAll();
    enum eTransportedCall { CALL_COMMIT, CALL_CANCEL };
    LONG SendTransported(eTransportedCall eCall, LONG nSubscriberId, IKTEvent* pEvent);

    CComPtr<IKTEventManager> m_piEventManager;
    CComPtr<IKTEventFactory> m_pEventFactory;
    CComPtr<IKTProxyFactory> m_pProxyFactory;
    std::map<LONG, IKTProviderProxy*> m_ProviderMap;
    std::map<LONG, IKTSubscriberProxy*> m_SubscriberMap;
    CCriticalSection m_MapLock;
};
