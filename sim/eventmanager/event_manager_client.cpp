// zuZazEziPS.dll: the event manager's in-process handler. Its object is what a client holds as the
// event manager: Run connects to the manager's socket; each call sends one request and waits for its
// answer. A reader thread takes the manager's messages: answers wake their callers, deliveries go to
// a dispatch thread that calls the registered proxies, so a callback may call the manager again.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "../common/class_factory.h"
#include "events/event_interfaces.h"
#include "manager_protocol.h"

#define ZUZAZEZI_EXPORT extern "C" __attribute__((visibility("default")))

namespace zuzazezi {
namespace {

// The manager is not there (any more): RPC_S_SERVER_UNAVAILABLE.
constexpr HRESULT E_SERVER_UNAVAILABLE = static_cast<HRESULT>(0x800706BA);
constexpr HRESULT RPC_E_TIMEOUT = static_cast<HRESULT>(0x8001011F);
// A manager that does not answer at all is given up on after this long.
constexpr auto CALL_TIMEOUT = std::chrono::seconds(60);

std::atomic<ULONG> g_nObjects{0};

class CEventManagerClient final : public IKTEventManager, public IRunnableObject, private CRefCounted {
public:
    CEventManagerClient() { ++g_nObjects; }
    ~CEventManagerClient() override {
        Disconnect();
        --g_nObjects;
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IKTEventManager) {
            *ppv = static_cast<IKTEventManager*>(this);
        } else if (riid == IID_IRunnableObject) {
            *ppv = static_cast<IRunnableObject*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT Run() override {
        std::lock_guard lock(m_mutex);
        if (m_nSocket >= 0 && !m_bDead) {
            return S_OK;
        }
        if (m_nSocket >= 0) {
            return E_SERVER_UNAVAILABLE;
        }
        const std::string sPath = ManagerSocketPath();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (sPath.size() >= sizeof(address.sun_path)) {
            return E_SERVER_UNAVAILABLE;
        }
        sPath.copy(address.sun_path, sPath.size());
        const int nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (nSocket < 0) {
            return static_cast<HRESULT>(0x80070000u | static_cast<unsigned>(errno));
        }
        if (connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(nSocket);
            return E_SERVER_UNAVAILABLE;
        }
        m_nSocket = nSocket;
        m_reader = std::thread([this] { ReadMessages(); });
        m_dispatcher = std::thread([this] { DispatchDeliveries(); });
        return S_OK;
    }

    bool IsRunning() override {
        std::lock_guard lock(m_mutex);
        return m_nSocket >= 0 && !m_bDead;
    }

    HRESULT RegisterProvider(IKTProviderProxy* pProxy, LONG* pnProviderId, LONG* pnError) override {
        if (pProxy == nullptr) {
            return E_POINTER;
        }
        CCall call;
        call.pProvider = CComPtr<IKTProviderProxy>(pProxy);
        return Call({MSG_REGISTER_PROVIDER, 0, {}, {}}, call, pnError, pnProviderId);
    }
    HRESULT UnregisterProvider(LONG nProviderId, LONG* pnError) override {
        {
            std::lock_guard lock(m_mutex);
            m_providers.erase(nProviderId);
        }
        CCall call;
        return Call({MSG_UNREGISTER_PROVIDER, 0, {nProviderId}, {}}, call, pnError, nullptr);
    }
    HRESULT RegisterSubscriber(IKTSubscriberProxy* pProxy, ULONG nEventType, ULONG nParam1,
                               const SAFEARRAY* psaStates, ULONG nParam2, VARIANT_BOOL bFlag,
                               LONG* pnSubscriberId, LONG* pnError) override {
        if (pProxy == nullptr) {
            return E_POINTER;
        }
        CMessage request{MSG_REGISTER_SUBSCRIBER,
                         0,
                         {static_cast<std::int32_t>(nEventType), static_cast<std::int32_t>(nParam1),
                          static_cast<std::int32_t>(nParam2), bFlag != VARIANT_FALSE ? 1 : 0},
                         {}};
        // The array is plain data: read it in place.
        if (psaStates != nullptr) {
            if (psaStates->cDims != 1 || psaStates->cbElements != sizeof(VARIANT) ||
                psaStates->rgsabound[0].cElements > MAX_MESSAGE_FIELDS - 4 ||
                (psaStates->rgsabound[0].cElements != 0 && psaStates->pvData == nullptr)) {
                return E_INVALIDARG;
            }
            const auto* pStates = static_cast<const VARIANT*>(psaStates->pvData);
            for (ULONG i = 0; i < psaStates->rgsabound[0].cElements; ++i) {
                if (pStates[i].vt != VT_I4) {
                    return E_INVALIDARG;
                }
                request.fields.push_back(pStates[i].lVal);
            }
        }
        CCall call;
        call.pSubscriber = CComPtr<IKTSubscriberProxy>(pProxy);
        return Call(request, call, pnError, pnSubscriberId);
    }
    HRESULT UnregisterSubscriber(LONG nSubscriberId, LONG* pnError) override {
        {
            std::lock_guard lock(m_mutex);
            m_subscribers.erase(nSubscriberId);
        }
        CCall call;
        return Call({MSG_UNREGISTER_SUBSCRIBER, 0, {nSubscriberId}, {}}, call, pnError, nullptr);
    }
    HRESULT CreateEvent(LONG nProviderId, const KT_TRANSPORTED_EVENT* pEvent, VARIANT_BOOL bBroadcast,
                        LONG* pnEventId, LONG* pnError) override {
        return EventCall(MSG_CREATE_EVENT, {nProviderId, bBroadcast != VARIANT_FALSE ? 1 : 0}, pEvent,
                         pnError, pnEventId);
    }
    HRESULT CommitEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent, LONG* pnError) override {
        return EventCall(MSG_COMMIT_EVENT, {nSubscriberId}, pEvent, pnError, nullptr);
    }
    HRESULT CancelEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent, LONG* pnError) override {
        return EventCall(MSG_CANCEL_EVENT, {nSubscriberId}, pEvent, pnError, nullptr);
    }

private:
    // One call waiting for its answer. A registration carries its proxy, which the reader files
    // under the new id before it reads on, so no delivery for that id can miss it.
    struct CCall {
        bool bAnswered = false;
        LONG nError = CError::eFailure;
        LONG nValue = 0;
        CComPtr<IKTProviderProxy> pProvider;
        CComPtr<IKTSubscriberProxy> pSubscriber;
    };

