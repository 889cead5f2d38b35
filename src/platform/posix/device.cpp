#include "platform/posix/device.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/posix/sync_core.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace platform::posix {
namespace {

constexpr DWORD CONTROL_MAGIC = 0x636F696B;  // "kioc"
constexpr DWORD CONTROL_HEADER_SIZE = 8;
constexpr DWORD MAX_CONTROL_SIZE = 64 * 1024;

void StoreResult(OVERLAPPED* pOverlapped, DWORD dwError, DWORD dwBytes) {
    std::atomic_ref<ULONG_PTR>(pOverlapped->InternalHigh).store(dwBytes, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(pOverlapped->Internal).store(dwError, std::memory_order_release);
}

DWORD SocketError(int nErrno) {
    switch (nErrno) {
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return ERROR_BROKEN_PIPE;
        default:
            return ErrorFromErrno(nErrno);
    }
}

// Every device object alive, for the transfers of an ending thread. Never destroyed: detached threads
// may still end while the process exits.
struct CDeviceRegistry {
    std::mutex lock;
    std::vector<std::weak_ptr<CDeviceObject>> devices;
};
CDeviceRegistry& Devices() {
    static auto* s_pRegistry = new CDeviceRegistry;
    return *s_pRegistry;
}

void AddDevice(const std::shared_ptr<CDeviceObject>& pDevice) {
    CTerminateShield shield;
    CDeviceRegistry& registry = Devices();
    std::lock_guard lock(registry.lock);
    std::erase_if(registry.devices,
                  [](const std::weak_ptr<CDeviceObject>& wpDevice) { return wpDevice.expired(); });
    try {
        registry.devices.push_back(pDevice);
    } catch (const std::bad_alloc&) {
        // Unlisted, its transfers are not cancelled at their thread's end; the device still works.
    }
}

// Whether p lies on the calling thread's stack.
bool OnOwnStack(const void* p) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return true;  // cannot tell: do not touch it
    }
    void* pStack = nullptr;
    size_t cbStack = 0;
    pthread_attr_getstack(&attr, &pStack, &cbStack);
    pthread_attr_destroy(&attr);
    const auto* pByte = static_cast<const BYTE*>(p);
    return pByte >= static_cast<const BYTE*>(pStack) && pByte < static_cast<const BYTE*>(pStack) + cbStack;
}

}  // namespace

void CancelThreadTransfers() {
    std::vector<std::shared_ptr<CDeviceObject>> devices;
    {
        CTerminateShield shield;
        CDeviceRegistry& registry = Devices();
        std::lock_guard lock(registry.lock);
        for (const std::weak_ptr<CDeviceObject>& wpDevice : registry.devices) {
            if (auto pDevice = wpDevice.lock()) {
                devices.push_back(std::move(pDevice));
            }
        }
    }
    for (const auto& pDevice : devices) {
        pDevice->CancelIssuedBy(GetCurrentThreadId());
    }
}

