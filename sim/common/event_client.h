// The event manager seen from outside the service, as the tools and stand-ins that publish or watch
// events reach it: the event library loaded from the product directory, the manager's class created
// by COM activation, and a provider that keeps the answers to the events it publishes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "events/event_interfaces.h"
#include "events/object_loader.h"

namespace sim {

// A reference-counted callback object that offers the one callback interface TCallback.
template <class TCallback, const IID& riidCallback>
class CEventCallback : public TCallback, private CRefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == riidCallback) {
            AddRef();
            *ppv = static_cast<TCallback*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
};
using CProviderCallback = CEventCallback<IKTEventProviderCallback, IID_IKTEventProviderCallback>;
using CSubscriberCallback = CEventCallback<IKTEventSubscriberCallback, IID_IKTEventSubscriberCallback>;

// Copies of the answers to a provider's events, by event id, with the local time each came.
class CAnswerCollector final : public CProviderCallback {
public:
    explicit CAnswerCollector(IKTEventFactory* pFactory) : m_pFactory(pFactory) {}

    LONG STDMETHODCALLTYPE OnEvent(LONG nProviderId, IKTEvent* pEvent) override;

    // Takes the answer to event nId; null when the deadline passes first or fnStop (asked every
    // tenth of a second) says to give up.
    CComPtr<IKTEvent> WaitFor(LONG nId, std::chrono::steady_clock::time_point deadline,
                              SYSTEMTIME* pReceived = nullptr, const std::function<bool()>& fnStop = {});

private:
    CComPtr<IKTEventFactory> m_pFactory;
    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::map<LONG, std::pair<CComPtr<IKTEvent>, SYSTEMTIME>> m_answers;
};

class CEventClient {
public:
    CEventClient() = default;
    ~CEventClient() { Close(); }
    CEventClient(const CEventClient&) = delete;
    CEventClient& operator=(const CEventClient&) = delete;

    // Loads the event library and reaches the manager; false with the reason in *psWhy and, when
    // asked for, the activation's result in *phr (E_FAIL when the library did not load).
    bool Open(std::string* psWhy, HRESULT* phr = nullptr);
    // Registers a provider whose answers are collected; false with the reason in *psWhy.
    bool RegisterProvider(std::string* psWhy);
    // Unregisters the provider and lets everything go; Open may follow again.
    void Close();

    // Publishes an event as the provider, with the manager's HRESULT and error; false when the event
    // cannot be put in its transported form.
    bool Publish(IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId, HRESULT* phr, LONG* pnError);
    // Null also as soon as the manager has gone: no answer can come any more.
    CComPtr<IKTEvent> WaitForAnswer(LONG nId, std::chrono::steady_clock::time_point deadline,
                                    SYSTEMTIME* pReceived = nullptr,
                                    const std::function<bool()>& fnStop = {});
    // Whether the connection to the manager stands.
    bool IsConnected() const;

    IKTEventFactory* EventFactory() const { return m_pEventFactory.Get(); }
    IKTProxyFactory* ProxyFactory() const { return m_pProxyFactory.Get(); }
    IKTEventManager* Manager() const { return m_pManager.Get(); }

private:
    HRESULT Connect(std::string* psWhy);

    CObjectLoader m_loader;
    CComPtr<IKTEventFactory> m_pEventFactory;
    CComPtr<IKTProxyFactory> m_pProxyFactory;
    CComPtr<IKTEventManager> m_pManager;
    CComPtr<CAnswerCollector> m_pAnswers;
    CComPtr<IKTProviderProxy> m_pProviderProxy;
    LONG m_nProviderId = 0;
};

// An HRESULT or other 32-bit code as 0x%08X, for messages.
std::string HexCode(ULONG ulCode);

}  // namespace sim
