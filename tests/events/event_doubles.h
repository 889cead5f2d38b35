// In-process doubles of the event library and the event manager for the bridge's tests: events that
// keep what was set on them, factories that count what they hand out and take back, and an event
// manager that records what it was given and answers, when asked, on a thread of its own.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "events/event_bridge_source.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "service/registry_key.h"
#include "support/debug_log.h"
#include "support/files.h"

namespace eventtest {

class CTestEvent final : public IKTEvent,
                         public IKTNotifyEvent,
                         public IKTGatewardenAlertEvent,
                         public IKTConfigEvent,
                         public IKTErrorStackContainer,
                         public IKTErrorStack,
                         private CRefCounted {
public:
    CTestEvent(ULONG nType, bool bNotifyInterface) : m_nType(nType), m_bNotifyInterface(bNotifyInterface) {}
    CTestEvent(const CTestEvent& other)
        : IKTEvent(),
          IKTNotifyEvent(),
          IKTGatewardenAlertEvent(),
          IKTConfigEvent(),
          IKTErrorStackContainer(),
          IKTErrorStack(),
          CRefCounted(),
          m_nType(other.m_nType),
          m_nId(other.m_nId),
          m_nState(other.m_nState),
          m_bNotifyInterface(other.m_bNotifyInterface),
          m_nCode(other.m_nCode),
          m_Time(other.m_Time),
          m_sData(other.m_sData),
          m_bAlertSet(other.m_bAlertSet),
          m_sActor(other.m_sActor),
          m_sTarget(other.m_sTarget),
          m_Alert(other.m_Alert),
          m_hrResult(other.m_hrResult),
          m_Errors(other.m_Errors),
          m_nErrorStatus(other.m_nErrorStatus),
          m_bErrorStack(other.m_bErrorStack) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IKTEvent) {
            *ppv = static_cast<IKTEvent*>(this);
        } else if (riid == IID_IKTNotifyEvent && m_bNotifyInterface) {
            *ppv = static_cast<IKTNotifyEvent*>(this);
        } else if (riid == IID_IKTGatewardenAlertEvent) {
            *ppv = static_cast<IKTGatewardenAlertEvent*>(this);
        } else if (riid == IID_IKTConfigEvent && m_nType == CONFIG_EVENT_TYPE) {
            *ppv = static_cast<IKTConfigEvent*>(this);
        } else if (riid == IID_IKTErrorStackContainer && m_nType == CONFIG_EVENT_TYPE && m_bErrorStack) {
            *ppv = static_cast<IKTErrorStackContainer*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE GetType(ULONG* pnType) override { return *pnType = m_nType, S_OK; }
    HRESULT STDMETHODCALLTYPE GetId(LONG* pnId) override { return *pnId = m_nId, S_OK; }
    HRESULT STDMETHODCALLTYPE SetId(LONG nId) override { return m_nId = nId, S_OK; }
    HRESULT STDMETHODCALLTYPE GetState(LONG* pnState) override { return *pnState = m_nState, S_OK; }
    HRESULT STDMETHODCALLTYPE SetState(LONG nState) override { return m_nState = nState, S_OK; }
    HRESULT STDMETHODCALLTYPE GetPropertyCount(ULONG* pnCount) override { return *pnCount = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetProperty(ULONG, KT_PROPERTY*) override { return E_INVALIDARG; }

    HRESULT STDMETHODCALLTYPE SetCode(ULONG nCode) override { return m_nCode = nCode, S_OK; }
    HRESULT STDMETHODCALLTYPE GetCode(ULONG* pnCode) override { return *pnCode = m_nCode, S_OK; }
    HRESULT STDMETHODCALLTYPE SetTime(const SYSTEMTIME* pTime) override { return m_Time = *pTime, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTime(SYSTEMTIME* pTime) override { return *pTime = m_Time, S_OK; }
    HRESULT STDMETHODCALLTYPE SetData(const char16_t* szData) override { return m_sData = szData, S_OK; }
    HRESULT STDMETHODCALLTYPE GetData(const char16_t** pszData) override {
        *pszData = m_sData ? m_sData->c_str() : nullptr;
        return S_OK;
    }

    struct CAlert {
        SYSTEMTIME time{};
        ULONG nActorProcessId = 0;
        ULONG nAction = 0;
        ULONG nTargetProcessId = 0;
        ULONG nSessionId = 0;
        bool bBlocked = false;
    };
    HRESULT STDMETHODCALLTYPE SetAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath,
                                       ULONG nActorProcessId, ULONG nAction, const char16_t* szTargetPath,
                                       ULONG nTargetProcessId, ULONG nSessionId, bool bBlocked) override {
        m_bAlertSet = true;
        m_sActor = szActorPath;
        m_sTarget = szTargetPath;
        m_Alert = {*pTime, nActorProcessId, nAction, nTargetProcessId, nSessionId, bBlocked};
        return S_OK;
    }

    // A configuration event carries its result and error stack; the event is its own error stack.
    HRESULT STDMETHODCALLTYPE SetResult(HRESULT hrResult) override { return m_hrResult = hrResult, S_OK; }
    HRESULT STDMETHODCALLTYPE GetResult(HRESULT* phrResult) override { return *phrResult = m_hrResult, S_OK; }
    HRESULT STDMETHODCALLTYPE IsCommitted(bool* pbCommitted) override {
        return *pbCommitted = m_nState == KT_EVENT_STATE_COMMITTED, S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorStack(IKTErrorStack** ppStack) override {
        *ppStack = static_cast<IKTErrorStack*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(LONG nSeverity, const char16_t* szText) override {
        m_Errors.emplace_back(nSeverity, szText);
        return FoldStatus(nSeverity);
    }
    HRESULT STDMETHODCALLTYPE GetCount(ULONG* pnCount) override {
        return *pnCount = static_cast<ULONG>(m_Errors.size()), S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetEntry(ULONG nIndex, LONG* pnSeverity, const char16_t** pszText) override {
        if (nIndex >= m_Errors.size()) {
            return E_INVALIDARG;
        }
        *pnSeverity = m_Errors[nIndex].first;
        *pszText = m_Errors[nIndex].second.c_str();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStatus(LONG* pnStatus) override { return *pnStatus = m_nErrorStatus, S_OK; }
    HRESULT STDMETHODCALLTYPE FoldStatus(LONG nStatus) override {
        m_nErrorStatus = (m_nErrorStatus == 0 || nStatus == 0)   ? 0
                         : (m_nErrorStatus == 1 || nStatus == 1) ? 1
                                                                 : 2;
        return S_OK;
    }

    static constexpr ULONG CONFIG_EVENT_TYPE = 6008;

    ULONG m_nType;
    LONG m_nId = 0;
    LONG m_nState = KT_EVENT_STATE_CREATED;
    bool m_bNotifyInterface;
    ULONG m_nCode = 0;
    SYSTEMTIME m_Time{};
    std::optional<std::u16string> m_sData;
    bool m_bAlertSet = false;
    std::u16string m_sActor;
    std::u16string m_sTarget;
    CAlert m_Alert;
    HRESULT m_hrResult = S_OK;
    std::vector<std::pair<LONG, std::u16string>> m_Errors;
    LONG m_nErrorStatus = 2;
    bool m_bErrorStack = true;
};

inline CTestEvent* AsTest(IKTEvent* pEvent) {
    return static_cast<CTestEvent*>(pEvent);
}

// The transported form carries a pointer to a private copy of the event.
class CTestEventFactory final : public IKTEventFactory, private CRefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    LONG STDMETHODCALLTYPE NewEvent(ULONG nType, IKTEvent** ppEvent) override {
        if (m_bFailNew) {
            return CError::eFailure;
        }
        ++m_nNew;
        *ppEvent = new CTestEvent(nType, !m_bNoNotifyInterface);
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE CopyEvent(IKTEvent* pEvent, IKTEvent** ppCopy) override {
        ++m_nCopies;
        if (m_bFailCopy) {
            return CError::eFailure;
        }
        *ppCopy = new CTestEvent(*AsTest(pEvent));
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE FreeEvent(IKTEvent* pEvent) override {
        ++m_nFreed;
        pEvent->Release();
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE ToTransported(IKTEvent* pEvent, KT_TRANSPORTED_EVENT* pTransported) override {
        if (m_bFailTransport) {
            return CError::eFailure;
        }
        auto* pCopy = new CTestEvent(*AsTest(pEvent));
        pTransported->cbData = sizeof(pCopy);
        pTransported->pData = new BYTE[sizeof(pCopy)];
        std::memcpy(pTransported->pData, &pCopy, sizeof(pCopy));
        ++m_nTransportedHeld;
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE FromTransported(const KT_TRANSPORTED_EVENT* pTransported,
                                           IKTEvent** ppEvent) override {
        *ppEvent = new CTestEvent(*Peek(pTransported));
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE FreeTransported(KT_TRANSPORTED_EVENT* pTransported) override {
        Peek(pTransported)->Release();
        delete[] pTransported->pData;
        pTransported->pData = nullptr;
        --m_nTransportedHeld;
        return CError::eNoError;
    }
    static CTestEvent* Peek(const KT_TRANSPORTED_EVENT* pTransported) {
        CTestEvent* pEvent = nullptr;
        std::memcpy(&pEvent, pTransported->pData, sizeof(pEvent));
        return pEvent;
    }

    std::atomic<bool> m_bFailNew{false};
    std::atomic<bool> m_bFailCopy{false};
    std::atomic<bool> m_bFailTransport{false};
    std::atomic<bool> m_bNoNotifyInterface{false};
    std::atomic<int> m_nNew{0};
    std::atomic<int> m_nCopies{0};
    std::atomic<int> m_nFreed{0};
    std::atomic<int> m_nTransportedHeld{0};
};

class CTestProviderProxy final : public IKTProviderProxy, private CRefCounted {
public:
    CTestProviderProxy(IKTEventProviderCallback* pCallback, IKTEventFactory* pFactory)
        : m_pCallback(pCallback), m_pFactory(pFactory) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    LONG STDMETHODCALLTYPE Deliver(LONG nProviderId, const KT_TRANSPORTED_EVENT* pTransported) override {
        IKTEvent* pEvent = nullptr;
        m_pFactory->FromTransported(pTransported, &pEvent);
        const LONG nResult = m_pCallback->OnEvent(nProviderId, pEvent);
        pEvent->Release();
        return nResult;
    }

private:
    CComPtr<IKTEventProviderCallback> m_pCallback;
    CComPtr<IKTEventFactory> m_pFactory;
};

class CTestSubscriberProxy final : public IKTSubscriberProxy, private CRefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    LONG STDMETHODCALLTYPE Deliver(LONG, const KT_TRANSPORTED_EVENT*, LONG* pnAction) override {
        *pnAction = 1;
        return CError::eNoError;
    }
};

class CTestProxyFactory final : public IKTProxyFactory, private CRefCounted {
public:
    explicit CTestProxyFactory(IKTEventFactory* pEventFactory) : m_pEventFactory(pEventFactory) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    LONG STDMETHODCALLTYPE CreateProviderProxy(IKTEventProviderCallback* pCallback,
                                               IKTProviderProxy** ppProxy) override {
        if (m_bFail) {
            return CError::eFailure;
        }
        ++m_nCreated;
        *ppProxy = new CTestProviderProxy(pCallback, m_pEventFactory.Get());
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE CreateSubscriberProxy(IKTEventSubscriberCallback*,
                                                 IKTSubscriberProxy** ppProxy) override {
        if (m_bFail) {
            return CError::eFailure;
        }
        ++m_nCreated;
        *ppProxy = new CTestSubscriberProxy();
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE DeleteProviderProxy(IKTProviderProxy* pProxy) override {
        ++m_nDeleted;
        pProxy->Release();
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE DeleteSubscriberProxy(IKTSubscriberProxy* pProxy) override {
        ++m_nDeleted;
        pProxy->Release();
        return CError::eNoError;
    }

    bool m_bFail = false;
    std::atomic<int> m_nCreated{0};
    std::atomic<int> m_nDeleted{0};

private:
    CComPtr<IKTEventFactory> m_pEventFactory;
};

// What the event manager double was given for one created event.
struct CPublished {
    LONG nProviderId;
    LONG nEventId;
    bool bBroadcast;
    CTestEvent event;
};

// One connection to an event manager: once the manager has gone (Stop) it answers every call with
// RPC_S_SERVER_UNAVAILABLE and says it is no longer running, as the handler does.
class CTestEventManager final : public IKTEventManager, public CRunnableObject, private CRefCounted {
public:
    enum eAnswer { ANSWER_NONE, ANSWER_BEFORE_RETURN, ANSWER_LATER };
    static constexpr HRESULT SERVER_UNAVAILABLE = static_cast<HRESULT>(0x800706BA);

    CTestEventManager() : m_hGate(platform::CreateEvent(true, true, nullptr)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IKTEventManager) {
            *ppv = static_cast<IKTEventManager*>(this);
        } else if (riid == IID_IRunnableObject) {
            *ppv = static_cast<IRunnableObject*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE Run(IBindCtx*) override { return m_bRunning ? S_OK : SERVER_UNAVAILABLE; }
    BOOL STDMETHODCALLTYPE IsRunning() override { return m_bRunning; }
    // A manager that has gone holds nothing: its registrations' proxies are released, as the
    // process's death releases them, so none outlives the owner of its callback.
    void Stop() {
        m_bRunning = false;
        std::map<LONG, CComPtr<IKTProviderProxy>> providers;
        std::lock_guard lock(m_Lock);
        providers.swap(m_Providers);
        m_Subscribers.clear();
    }

    HRESULT STDMETHODCALLTYPE RegisterProvider(IKTProviderProxy* pProxy, LONG* pnProviderId,
                                               LONG* pnError) override {
        if (!m_bRunning) {
            return SERVER_UNAVAILABLE;
        }
        if (m_hrFail < 0) {
            return m_hrFail;
        }
        if (m_bErrorFail) {
            *pnError = CError::eFailure;
            return S_OK;
        }
        std::lock_guard lock(m_Lock);
        *pnProviderId = ++m_nLastId;
        m_Providers[*pnProviderId] = CComPtr<IKTProviderProxy>(pProxy);
        *pnError = CError::eNoError;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterProvider(LONG nProviderId, LONG* pnError) override {
        if (!m_bRunning) {
            return SERVER_UNAVAILABLE;
        }
        std::lock_guard lock(m_Lock);
        *pnError = m_Providers.erase(nProviderId) == 1 ? CError::eNoError : CError::eFailure;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterSubscriber(IKTSubscriberProxy*, ULONG nEventType, ULONG nParam1,
                                                 const SAFEARRAY* psaStates, ULONG nParam2,
                                                 VARIANT_BOOL bFlag, LONG* pnSubscriberId,
                                                 LONG* pnError) override {
        if (!m_bRunning) {
            return SERVER_UNAVAILABLE;
        }
        std::lock_guard lock(m_Lock);
        if (m_nFailSubscriptionType == nEventType) {
            *pnError = CError::eFailure;
            return S_OK;
        }
        *pnSubscriberId = ++m_nLastId;
        CSubscription subscription{nEventType, nParam1, nParam2, bFlag, {}};
        if (psaStates != nullptr) {
            for (LONG nIndex = 0; nIndex < static_cast<LONG>(psaStates->rgsabound[0].cElements); ++nIndex) {
                VARIANT value{};
                platform::SafeArrayGetElement(psaStates, &nIndex, &value);
                subscription.states.push_back(value.vt == VT_I4 ? value.lVal : -999);
            }
        }
        m_Subscribers[*pnSubscriberId] = subscription;
        *pnError = CError::eNoError;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterSubscriber(LONG nSubscriberId, LONG* pnError) override {
        if (!m_bRunning) {
            return SERVER_UNAVAILABLE;
        }
        std::lock_guard lock(m_Lock);
        *pnError = m_Subscribers.erase(nSubscriberId) == 1 ? CError::eNoError : CError::eFailure;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateEvent(LONG nProviderId, const KT_TRANSPORTED_EVENT* pEvent,
                                          VARIANT_BOOL bBroadcast, LONG* pnEventId, LONG* pnError) override {
        if (m_dwStallMs != 0) {
            platform::Sleep(m_dwStallMs);
        }
        platform::WaitForSingleObject(m_hGate, INFINITE);
        if (!m_bRunning) {
            return SERVER_UNAVAILABLE;
        }
        std::unique_lock lock(m_Lock);
        *pnEventId = ++m_nLastId;
        CTestEvent copy(*CTestEventFactory::Peek(pEvent));
        copy.m_nId = *pnEventId;
        m_Published.push_back({nProviderId, *pnEventId, bBroadcast == VARIANT_TRUE, copy});
        *pnError = CError::eNoError;
        lock.unlock();
        if (m_eAnswer == ANSWER_BEFORE_RETURN) {
            Answer(nProviderId, *pnEventId);
        } else if (m_eAnswer == ANSWER_LATER) {
            const LONG nEventId = *pnEventId;
            std::lock_guard threadLock(m_Lock);
            m_Threads.emplace_back([this, nProviderId, nEventId] {
                platform::Sleep(m_dwAnswerDelayMs);
                Answer(nProviderId, nEventId);
            });
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CommitEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent,
                                          LONG* pnError) override {
        return Finish(nSubscriberId, pEvent, KT_EVENT_STATE_COMMITTED, pnError);
    }
    HRESULT STDMETHODCALLTYPE CancelEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent,
                                          LONG* pnError) override {
        return Finish(nSubscriberId, pEvent, KT_EVENT_STATE_CANCELLED, pnError);
    }

    // Sends the provider its event back, committed, as a subscriber's answer would come.
    void Answer(LONG nProviderId, LONG nEventId) {
        CComPtr<IKTProviderProxy> pProxy;
        CTestEvent* pAnswer = nullptr;
        {
            std::lock_guard lock(m_Lock);
            const auto it = m_Providers.find(nProviderId);
            if (it == m_Providers.end()) {
                return;
            }
            pProxy = it->second;
            for (const auto& published : m_Published) {
                if (published.nEventId == nEventId) {
                    pAnswer = new CTestEvent(published.event);
                }
            }
        }
        if (pAnswer == nullptr) {
            return;
        }
        pAnswer->m_nState = KT_EVENT_STATE_COMMITTED;
        pAnswer->m_nCode = ANSWER_CODE;
        KT_TRANSPORTED_EVENT transported{};
        transported.cbData = sizeof(pAnswer);
        transported.pData = new BYTE[sizeof(pAnswer)];
        std::memcpy(transported.pData, &pAnswer, sizeof(pAnswer));
        pProxy->Deliver(nProviderId, &transported);
        pAnswer->Release();
        delete[] transported.pData;
        ++m_nAnswers;
    }
    void JoinThreads() {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(m_Lock);
            threads.swap(m_Threads);
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    std::vector<CPublished> Published() {
        std::lock_guard lock(m_Lock);
        return m_Published;
    }
    size_t ProviderCount() {
        std::lock_guard lock(m_Lock);
        return m_Providers.size();
    }

    struct CSubscription {
        ULONG nEventType;
        ULONG nParam1;
        ULONG nParam2;
        VARIANT_BOOL bFlag;
        std::vector<LONG> states;
    };
    std::map<LONG, CSubscription> Subscriptions() {
        std::lock_guard lock(m_Lock);
        return m_Subscribers;
    }
    struct CFinished {
        LONG nSubscriberId;
        ULONG nType;
        LONG nState;
        CTestEvent event;
    };
    std::vector<CFinished> Finished() {
        std::lock_guard lock(m_Lock);
        return m_Finished;
    }

    static constexpr ULONG ANSWER_CODE = 0xA5;

    HRESULT m_hrFail = S_OK;
    bool m_bErrorFail = false;
    ULONG m_nFailSubscriptionType = 0;
    std::atomic<eAnswer> m_eAnswer{ANSWER_NONE};
    std::atomic<DWORD> m_dwAnswerDelayMs{0};
    std::atomic<DWORD> m_dwStallMs{0};
    // Reset to hold every CreateEvent until it is set again.
    HANDLE m_hGate;
    std::atomic<int> m_nAnswers{0};
    std::atomic<bool> m_bRunning{true};

private:
    ~CTestEventManager() override {
        JoinThreads();
        platform::CloseHandle(m_hGate);
    }
    HRESULT Finish(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent, LONG nState, LONG* pnError) {
        if (!m_bRunning) {
            return SERVER_UNAVAILABLE;
        }
        std::lock_guard lock(m_Lock);
        const CTestEvent* pSent = CTestEventFactory::Peek(pEvent);
        m_Finished.push_back({nSubscriberId, pSent->m_nType, nState, *pSent});
        *pnError = CError::eNoError;
        return S_OK;
    }

    std::mutex m_Lock;
    LONG m_nLastId = 0;
    std::map<LONG, CComPtr<IKTProviderProxy>> m_Providers;
    std::map<LONG, CSubscription> m_Subscribers;
    std::vector<CPublished> m_Published;
    std::vector<CFinished> m_Finished;
    std::vector<std::thread> m_Threads;
};

// Hands the doubles to the bridge's owners in place of the event library and the event manager.
class CTestSource final : public IEventBridgeSource {
public:
    CTestSource() {
        m_pEventFactory = CComPtr<CTestEventFactory>::Attach(new CTestEventFactory());
        m_pProxyFactory = CComPtr<CTestProxyFactory>::Attach(new CTestProxyFactory(m_pEventFactory.Get()));
        m_pManager = CComPtr<CTestEventManager>::Attach(new CTestEventManager());
    }
    ZELRESULT CreateEventFactory(CObjectLoader*, IKTEventFactory** ppFactory) override {
        if (m_bFailEventFactory) {
            return ZEL_E_LIBRARY_NOT_LOADED;
        }
        *ppFactory = m_pEventFactory.Get();
        m_pEventFactory->AddRef();
        return ZEL_SUCCESS;
    }
    ZELRESULT CreateProxyFactory(CObjectLoader*, IKTProxyFactory** ppFactory) override {
        if (m_bFailProxyFactory) {
            return ZEL_E_LIBRARY_NOT_LOADED;
        }
        *ppFactory = m_pProxyFactory.Get();
        m_pProxyFactory->AddRef();
        return ZEL_SUCCESS;
    }
    bool ConnectEventManager(CEventManagerHelper* pHelper, IKTEventFactory* pEventFactory,
                             IKTProxyFactory* pProxyFactory) override {
        std::lock_guard lock(m_ManagerLock);
        ++m_nConnects;
        return !m_bFailConnect && pHelper->Create(m_pManager.Get(), pEventFactory, pProxyFactory);
    }
    bool IsEventManagerRunning() override { return m_bManagerRunning; }

    // The event manager goes away: its connections are dead, and nothing is there to connect to.
    void StopManager() {
        m_bManagerRunning = false;
        m_pManager->Stop();
    }
    // It comes back, a new process with nobody registered: connections made from now on reach it.
    void StartManager() {
        CComPtr<CTestEventManager> pManager = CComPtr<CTestEventManager>::Attach(new CTestEventManager());
        std::lock_guard lock(m_ManagerLock);
        m_pManager = pManager;
        m_bManagerRunning = true;
    }

    CComPtr<CTestEventFactory> m_pEventFactory;
    CComPtr<CTestProxyFactory> m_pProxyFactory;
    CComPtr<CTestEventManager> m_pManager;
    bool m_bFailEventFactory = false;
    bool m_bFailProxyFactory = false;
    std::atomic<bool> m_bFailConnect{false};
    std::atomic<bool> m_bManagerRunning{true};
    std::atomic<int> m_nConnects{0};

private:
    std::mutex m_ManagerLock;
};

// The debug log, at every level and category.
using krelltest::CDebugLog;

}  // namespace eventtest
