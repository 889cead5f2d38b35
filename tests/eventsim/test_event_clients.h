// Clients of the event manager for the tests: each one is its own connection, made the way the
// service makes it (the manager's class by COM activation, the event library from the product
// directory), with a callback that records what reaches it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "event_client.h"
#include "events/event_interfaces.h"

namespace evtest {

struct CSeenEvent {
    LONG nCallbackId = 0;
    ULONG nType = 0;
    LONG nEventId = 0;
    LONG nState = -1;
    CComPtr<IKTEvent> pEvent;  // a copy, for answers and for commits
};

// Records every event it is given; as a subscriber it keeps or refuses them as told.
class CRecorder final : public IKTEventProviderCallback,
                        public IKTEventSubscriberCallback,
                        private CRefCounted {
public:
    CRecorder(IKTEventFactory* pFactory, LONG nAction) : m_pFactory(pFactory), m_nAction(nAction) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    LONG STDMETHODCALLTYPE OnEvent(LONG nProviderId, IKTEvent* pEvent) override {
        Record(nProviderId, pEvent);
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE OnEvent(LONG nSubscriberId, IKTEvent* pEvent, LONG* pnAction) override {
        *pnAction = m_nAction;
        Record(nSubscriberId, pEvent);
        return CError::eNoError;
    }

    // True when at least nCount events arrived within the time.
    bool WaitForCount(std::size_t nCount, int nTimeoutMs = 10000) {
        std::unique_lock lock(m_mutex);
        return m_arrived.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                                  [&] { return m_seen.size() >= nCount; });
    }
    std::vector<CSeenEvent> Seen() {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }

private:
    void Record(LONG nId, IKTEvent* pEvent) {
        CSeenEvent seen;
        seen.nCallbackId = nId;
        pEvent->GetType(&seen.nType);
        pEvent->GetId(&seen.nEventId);
        pEvent->GetState(&seen.nState);
        m_pFactory->CopyEvent(pEvent, &seen.pEvent);
        std::lock_guard lock(m_mutex);
        m_seen.push_back(seen);
        m_arrived.notify_all();
    }

    CComPtr<IKTEventFactory> m_pFactory;
    const LONG m_nAction;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<CSeenEvent> m_seen;
};

class CEventClient {
public:
    // Loads the event library and connects; *phr is the activation's or the run's result.
    explicit CEventClient(HRESULT* phr = nullptr);
    ~CEventClient();

    bool Connected() const { return m_client.Manager() != nullptr; }
    IKTEventManager* Manager() const { return m_client.Manager(); }
    IKTEventFactory* Factory() const { return m_client.EventFactory(); }
    IKTProxyFactory* ProxyFactory() const { return m_client.ProxyFactory(); }

