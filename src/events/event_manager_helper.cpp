#include "events/event_manager_helper.h"

#include <mutex>
#include <new>

#include "diagnostics/user_debug_output.h"
#include "events/variant_array.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

VARIANT_BOOL ToVariantBool(bool b) {
    return b ? VARIANT_TRUE : VARIANT_FALSE;
}

// The transported form of one event, given back to its factory on every path.
class CTransported {
public:
    explicit CTransported(IKTEventFactory* pFactory) : m_pFactory(pFactory) {}
    ~CTransported() {
        if (m_bHeld) {
            m_pFactory->FreeTransported(&m_Event);
        }
    }
    CTransported(const CTransported&) = delete;
    CTransported& operator=(const CTransported&) = delete;

    LONG From(IKTEvent* pEvent) {
        const LONG nError = m_pFactory->ToTransported(pEvent, &m_Event);
        m_bHeld = nError == CError::eNoError;
        return nError;
    }
    const KT_TRANSPORTED_EVENT* Get() const { return &m_Event; }

private:
    IKTEventFactory* m_pFactory;
    KT_TRANSPORTED_EVENT m_Event{};
    bool m_bHeld = false;
};

LONG CaughtBadAlloc() {
    TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
    return CError::eException;
}

}  // namespace

CEventManagerHelper::~CEventManagerHelper() {
    ReleaseAll();
}

bool CEventManagerHelper::IsEventManagerActive() {
    CMutex runningMutex;
    if (!runningMutex.Open(platform::SYNCHRONIZE, false, RUNNING_MUTEX_NAME, true)) {
        TraceOut1(u"CEventManagerHelper::IsEventManagerActive() : runningMutex.Open() == FALSE, 0x%08X\n",
                  platform::GetLastError());
        return false;
    }
    return true;
}

bool CEventManagerHelper::RunningMutexExists() {
    // Past the mutex wrapper, which logs a name it cannot open.
    const std::u16string sName = std::u16string(u"Global\\") + RUNNING_MUTEX_NAME;
    const HANDLE hMutex = platform::OpenMutex(platform::SYNCHRONIZE, false, sName.c_str());
    if (hMutex == nullptr) {
        return false;
    }
    platform::CloseHandle(hMutex);
    return true;
}

bool CEventManagerHelper::IsConnected() {
    return m_piEventManager && platform::OleIsRunning(m_piEventManager.Get());
}

void CEventManagerHelper::ReleaseAll() {
    std::map<LONG, IKTProviderProxy*> providers;
    std::map<LONG, IKTSubscriberProxy*> subscribers;
    {
        std::lock_guard lock(m_MapLock);
        providers.swap(m_ProviderMap);
        subscribers.swap(m_SubscriberMap);
    }
    // Registrations still standing end with the helper, so no proxy outlives it.
    for (const auto& [nId, pProxy] : providers) {
        LONG nError = CError::eNoError;
        if (m_piEventManager) {
            m_piEventManager->UnregisterProvider(nId, &nError);
        }
        m_pProxyFactory->DeleteProviderProxy(pProxy);
    }
    for (const auto& [nId, pProxy] : subscribers) {
        LONG nError = CError::eNoError;
        if (m_piEventManager) {
            m_piEventManager->UnregisterSubscriber(nId, &nError);
        }
        m_pProxyFactory->DeleteSubscriberProxy(pProxy);
    }
    m_piEventManager.Release();
    m_pEventFactory.Release();
    m_pProxyFactory.Release();
}

