#include "channel/message_channel.h"

#include <cstring>
#include <mutex>
#include <new>

#include "diagnostics/user_debug_output.h"

DWORD FoldChunkStatus(DWORD dwChunkStatus) {
    switch (dwChunkStatus) {
        case KTU_CHUNK_SUCCESS:
            return 0;
        case KTU_CHUNK_ALREADY_OPEN:
            return 2;
        case KTU_CHUNK_NOT_OPEN:
            return 3;
        case KTU_CHUNK_VERSION_MISMATCH:
            return 4;
        default:
            return 1;
    }
}

CKTUChunkMUXMessage::Added CKTUChunkMUXMessage::AddFragment(DWORD dwIndex, DWORD dwCount, DWORD dwPayloadSize,
                                                            const BYTE* pPayload) {
    if (dwIndex >= dwCount) {
        return Added::Refused;
    }
    if (m_pBuffer == nullptr) {
        const ULONGLONG ullSize = static_cast<ULONGLONG>(dwPayloadSize) * dwCount;
        if (ullSize == 0 || ullSize > KTU_MAX_REASSEMBLED_SIZE || m_dwFragmentCount != 0) {
            return Added::Refused;
        }
        try {
            m_Written.assign(dwCount, false);
            m_pBuffer.reset(static_cast<BYTE*>(std::malloc(ullSize)));
            if (m_pBuffer == nullptr) {
                throw std::bad_alloc();
            }
        } catch (const std::bad_alloc& e) {
            DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                      u"CKTUChunkMUXMessage::AddFragment - failed to allocate message buffer (%S)\n",
                      e.what());
            m_Written.clear();
            return Added::Refused;
        }
        m_dwFragmentSize = dwPayloadSize;
        m_dwFragmentCount = dwCount;
        m_dwFragmentsReceived = 0;
    } else if (dwPayloadSize != m_dwFragmentSize || dwCount != m_dwFragmentCount ||
               m_dwFragmentsReceived >= m_dwFragmentCount) {
        return Added::Refused;
    }
    std::memcpy(m_pBuffer.get() + static_cast<size_t>(dwIndex) * m_dwFragmentSize, pPayload, dwPayloadSize);
    m_Written[dwIndex] = true;
    ++m_dwFragmentsReceived;
    return m_dwFragmentsReceived == m_dwFragmentCount ? Added::Complete : Added::Stored;
}

CKTUChunkMUXMessage::Buffer CKTUChunkMUXMessage::TakeBuffer() {
    for (DWORD dwIndex = 0; m_pBuffer != nullptr && dwIndex < m_dwFragmentCount; ++dwIndex) {
        if (!m_Written[dwIndex]) {
            std::memset(m_pBuffer.get() + static_cast<size_t>(dwIndex) * m_dwFragmentSize, 0,
                        m_dwFragmentSize);
        }
    }
    return std::move(m_pBuffer);
}

CKTUMessageCodec::CKTUMessageCodec(std::function<DWORD()> pfnTickCount)
    : m_pfnTickCount(std::move(pfnTickCount)) {
    m_bReassemblyLockInitialized = m_ReassemblyLock.Create();
}

size_t CKTUMessageCodec::PendingReassemblies() {
    std::lock_guard lock(m_ReassemblyLock);
    return m_Reassembly.size();
}

ULONGLONG CKTUMessageCodec::DroppedReassemblies() {
    std::lock_guard lock(m_ReassemblyLock);
    return m_ullDropped;
}

ULONGLONG CKTUMessageCodec::DroppedReassemblyBytes() {
    std::lock_guard lock(m_ReassemblyLock);
    return m_ullDroppedBytes;
}

