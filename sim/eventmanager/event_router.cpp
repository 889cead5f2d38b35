#include "event_router.h"

#include <algorithm>
#include <cstdio>

#include "event_transport.h"
#include "events/event_interfaces.h"

namespace zuzazezi {

bool CEventRouter::CSubscriber::WantsState(LONG nState) const {
    if (states.empty()) {
        return nState == KT_EVENT_STATE_CREATED;
    }
    return std::find(states.begin(), states.end(), nState) != states.end();
}

CEventRouter::CEventRouter(CRouterOptions options, SendFunction fnSend)
    : m_options(options), m_fnSend(std::move(fnSend)) {}

// What a client cannot take is dropped by the sender, which counts and reports it.
bool CEventRouter::Deliver(int nClient, MessageKind nKind, std::uint32_t nSeq, LONG nId,
                           std::span<const std::uint8_t> bytes) {
    const std::int32_t fields[] = {nId};
    return m_fnSend(nClient, nKind, nSeq, fields, bytes);
}

void CEventRouter::Answer(int nClient, std::uint32_t nSeq, LONG nError, LONG nValue) {
    const std::int32_t fields[] = {nError, nValue};
    m_fnSend(nClient, MSG_ANSWER, nSeq, fields, {});
}

void CEventRouter::OnMessage(int nClient, CMessage& message) {
    const auto& f = message.fields;
    switch (message.nKind) {
        case MSG_REGISTER_PROVIDER:
            if (m_options.bRefuseRegistrations) {
                Answer(nClient, message.nSeq, CError::eFailure);
                return;
            }
            m_providers[++m_nLastClientId] = nClient;
            Answer(nClient, message.nSeq, CError::eNoError, m_nLastClientId);
            return;
        case MSG_REGISTER_SUBSCRIBER: {
            if (m_options.bRefuseRegistrations || f.size() < 4) {
                Answer(nClient, message.nSeq, CError::eFailure);
                return;
            }
            CSubscriber subscriber;
            subscriber.nClient = nClient;
            subscriber.nType = static_cast<ULONG>(f[0]);
            subscriber.states.assign(f.begin() + 4, f.end());
            m_subscribers[++m_nLastClientId] = std::move(subscriber);
            Answer(nClient, message.nSeq, CError::eNoError, m_nLastClientId);
            return;
        }
        case MSG_UNREGISTER_PROVIDER:
        case MSG_UNREGISTER_SUBSCRIBER: {
            bool bFound = false;
            if (!f.empty() && message.nKind == MSG_UNREGISTER_PROVIDER) {
                const auto it = m_providers.find(f[0]);
                bFound = it != m_providers.end() && it->second == nClient;
                if (bFound) {
                    m_providers.erase(it);
                }
            } else if (!f.empty()) {
                const auto it = m_subscribers.find(f[0]);
                bFound = it != m_subscribers.end() && it->second.nClient == nClient;
                if (bFound) {
                    DropSubscriber(f[0]);
                }
            }
            Answer(nClient, message.nSeq, bFound ? CError::eNoError : CError::eFailure);
            return;
        }
        case MSG_CREATE_EVENT:
            CreateEvent(nClient, message);
            return;
        case MSG_COMMIT_EVENT:
            FinishByClient(nClient, message, KT_EVENT_STATE_COMMITTED);
            return;
        case MSG_CANCEL_EVENT:
            FinishByClient(nClient, message, KT_EVENT_STATE_CANCELLED);
            return;
        case MSG_OFFER_RESULT:
            OfferResult(message);
            return;
        default:
            Answer(nClient, message.nSeq, CError::eFailure);
            return;
    }
}

void CEventRouter::CreateEvent(int nClient, CMessage& message) {
    ULONG nType = 0;
    LONG nId = 0;
    LONG nState = 0;
    if (message.fields.size() < 2 || !m_providers.contains(message.fields[0]) ||
        m_providers[message.fields[0]] != nClient ||
        !krellevt::PeekEventHeader(message.blob.data(), message.blob.size(), &nType, &nId, &nState)) {
        Answer(nClient, message.nSeq, CError::eFailure);
        return;
    }
    const LONG nEventId = ++m_nLastEventId;
    m_broadcast.push_back(message.fields[1] != 0);
    krellevt::PatchEventHeader(message.blob.data(), message.blob.size(), nEventId, KT_EVENT_STATE_CREATED);
    // The creator learns the id before any answer to the event can reach it.
    Answer(nClient, message.nSeq, CError::eNoError, nEventId);
    if (message.fields[1] != 0) {
        Publish(nType, message.blob, KT_EVENT_STATE_CREATED);
        return;
    }
    CPendingEvent pending;
    pending.nProviderId = message.fields[0];
    pending.nType = nType;
    pending.bytes = std::move(message.blob);
    for (const auto& [nSubscriberId, subscriber] : m_subscribers) {
        if (subscriber.nType == nType && subscriber.WantsState(KT_EVENT_STATE_CREATED)) {
            pending.candidates.push_back(nSubscriberId);
        }
    }
    m_pending[nEventId] = std::move(pending);
    OfferNext(nEventId);
}

void CEventRouter::OfferNext(LONG nEventId) {
    const auto it = m_pending.find(nEventId);
    if (it == m_pending.end()) {
        return;
    }
    CPendingEvent& pending = it->second;
    while (pending.nNextCandidate < pending.candidates.size()) {
        const LONG nSubscriberId = pending.candidates[pending.nNextCandidate++];
        const auto subscriber = m_subscribers.find(nSubscriberId);
        if (subscriber == m_subscribers.end()) {
            continue;
        }
        const std::uint32_t nTag = ++m_nLastOfferTag == 0 ? ++m_nLastOfferTag : m_nLastOfferTag;
        // An offer the subscriber's connection cannot take counts as refused.
        if (!Deliver(subscriber->second.nClient, MSG_DELIVER_SUBSCRIBER, nTag, nSubscriberId,
                     pending.bytes)) {
            continue;
        }
        m_offers[nTag] = {nEventId, nSubscriberId};
        return;
    }
    // Nobody keeps it: the provider hears it cancelled.
    Finish(nEventId, pending.bytes, KT_EVENT_STATE_CANCELLED);
}

void CEventRouter::OfferResult(const CMessage& message) {
    const auto offer = m_offers.find(message.nSeq);
    if (offer == m_offers.end()) {
        return;
    }
    const COffer taken = offer->second;
    m_offers.erase(offer);
    const auto pending = m_pending.find(taken.nEventId);
    if (pending == m_pending.end()) {
        return;
    }
    if (!message.fields.empty() && message.fields[0] == 0 && m_subscribers.contains(taken.nSubscriberId)) {
        pending->second.nKeeper = taken.nSubscriberId;
        return;
    }
    OfferNext(taken.nEventId);
}

void CEventRouter::FinishByClient(int nClient, const CMessage& message, LONG nState) {
    ULONG nType = 0;
    LONG nEventId = 0;
    LONG nOldState = 0;
    const auto subscriber =
        message.fields.empty() ? m_subscribers.end() : m_subscribers.find(message.fields[0]);
    if (subscriber == m_subscribers.end() || subscriber->second.nClient != nClient ||
        !krellevt::PeekEventHeader(message.blob.data(), message.blob.size(), &nType, &nEventId, &nOldState) ||
        nType != subscriber->second.nType || nEventId <= 0 || nEventId > m_nLastEventId) {
        Answer(nClient, message.nSeq, CError::eFailure);
        return;
    }
    const auto pending = m_pending.find(nEventId);
    if (pending != m_pending.end()) {
        // A subscriber may finish an event it was offered before its answer to the offer arrives
        // (from inside its callback, or from a thread the callback woke): finishing it keeps it.
        if (pending->second.nKeeper == 0) {
            for (auto offer = m_offers.begin(); offer != m_offers.end(); ++offer) {
                if (offer->second.nEventId == nEventId && offer->second.nSubscriberId == message.fields[0]) {
                    pending->second.nKeeper = message.fields[0];
                    m_offers.erase(offer);
                    break;
                }
            }
        }
        // Only the subscriber that kept an event may finish it.
        if (pending->second.nKeeper != message.fields[0]) {
            Answer(nClient, message.nSeq, CError::eFailure);
            return;
        }
        Answer(nClient, message.nSeq, CError::eNoError);
        Finish(nEventId, message.blob, nState);
        return;
    }
    // A non-broadcast event that is no longer pending was finished already.
    if (!m_broadcast[static_cast<std::size_t>(nEventId) - 1]) {
        Answer(nClient, message.nSeq, CError::eFailure);
        return;
    }
    // A broadcast event: nobody waits for its answer, but subscribers of the state hear of it.
    Answer(nClient, message.nSeq, CError::eNoError);
    std::vector<std::uint8_t> bytes = message.blob;
    krellevt::PatchEventHeader(bytes.data(), bytes.size(), nEventId, nState);
    Publish(nType, bytes, nState);
}

void CEventRouter::Finish(LONG nEventId, std::vector<std::uint8_t> bytes, LONG nState) {
    const auto it = m_pending.find(nEventId);
    if (it == m_pending.end()) {
        return;
    }
    const LONG nProviderId = it->second.nProviderId;
    const ULONG nType = it->second.nType;
    m_pending.erase(it);
    for (auto offer = m_offers.begin(); offer != m_offers.end();) {
        offer = offer->second.nEventId == nEventId ? m_offers.erase(offer) : std::next(offer);
    }
    krellevt::PatchEventHeader(bytes.data(), bytes.size(), nEventId, nState);
    if (const auto provider = m_providers.find(nProviderId); provider != m_providers.end()) {
        Deliver(provider->second, MSG_DELIVER_PROVIDER, 0, nProviderId, bytes);
    }
    Publish(nType, bytes, nState);
}

void CEventRouter::Publish(ULONG nType, const std::vector<std::uint8_t>& bytes, LONG nState) {
    for (const auto& [nSubscriberId, subscriber] : m_subscribers) {
        if (subscriber.nType == nType && subscriber.WantsState(nState)) {
            Deliver(subscriber.nClient, MSG_DELIVER_SUBSCRIBER, 0, nSubscriberId, bytes);
        }
    }
}

void CEventRouter::OnDisconnect(int nClient) {
    std::erase_if(m_providers, [nClient](const auto& entry) { return entry.second == nClient; });
    std::vector<LONG> gone;
    for (const auto& [nSubscriberId, subscriber] : m_subscribers) {
        if (subscriber.nClient == nClient) {
            gone.push_back(nSubscriberId);
        }
    }
    for (const LONG nSubscriberId : gone) {
        DropSubscriber(nSubscriberId);
    }
}

void CEventRouter::DropSubscriber(LONG nSubscriberId) {
    m_subscribers.erase(nSubscriberId);
    // Events it was offered go to the next candidate; events it kept are answered as cancelled.
    std::vector<LONG> offered;
    for (auto offer = m_offers.begin(); offer != m_offers.end();) {
        if (offer->second.nSubscriberId == nSubscriberId) {
            offered.push_back(offer->second.nEventId);
            offer = m_offers.erase(offer);
        } else {
            ++offer;
        }
    }
    for (const LONG nEventId : offered) {
        OfferNext(nEventId);
    }
    std::vector<LONG> kept;
    for (const auto& [nEventId, pending] : m_pending) {
        if (pending.nKeeper == nSubscriberId) {
            kept.push_back(nEventId);
        }
    }
    for (const LONG nEventId : kept) {
        Finish(nEventId, m_pending[nEventId].bytes, KT_EVENT_STATE_CANCELLED);
    }
}

}  // namespace zuzazezi