bool CEventManagerHelper::Create(IKTEventFactory* pEventFactory, IKTProxyFactory* pProxyFactory) {
    if (!IsEventManagerActive()) {
        TraceOut1(u"CEventManagerHelper::Create() : IsEventManagerActive() == FALSE\n");
        return false;
    }
    ReleaseAll();
    // Any server context is allowed, so the object may stand for a server that has to be run first.
    CComPtr<IUnknown> pUnknown;
    HRESULT hr = platform::CoCreateInstance(CLSID_KTEventManager, nullptr, CLSCTX_ALL, IID_IUnknown,
                                            reinterpret_cast<void**>(&pUnknown));
    if (hr >= 0) {
        hr = platform::OleRun(pUnknown.Get());
    }
    CComPtr<IKTEventManager> pEventManager;
    if (hr >= 0) {
        hr = pUnknown->QueryInterface(IID_IKTEventManager, reinterpret_cast<void**>(&pEventManager));
    }
    if (hr != S_OK) {
        TraceOut1(u"CEventManagerHelper::Create() : m_piEventManager.CreateInstance() != S_OK, 0x%08X\n",
                  static_cast<DWORD>(hr));
        return false;
    }
    return Create(pEventManager.Get(), pEventFactory, pProxyFactory);
}

bool CEventManagerHelper::Create(IKTEventManager* pEventManager, IKTEventFactory* pEventFactory,
                                 IKTProxyFactory* pProxyFactory) {
    if (pEventManager != m_piEventManager.Get()) {
        ReleaseAll();
    }
    m_piEventManager = CComPtr<IKTEventManager>(pEventManager);
    m_pEventFactory = CComPtr<IKTEventFactory>(pEventFactory);
    m_pProxyFactory = CComPtr<IKTProxyFactory>(pProxyFactory);
    return true;
}

LONG CEventManagerHelper::RegisterProvider(IKTEventProviderCallback* pCallback, LONG* pnProviderId) {
    *pnProviderId = 0;
    if (!m_piEventManager || !m_pEventFactory || !m_pProxyFactory) {
        TraceOut1(u"CEventManagerHelper::RegisterProvider() : m_piEventManager == NULL\n");
        return CError::eFailure;
    }
    IKTProviderProxy* pProxy = nullptr;
    if (m_pProxyFactory->CreateProviderProxy(pCallback, &pProxy) != CError::eNoError || pProxy == nullptr) {
        TraceOut1(
            u"CEventManagerHelper::RegisterProvider() : m_pProxyFactory->CreateProviderProxy() != "
            u"CError::eNoError\n");
        return CError::eFailure;
    }
    try {
        LONG nError = CError::eFailure;
        TraceOut3(
            u"CEventManagerHelper::RegisterProvider() : Enter : m_piEventManager->RegisterProvider(), "
            u"nProviderId : %ld\n",
            *pnProviderId);
        const HRESULT hr = m_piEventManager->RegisterProvider(pProxy, pnProviderId, &nError);
        TraceOut3(
            u"CEventManagerHelper::RegisterProvider() : Exit : m_piEventManager->RegisterProvider(), "
            u"nProviderId : %ld\n",
            *pnProviderId);
        if (hr < 0) {
            TraceOut1(
                u"CEventManagerHelper::RegisterProvider() : m_piEventManager->RegisterProvider() != S_OK, "
                u"0x%08X\n",
                static_cast<DWORD>(hr));
        } else if (nError != CError::eNoError) {
            TraceOut1(
                u"CEventManagerHelper::RegisterProvider() : m_piEventManager->RegisterProvider() != "
                u"CError::eNoError\n");
        } else {
            std::lock_guard lock(m_MapLock);
            m_ProviderMap[*pnProviderId] = pProxy;
            return CError::eNoError;
        }
        m_pProxyFactory->DeleteProviderProxy(pProxy);
        return CError::eFailure;
    } catch (const std::bad_alloc&) {
        m_pProxyFactory->DeleteProviderProxy(pProxy);
        return CaughtBadAlloc();
    }
}

