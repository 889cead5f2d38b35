// The lowest layer of the driver channel: one handle to the driver's device, one negotiation of the
// chunk size, then whole fixed-size chunks in both directions with overlapped reads and writes.
#pragma once

#include <atomic>

#include "platform/types.h"

constexpr DWORD KTU_CHUNK_SUCCESS = 0;
constexpr DWORD KTU_CHUNK_FAILURE = 1;
constexpr DWORD KTU_CHUNK_ALREADY_OPEN = 2;
constexpr DWORD KTU_CHUNK_NOT_OPEN = 3;
constexpr DWORD KTU_CHUNK_SIZE_MISMATCH = 4;
constexpr DWORD KTU_CHUNK_VERSION_MISMATCH = 5;

// Device type 0xB972, function 0x800, buffered, read and write access.
constexpr DWORD IOCTL_KTDRV_NEGOTIATE = 0xB972E000;
constexpr DWORD KTU_PROTOCOL_VERSION = 1;

class CKTUChunk {
public:
    CKTUChunk() = default;
    virtual ~CKTUChunk();
    CKTUChunk(const CKTUChunk&) = delete;
    CKTUChunk& operator=(const CKTUChunk&) = delete;

    // Gives the chunk its buffer, once; the buffer is not cleared.
    bool Initialize(DWORD dwSize);
    BYTE* GetBuffer() const { return m_pBuffer; }
    DWORD GetSize() const { return m_dwSize; }

private:
    BYTE* m_pBuffer = nullptr;
    DWORD m_dwSize = 0;
};

class CKTUChunkChannel {
public:
    explicit CKTUChunkChannel(const char16_t* szDeviceName);
    virtual ~CKTUChunkChannel();
    CKTUChunkChannel(const CKTUChunkChannel&) = delete;
    CKTUChunkChannel& operator=(const CKTUChunkChannel&) = delete;

    DWORD Open(DWORD dwRequestedChunkSize, DWORD* pdwChunkSize);
    // Any thread may close: reads waiting on the handle end with KTU_CHUNK_NOT_OPEN.
    DWORD Close();
    // A chunk of the negotiated size, owned by the caller (delete), or null.
    CKTUChunk* MakeEmptyChunk();
    DWORD SendChunk(CKTUChunk* pChunk);
    DWORD WaitForChunk(CKTUChunk* pChunk);

    DWORD GetChunkSize() const { return m_dwChunkSize.load(std::memory_order_acquire); }

private:
    static constexpr DWORD MAX_DEVICE_NAME = 255;

    char16_t m_szDeviceName[MAX_DEVICE_NAME + 1];
    // Read by the listener threads while another thread may close it.
    std::atomic<HANDLE> m_hDevice;
    std::atomic<DWORD> m_dwChunkSize{0};
};
