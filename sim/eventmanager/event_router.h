// The event manager's routing state: providers, subscribers and the events that wait for a
// subscriber to keep, commit or cancel them. Single-threaded: the service's loop feeds it the
// messages of its clients and tells it when a client goes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

#include "manager_protocol.h"
#include "platform/types.h"

namespace zuzazezi {

struct CRouterOptions {
    // Every registration is answered with CError -1.
    bool bRefuseRegistrations = false;
};

class CEventRouter {
public:
    // Sends one message to a client; false when the client cannot take it (it is then dropped).
    using SendFunction =
        std::function<bool(int nClient, std::uint32_t nKind, std::uint32_t nSeq,
                           std::span<const std::int32_t> fields, std::span<const std::uint8_t> blob)>;

    CEventRouter(CRouterOptions options, SendFunction fnSend);

    // The message's event bytes may be changed (the router patches their header in place).
    void OnMessage(int nClient, CMessage& message);
    void OnDisconnect(int nClient);

    std::size_t ProviderCount() const { return m_providers.size(); }
    std::size_t SubscriberCount() const { return m_subscribers.size(); }

private:
    struct CSubscriber {
        int nClient = 0;
        ULONG nType = 0;
        std::vector<LONG> states;
        bool WantsState(LONG nState) const;
    };
    // A non-broadcast event on its way: offered to candidates in turn, then kept by one of them.
    struct CPendingEvent {
        LONG nProviderId = 0;
        ULONG nType = 0;
        std::vector<std::uint8_t> bytes;
        std::vector<LONG> candidates;
        std::size_t nNextCandidate = 0;
        LONG nKeeper = 0;
    };
    struct COffer {
        LONG nEventId = 0;
        LONG nSubscriberId = 0;
    };

    void Answer(int nClient, std::uint32_t nSeq, LONG nError, LONG nValue = 0);
    bool Deliver(int nClient, MessageKind nKind, std::uint32_t nSeq, LONG nId,
                 std::span<const std::uint8_t> bytes);
    void CreateEvent(int nClient, CMessage& message);
    void FinishByClient(int nClient, const CMessage& message, LONG nState);
    void OfferResult(const CMessage& message);
    void OfferNext(LONG nEventId);
    // Sets the state, answers the provider and tells the subscribers that asked for the state.
    void Finish(LONG nEventId, std::vector<std::uint8_t> bytes, LONG nState);
    void DropSubscriber(LONG nSubscriberId);
    void Publish(ULONG nType, const std::vector<std::uint8_t>& bytes, LONG nState);

    CRouterOptions m_options;
    SendFunction m_fnSend;
    LONG m_nLastClientId = 0;
    LONG m_nLastEventId = 0;
    std::uint32_t m_nLastOfferTag = 0;
    std::map<LONG, int> m_providers;            // provider id -> client
    std::map<LONG, CSubscriber> m_subscribers;  // in registration order
    std::map<LONG, CPendingEvent> m_pending;
    std::map<std::uint32_t, COffer> m_offers;
    // Whether each event created so far (index id - 1) was a broadcast.
    std::vector<bool> m_broadcast;
};

}  // namespace zuzazezi