LONG CEventManagerHelper::UnregisterProvider(LONG nProviderId) {
    if (!m_piEventManager || !m_pProxyFactory) {
        TraceOut1(u"CEventManagerHelper::UnregisterProvider() : m_piEventManager == NULL\n");
        return CError::eFailure;
    }
    // A registration of a connection that has gone went with it: only its proxy is left to hand back.
    LONG nError = CError::eNoError;
    HRESULT hr = S_OK;
    if (IsConnected()) {
        TraceOut3(
            u"CEventManagerHelper::UnregisterProvider() : Enter : m_piEventManager->UnregisterProvider(), "
            u"nProviderId : %ld\n",
            nProviderId);
        hr = m_piEventManager->UnregisterProvider(nProviderId, &nError);
        TraceOut3(
            u"CEventManagerHelper::UnregisterProvider() : Exit : m_piEventManager->UnregisterProvider(), "
            u"nProviderId : %ld\n",
            nProviderId);
    }
    IKTProviderProxy* pProxy = nullptr;
    {
        std::lock_guard lock(m_MapLock);
        const auto it = m_ProviderMap.find(nProviderId);
        if (it != m_ProviderMap.end()) {
            pProxy = it->second;
            m_ProviderMap.erase(it);
        }
    }
    if (pProxy != nullptr) {
        m_pProxyFactory->DeleteProviderProxy(pProxy);
    }
    if (hr < 0) {
        TraceOut1(
            u"CEventManagerHelper::UnregisterProvider() : m_piEventManager->UnregisterProvider() != S_OK, "
            u"0x%08X\n",
            static_cast<DWORD>(hr));
        return CError::eFailure;
    }
    if (nError != CError::eNoError) {
        TraceOut1(
            u"CEventManagerHelper::UnregisterProvider() : m_piEventManager->UnregisterProvider() != "
            u"CError::eNoError\n");
        return CError::eFailure;
    }
    return CError::eNoError;
}

LONG CEventManagerHelper::RegisterSubscriber(IKTEventSubscriberCallback* pCallback, ULONG nEventType,
                                             ULONG nParam1, const LONG* pEventStates, LONG nStateCount,
                                             ULONG nParam2, bool bFlag, LONG* pnSubscriberId) {
    *pnSubscriberId = 0;
    if (!m_piEventManager || !m_pEventFactory || !m_pProxyFactory) {
        TraceOut1(u"CEventManagerHelper::RegisterSubscriber() : m_piEventManager == NULL\n");
        return CError::eFailure;
    }
    CVariantArray eventStates;
    if (nStateCount > 0 && !eventStates.Write(pEventStates, nStateCount)) {
        TraceOut1(u"CEventManagerHelper::RegisterSubscriber() : eventStates.Write() == FALSE\n");
        return CError::eFailure;
    }
    IKTSubscriberProxy* pProxy = nullptr;
    if (m_pProxyFactory->CreateSubscriberProxy(pCallback, &pProxy) != CError::eNoError || pProxy == nullptr) {
        TraceOut1(
            u"CEventManagerHelper::RegisterSubscriber() : m_pProxyFactory->CreateSubscriberProxy() != "
            u"CError::eNoError\n");
        return CError::eFailure;
    }
    try {
        LONG nError = CError::eFailure;
        TraceOut3(
            u"CEventManagerHelper::RegisterSubscriber() : Enter : m_piEventManager->RegisterSubscriber(), "
            u"nEventType : %ld, nSubscriberId : %ld\n",
            static_cast<LONG>(nEventType), *pnSubscriberId);
        const HRESULT hr =
            m_piEventManager->RegisterSubscriber(pProxy, nEventType, nParam1, eventStates.Get(), nParam2,
                                                 ToVariantBool(bFlag), pnSubscriberId, &nError);
        TraceOut3(
            u"CEventManagerHelper::RegisterSubscriber() : Exit : m_piEventManager->RegisterSubscriber(), "
            u"nEventType : %ld, nSubscriberId : %ld\n",
            static_cast<LONG>(nEventType), *pnSubscriberId);
        if (hr < 0) {
            TraceOut1(
                u"CEventManagerHelper::RegisterSubscriber() : m_piEventManager->RegisterSubscriber() != "
                u"S_OK, 0x%08X\n",
                static_cast<DWORD>(hr));
        } else if (nError != CError::eNoError) {
            TraceOut1(
                u"CEventManagerHelper::RegisterSubscriber() : m_piEventManager->RegisterSubscriber() != "
                u"CError::eNoError\n");
        } else {
            std::lock_guard lock(m_MapLock);
            m_SubscriberMap[*pnSubscriberId] = pProxy;
            return CError::eNoError;
        }
        m_pProxyFactory->DeleteSubscriberProxy(pProxy);
        return CError::eFailure;
    } catch (const std::bad_alloc&) {
        m_pProxyFactory->DeleteSubscriberProxy(pProxy);
        return CaughtBadAlloc();
    }
}