DWORD CKTUMessageCodec::EncodeKTMessage(CKTUMessage* pMsg, CKTUChunk* pChunk,
                                        const std::function<DWORD(CKTUChunk*)>& pfnSend) {
    if (pMsg == nullptr || pChunk == nullptr || pChunk->GetBuffer() == nullptr) {
        return KTU_CHUNK_FAILURE;
    }
    const DWORD n = pMsg->GetSerializedSize();
    const DWORD c = pChunk->GetSize();
    BYTE* pBuffer = pChunk->GetBuffer();
    if (n <= c) {
        if (pMsg->Serialize(pBuffer, c) != MSG_SUCCESS) {
            return KTU_CHUNK_FAILURE;
        }
        std::memset(pBuffer + n, 0, c - n);  // whatever the chunk held before stays on this side
        return pfnSend(pChunk);
    }
    if (c <= KTU_CMUX_HEADER_SIZE) {
        return KTU_CHUNK_FAILURE;
    }
    const DWORD p = c - KTU_CMUX_HEADER_SIZE;
    const DWORD dwCount = n / p + (n % p != 0 ? 1 : 0);
    WriteLE32(pBuffer, KTU_CMUX_MAGIC);
    WriteLE32(pBuffer + 4, m_dwMessageIdCounter.fetch_add(1) + 1);
    WriteLE32(pBuffer + 12, dwCount);
    WriteLE32(pBuffer + 16, p);
    std::unique_ptr<BYTE[]> pSerialized;
    try {
        pSerialized.reset(new BYTE[n]);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUMessageChannel::SendKTMessage - failed to allocate serialization buffer (%S)\n",
                  e.what());
        return KTU_CHUNK_FAILURE;
    }
    if (pMsg->Serialize(pSerialized.get(), n) != MSG_SUCCESS) {
        return KTU_CHUNK_FAILURE;
    }
    for (DWORD dwIndex = 0; dwIndex + 1 < dwCount; ++dwIndex) {
        WriteLE32(pBuffer + 8, dwIndex);
        std::memcpy(pBuffer + KTU_CMUX_HEADER_SIZE, pSerialized.get() + static_cast<size_t>(dwIndex) * p, p);
        const DWORD dwStatus = pfnSend(pChunk);
        if (dwStatus != KTU_CHUNK_SUCCESS) {
            return dwStatus;
        }
    }
    const DWORD dwLast = dwCount - 1;
    const DWORD dwRemaining = n - dwLast * p;
    WriteLE32(pBuffer + 8, dwLast);
    std::memcpy(pBuffer + KTU_CMUX_HEADER_SIZE, pSerialized.get() + static_cast<size_t>(dwLast) * p,
                dwRemaining);
    std::memset(pBuffer + KTU_CMUX_HEADER_SIZE + dwRemaining, 0, p - dwRemaining);
    return pfnSend(pChunk);
}

bool CKTUMessageCodec::ProcessChunk(const BYTE* pChunk, DWORD dwSize, CKTUMessage** ppMsg) {
    *ppMsg = nullptr;
    if (pChunk == nullptr || dwSize < KTU_CMUX_HEADER_SIZE) {
        return false;
    }
    if (ReadLE32(pChunk) != KTU_CMUX_MAGIC) {
        return CKTUMessageChannel::Deserialize(pChunk, dwSize, ppMsg);
    }
    const DWORD dwMessageId = ReadLE32(pChunk + 4);
    const DWORD dwIndex = ReadLE32(pChunk + 8);
    const DWORD dwCount = ReadLE32(pChunk + 12);
    const DWORD dwPayloadSize = ReadLE32(pChunk + 16);
    const BYTE* pPayload = pChunk + KTU_CMUX_HEADER_SIZE;
    // The payload-size field is the sender's word: never read past the chunk for it.
    if (dwPayloadSize > dwSize - KTU_CMUX_HEADER_SIZE) {
        return false;
    }
    if (dwCount == 1) {
        return dwIndex == 0 && CKTUMessageChannel::Deserialize(pPayload, dwPayloadSize, ppMsg);
    }
    CKTUChunkMUXMessage::Buffer pData;
    ULONGLONG ullDataSize = 0;
    CDropped stale;
    CDropped forRoom;
    Stored eStored;
    {
        std::lock_guard lock(m_ReassemblyLock);
        eStored = AddToReassembly(dwMessageId, dwIndex, dwCount, dwPayloadSize, pPayload, &pData,
                                  &ullDataSize, &stale, &forRoom);
    }
    if (stale.dwCount != 0) {
        DebugOut2(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUMessageCodec::ProcessChunk - dropped %u partial message(s), %I64u bytes, silent for "
                  u"over %u ms\n",
                  stale.dwCount, stale.ullBytes, KTU_REASSEMBLY_STALE_MS);
    }
    if (forRoom.dwCount != 0) {
        DebugOut2(
            DBG_CAT_CHUNK_TRANSPORT,
            u"CKTUMessageCodec::ProcessChunk - dropped %u partial message(s), %I64u bytes, to make room "
            u"for message %u\n",
            forRoom.dwCount, forRoom.ullBytes, dwMessageId);
    }
    if (eStored != Stored::Complete) {
        return eStored == Stored::Partial;
    }
    // Outside the lock: the other listener goes on with its chunks meanwhile.
    return CKTUMessageChannel::Deserialize(pData.get(), static_cast<DWORD>(ullDataSize), ppMsg);
}