    // A call's record is filed for the reader while the call is under way, and taken back on every
    // way out under the caller's lock. The record lives on the caller's stack, and a caller ended by
    // force inside the wait unwinds through here (the wait gives the lock back first): a record
    // left behind would have the reader write a late answer into a stack that is gone.
    class CFiledCall {
    public:
        CFiledCall(std::map<std::uint32_t, CCall*>& calls, std::uint32_t nSeq, CCall& call)
            : m_calls(calls), m_nSeq(nSeq) {
            m_calls[m_nSeq] = &call;
        }
        ~CFiledCall() { m_calls.erase(m_nSeq); }
        CFiledCall(const CFiledCall&) = delete;
        CFiledCall& operator=(const CFiledCall&) = delete;

    private:
        std::map<std::uint32_t, CCall*>& m_calls;
        std::uint32_t m_nSeq;
    };

    HRESULT EventCall(MessageKind nKind, std::vector<std::int32_t> fields, const KT_TRANSPORTED_EVENT* pEvent,
                      LONG* pnError, LONG* pnValue) {
        if (pEvent == nullptr || (pEvent->pData == nullptr && pEvent->cbData != 0) ||
            pEvent->cbData > MAX_MESSAGE_SIZE - 12 - fields.size() * 4) {
            return E_INVALIDARG;
        }
        CCall call;
        return Call({nKind, 0, std::move(fields), {pEvent->pData, pEvent->pData + pEvent->cbData}}, call,
                    pnError, pnValue);
    }