LONG CEventManagerHelper::UnregisterSubscriber(LONG nSubscriberId) {
    if (!m_piEventManager || !m_pProxyFactory) {
        TraceOut1(u"CEventManagerHelper::UnregisterSubscriber() : m_piEventManager == NULL\n");
        return CError::eFailure;
    }
    // A registration of a connection that has gone went with it: only its proxy is left to hand back.
    LONG nError = CError::eNoError;
    HRESULT hr = S_OK;
    if (IsConnected()) {
        TraceOut3(
            u"CEventManagerHelper::UnregisterSubscriber() : Enter : "
            u"m_piEventManager->UnregisterSubscriber(), "
            u"nSubscriberId : %ld\n",
            nSubscriberId);
        hr = m_piEventManager->UnregisterSubscriber(nSubscriberId, &nError);
        TraceOut3(
            u"CEventManagerHelper::UnregisterSubscriber() : Exit : m_piEventManager->UnregisterSubscriber(), "
            u"nSubscriberId : %ld\n",
            nSubscriberId);
    }
    IKTSubscriberProxy* pProxy = nullptr;
    {
        std::lock_guard lock(m_MapLock);
        const auto it = m_SubscriberMap.find(nSubscriberId);
        if (it != m_SubscriberMap.end()) {
            pProxy = it->second;
            m_SubscriberMap.erase(it);
        }
    }
    if (pProxy != nullptr) {
        m_pProxyFactory->DeleteSubscriberProxy(pProxy);
    }
    if (hr < 0) {
        TraceOut1(
            u"CEventManagerHelper::UnregisterSubscriber() : m_piEventManager->UnregisterSubscriber() != "
            u"S_OK, 0x%08X\n",
            static_cast<DWORD>(hr));
        return CError::eFailure;
    }
    if (nError != CError::eNoError) {
        TraceOut1(
            u"CEventManagerHelper::UnregisterSubscriber() : m_piEventManager->UnregisterSubscriber() != "
            u"CError::eNoError\n");
        return CError::eFailure;
    }
    return CError::eNoError;
}

LONG CEventManagerHelper::CreateEvent(LONG nProviderId, IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId) {
    if (!m_piEventManager || !m_pEventFactory) {
        TraceOut1(u"CEventManagerHelper::CreateEvent() : m_piEventManager == NULL\n");
        return CError::eFailure;
    }
    CTransported transported(m_pEventFactory.Get());
    if (transported.From(pEvent) != CError::eNoError) {
        TraceOut1(u"CEventManagerHelper::CreateEvent() : CopyEvent() != CError::eNoError\n");
        return CError::eFailure;
    }
    LONG nError = CError::eFailure;
    const HRESULT hr = m_piEventManager->CreateEvent(nProviderId, transported.Get(),
                                                     ToVariantBool(bBroadcast), pnEventId, &nError);
    if (hr < 0) {
        TraceOut1(u"CEventManagerHelper::CreateEvent() : m_piEventManager->CreateEvent() != S_OK, 0x%08X\n",
                  static_cast<DWORD>(hr));
        return CError::eFailure;
    }
    if (nError != CError::eNoError) {
        TraceOut1(
            u"CEventManagerHelper::CreateEvent() : m_piEventManager->CreateEvent() != CError::eNoError\n");
        return CError::eFailure;
    }
    return CError::eNoError;
}

