// What the event manager has for one client and the client's socket has not taken yet. Messages are
// encoded into one buffer that keeps its capacity, and written with one sendmmsg for as many packets
// as the socket takes. A client that reads slower than events arrive for it does not make the
// manager wait or grow: past the limit, deliveries to it are dropped and counted. Answers to its own
// requests are always kept; they cannot pile up faster than it asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zuzazezi {

class CClientOutput {
public:
    // cbLimit: bytes waiting beyond which deliveries are dropped.
    explicit CClientOutput(std::size_t cbLimit) : m_cbLimit(cbLimit) {}

    // Queues one message; false when it is a delivery and the queue is at its limit (it is then
    // dropped and counted).
    bool Queue(std::uint32_t nKind, std::uint32_t nSeq, std::span<const std::int32_t> fields,
               std::span<const std::uint8_t> blob, bool bDroppable);
    enum class FlushResult { Done, Pending, Failed };
    // Writes what the socket takes without waiting: Done when nothing is left, Pending when the
    // socket is full, Failed when the client is gone.
    FlushResult Flush(int nSocket);

    bool IsEmpty() const { return m_nFirst == m_buffer.size(); }
    std::size_t WaitingBytes() const { return m_buffer.size() - m_nFirst; }
    std::uint64_t Dropped() const { return m_nDropped; }

private:
    const std::size_t m_cbLimit;
    // Messages one after the other, each as a u32 length and the packet.
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_nFirst = 0;
    std::uint64_t m_nDropped = 0;
};

}  // namespace zuzazezi