CKTUMessageCodec::Stored CKTUMessageCodec::AddToReassembly(DWORD dwMessageId, DWORD dwIndex, DWORD dwCount,
                                                           DWORD dwPayloadSize, const BYTE* pPayload,
                                                           CKTUChunkMUXMessage::Buffer* ppData,
                                                           ULONGLONG* pullDataSize, CDropped* pStale,
                                                           CDropped* pForRoom) {
    const DWORD dwNow = m_pfnTickCount();
    auto it = m_Reassembly.find(dwMessageId);
    try {
        if (it == m_Reassembly.end()) {
            const ULONGLONG ullNeeded = static_cast<ULONGLONG>(dwPayloadSize) * dwCount;
            if (dwIndex >= dwCount || ullNeeded == 0 || ullNeeded > KTU_MAX_REASSEMBLED_SIZE) {
                return Stored::Refused;  // before anything else is dropped for it
            }
            while (!m_AgeOrder.empty() &&
                   dwNow - m_Reassembly.at(m_AgeOrder.front()).dwLastTick > KTU_REASSEMBLY_STALE_MS) {
                DropOldest(pStale);
            }
            while (!m_AgeOrder.empty() && (m_ullPendingBytes + ullNeeded > KTU_MAX_PENDING_REASSEMBLY ||
                                           m_Reassembly.size() >= KTU_MAX_PENDING_MESSAGES)) {
                DropOldest(pForRoom);
            }
            m_AgeOrder.push_back(dwMessageId);
            try {
                it = m_Reassembly
                         .emplace(dwMessageId, CReassembly{std::make_unique<CKTUChunkMUXMessage>(), dwNow,
                                                           std::prev(m_AgeOrder.end())})
                         .first;
            } catch (const std::bad_alloc&) {
                m_AgeOrder.pop_back();
                throw;
            }
        } else {
            it->second.dwLastTick = dwNow;
            m_AgeOrder.splice(m_AgeOrder.end(), m_AgeOrder, it->second.itAge);
        }
    } catch (const std::bad_alloc&) {
        return Stored::Refused;
    }
    CKTUChunkMUXMessage& entry = *it->second.pMessage;
    const bool bFirst = entry.HasReceivedNothing();
    switch (entry.AddFragment(dwIndex, dwCount, dwPayloadSize, pPayload)) {
        case CKTUChunkMUXMessage::Added::Refused:
            if (entry.HasReceivedNothing()) {
                Erase(it);
            }
            return Stored::Refused;
        case CKTUChunkMUXMessage::Added::Stored:
            if (bFirst) {
                m_ullPendingBytes += entry.GetBufferSize();
            }
            return Stored::Partial;
        case CKTUChunkMUXMessage::Added::Complete:
            break;
    }
    *pullDataSize = entry.GetBufferSize();
    if (!bFirst) {
        m_ullPendingBytes -= *pullDataSize;
    }
    *ppData = entry.TakeBuffer();
    Erase(it);
    return Stored::Complete;
}

void CKTUMessageCodec::Erase(std::map<DWORD, CReassembly>::iterator it) {
    m_AgeOrder.erase(it->second.itAge);
    m_Reassembly.erase(it);
}

void CKTUMessageCodec::DropOldest(CDropped* pDropped) {
    const auto it = m_Reassembly.find(m_AgeOrder.front());
    const ULONGLONG ullBytes = it->second.pMessage->GetBufferSize();
    m_ullPendingBytes -= ullBytes;
    m_ullDropped += 1;
    m_ullDroppedBytes += ullBytes;
    pDropped->dwCount += 1;
    pDropped->ullBytes += ullBytes;
    Erase(it);
}

CKTUMessageChannel::CKTUMessageChannel(const char16_t* szDeviceName) : m_ChunkChannel(szDeviceName) {}

DWORD CKTUMessageChannel::Open() {
    DWORD dwChunkSize = 0;
    return m_ChunkChannel.Open(KTU_CHANNEL_CHUNK_SIZE, &dwChunkSize) == KTU_CHUNK_SUCCESS ? 0 : 1;
}

DWORD CKTUMessageChannel::Close() {
    return m_ChunkChannel.Close() == KTU_CHUNK_SUCCESS ? 0 : 1;
}

