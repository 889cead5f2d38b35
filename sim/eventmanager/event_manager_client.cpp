// zuZazEziPS.dll: the event manager's in-process handler. Its object is what a client holds as the
// event manager: Run connects to the manager's socket and hands it a second socket for deliveries;
// each call sends one request and waits for its answer. A reader thread takes the deliveries (and the
// answers to the calls that must stay in order with them) and queues them for a dispatch thread that
// calls the registered proxies, so a callback may call the manager again. Every other call reads its
// own answer from the first socket, so the answer costs no hand-over between threads.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <span>
#include <thread>

#include "../common/class_factory.h"
#include "events/event_interfaces.h"
#include "manager_protocol.h"
#include "spin_wait.h"

#define ZUZAZEZI_EXPORT extern "C" __attribute__((visibility("default")))

namespace zuzazezi {
namespace {

// The manager is not there (any more): RPC_S_SERVER_UNAVAILABLE.
constexpr HRESULT E_SERVER_UNAVAILABLE = static_cast<HRESULT>(0x800706BA);
constexpr HRESULT RPC_E_TIMEOUT = static_cast<HRESULT>(0x8001011F);
// A manager that does not answer at all is given up on after this long.
constexpr auto CALL_TIMEOUT = std::chrono::seconds(60);
// Deliveries (or their bytes) waiting for the dispatcher beyond which the reader stops reading, so a
// callback slower than the events that arrive for it leaves them with the manager, which bounds what
// it keeps.
constexpr std::size_t MAX_QUEUED_DELIVERIES = 4096;
constexpr std::size_t MAX_QUEUED_BYTES = 4 * 1024 * 1024;

// Sends one packet: the header, the fields and the event bytes, without copying them together.
bool SendPacket(int nSocket, std::uint32_t nKind, std::uint32_t nSeq, std::span<const std::int32_t> fields,
                std::span<const std::uint8_t> blob, int nPassSocket = -1) {
    const std::uint32_t header[] = {nKind, nSeq, static_cast<std::uint32_t>(fields.size())};
    iovec vectors[] = {{const_cast<std::uint32_t*>(header), sizeof(header)},
                       {const_cast<std::int32_t*>(fields.data()), fields.size_bytes()},
                       {const_cast<std::uint8_t*>(blob.data()), blob.size()}};
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = 3;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (nPassSocket >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        cmsghdr* pControl = CMSG_FIRSTHDR(&message);
        pControl->cmsg_level = SOL_SOCKET;
        pControl->cmsg_type = SCM_RIGHTS;
        pControl->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(pControl), &nPassSocket, sizeof(int));
    }
    const std::size_t cbAll = sizeof(header) + fields.size_bytes() + blob.size();
    return sendmsg(nSocket, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(cbAll);
}

// Waits up to the deadline for one packet and reads it: its size, 0 when the socket closed, -1 on an
// error, -2 when the deadline passed.
ssize_t ReceivePacket(int nSocket, std::vector<std::uint8_t>& buffer,
                      std::chrono::steady_clock::time_point deadline) {
    // The manager answers a call within microseconds when it is not busy elsewhere.
    ssize_t cbEarly = -1;
    if (LookFor(std::chrono::microseconds(50), [&] {
            cbEarly = recv(nSocket, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
            return cbEarly >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        })) {
        return cbEarly;
    }
    for (;;) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            return -2;
        }
        pollfd wait{nSocket, POLLIN, 0};
        const int nReady =
            poll(&wait, 1, static_cast<int>(std::min<long long>(remaining.count() + 1, 1 << 30)));
        if (nReady < 0 && errno != EINTR) {
            return -1;
        }
        if (nReady <= 0) {
            continue;
        }
        const ssize_t cb = recv(nSocket, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (cb < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        return cb;
    }
}

std::atomic<ULONG> g_nObjects{0};

class CEventManagerClient final : public IKTEventManager, public CRunnableObject, private CRefCounted {
public:
    CEventManagerClient() { ++g_nObjects; }
    ~CEventManagerClient() override {
        Disconnect();
        --g_nObjects;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
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
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE Run(IBindCtx*) override {
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
        AttachDeliverySocket();
        m_reader = std::thread([this] { ReadMessages(); });
        m_dispatcher = std::thread([this] { DispatchDeliveries(); });
        return S_OK;
    }

    BOOL STDMETHODCALLTYPE IsRunning() override {
        std::lock_guard lock(m_mutex);
        return m_nSocket >= 0 && !m_bDead;
    }

    HRESULT STDMETHODCALLTYPE RegisterProvider(IKTProviderProxy* pProxy, LONG* pnProviderId,
                                               LONG* pnError) override {
        if (pProxy == nullptr) {
            return E_POINTER;
        }
        CCall call;
        call.pProvider = CComPtr<IKTProviderProxy>(pProxy);
        return Call(MSG_REGISTER_PROVIDER, {}, {}, call, pnError, pnProviderId, true);
    }
    HRESULT STDMETHODCALLTYPE UnregisterProvider(LONG nProviderId, LONG* pnError) override {
        {
            std::lock_guard lock(m_mutex);
            m_providers.erase(nProviderId);
        }
        CCall call;
        const std::int32_t fields[] = {nProviderId};
        return Call(MSG_UNREGISTER_PROVIDER, fields, {}, call, pnError, nullptr, false);
    }
    HRESULT STDMETHODCALLTYPE RegisterSubscriber(IKTSubscriberProxy* pProxy, ULONG nEventType, ULONG nParam1,
                                                 const SAFEARRAY* psaStates, ULONG nParam2,
                                                 VARIANT_BOOL bFlag, LONG* pnSubscriberId,
                                                 LONG* pnError) override {
        if (pProxy == nullptr) {
            return E_POINTER;
        }
        std::vector<std::int32_t> fields{static_cast<std::int32_t>(nEventType),
                                         static_cast<std::int32_t>(nParam1),
                                         static_cast<std::int32_t>(nParam2), bFlag != VARIANT_FALSE ? 1 : 0};
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
                fields.push_back(pStates[i].lVal);
            }
        }
        CCall call;
        call.pSubscriber = CComPtr<IKTSubscriberProxy>(pProxy);
        return Call(MSG_REGISTER_SUBSCRIBER, fields, {}, call, pnError, pnSubscriberId, true);
    }
    HRESULT STDMETHODCALLTYPE UnregisterSubscriber(LONG nSubscriberId, LONG* pnError) override {
        {
            std::lock_guard lock(m_mutex);
            m_subscribers.erase(nSubscriberId);
        }
        CCall call;
        const std::int32_t fields[] = {nSubscriberId};
        return Call(MSG_UNREGISTER_SUBSCRIBER, fields, {}, call, pnError, nullptr, false);
    }
    HRESULT STDMETHODCALLTYPE CreateEvent(LONG nProviderId, const KT_TRANSPORTED_EVENT* pEvent,
                                          VARIANT_BOOL bBroadcast, LONG* pnEventId, LONG* pnError) override {
        // The answer to an event that is not broadcast comes as a delivery: its id must be known first.
        const std::int32_t fields[] = {nProviderId, bBroadcast != VARIANT_FALSE ? 1 : 0};
        return EventCall(MSG_CREATE_EVENT, fields, pEvent, pnError, pnEventId, bBroadcast == VARIANT_FALSE);
    }
    HRESULT STDMETHODCALLTYPE CommitEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent,
                                          LONG* pnError) override {
        const std::int32_t fields[] = {nSubscriberId};
        return EventCall(MSG_COMMIT_EVENT, fields, pEvent, pnError, nullptr, false);
    }
    HRESULT STDMETHODCALLTYPE CancelEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent,
                                          LONG* pnError) override {
        const std::int32_t fields[] = {nSubscriberId};
        return EventCall(MSG_CANCEL_EVENT, fields, pEvent, pnError, nullptr, false);
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

    HRESULT EventCall(MessageKind nKind, std::span<const std::int32_t> fields,
                      const KT_TRANSPORTED_EVENT* pEvent, LONG* pnError, LONG* pnValue, bool bOrdered) {
        if (pEvent == nullptr || (pEvent->pData == nullptr && pEvent->cbData != 0) ||
            pEvent->cbData > MAX_MESSAGE_SIZE - 12 - fields.size() * 4) {
            return E_INVALIDARG;
        }
        CCall call;
        return Call(nKind, fields, {pEvent->pData, pEvent->cbData}, call, pnError, pnValue, bOrdered);
    }

    // bOrdered: the answer must come in order with the deliveries (a registration, whose proxy must be
    // filed before a delivery for it is read; a create whose answer is a delivery), so it goes by the
    // delivery socket and the reader takes it. Any other call reads its own answer.
    HRESULT Call(MessageKind nKind, std::span<const std::int32_t> fields, std::span<const std::uint8_t> blob,
                 CCall& call, LONG* pnError, LONG* pnValue, bool bOrdered) {
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
        const std::uint32_t nSeq = ++m_nLastSeq;
        const CFiledCall filed(m_calls, nSeq, call);
        const bool bReadsItself = m_nDelivery >= 0 && !bOrdered;
        // Sent under the lock: one packet per message keeps requests whole, and the answer cannot be
        // filed before the call is.
        if (!SendPacket(bReadsItself || m_nDelivery < 0 ? m_nSocket : m_nDelivery, nKind, nSeq, fields,
                        blob)) {
            return E_SERVER_UNAVAILABLE;
        }
        const auto deadline = std::chrono::steady_clock::now() + CALL_TIMEOUT;
        if (bReadsItself) {
            ReadOwnAnswer(lock, call, deadline);
        } else {
            const CWaitingForReader waiting(*this);
            m_answered.wait_until(lock, deadline, [&] { return call.bAnswered || m_bDead; });
        }
        if (!call.bAnswered) {
            return m_bDead ? E_SERVER_UNAVAILABLE : RPC_E_TIMEOUT;
        }
        *pnError = call.nError;
        if (pnValue != nullptr) {
            *pnValue = call.nValue;
        }
        return S_OK;
    }

    // While a call waits for the reader, the reader reads even with the dispatcher's queue full: the
    // answer may be what a callback waits for.
    class CWaitingForReader {
    public:
        explicit CWaitingForReader(CEventManagerClient& client) : m_client(client) {
            ++m_client.m_nWaitingForReader;
            m_client.m_room.notify_all();
        }
        ~CWaitingForReader() { --m_client.m_nWaitingForReader; }
        CWaitingForReader(const CWaitingForReader&) = delete;
        CWaitingForReader& operator=(const CWaitingForReader&) = delete;

    private:
        CEventManagerClient& m_client;
    };

    // One caller at a time reads the call socket; it files whatever answer comes, its own or another
    // caller's, and hands the turn on. The turn is given back on every way out, also when the thread
    // is ended by force inside the read.
    class CReadTurn {
    public:
        CReadTurn(CEventManagerClient& client, std::unique_lock<std::mutex>& lock)
            : m_client(client), m_lock(lock) {}
        ~CReadTurn() {
            if (m_bHeld) {
                if (!m_lock.owns_lock()) {
                    m_lock.lock();
                }
                Give();
            }
        }
        CReadTurn(const CReadTurn&) = delete;
        CReadTurn& operator=(const CReadTurn&) = delete;
        void Take() {
            m_client.m_bCallSocketRead = true;
            m_bHeld = true;
        }
        void Give() {
            m_client.m_bCallSocketRead = false;
            m_bHeld = false;
            m_client.m_answered.notify_all();
        }

    private:
        CEventManagerClient& m_client;
        std::unique_lock<std::mutex>& m_lock;
        bool m_bHeld = false;
    };

    void ReadOwnAnswer(std::unique_lock<std::mutex>& lock, const CCall& call,
                       std::chrono::steady_clock::time_point deadline) {
        CReadTurn turn(*this, lock);
        while (!call.bAnswered && !m_bDead && std::chrono::steady_clock::now() < deadline) {
            if (m_bCallSocketRead) {
                m_answered.wait_until(lock, deadline);
                continue;
            }
            turn.Take();
            lock.unlock();
            const ssize_t cb = ReceivePacket(m_nSocket, m_callBuffer, deadline);
            CMessage message;
            const bool bMessage = cb > 0 && static_cast<std::size_t>(cb) <= m_callBuffer.size() &&
                                  DecodeMessage(m_callBuffer.data(), static_cast<std::size_t>(cb), &message);
            lock.lock();
            turn.Give();
            if (bMessage) {
                Take(std::move(message));
            } else if (cb != -2) {
                SetDead();
            }
        }
    }

    void SetDead() {
        m_bDead = true;
        m_answered.notify_all();
        m_delivery.notify_one();
    }

    // Files an answer with its call or queues a delivery; under the lock.
    void Take(CMessage&& message) {
        if (message.nKind == MSG_ANSWER) {
            const auto it = m_calls.find(message.nSeq);
            if (it == m_calls.end() || message.fields.size() < 2) {
                return;
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
            m_cbQueued += message.blob.size();
            m_deliveries.push_back(std::move(message));
            m_delivery.notify_one();
        }
    }

    // Hands the manager one end of a socket pair for the deliveries; a manager that refuses keeps
    // sending everything on the first socket, which the reader then reads. Under the lock, before the
    // threads start.
    void AttachDeliverySocket() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            return;
        }
        const std::uint32_t nSeq = ++m_nLastSeq;
        const bool bSent = SendPacket(m_nSocket, MSG_ATTACH_DELIVERY, nSeq, {}, {}, pair[1]);
        close(pair[1]);
        CMessage answer;
        const ssize_t cb =
            bSent ? ReceivePacket(m_nSocket, m_callBuffer, std::chrono::steady_clock::now() + CALL_TIMEOUT)
                  : -1;
        if (cb > 0 && DecodeMessage(m_callBuffer.data(), static_cast<std::size_t>(cb), &answer) &&
            answer.nKind == MSG_ANSWER && answer.nSeq == nSeq && answer.fields.size() >= 2 &&
            answer.fields[0] == CError::eNoError) {
            m_nDelivery = pair[0];
            return;
        }
        close(pair[0]);
        if (cb == 0 || cb == -1) {
            m_bDead = true;
        }
    }

