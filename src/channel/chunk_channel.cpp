#include "channel/chunk_channel.h"

#include <cstring>
#include <memory>
#include <new>

#include "diagnostics/user_debug_output.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

// The event of one transfer: manual-reset, created signalled, closed on every path.
class CTransferEvent {
public:
    CTransferEvent() : m_hEvent(platform::CreateEvent(true, true, nullptr)) {}
    ~CTransferEvent() {
        if (m_hEvent != nullptr) {
            platform::CloseHandle(m_hEvent);
        }
    }
    CTransferEvent(const CTransferEvent&) = delete;
    CTransferEvent& operator=(const CTransferEvent&) = delete;
    HANDLE Get() const { return m_hEvent; }

private:
    HANDLE m_hEvent;
};

// What a transfer needs before it starts: its event, an open device and a chunk of the negotiated size.
DWORD CheckTransfer(const CTransferEvent& event, HANDLE hDevice, const CKTUChunk* pChunk, DWORD dwChunkSize) {
    if (event.Get() == nullptr) {
        return KTU_CHUNK_FAILURE;
    }
    if (hDevice == INVALID_HANDLE_VALUE) {
        return KTU_CHUNK_NOT_OPEN;
    }
    if (pChunk == nullptr || pChunk->GetBuffer() == nullptr) {
        return KTU_CHUNK_FAILURE;
    }
    if (pChunk->GetSize() != dwChunkSize) {
        return KTU_CHUNK_SIZE_MISMATCH;
    }
    return KTU_CHUNK_SUCCESS;
}

}  // namespace

CKTUChunk::~CKTUChunk() {
    delete[] m_pBuffer;
}

bool CKTUChunk::Initialize(DWORD dwSize) {
    if (m_pBuffer != nullptr || dwSize == 0) {
        DebugOut2(DBG_CAT_CHUNK_TRANSPORT, u"CKTUChunk::Initialize - tried to reinitialize chunk\n");
        return false;
    }
    try {
        m_pBuffer = new BYTE[dwSize];
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT, u"CKTUChunk::Initialize - failed to allocate chunk buffer (%S)\n",
                  e.what());
        return false;
    }
    m_dwSize = dwSize;
    return true;
}

CKTUChunkChannel::CKTUChunkChannel(const char16_t* szDeviceName) : m_hDevice(INVALID_HANDLE_VALUE) {
    DWORD i = 0;
    for (; szDeviceName != nullptr && szDeviceName[i] != u'\0' && i < MAX_DEVICE_NAME; ++i) {
        m_szDeviceName[i] = szDeviceName[i];
    }
    m_szDeviceName[i] = u'\0';
}

CKTUChunkChannel::~CKTUChunkChannel() {
    Close();
}

DWORD CKTUChunkChannel::Open(DWORD dwRequestedChunkSize, DWORD* pdwChunkSize) {
    if (pdwChunkSize == nullptr) {
        return KTU_CHUNK_FAILURE;
    }
    *pdwChunkSize = 0;
    if (m_hDevice.load() != INVALID_HANDLE_VALUE) {
        return KTU_CHUNK_ALREADY_OPEN;
    }
    const HANDLE hDevice = platform::CreateFile(m_szDeviceName, GENERIC_READ | GENERIC_WRITE, 0,
                                                platform::OPEN_EXISTING, platform::FILE_FLAG_OVERLAPPED);
    if (hDevice == INVALID_HANDLE_VALUE) {
        return KTU_CHUNK_FAILURE;
    }
    BYTE request[8];
    BYTE reply[8] = {};
    const DWORD dwVersion = KTU_PROTOCOL_VERSION;
    std::memcpy(request, &dwVersion, 4);
    std::memcpy(request + 4, &dwRequestedChunkSize, 4);
    DWORD dwReturned = 0;
    const bool bAnswered = platform::DeviceIoControl(hDevice, IOCTL_KTDRV_NEGOTIATE, request, sizeof(request),
                                                     reply, sizeof(reply), &dwReturned, nullptr);
    if (!bAnswered || dwReturned != sizeof(reply)) {
        platform::CloseHandle(hDevice);
        return KTU_CHUNK_FAILURE;
    }
    DWORD dwDriverVersion;
    DWORD dwDriverChunkSize;
    std::memcpy(&dwDriverVersion, reply, 4);
    std::memcpy(&dwDriverChunkSize, reply + 4, 4);
    if (dwDriverVersion != KTU_PROTOCOL_VERSION) {
        platform::CloseHandle(hDevice);
        return KTU_CHUNK_VERSION_MISMATCH;
    }
    if (dwDriverChunkSize != dwRequestedChunkSize) {
        platform::CloseHandle(hDevice);
        *pdwChunkSize = dwDriverChunkSize;
        return KTU_CHUNK_SIZE_MISMATCH;
    }
    m_dwChunkSize.store(dwDriverChunkSize, std::memory_order_release);
    m_hDevice.store(hDevice);
    *pdwChunkSize = dwDriverChunkSize;
    return KTU_CHUNK_SUCCESS;
}

