// Driver messages over the chunk transport: a property bag that fits one chunk travels alone, a
// longer one as "cmux" fragments that the receiver puts together again.
#pragma once

#include <atomic>
#include <cstdlib>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "channel/chunk_channel.h"
#include "channel/messages.h"
#include "platform/system.h"
#include "service/sync_objects.h"

constexpr DWORD KTU_CMUX_MAGIC = 0x78756D63;  // "cmux"
constexpr DWORD KTU_CMUX_HEADER_SIZE = 20;
constexpr DWORD KTU_CHANNEL_CHUNK_SIZE = 8096;
constexpr const char16_t* KTU_CHANNEL_DEVICE_NAME = u"\\\\.\\KTDRVCHANNEL";

// Message-channel results (chunk status folded).
constexpr DWORD KTU_MSG_CHANNEL_SUCCESS = 0;
constexpr DWORD KTU_MSG_CHANNEL_FAILURE = 1;
constexpr DWORD KTU_MSG_CHANNEL_CLOSED = 3;

// Reassembly bounds. A fragmented message larger than KTU_MAX_REASSEMBLED_SIZE is refused before
// anything is allocated. The partial messages together stay within KTU_MAX_PENDING_REASSEMBLY bytes and
// KTU_MAX_PENDING_MESSAGES entries: a new one that would pass them makes room by dropping those that
// heard nothing for longest. One silent for KTU_REASSEMBLY_STALE_MS is dropped at the next first
// fragment. Complete messages are never dropped.
constexpr ULONGLONG KTU_MAX_REASSEMBLED_SIZE = 64ull * 1024 * 1024;
constexpr ULONGLONG KTU_MAX_PENDING_REASSEMBLY = 256ull * 1024 * 1024;
constexpr size_t KTU_MAX_PENDING_MESSAGES = 64;
constexpr DWORD KTU_REASSEMBLY_STALE_MS = 30000;

DWORD FoldChunkStatus(DWORD dwChunkStatus);

// One partly received fragmented message.
class CKTUChunkMUXMessage {
public:
    enum class Added { Refused, Stored, Complete };
    struct CFree {
        void operator()(BYTE* p) const { std::free(p); }
    };
    using Buffer = std::unique_ptr<BYTE[], CFree>;

    CKTUChunkMUXMessage() = default;
    virtual ~CKTUChunkMUXMessage() = default;
    CKTUChunkMUXMessage(const CKTUChunkMUXMessage&) = delete;
    CKTUChunkMUXMessage& operator=(const CKTUChunkMUXMessage&) = delete;

    // pPayload holds dwPayloadSize bytes.
    Added AddFragment(DWORD dwIndex, DWORD dwCount, DWORD dwPayloadSize, const BYTE* pPayload);
    bool HasReceivedNothing() const { return m_dwFragmentsReceived == 0; }
    ULONGLONG GetBufferSize() const { return static_cast<ULONGLONG>(m_dwFragmentSize) * m_dwFragmentCount; }
    // The whole message. Fragments are counted, not tracked, so a duplicated one may have completed it:
    // a part no fragment wrote reads as zeros, never as old heap.
    Buffer TakeBuffer();

private:
    Buffer m_pBuffer;
    // Which fragments were written: zeroing only the others at the end keeps a message that never
    // completes from costing a pass over its whole buffer.
    std::vector<bool> m_Written;
    DWORD m_dwFragmentSize = 0;
    DWORD m_dwFragmentCount = 0;
    DWORD m_dwFragmentsReceived = 0;
};

// The encoding half of the channel, without a device: the reassembly table and the message-id
// counter. The stand-in driver and the fuzz target use it over their own sockets and inputs.
class CKTUMessageCodec {
public:
    // pfnTickCount: milliseconds, for the age of partial messages.
    explicit CKTUMessageCodec(std::function<DWORD()> pfnTickCount = platform::GetTickCount);
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
    // Partial messages dropped as stale or to make room, and the bytes they held.
    ULONGLONG DroppedReassemblies();
    ULONGLONG DroppedReassemblyBytes();

private:
    struct CReassembly {
        std::unique_ptr<CKTUChunkMUXMessage> pMessage;
        DWORD dwLastTick;                  // of its last fragment
        std::list<DWORD>::iterator itAge;  // its place in m_AgeOrder
    };
    struct CDropped {
        DWORD dwCount = 0;
        ULONGLONG ullBytes = 0;
    };
    enum class Stored { Refused, Partial, Complete };

    // Under the reassembly lock: adds a fragment, dropping partial messages first where a new one
    // needs it (reported in *pStale and *pForRoom). On Complete, *ppData holds the whole block.
    Stored AddToReassembly(DWORD dwMessageId, DWORD dwIndex, DWORD dwCount, DWORD dwPayloadSize,
                           const BYTE* pPayload, CKTUChunkMUXMessage::Buffer* ppData, ULONGLONG* pullDataSize,
                           CDropped* pStale, CDropped* pForRoom);
    void Erase(std::map<DWORD, CReassembly>::iterator it);
    // Drops the partial message that heard nothing for longest.
    void DropOldest(CDropped* pDropped);

    std::map<DWORD, CReassembly> m_Reassembly;
    std::list<DWORD> m_AgeOrder;  // message ids, the one silent longest first
    CCriticalSection m_ReassemblyLock;
    bool m_bReassemblyLockInitialized;
    ULONGLONG m_ullPendingBytes = 0;
    ULONGLONG m_ullDropped = 0;
    ULONGLONG m_ullDroppedBytes = 0;
    std::function<DWORD()> m_pfnTickCount;
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
