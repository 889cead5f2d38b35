#include "client_output.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace zuzazezi {

namespace {

// Packets written by one sendmmsg at most.
constexpr std::size_t BATCH = 64;

void Append(std::vector<std::uint8_t>& buffer, const void* p, std::size_t cb) {
    const auto* pBytes = static_cast<const std::uint8_t*>(p);
    buffer.insert(buffer.end(), pBytes, pBytes + cb);
}

}  // namespace

bool CClientOutput::Queue(std::uint32_t nKind, std::uint32_t nSeq, std::span<const std::int32_t> fields,
                          std::span<const std::uint8_t> blob, bool bDroppable) {
    if (bDroppable && WaitingBytes() >= m_cbLimit) {
        ++m_nDropped;
        return false;
    }
    const auto nFields = static_cast<std::uint32_t>(fields.size());
    const auto cbPacket = static_cast<std::uint32_t>(12 + fields.size_bytes() + blob.size());
    m_buffer.reserve(m_buffer.size() + 4 + cbPacket);
    Append(m_buffer, &cbPacket, 4);
    Append(m_buffer, &nKind, 4);
    Append(m_buffer, &nSeq, 4);
    Append(m_buffer, &nFields, 4);
    Append(m_buffer, fields.data(), fields.size_bytes());
    Append(m_buffer, blob.data(), blob.size());
    return true;
}

CClientOutput::FlushResult CClientOutput::Flush(int nSocket) {
    while (!IsEmpty()) {
        mmsghdr messages[BATCH];
        iovec vectors[BATCH];
        std::size_t nCount = 0;
        for (std::size_t nAt = m_nFirst; nAt < m_buffer.size() && nCount < BATCH; ++nCount) {
            std::uint32_t cbPacket = 0;
            std::memcpy(&cbPacket, m_buffer.data() + nAt, 4);
            vectors[nCount] = {m_buffer.data() + nAt + 4, cbPacket};
            messages[nCount] = {};
            messages[nCount].msg_hdr.msg_iov = &vectors[nCount];
            messages[nCount].msg_hdr.msg_iovlen = 1;
            nAt += 4 + cbPacket;
        }
        const int nSent =
            sendmmsg(nSocket, messages, static_cast<unsigned>(nCount), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (nSent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? FlushResult::Pending : FlushResult::Failed;
        }
        for (int i = 0; i < nSent; ++i) {
            m_nFirst += 4 + vectors[i].iov_len;
        }
        if (static_cast<std::size_t>(nSent) < nCount) {
            break;
        }
    }
    if (IsEmpty()) {
        m_buffer.clear();
        m_nFirst = 0;
        return FlushResult::Done;
    }
    // What was taken goes once it is most of the buffer, so the buffer does not creep.
    if (m_nFirst > m_buffer.size() / 2) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_nFirst));
        m_nFirst = 0;
    }
    return FlushResult::Pending;
}

}  // namespace zuzazezi