DWORD CKTUChunkChannel::Close() {
    const HANDLE hDevice = m_hDevice.exchange(INVALID_HANDLE_VALUE);
    if (hDevice == INVALID_HANDLE_VALUE) {
        return KTU_CHUNK_NOT_OPEN;
    }
    platform::CloseHandle(hDevice);
    return KTU_CHUNK_SUCCESS;
}

CKTUChunk* CKTUChunkChannel::MakeEmptyChunk() {
    const DWORD dwChunkSize = GetChunkSize();
    if (dwChunkSize == 0) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT, u"CKTUChunkChannel::MakeEmptyChunk - chunk size not yet set\n");
        return nullptr;
    }
    std::unique_ptr<CKTUChunk> pChunk;
    try {
        pChunk = std::make_unique<CKTUChunk>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUChunkChannel::MakeEmptyChunk - failed to allocate chunk object (%S)\n", e.what());
        return nullptr;
    }
    if (!pChunk->Initialize(dwChunkSize)) {
        return nullptr;
    }
    return pChunk.release();
}

DWORD CKTUChunkChannel::SendChunk(CKTUChunk* pChunk) {
    CTransferEvent event;
    const HANDLE hDevice = m_hDevice.load();
    if (const DWORD dwCheck = CheckTransfer(event, hDevice, pChunk, GetChunkSize());
        dwCheck != KTU_CHUNK_SUCCESS) {
        return dwCheck;
    }
    platform::OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    DWORD dwWritten = 0;
    bool bWritten =
        platform::WriteFile(hDevice, pChunk->GetBuffer(), pChunk->GetSize(), &dwWritten, &overlapped);
    if (!bWritten && platform::GetLastError() == ERROR_IO_PENDING) {
        bWritten = platform::GetOverlappedResult(hDevice, &overlapped, &dwWritten, true);
    }
    return bWritten && dwWritten == pChunk->GetSize() ? KTU_CHUNK_SUCCESS : KTU_CHUNK_FAILURE;
}

DWORD CKTUChunkChannel::WaitForChunk(CKTUChunk* pChunk) {
    CTransferEvent event;
    const HANDLE hDevice = m_hDevice.load();
    if (const DWORD dwCheck = CheckTransfer(event, hDevice, pChunk, GetChunkSize());
        dwCheck != KTU_CHUNK_SUCCESS) {
        return dwCheck;
    }
    platform::OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    DWORD dwRead = 0;
    if (!platform::ReadFile(hDevice, pChunk->GetBuffer(), pChunk->GetSize(), &dwRead, &overlapped)) {
        const DWORD dwError = platform::GetLastError();
        if (dwError == ERROR_INVALID_HANDLE || dwError == ERROR_OPERATION_ABORTED) {
            return KTU_CHUNK_NOT_OPEN;
        }
        if (dwError != ERROR_IO_PENDING) {
            DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                      u"CKTUChunkChannel::WaitForChunk - unexpected lastError (%d)\n", dwError);
            return KTU_CHUNK_FAILURE;
        }
        if (!platform::GetOverlappedResult(hDevice, &overlapped, &dwRead, true)) {
            const DWORD dwDelayedError = platform::GetLastError();
            if (dwDelayedError == ERROR_OPERATION_ABORTED) {
                return KTU_CHUNK_NOT_OPEN;
            }
            DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                      u"CKTUChunkChannel::WaitForChunk - unexpected delayedLastError (%d)\n", dwDelayedError);
            return KTU_CHUNK_FAILURE;
        }
    }
    if (dwRead != pChunk->GetSize()) {
        DebugOut1(DBG_CAT_CHUNK_TRANSPORT,
                  u"CKTUChunkChannel::WaitForChunk - received wrong-sized chunk: expected %d, got %d\n",
                  pChunk->GetSize(), dwRead);
        return KTU_CHUNK_FAILURE;
    }
    return KTU_CHUNK_SUCCESS;
}
