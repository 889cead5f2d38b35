#include "events/subscriber_helper.h"

#include <new>

#include "diagnostics/user_debug_output.h"

CSubscriberHelper::~CSubscriberHelper() {
    UnregisterAll();
}

HRESULT STDMETHODCALLTYPE CSubscriberHelper::QueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IUnknown || riid == IID_IKTEventSubscriberCallback) {
        *ppv = static_cast<IKTEventSubscriberCallback*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

void CSubscriberHelper::UnregisterAll() {
    if (m_pEventManagerHelper) {
        for (const auto& [nType, nSubscriberId] : m_SubscriberIdMap) {
            m_pEventManagerHelper->UnregisterSubscriber(nSubscriberId);
        }
    }
    m_SubscriberIdMap.clear();
    m_pEventManagerHelper.Release();
}

bool CSubscriberHelper::Create(CEventManagerHelper* pEventManagerHelper,
                               const KT_SUBSCRIPTION* pSubscriptions, ULONG nCount) {
    UnregisterAll();
    if (pEventManagerHelper == nullptr) {
        TraceOut1(
            u"CSubscriberHelper::Create() : pEventManagerHelper->RegisterSubscriber() != CError::eNoError\n");
        return false;
    }
    // Held while registering, so that a failure can undo what stood already.
    m_pEventManagerHelper = CComPtr<CEventManagerHelper>(pEventManagerHelper);
    try {
        for (ULONG nIndex = 0; nIndex < nCount; ++nIndex) {
            const KT_SUBSCRIPTION& subscription = pSubscriptions[nIndex];
            LONG nSubscriberId = 0;
            if (pEventManagerHelper->RegisterSubscriber(this, subscription.nEventType, subscription.nParam1,
                                                        subscription.pEventStates, subscription.nStateCount,
                                                        subscription.nParam2, subscription.bFlag != 0,
                                                        &nSubscriberId) != CError::eNoError) {
                TraceOut1(
                    u"CSubscriberHelper::Create() : pEventManagerHelper->RegisterSubscriber() != "
                    u"CError::eNoError\n");
                UnregisterAll();
                return false;
            }
            m_SubscriberIdMap[subscription.nEventType] = nSubscriberId;
        }
    } catch (const std::bad_alloc&) {
        TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
        UnregisterAll();
        return false;
    }
    return true;
}

LONG CSubscriberHelper::Forward(bool bCommit, IKTEvent* pEvent) {
    const char16_t* szName = bCommit ? u"CommitEvent" : u"CancelEvent";
    if (!m_pEventManagerHelper) {
        TraceOut1(u"CSubscriberHelper::%s() : m_pEventManagerHelper == NULL\n", szName);
        return CError::eFailure;
    }
    ULONG nType = 0;
    const auto it = pEvent != nullptr && pEvent->GetType(&nType) >= 0 ? m_SubscriberIdMap.find(nType)
                                                                      : m_SubscriberIdMap.end();
    if (it == m_SubscriberIdMap.end()) {
        TraceOut1(u"CSubscriberHelper::%s() : m_SubscriberIdMap.find() == m_SubscriberIdMap.end()\n", szName);
        return CError::eFailure;
    }
    return bCommit ? m_pEventManagerHelper->CommitEvent(it->second, pEvent)
                   : m_pEventManagerHelper->CancelEvent(it->second, pEvent);
}

LONG CSubscriberHelper::CommitEvent(IKTEvent* pEvent) {
    return Forward(true, pEvent);
}

LONG CSubscriberHelper::CancelEvent(IKTEvent* pEvent) {
    return Forward(false, pEvent);
}
