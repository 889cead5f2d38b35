// A set of subscriptions of one subscriber, one per event type, held from Create to destruction.
// The derived class receives the events through OnEvent.
#pragma once

#include <map>

#include "events/event_manager_helper.h"

// One subscription as the owner describes it; the pass-through values go to the event manager as
// they are.
struct KT_SUBSCRIPTION {
    ULONG nEventType;
    ULONG nParam1;
    const LONG* pEventStates;
    LONG nStateCount;
    ULONG nParam2;
    BYTE bFlag;
};

class CSubscriberHelper : public IKTEventSubscriberCallback {
public:
    CSubscriberHelper() = default;
    virtual ~CSubscriberHelper();
    CSubscriberHelper(const CSubscriberHelper&) = delete;
    CSubscriberHelper& operator=(const CSubscriberHelper&) = delete;

    // The owner manages the object's life and unsubscribes before it goes.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    virtual void OnCreated() {}
    virtual LONG CommitEvent(IKTEvent* pEvent);
    virtual LONG CancelEvent(IKTEvent* pEvent);

    bool Create(CEventManagerHelper* pEventManagerHelper, const KT_SUBSCRIPTION* pSubscriptions,
                ULONG nCount);

protected:
    void UnregisterAll();

private:
    LONG Forward(bool bCommit, IKTEvent* pEvent);

    CComPtr<CEventManagerHelper> m_pEventManagerHelper;
    std::map<ULONG, LONG> m_SubscriberIdMap;
};