DWORD CKTUMessageChannel::SendKTMessage(CKTUMessage* pMsg) {
    std::unique_ptr<CKTUChunk> pChunk(m_ChunkChannel.MakeEmptyChunk());
    if (pMsg == nullptr || pChunk == nullptr) {
        return KTU_MSG_CHANNEL_FAILURE;
    }
    const DWORD dwResult = FoldChunkStatus(m_Codec.EncodeKTMessage(
        pMsg, pChunk.get(), [this](CKTUChunk* pFilled) { return m_ChunkChannel.SendChunk(pFilled); }));
    if (dwResult == KTU_MSG_CHANNEL_SUCCESS) {
        DestroyKTMessage(pMsg);
    }
    return dwResult;
}

DWORD CKTUMessageChannel::ReceiveKTMessage(CKTUMessage** ppMsg) {
    std::unique_ptr<CKTUChunk> pChunk(m_ChunkChannel.MakeEmptyChunk());
    if (ppMsg == nullptr || pChunk == nullptr) {
        return KTU_MSG_CHANNEL_FAILURE;
    }
    *ppMsg = nullptr;
    for (;;) {
        const DWORD dwStatus = m_ChunkChannel.WaitForChunk(pChunk.get());
        if (dwStatus == KTU_CHUNK_NOT_OPEN) {
            return KTU_MSG_CHANNEL_CLOSED;
        }
        if (dwStatus != KTU_CHUNK_SUCCESS) {
            return KTU_MSG_CHANNEL_FAILURE;
        }
        if (!m_Codec.ProcessChunk(pChunk->GetBuffer(), pChunk->GetSize(), ppMsg)) {
            return KTU_MSG_CHANNEL_FAILURE;
        }
        if (*ppMsg != nullptr) {
            return KTU_MSG_CHANNEL_SUCCESS;
        }
    }
}

namespace {

// The message class of a type over a bag, or null for an unknown type. Throws std::bad_alloc.
CKTUMessage* NewMessageOfType(DWORD dwType, CKTUPropertyBag* pBag) {
    switch (dwType) {
        case TYPE_GW_SETTINGS:
            return new CKTUSettingsMessage(pBag);
        case TYPE_GW_ACTIVATION:
            return new CKTUReplyMessage(pBag);
        case TYPE_GW_ACTIVATION_REQUEST:
            return new CKTUActivationMessage(pBag);
        case TYPE_GW_VIOLATION:
            return new CKTUViolationMessage(pBag);
        case TYPE_QUERY_MSI:
            return new CKTUMSIMessage(pBag);
        default:
            return nullptr;
    }
}

}  // namespace

CKTUMessage* CKTUMessageChannel::MakeEmptyKTMessage(DWORD dwType) {
    std::unique_ptr<CKTUPropertyBag> pBag;
    try {
        pBag = std::make_unique<CKTUPropertyBag>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUMessageChannel::MakeEmptyKTMessage - failed to allocate property bag (%S)\n",
                  e.what());
        return nullptr;
    }
    try {
        CKTUMessage* pMsg = NewMessageOfType(dwType, pBag.get());
        if (pMsg != nullptr) {
            pBag.release();
        }
        return pMsg;
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUMessageChannel::MakeEmptyKTMessage - failed to allocate message object (%S)\n",
                  e.what());
        return nullptr;
    }
}

bool CKTUMessageChannel::Deserialize(const BYTE* pBytes, DWORD dwLength, CKTUMessage** ppMsg) {
    if (ppMsg == nullptr) {
        return false;
    }
    *ppMsg = nullptr;
    if (pBytes == nullptr) {
        return false;
    }
    std::unique_ptr<CKTUPropertyBag> pBag;
    try {
        pBag = std::make_unique<CKTUPropertyBag>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUMessageChannel::Deserialize - failed to allocate property bag (%S)\n", e.what());
        return false;
    }
    if (pBag->Deserialize(pBytes, dwLength) != KTU_BAG_SUCCESS) {
        return false;
    }
    DWORD dwType = 0;
    if (pBag->GetDword(KTU_PROPERTY_MESSAGE_TYPE, &dwType) != KTU_BAG_SUCCESS) {
        dwType = 0;
    }
    try {
        *ppMsg = NewMessageOfType(dwType, pBag.get());
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUMessageChannel::Deserialize - failed to allocate message object (%S)\n", e.what());
        return false;
    }
    if (*ppMsg == nullptr) {
        return false;
    }
    pBag.release();
    return true;
}

void CKTUMessageChannel::DestroyKTMessage(CKTUMessage* pMsg) {
    if (pMsg == nullptr) {
        return;
    }
    delete pMsg->GetPropertyBag();
    delete pMsg;
}