LONG CEventManagerHelper::SendTransported(eTransportedCall eCall, LONG nSubscriberId, IKTEvent* pEvent) {
    const char16_t* szName = eCall == CALL_COMMIT ? u"CommitEvent" : u"CancelEvent";
    if (!m_piEventManager || !m_pEventFactory) {
        TraceOut1(u"CEventManagerHelper::%s() : m_piEventManager == NULL\n", szName);
        return CError::eFailure;
    }
    CTransported transported(m_pEventFactory.Get());
    if (transported.From(pEvent) != CError::eNoError) {
        TraceOut1(u"CEventManagerHelper::%s() : CopyEvent() != CError::eNoError\n", szName);
        return CError::eFailure;
    }
    LONG nError = CError::eFailure;
    const HRESULT hr = eCall == CALL_COMMIT
                           ? m_piEventManager->CommitEvent(nSubscriberId, transported.Get(), &nError)
                           : m_piEventManager->CancelEvent(nSubscriberId, transported.Get(), &nError);
    if (hr < 0) {
        TraceOut1(u"CEventManagerHelper::%s() : m_piEventManager->%s() != S_OK, 0x%08X\n", szName, szName,
                  static_cast<DWORD>(hr));
        return CError::eFailure;
    }
    if (nError != CError::eNoError) {
        TraceOut1(u"CEventManagerHelper::%s() : m_piEventManager->%s() != CError::eNoError\n", szName,
                  szName);
        return CError::eFailure;
    }
    return CError::eNoError;
}

LONG CEventManagerHelper::CommitEvent(LONG nSubscriberId, IKTEvent* pEvent) {
    return SendTransported(CALL_COMMIT, nSubscriberId, pEvent);
}

LONG CEventManagerHelper::CancelEvent(LONG nSubscriberId, IKTEvent* pEvent) {
    return SendTransported(CALL_CANCEL, nSubscriberId, pEvent);
}

LONG CEventManagerHelper::NewEvent(ULONG nType, IKTEvent** ppEvent) {
    *ppEvent = nullptr;
    if (!m_pEventFactory) {
        TraceOut1(u"CEventManagerHelper::NewEvent() : m_pEventFactory == NULL\n");
        return CError::eFailure;
    }
    const LONG nError = m_pEventFactory->NewEvent(nType, ppEvent);
    if (nError == CError::eNoError && *ppEvent != nullptr) {
        const ULONG uRefCount = (*ppEvent)->AddRef();
        (*ppEvent)->Release();
        if (uRefCount == 1) {
            TraceOut1(u"CEventManagerHelper::NewEvent() : uRefCount == 1\n");
        }
    }
    return nError;
}

LONG CEventManagerHelper::CopyEvent(IKTEvent* pEvent, IKTEvent** ppCopy) {
    *ppCopy = nullptr;
    if (!m_pEventFactory) {
        TraceOut1(u"CEventManagerHelper::CopyEvent() : m_pEventFactory == NULL\n");
        return CError::eFailure;
    }
    const LONG nError = m_pEventFactory->CopyEvent(pEvent, ppCopy);
    if (nError == CError::eNoError && *ppCopy != nullptr) {
        const ULONG uRefCount = (*ppCopy)->AddRef();
        (*ppCopy)->Release();
        if (uRefCount == 1) {
            TraceOut1(u"CEventManagerHelper::CopyEvent() : uRefCount == 1\n");
        }
    }
    return nError;
}

LONG CEventManagerHelper::DeleteEvent(IKTEvent* pEvent) {
    if (!m_pEventFactory) {
        TraceOut1(u"CEventManagerHelper::DeleteEvent() : m_pEventFactory == NULL\n");
        return CError::eFailure;
    }
    return m_pEventFactory->FreeEvent(pEvent);
}

size_t CEventManagerHelper::ProviderCount() {
    std::lock_guard lock(m_MapLock);
    return m_ProviderMap.size();
}

size_t CEventManagerHelper::SubscriberCount() {
    std::lock_guard lock(m_MapLock);
    return m_SubscriberMap.size();
}