    void ReadMessages() {
        const int nSocket = m_nDelivery >= 0 ? m_nDelivery : m_nSocket;
        std::vector<std::uint8_t> buffer(MAX_MESSAGE_SIZE);
        for (;;) {
            if (!WaitForRoom(nSocket)) {
                return;
            }
            const ssize_t cb = recv(nSocket, buffer.data(), buffer.size(), MSG_TRUNC);
            if (cb < 0 && errno == EINTR) {
                continue;
            }
            CMessage message;
            if (cb <= 0 || static_cast<std::size_t>(cb) > buffer.size() ||
                !DecodeMessage(buffer.data(), static_cast<std::size_t>(cb), &message)) {
                break;
            }
            std::lock_guard lock(m_mutex);
            Take(std::move(message));
        }
        std::lock_guard lock(m_mutex);
        SetDead();
    }

    // Waits while the dispatcher has its fill and no call waits for the reader, looking now and then
    // whether the manager went meanwhile. False when the object is being released.
    bool WaitForRoom(int nSocket) {
        std::unique_lock lock(m_mutex);
        while (QueueFull() && m_nWaitingForReader == 0 && !m_bStopping) {
            m_room.wait_for(lock, std::chrono::milliseconds(50));
            pollfd hangup{nSocket, POLLRDHUP, 0};
            if (poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                SetDead();
                return false;
            }
        }
        return !m_bStopping || !QueueFull();
    }