    // Registers a recorder; 0 when the manager refused (*pnError, *phr tell why).
    LONG AddProvider(CComPtr<CRecorder>& recorder, LONG* pnError = nullptr, HRESULT* phr = nullptr);
    LONG AddSubscriber(ULONG nType, LONG nAction, const std::vector<LONG>& states,
                       CComPtr<CRecorder>& recorder, LONG* pnError = nullptr, HRESULT* phr = nullptr);
    // Creates an event of the type; its id, or 0. *pnError and *phr report the call.
    LONG Create(LONG nProviderId, IKTEvent* pEvent, bool bBroadcast, LONG* pnError = nullptr,
                HRESULT* phr = nullptr);
    LONG Finish(LONG nSubscriberId, IKTEvent* pEvent, bool bCommit, HRESULT* phr = nullptr);
    // Commits an offered configuration change as the compiler would: its result, and one error entry
    // unless szText is null.
    LONG CommitConfigAnswer(LONG nSubscriberId, IKTEvent* pEvent, HRESULT hrResult, LONG nSeverity,
                            const char16_t* szText);
    CComPtr<IKTEvent> NewEvent(ULONG nType);
    // Drops the connection, as a client process that ends.
    void Disconnect();

private:
    sim::CEventClient m_client;
};

inline CEventClient::CEventClient(HRESULT* phr) {
    std::string sWhy;
    m_client.Open(&sWhy, phr);
}

inline CEventClient::~CEventClient() {
    Disconnect();
}

inline void CEventClient::Disconnect() {
    m_client.Close();
}

inline LONG CEventClient::AddProvider(CComPtr<CRecorder>& recorder, LONG* pnError, HRESULT* phr) {
    recorder = CComPtr<CRecorder>::Attach(new CRecorder(Factory(), 0));
    CComPtr<IKTProviderProxy> pProxy;
    ProxyFactory()->CreateProviderProxy(recorder.Get(), &pProxy);
    LONG nId = 0;
    LONG nError = 0;
    const HRESULT hr = Manager()->RegisterProvider(pProxy.Get(), &nId, &nError);
    if (pnError != nullptr) {
        *pnError = nError;
    }
    if (phr != nullptr) {
        *phr = hr;
    }
    return SUCCEEDED(hr) && nError == CError::eNoError ? nId : 0;
}

inline LONG CEventClient::AddSubscriber(ULONG nType, LONG nAction, const std::vector<LONG>& states,
                                        CComPtr<CRecorder>& recorder, LONG* pnError, HRESULT* phr) {
    recorder = CComPtr<CRecorder>::Attach(new CRecorder(Factory(), nAction));
    CComPtr<IKTSubscriberProxy> pProxy;
    ProxyFactory()->CreateSubscriberProxy(recorder.Get(), &pProxy);
    SAFEARRAY* psaStates = nullptr;
    if (!states.empty()) {
        psaStates = platform::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(states.size()));
        for (LONG i = 0; i < static_cast<LONG>(states.size()); ++i) {
            VARIANT value{};
            value.vt = VT_I4;
            value.lVal = states[i];
            platform::SafeArrayPutElement(psaStates, &i, &value);
        }
    }
    LONG nId = 0;
    LONG nError = 0;
    const HRESULT hr =
        Manager()->RegisterSubscriber(pProxy.Get(), nType, 512, psaStates, 0, VARIANT_FALSE, &nId, &nError);
    if (psaStates != nullptr) {
        platform::SafeArrayDestroy(psaStates);
    }
    if (pnError != nullptr) {
        *pnError = nError;
    }
    if (phr != nullptr) {
        *phr = hr;
    }
    return SUCCEEDED(hr) && nError == CError::eNoError ? nId : 0;
}

inline LONG CEventClient::Create(LONG nProviderId, IKTEvent* pEvent, bool bBroadcast, LONG* pnError,
                                 HRESULT* phr) {
    KT_TRANSPORTED_EVENT transported{};
    Factory()->ToTransported(pEvent, &transported);
    LONG nEventId = 0;
    LONG nError = 0;
    const HRESULT hr = Manager()->CreateEvent(nProviderId, &transported,
                                              bBroadcast ? VARIANT_TRUE : VARIANT_FALSE, &nEventId, &nError);
    Factory()->FreeTransported(&transported);
    if (pnError != nullptr) {
        *pnError = nError;
    }
    if (phr != nullptr) {
        *phr = hr;
    }
    return SUCCEEDED(hr) && nError == CError::eNoError ? nEventId : 0;
}

inline LONG CEventClient::Finish(LONG nSubscriberId, IKTEvent* pEvent, bool bCommit, HRESULT* phr) {
    KT_TRANSPORTED_EVENT transported{};
    Factory()->ToTransported(pEvent, &transported);
    LONG nError = 0;
    const HRESULT hr = bCommit ? Manager()->CommitEvent(nSubscriberId, &transported, &nError)
                               : Manager()->CancelEvent(nSubscriberId, &transported, &nError);
    Factory()->FreeTransported(&transported);
    if (phr != nullptr) {
        *phr = hr;
    }
    return FAILED(hr) ? CError::eFailure : nError;
}

inline LONG CEventClient::CommitConfigAnswer(LONG nSubscriberId, IKTEvent* pEvent, HRESULT hrResult,
                                             LONG nSeverity, const char16_t* szText) {
    CComPtr<IKTConfigEvent> pConfig;
    CComPtr<IKTErrorStackContainer> pContainer;
    CComPtr<IKTErrorStack> pStack;
    pEvent->QueryInterface(IID_IKTConfigEvent, reinterpret_cast<void**>(&pConfig));
    pEvent->QueryInterface(IID_IKTErrorStackContainer, reinterpret_cast<void**>(&pContainer));
    pContainer->GetErrorStack(&pStack);
    pConfig->SetResult(hrResult);
    if (szText != nullptr) {
        pStack->Add(nSeverity, szText);
    }
    return Finish(nSubscriberId, pEvent, true);
}

inline CComPtr<IKTEvent> CEventClient::NewEvent(ULONG nType) {
    CComPtr<IKTEvent> pEvent;
    Factory()->NewEvent(nType, &pEvent);
    return pEvent;
}

}  // namespace evtest
