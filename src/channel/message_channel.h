// Driver messages over the chunk transport: a property bag that fits one chunk travels alone, a
// longer one as "cmux" fragments that the receiver puts together again.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>

#include "channel/chunk_channel.h"
#include "channel/messages.h"
#include "service/sync_objects.h"

constexpr DWORD KTU_CMUX_MAGIC = 0x78756D63;  // "cmux"
constexpr DWORD KTU_CMUX_HEADER_SIZE = 20;
constexpr DWORD KTU_CHANNEL_CHUNK_SIZE = 8096;
constexpr const char16_t* KTU_CHANNEL_DEVICE_NAME = u"\\\\.\\KTDRVCHANNEL";

// Message-channel results (chunk status folded).
constexpr DWORD KTU_MSG_CHANNEL_SUCCESS = 0;
constexpr DWORD KTU_MSG_CHANNEL_FAILURE = 1;
constexpr DWORD KTU_MSG_CHANNEL_CLOSED = 3;

// Refused before anything is allocated: a fragmented message larger than this, or pending
// reassemblies beyond the total below. Complete messages are never dropped.
constexpr ULONGLONG KTU_MAX_REASSEMBLED_SIZE = 64ull * 1024 * 1024;
constexpr ULONGLONG KTU_MAX_PENDING_REASSEMBLY = 256ull * 1024 * 1024;

DWORD FoldChunkStatus(DWORD dwChunkStatus);

// One partly received fragmented message.
class CKTUChunkMUXMessage {
public:
    enum class Added { Refused, Stored, Complete };

    CKTUChunkMUXMessage() = default;
    virtual ~CKTUChunkMUXMessage() = default;
    CKTUChunkMUXMessage(const CKTUChunkMUXMessage&) = delete;
    CKTUChunkMUXMessage& operator=(const CKTUChunkMUXMessage&) = delete;

    // pPayload holds dwPayloadSize bytes.
    Added AddFragment(DWORD dwIndex, DWORD dwCount, DWORD dwPayloadSize, const BYTE* pPayload);
    bool HasReceivedNothing() const { return m_dwFragmentsReceived == 0; }
    ULONGLONG GetBufferSize() const { return static_cast<ULONGLONG>(m_dwFragmentSize) * m_dwFragmentCount; }
    std::unique_ptr<BYTE[]> TakeBuffer() { return std::move(m_pBuffer); }

private:
    std::unique_ptr<BYTE[]> m_pBuffer;
    DWORD m_dwFragmentSize = 0;
    DWORD m_dwFragmentCount = 0;
    DWORD m_dwFragmentsReceived = 0;
};

// The encoding half of the channel, without a device: the reassembly table and the message-id
// counter. The stand-in driver and the fuzz target use it over their own sockets and inputs.
class CKTUMessageCodec {
public:
    CKTUMessageCodec();
    virtual ~CKTUMessageCodec() = default;
    CKTUMessageCodec(const CKTUMessageCodec&) = delete;
    CKTUMessageCodec& operator=(const CKTUMessageCodec&) = delete;

    // Turns a message into chunks of pChunk's size, handing each to pfnSend (which returns a chunk
    // status); the first status other than success ends the sending and is returned.
    DWORD EncodeKTMessage(CKTUMessage* pMsg, CKTUChunk* pChunk,
                          const std::function<DWORD(CKTUChunk*)>& pfnSend);
    // One received chunk: false when it is refused; true with *ppMsg set when it completed a message,
    // with *ppMsg null when it was a fragment that was stored.
    bool ProcessChunk(const BYTE* pChunk, DWORD dwSize, CKTUMessage** ppMsg);

    size_t PendingReassemblies();

private:
    std::map<DWORD, std::unique_ptr<CKTUChunkMUXMessage>> m_Reassembly;
    CCriticalSection m_ReassemblyLock;
    bool m_bReassemblyLockInitialized;
    ULONGLONG m_ullPendingBytes = 0;
    std::atomic<DWORD> m_dwMessageIdCounter{0};
};

class CKTUMessageChannel {
public:
    explicit CKTUMessageChannel(const char16_t* szDeviceName);
    virtual ~CKTUMessageChannel() = default;
    CKTUMessageChannel(const CKTUMessageChannel&) = delete;
    CKTUMessageChannel& operator=(const CKTUMessageChannel&) = delete;

    DWORD Open();
    DWORD Close();
    // On success the channel has destroyed the message; otherwise the caller still owns it.
    DWORD SendKTMessage(CKTUMessage* pMsg);
    // Blocks until a whole message has arrived; the caller owns it.
    DWORD ReceiveKTMessage(CKTUMessage** ppMsg);

    static CKTUMessage* MakeEmptyKTMessage(DWORD dwType);
    static bool Deserialize(const BYTE* pBytes, DWORD dwLength, CKTUMessage** ppMsg);
    static void DestroyKTMessage(CKTUMessage* pMsg);

    CKTUChunkChannel& ChunkChannel() { return m_ChunkChannel; }

private:
    CKTUChunkChannel m_ChunkChannel;
    CKTUMessageCodec m_Codec;  // destroyed first: pending reassemblies, then the handle
};