    bool QueueFull() const {
        return m_deliveries.size() >= MAX_QUEUED_DELIVERIES || m_cbQueued >= MAX_QUEUED_BYTES;
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
                const bool bWasFull = QueueFull();
                message = std::move(m_deliveries.front());
                m_deliveries.pop_front();
                m_cbQueued -= message.blob.size();
                if (bWasFull && !QueueFull()) {
                    m_room.notify_one();
                }
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
                const std::int32_t fields[] = {nAction};
                std::lock_guard lock(m_mutex);
                if (!m_bDead) {
                    SendPacket(m_nSocket, MSG_OFFER_RESULT, message.nSeq, fields, {});
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
            if (m_nDelivery >= 0) {
                shutdown(m_nDelivery, SHUT_RDWR);
            }
            m_bStopping = true;
            m_delivery.notify_one();
            m_room.notify_all();
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
        if (m_nDelivery >= 0) {
            close(m_nDelivery);
            m_nDelivery = -1;
        }
        m_providers.clear();
        m_subscribers.clear();
    }

    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::condition_variable m_delivery;
    std::condition_variable m_room;
    int m_nSocket = -1;
    // The socket the manager delivers on, or -1 when it delivers on m_nSocket.
    int m_nDelivery = -1;
    // Whether a caller reads m_nSocket now, and the buffer it reads into.
    bool m_bCallSocketRead = false;
    std::vector<std::uint8_t> m_callBuffer = std::vector<std::uint8_t>(MAX_MESSAGE_SIZE);
    int m_nWaitingForReader = 0;
    std::size_t m_cbQueued = 0;
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