    HRESULT Call(CMessage request, CCall& call, LONG* pnError, LONG* pnValue) {
        if (pnError == nullptr) {
            return E_POINTER;
        }
        *pnError = CError::eFailure;
        if (pnValue != nullptr) {
            *pnValue = 0;
        }
        std::unique_lock lock(m_mutex);
        if (m_nSocket < 0) {
            return E_UNEXPECTED;
        }
        if (m_bDead) {
            return E_SERVER_UNAVAILABLE;
        }
        request.nSeq = ++m_nLastSeq;
        const CFiledCall filed(m_calls, request.nSeq, call);
        const std::vector<std::uint8_t> bytes = EncodeMessage(request);
        // Sent under the lock: one packet per message keeps requests whole, and the answer cannot be
        // filed before the call is.
        if (send(m_nSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
            return E_SERVER_UNAVAILABLE;
        }
        const bool bDone = m_answered.wait_for(lock, CALL_TIMEOUT, [&] { return call.bAnswered || m_bDead; });
        if (!call.bAnswered) {
            return bDone ? E_SERVER_UNAVAILABLE : RPC_E_TIMEOUT;
        }
        *pnError = call.nError;
        if (pnValue != nullptr) {
            *pnValue = call.nValue;
        }
        return S_OK;
    }

    void ReadMessages() {
        std::vector<std::uint8_t> buffer(MAX_MESSAGE_SIZE);
        for (;;) {
            const ssize_t cb = recv(m_nSocket, buffer.data(), buffer.size(), MSG_TRUNC);
            if (cb < 0 && errno == EINTR) {
                continue;
            }
            CMessage message;
            if (cb <= 0 || static_cast<std::size_t>(cb) > buffer.size() ||
                !DecodeMessage(buffer.data(), static_cast<std::size_t>(cb), &message)) {
                break;
            }
            std::lock_guard lock(m_mutex);
            if (message.nKind == MSG_ANSWER) {
                const auto it = m_calls.find(message.nSeq);
                if (it == m_calls.end() || message.fields.size() < 2) {
                    continue;
                }
                CCall& call = *it->second;
                call.nError = message.fields[0];
                call.nValue = message.fields[1];
                call.bAnswered = true;
                if (call.nError == CError::eNoError && call.pProvider) {
                    m_providers[call.nValue] = call.pProvider;
                }
                if (call.nError == CError::eNoError && call.pSubscriber) {
                    m_subscribers[call.nValue] = call.pSubscriber;
                }
                m_answered.notify_all();
            } else if ((message.nKind == MSG_DELIVER_SUBSCRIBER || message.nKind == MSG_DELIVER_PROVIDER) &&
                       !message.fields.empty()) {
                m_deliveries.push_back(std::move(message));
                m_delivery.notify_one();
            }
        }
        std::lock_guard lock(m_mutex);
        m_bDead = true;
        m_answered.notify_all();
        m_delivery.notify_one();
    }

    void DispatchDeliveries() {
        for (;;) {
            CMessage message;
            CComPtr<IKTProviderProxy> pProvider;
            CComPtr<IKTSubscriberProxy> pSubscriber;
            {
                std::unique_lock lock(m_mutex);
                m_delivery.wait(lock, [&] { return !m_deliveries.empty() || m_bStopping || m_bDead; });
                if (m_deliveries.empty()) {
                    return;
                }
                message = std::move(m_deliveries.front());
                m_deliveries.pop_front();
                const LONG nId = message.fields[0];
                if (message.nKind == MSG_DELIVER_PROVIDER) {
                    if (const auto it = m_providers.find(nId); it != m_providers.end()) {
                        pProvider = it->second;
                    }
                } else if (const auto it = m_subscribers.find(nId); it != m_subscribers.end()) {
                    pSubscriber = it->second;
                }
            }
            const KT_TRANSPORTED_EVENT transported{message.blob.data(),
                                                   static_cast<ULONG>(message.blob.size())};
            LONG nAction = 1;
            if (pProvider) {
                pProvider->Deliver(message.fields[0], &transported);
            } else if (pSubscriber) {
                pSubscriber->Deliver(message.fields[0], &transported, &nAction);
            }
            if (message.nKind == MSG_DELIVER_SUBSCRIBER && message.nSeq != 0) {
                const std::vector<std::uint8_t> bytes =
                    EncodeMessage({MSG_OFFER_RESULT, message.nSeq, {nAction}, {}});
                std::lock_guard lock(m_mutex);
                if (!m_bDead) {
                    send(m_nSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                }
            }
        }
    }

    void Disconnect() {
        {
            std::lock_guard lock(m_mutex);
            if (m_nSocket < 0) {
                return;
            }
            shutdown(m_nSocket, SHUT_RDWR);
            m_bStopping = true;
            m_delivery.notify_one();
        }
        m_reader.join();
        // Released from a callback the dispatcher would join itself; it then ends on its own.
        if (m_dispatcher.get_id() == std::this_thread::get_id()) {
            m_dispatcher.detach();
        } else {
            m_dispatcher.join();
        }
        close(m_nSocket);
        m_nSocket = -1;
        m_providers.clear();
        m_subscribers.clear();
    }

    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::condition_variable m_delivery;
    int m_nSocket = -1;
    bool m_bDead = false;
    bool m_bStopping = false;
    std::uint32_t m_nLastSeq = 0;
    std::map<std::uint32_t, CCall*> m_calls;
    std::map<LONG, CComPtr<IKTProviderProxy>> m_providers;
    std::map<LONG, CComPtr<IKTSubscriberProxy>> m_subscribers;
    std::deque<CMessage> m_deliveries;
    std::thread m_reader;
    std::thread m_dispatcher;
};

}  // namespace
}  // namespace zuzazezi

ZUZAZEZI_EXPORT HRESULT GetFactory(const CLSID* pClsid, IClassFactory** ppFactory) {
    if (pClsid == nullptr || ppFactory == nullptr) {
        return E_POINTER;
    }
    *ppFactory = nullptr;
    if (!(*pClsid == CLSID_KTEventManager)) {
        return sim::CLASS_E_CLASSNOTAVAILABLE;
    }
    *ppFactory = new (std::nothrow) sim::CClassFactory<zuzazezi::CEventManagerClient, zuzazezi::g_nObjects>();
    return *ppFactory != nullptr ? S_OK : E_OUTOFMEMORY;
}

ZUZAZEZI_EXPORT ULONG GetObjectCount() {
    return zuzazezi::g_nObjects.load();
}