std::shared_ptr<CDeviceObject> CDeviceObject::Connect(const std::string& sSocketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (sSocketPath.size() >= sizeof(address.sun_path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    std::memcpy(address.sun_path, sSocketPath.c_str(), sSocketPath.size() + 1);
    const int nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (nSocket < 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    int nResult;
    do {
        nResult = connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (nResult != 0 && errno == EINTR);
    if (nResult != 0) {
        // A socket file without a server behind it is a device that is not there.
        const int nErrno = errno;
        close(nSocket);
        SetLastError(nErrno == ENOENT || nErrno == ECONNREFUSED || nErrno == ENOTSOCK
                         ? ERROR_FILE_NOT_FOUND
                         : ErrorFromErrno(nErrno));
        return nullptr;
    }
    const int nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (nWakeFd < 0) {
        SetLastError(ErrorFromErrno(errno));
        close(nSocket);
        return nullptr;
    }
    try {
        std::shared_ptr<CDeviceObject> pDevice(new CDeviceObject(nSocket, nWakeFd));
        AddDevice(pDevice);
        return pDevice;
    } catch (const std::bad_alloc&) {
        close(nSocket);
        close(nWakeFd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

CDeviceObject::~CDeviceObject() {
    OnHandleClosed();
    close(m_nSocket);
    close(m_nWakeFd);
}

void CDeviceObject::Wake() {
    const uint64_t uOne = 1;
    const ssize_t n = write(m_nWakeFd, &uOne, sizeof(uOne));
    (void)n;
}

void CDeviceObject::OnHandleClosed() {
    std::thread worker;
    {
        CTerminateShield shield;
        std::lock_guard lock(m_Mutex);
        if (m_bClosed) {
            return;
        }
        m_bClosed = true;
        for (auto* pQueue : {&m_Reads, &m_Writes}) {
            for (const CTransfer& transfer : *pQueue) {
                Finish(transfer, ERROR_OPERATION_ABORTED, 0);
            }
            pQueue->clear();
        }
        worker = std::move(m_Worker);
        // The peer sees the end at once, even while other threads still hold the object.
        shutdown(m_nSocket, SHUT_RDWR);
    }
    // The eventfd stays readable from now on: every poll on it returns at once.
    Wake();
    if (worker.joinable()) {
        worker.join();
    }
}

void CDeviceObject::Finish(const CTransfer& transfer, DWORD dwError, DWORD dwBytes) {
    const HANDLE hEvent = transfer.pOverlapped->hEvent;
    StoreResult(transfer.pOverlapped, dwError, dwBytes);
    // Under m_Mutex: a caller that saw the result and starts its next transfer on the same event resets
    // it only after this SetEvent, so a stale signal never reaches the next transfer.
    if (hEvent != nullptr) {
        SetEvent(hEvent);
    }
}

bool CDeviceObject::TryTransfer(const CTransfer& transfer, bool bRead) {
    ssize_t n;
    do {
        n = bRead ? recv(m_nSocket, transfer.pBuffer, transfer.dwSize, MSG_DONTWAIT | MSG_TRUNC)
                  : send(m_nSocket, transfer.pBuffer, transfer.dwSize, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return false;
    }
    if (n < 0) {
        Finish(transfer, SocketError(errno), 0);
    } else if (bRead && n == 0 && transfer.dwSize != 0) {
        Finish(transfer, ERROR_BROKEN_PIPE, 0);  // the server closed the device
    } else if (bRead && static_cast<size_t>(n) > transfer.dwSize) {
        Finish(transfer, ERROR_MORE_DATA, transfer.dwSize);
    } else {
        Finish(transfer, ERROR_SUCCESS, static_cast<DWORD>(n));
    }
    return true;
}

bool CDeviceObject::Start(CTransfer transfer, bool bRead, DWORD* pdwDone) {
    OVERLAPPED* pOverlapped = transfer.pOverlapped;
    if (pdwDone != nullptr) {
        *pdwDone = 0;
    }
    CTerminateShield shield;
    std::unique_lock lock(m_Mutex);
    if (pOverlapped->hEvent != nullptr) {
        ResetEvent(pOverlapped->hEvent);
    }
    if (m_bClosed) {
        StoreResult(pOverlapped, ERROR_INVALID_HANDLE, 0);
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::deque<CTransfer>& queue = bRead ? m_Reads : m_Writes;
    StoreResult(pOverlapped, static_cast<DWORD>(STATUS_PENDING), 0);
    // Transfers keep their order: only the first of a direction may go straight to the socket.
    if (queue.empty() && TryTransfer(transfer, bRead)) {
        const DWORD dwError = static_cast<DWORD>(pOverlapped->Internal);
        if (dwError != ERROR_SUCCESS) {
            SetLastError(dwError);
            return false;
        }
        if (pdwDone != nullptr) {
            *pdwDone = static_cast<DWORD>(pOverlapped->InternalHigh);
        }
        return true;
    }
    try {
        queue.push_back(transfer);
        if (!m_Worker.joinable()) {
            m_Worker = std::thread([this] { WorkerLoop(); });
        }
    } catch (const std::exception&) {
        if (!queue.empty() && queue.back().pOverlapped == pOverlapped) {
            queue.pop_back();
        }
        StoreResult(pOverlapped, ERROR_NOT_ENOUGH_MEMORY, 0);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (queue.size() == 1) {
        Wake();  // the worker polls for this direction only while something waits in it
    }
    SetLastError(ERROR_IO_PENDING);
    return false;
}

void CDeviceObject::WorkerLoop() {
    for (;;) {
        pollfd fds[2] = {{m_nWakeFd, POLLIN, 0}, {m_nSocket, 0, 0}};
        {
            std::lock_guard lock(m_Mutex);
            if (m_bClosed) {
                return;
            }
            if (m_bHungUp) {
                fds[1].fd = -1;
            }
            fds[1].events =
                static_cast<short>((m_Reads.empty() ? 0 : POLLIN) | (m_Writes.empty() ? 0 : POLLOUT));
        }
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        std::lock_guard lock(m_Mutex);
        if (m_bClosed) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t uCount;
            const ssize_t n = read(m_nWakeFd, &uCount, sizeof(uCount));
            (void)n;
        }
        if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            m_bHungUp = true;
        }
        if (fds[1].revents == 0 && !m_bHungUp) {
            continue;
        }
        while (!m_Reads.empty() && TryTransfer(m_Reads.front(), true)) {
            m_Reads.pop_front();
        }
        while (!m_Writes.empty() && TryTransfer(m_Writes.front(), false)) {
            m_Writes.pop_front();
        }
    }
}

bool CDeviceObject::Read(void* pBuffer, DWORD dwSize, DWORD* pdwDone, OVERLAPPED* pOverlapped) {
    return Start({pOverlapped, static_cast<BYTE*>(pBuffer), dwSize, GetCurrentThreadId()}, true, pdwDone);
}

bool CDeviceObject::Write(const void* pBuffer, DWORD dwSize, DWORD* pdwDone, OVERLAPPED* pOverlapped) {
    return Start({pOverlapped, static_cast<BYTE*>(const_cast<void*>(pBuffer)), dwSize, GetCurrentThreadId()},
                 false, pdwDone);
}

void CDeviceObject::Cancel(OVERLAPPED* pOverlapped) {
    CTerminateShield shield;
    std::lock_guard lock(m_Mutex);
    for (auto* pQueue : {&m_Reads, &m_Writes}) {
        for (auto it = pQueue->begin(); it != pQueue->end(); ++it) {
            if (it->pOverlapped == pOverlapped) {
                pQueue->erase(it);
                StoreResult(pOverlapped, ERROR_OPERATION_ABORTED, 0);
                return;
            }
        }
    }
}

void CDeviceObject::CancelIssuedBy(DWORD dwThreadId) {
    CTerminateShield shield;
    std::lock_guard lock(m_Mutex);
    for (auto* pQueue : {&m_Reads, &m_Writes}) {
        std::erase_if(*pQueue, [dwThreadId](const CTransfer& transfer) {
            if (transfer.dwIssuer != dwThreadId) {
                return false;
            }
            // The frames that held a stack OVERLAPPED are unwound, and their memory may be in use
            // again by this very thread: only a result outside its stack is reported.
            if (!OnOwnStack(transfer.pOverlapped)) {
                StoreResult(transfer.pOverlapped, ERROR_OPERATION_ABORTED, 0);
                if (transfer.pOverlapped->hEvent != nullptr) {
                    SetEvent(transfer.pOverlapped->hEvent);
                }
            }
            return true;
        });
    }
}

bool CDeviceObject::WaitForSocket(short nEvents) {
    TerminationPoint();
    bool bReady = false;
    {
        CTerminateShield shield;
        for (;;) {
            pollfd fds[2] = {{m_nWakeFd, POLLIN, 0}, {m_nSocket, nEvents, 0}};
            {
                std::lock_guard lock(m_Mutex);
                if (m_bClosed) {
                    break;
                }
            }
            const int n = poll(fds, 2, -1);
            if (n < 0 && errno == EINTR && TerminationPending()) {
                break;
            }
            if (n > 0 && fds[1].revents != 0) {
                bReady = true;
                break;
            }
            // Only the closing writes the eventfd for a control caller to see; loop to check.
        }
    }
    TerminationPoint();
    if (!bReady) {
        SetLastError(ERROR_OPERATION_ABORTED);
    }
    return bReady;
}

bool CDeviceObject::Control(DWORD dwCode, const void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                            DWORD* pdwReturned) {
    if (pdwReturned != nullptr) {
        *pdwReturned = 0;
    }
    if (dwInSize > MAX_CONTROL_SIZE - 12 || dwOutSize > MAX_CONTROL_SIZE - CONTROL_HEADER_SIZE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<BYTE> request(12 + dwInSize);
    const DWORD header[3] = {CONTROL_MAGIC, dwCode, dwOutSize};
    std::memcpy(request.data(), header, sizeof(header));
    if (dwInSize != 0) {
        std::memcpy(request.data() + 12, pIn, dwInSize);
    }
    for (;;) {
        const ssize_t n = send(m_nSocket, request.data(), request.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            break;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitForSocket(POLLOUT)) {
                return false;
            }
            continue;
        }
        if (errno != EINTR) {
            SetLastError(SocketError(errno));
            return false;
        }
    }
    std::vector<BYTE> reply(CONTROL_HEADER_SIZE + dwOutSize);
    ssize_t n;
    for (;;) {
        n = recv(m_nSocket, reply.data(), reply.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n >= 0) {
            break;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitForSocket(POLLIN)) {
                return false;
            }
            continue;
        }
        if (errno != EINTR) {
            SetLastError(SocketError(errno));
            return false;
        }
    }
    DWORD replyHeader[2] = {0, 0};
    if (n < static_cast<ssize_t>(CONTROL_HEADER_SIZE)) {
        SetLastError(n == 0 ? ERROR_BROKEN_PIPE : ERROR_INVALID_DATA);
        return false;
    }
    std::memcpy(replyHeader, reply.data(), sizeof(replyHeader));
    if (replyHeader[0] != CONTROL_MAGIC) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    if (replyHeader[1] != ERROR_SUCCESS) {
        SetLastError(replyHeader[1]);
        return false;
    }
    if (static_cast<size_t>(n) > reply.size()) {
        SetLastError(ERROR_MORE_DATA);
        return false;
    }
    const DWORD dwReturned = static_cast<DWORD>(n) - CONTROL_HEADER_SIZE;
    if (dwReturned != 0) {
        std::memcpy(pOut, reply.data() + CONTROL_HEADER_SIZE, dwReturned);
    }
    if (pdwReturned != nullptr) {
        *pdwReturned = dwReturned;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace platform::posix

namespace platform {

bool GetOverlappedResult(HANDLE hFile, OVERLAPPED* pOverlapped, DWORD* pdwBytesTransferred, bool bWait) {
    if (pdwBytesTransferred != nullptr) {
        *pdwBytesTransferred = 0;
    }
    if (pOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::atomic_ref<ULONG_PTR> status(pOverlapped->Internal);
    if (status.load(std::memory_order_acquire) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return false;
        }
        // A forced end while waiting unwinds through here: the device must then forget the transfer
        // before its buffer and OVERLAPPED are gone, as the platform cancels a thread's I/O at its end.
        struct CCancelOnUnwind {
            std::shared_ptr<posix::CDeviceObject> pDevice;
            OVERLAPPED* pOverlapped;
            ~CCancelOnUnwind() {
                if (pDevice != nullptr) {
                    pDevice->Cancel(pOverlapped);
                }
            }
        } guard{std::dynamic_pointer_cast<posix::CDeviceObject>(posix::LookupObject(hFile)), pOverlapped};
        while (status.load(std::memory_order_acquire) == STATUS_PENDING) {
            if (pOverlapped->hEvent == nullptr) {
                Sleep(1);  // the platform would wait on the file handle; nothing here signals it
            } else if (WaitForSingleObject(pOverlapped->hEvent, INFINITE) != WAIT_OBJECT_0) {
                SetLastError(ERROR_INVALID_HANDLE);
                return false;  // the guard cancels the transfer
            }
        }
        guard.pDevice.reset();
    }
    const DWORD dwError = static_cast<DWORD>(status.load(std::memory_order_acquire));
    if (pdwBytesTransferred != nullptr) {
        *pdwBytesTransferred = static_cast<DWORD>(pOverlapped->InternalHigh);
    }
    if (dwError != ERROR_SUCCESS) {
        SetLastError(dwError);
        return false;
    }
    return true;
}

}  // namespace platform
