#include "event_client.h"

#include <cstdio>

#include "platform/com.h"
#include "platform/system.h"

namespace sim {

namespace {

constexpr const char16_t* EVENT_LIBRARY = u"KRELLEvt.dll";
constexpr auto STOP_POLL = std::chrono::milliseconds(100);

}  // namespace

std::string HexCode(ULONG ulCode) {
    char szText[16];
    std::snprintf(szText, sizeof(szText), "0x%08X", ulCode);
    return szText;
}

LONG STDMETHODCALLTYPE CAnswerCollector::OnEvent(LONG, IKTEvent* pEvent) {
    CComPtr<IKTEvent> pCopy;
    LONG nId = 0;
    if (m_pFactory->CopyEvent(pEvent, &pCopy) != CError::eNoError || FAILED(pEvent->GetId(&nId))) {
        return CError::eFailure;
    }
    // Local, as the times events carry.
    SYSTEMTIME received{};
    platform::GetLocalTime(&received);
    std::lock_guard lock(m_mutex);
    m_answers[nId] = {pCopy, received};
    m_answered.notify_all();
    return CError::eNoError;
}

CComPtr<IKTEvent> CAnswerCollector::WaitFor(LONG nId, std::chrono::steady_clock::time_point deadline,
                                            SYSTEMTIME* pReceived, const std::function<bool()>& fnStop) {
    std::unique_lock lock(m_mutex);
    while (!m_answers.contains(nId)) {
        if (std::chrono::steady_clock::now() >= deadline || (fnStop && fnStop())) {
            return nullptr;
        }
        m_answered.wait_until(
            lock, fnStop ? std::min(deadline, std::chrono::steady_clock::now() + STOP_POLL) : deadline);
    }
    auto answer = m_answers.extract(nId);
    if (pReceived != nullptr) {
        *pReceived = answer.mapped().second;
    }
    return answer.mapped().first;
}

CComPtr<IKTEvent> CEventClient::WaitForAnswer(LONG nId, std::chrono::steady_clock::time_point deadline,
                                              SYSTEMTIME* pReceived, const std::function<bool()>& fnStop) {
    return m_pAnswers->WaitFor(nId, deadline, pReceived,
                               [&] { return !IsConnected() || (fnStop && fnStop()); });
}

bool CEventClient::IsConnected() const {
    return m_pManager && platform::OleIsRunning(m_pManager.Get());
}

bool CEventClient::Open(std::string* psWhy, HRESULT* phr) {
    const HRESULT hr = Connect(psWhy);
    if (phr != nullptr) {
        *phr = hr;
    }
    if (FAILED(hr)) {
        Close();
        return false;
    }
    return true;
}

HRESULT CEventClient::Connect(std::string* psWhy) {
    Close();
    const ZELRESULT zrLoad = m_loader.Load(EVENT_LIBRARY);
    if (zrLoad < 0 ||
        m_loader.CreateObject(CLSID_KTEventFactory, IID_IKTEventFactory,
                              reinterpret_cast<void**>(&m_pEventFactory)) < 0 ||
        m_loader.CreateObject(CLSID_KTProxyFactory, IID_IKTProxyFactory,
                              reinterpret_cast<void**>(&m_pProxyFactory)) < 0) {
        *psWhy =
            "the event library KRELLEvt.dll cannot be loaded (" + HexCode(static_cast<ULONG>(zrLoad)) + ")";
        return E_FAIL;
    }
    CComPtr<IUnknown> pUnknown;
    HRESULT hr = platform::CoCreateInstance(CLSID_KTEventManager, nullptr, CLSCTX_ALL, IID_IUnknown,
                                            reinterpret_cast<void**>(&pUnknown));
    if (SUCCEEDED(hr)) {
        hr = platform::OleRun(pUnknown.Get());
    }
    if (SUCCEEDED(hr)) {
        hr = pUnknown->QueryInterface(IID_IKTEventManager, reinterpret_cast<void**>(&m_pManager));
    }
    if (FAILED(hr)) {
        *psWhy = "the event manager is not reachable (" + HexCode(static_cast<ULONG>(hr)) + ")";
    }
    return hr;
}

bool CEventClient::RegisterProvider(std::string* psWhy) {
    m_pAnswers = CComPtr<CAnswerCollector>::Attach(new CAnswerCollector(m_pEventFactory.Get()));
    LONG nError = CError::eFailure;
    HRESULT hr = E_FAIL;
    if (m_pProxyFactory->CreateProviderProxy(m_pAnswers.Get(), &m_pProviderProxy) == CError::eNoError) {
        hr = m_pManager->RegisterProvider(m_pProviderProxy.Get(), &m_nProviderId, &nError);
    }
    if (FAILED(hr) || nError != CError::eNoError) {
        m_nProviderId = 0;
        *psWhy = "cannot register as a provider (" + HexCode(static_cast<ULONG>(hr)) + ", error " +
                 std::to_string(nError) + ")";
        return false;
    }
    return true;
}

bool CEventClient::Publish(IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId, HRESULT* phr, LONG* pnError) {
    KT_TRANSPORTED_EVENT transported{};
    if (m_pEventFactory->ToTransported(pEvent, &transported) != CError::eNoError) {
        return false;
    }
    *pnError = CError::eFailure;
    *phr = m_pManager->CreateEvent(m_nProviderId, &transported, bBroadcast ? VARIANT_TRUE : VARIANT_FALSE,
                                   pnEventId, pnError);
    m_pEventFactory->FreeTransported(&transported);
    return true;
}

void CEventClient::Close() {
    if (m_pManager && m_nProviderId != 0) {
        LONG nError = 0;
        m_pManager->UnregisterProvider(m_nProviderId, &nError);
    }
    if (m_pProviderProxy) {
        m_pProxyFactory->DeleteProviderProxy(m_pProviderProxy.Detach());
    }
    m_nProviderId = 0;
    m_pAnswers.Release();
    m_pManager.Release();
    m_pProxyFactory.Release();
    m_pEventFactory.Release();
}

}  // namespace sim
