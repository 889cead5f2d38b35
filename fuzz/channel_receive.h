// The receive path of the driver channel as the fuzz target and the corpus replay drive it: the first
// byte of an input picks the chunk size, the rest is cut into chunks of that size (the last one may be
// short) and fed to one codec, as the listener threads would feed what the device delivers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/message_channel.h"

namespace krellfuzz {

// Chunk size of an input whose first byte is b: 8096 when bit 7 is set, else 20 + 4 * b (small chunks
// reach the fragment paths with short inputs).
inline DWORD ChunkSizeOf(std::uint8_t b) {
    return (b & 0x80) != 0 ? KTU_CHANNEL_CHUNK_SIZE : 20u + 4u * b;
}

// Reads every accessor of a message, as a subscriber's component would.
inline void TouchMessage(CKTUMessage* pMsg) {
    DWORD dw = 0;
    char16_t szBuffer[64];
    CKTUPropertyBag* pBag = pMsg->GetPropertyBag();
    for (DWORD dwId = 0; dwId < 8; ++dwId) {
        pBag->GetDword(dwId, &dw);
        DWORD dwSize = sizeof(szBuffer);
        pBag->GetString(dwId, szBuffer, &dwSize);
        dwSize = sizeof(szBuffer);
        pBag->GetBinary(dwId, szBuffer, &dwSize);
    }
    const DWORD dwSerialized = pMsg->GetSerializedSize();
    if (dwSerialized <= 1024 * 1024) {
        auto pBytes = std::make_unique<BYTE[]>(dwSerialized);
        CKTUMessage* pCopy = nullptr;
        if (pMsg->Serialize(pBytes.get(), dwSerialized) == MSG_SUCCESS &&
            CKTUMessageChannel::Deserialize(pBytes.get(), dwSerialized, &pCopy)) {
            CKTUMessageChannel::DestroyKTMessage(pCopy);
        }
    }
}

// Returns the number of messages that came out whole.
inline int FeedChunks(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize == 0) {
        return 0;
    }
    const DWORD dwChunkSize = ChunkSizeOf(pData[0]);
    CKTUMessageCodec codec;
    int nMessages = 0;
    for (std::size_t nOffset = 1; nOffset < nSize; nOffset += dwChunkSize) {
        const std::size_t nChunk = std::min<std::size_t>(dwChunkSize, nSize - nOffset);
        CKTUMessage* pMsg = nullptr;
        if (codec.ProcessChunk(pData + nOffset, static_cast<DWORD>(nChunk), &pMsg) && pMsg != nullptr) {
            TouchMessage(pMsg);
            CKTUMessageChannel::DestroyKTMessage(pMsg);
            ++nMessages;
        }
    }
    return nMessages;
}

}  // namespace krellfuzz
