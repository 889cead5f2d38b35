// The messages between the event manager (zuzazezi) and its in-process handler (zuZazEziPS.dll),
// over a SOCK_SEQPACKET Unix socket in the root's run directory: one packet is one message. See
// docs/events.md for the message kinds and the routing rules.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/root_location.h"

namespace zuzazezi {

enum MessageKind : std::uint32_t {
    // Client to manager; each is answered by MSG_ANSWER with the request's sequence number.
    MSG_REGISTER_PROVIDER = 1,      // -
    MSG_UNREGISTER_PROVIDER = 2,    // provider id
    MSG_REGISTER_SUBSCRIBER = 3,    // type, param1, param2, flag, state...
    MSG_UNREGISTER_SUBSCRIBER = 4,  // subscriber id
    MSG_CREATE_EVENT = 5,           // provider id, broadcast; the event
    MSG_COMMIT_EVENT = 6,           // subscriber id; the event
    MSG_CANCEL_EVENT = 7,           // subscriber id; the event
    // Client to manager, not answered: whether the subscriber offered an event keeps it.
    MSG_OFFER_RESULT = 8,  // sequence = the offer's tag; action
    // Client to manager, answered: the manager's end of a socket pair (SCM_RIGHTS) on which the
    // client wants its deliveries, and the answers to the requests it sends there.
    MSG_ATTACH_DELIVERY = 9,  // -
    // Manager to client.
    MSG_ANSWER = 100,              // error (CError), value (an id or 0)
    MSG_DELIVER_SUBSCRIBER = 101,  // sequence = offer tag (0: no answer wanted); subscriber id; the event
    MSG_DELIVER_PROVIDER = 102,    // provider id; the event
};

// A whole packet: kind, sequence, field count, the fields (32-bit each) and the event bytes, if any.
struct CMessage {
    std::uint32_t nKind = 0;
    std::uint32_t nSeq = 0;
    std::vector<std::int32_t> fields;
    std::vector<std::uint8_t> blob;
};

constexpr std::size_t MAX_MESSAGE_FIELDS = 64;
constexpr std::size_t MAX_MESSAGE_SIZE = 256 * 1024;

inline std::vector<std::uint8_t> EncodeMessage(const CMessage& message) {
    std::vector<std::uint8_t> bytes(12 + message.fields.size() * 4 + message.blob.size());
    const auto nFields = static_cast<std::uint32_t>(message.fields.size());
    std::memcpy(bytes.data(), &message.nKind, 4);
    std::memcpy(bytes.data() + 4, &message.nSeq, 4);
    std::memcpy(bytes.data() + 8, &nFields, 4);
    if (nFields != 0) {
        std::memcpy(bytes.data() + 12, message.fields.data(), nFields * 4);
    }
    if (!message.blob.empty()) {
        std::memcpy(bytes.data() + 12 + nFields * 4, message.blob.data(), message.blob.size());
    }
    return bytes;
}

inline bool DecodeMessage(const std::uint8_t* pData, std::size_t cbData, CMessage* pMessage) {
    std::uint32_t nFields = 0;
    if (cbData < 12) {
        return false;
    }
    std::memcpy(&pMessage->nKind, pData, 4);
    std::memcpy(&pMessage->nSeq, pData + 4, 4);
    std::memcpy(&nFields, pData + 8, 4);
    if (nFields > MAX_MESSAGE_FIELDS || cbData - 12 < nFields * 4) {
        return false;
    }
    pMessage->fields.resize(nFields);
    if (nFields != 0) {
        std::memcpy(pMessage->fields.data(), pData + 12, nFields * 4);
    }
    pMessage->blob.assign(pData + 12 + nFields * 4, pData + cbData);
    return true;
}

// The manager's socket, in the root the system would find, so the handler library needs nothing of
// the system.
inline std::string ManagerSocketPath() {
    return platform::LocateRoot() + "/run/zuZazEzi.sock";
}

}  // namespace zuzazezi
