// Devices of the root ("\\.\NAME"): a handle is a connection to the SOCK_SEQPACKET socket that the
// device's stand-in serves at <root>/dev/NAME. One packet is one transfer.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/file.h"
#include "platform/posix/handle_table.h"

namespace platform::posix {

class CDeviceObject : public KernelObject {
public:
    // Connects; null with the last error set (ERROR_FILE_NOT_FOUND when nobody serves the name).
    static std::shared_ptr<CDeviceObject> Connect(const std::string& sSocketPath);
    ~CDeviceObject() override;

    void OnHandleClosed() override;

    // The transfers of ReadFile/WriteFile with an OVERLAPPED (the caller has checked the arguments).
    bool Read(void* pBuffer, DWORD dwSize, DWORD* pdwDone, OVERLAPPED* pOverlapped);
    bool Write(const void* pBuffer, DWORD dwSize, DWORD* pdwDone, OVERLAPPED* pOverlapped);
    bool Control(DWORD dwCode, const void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                 DWORD* pdwReturned);
    // Forgets a transfer that has not completed; after the call the device no longer touches it.
    void Cancel(OVERLAPPED* pOverlapped);
    // Forgets the transfers the thread issued that have not completed (the thread is ending).
    void CancelIssuedBy(DWORD dwThreadId);

private:
    struct CTransfer {
        OVERLAPPED* pOverlapped;
        BYTE* pBuffer;
        DWORD dwSize;
        DWORD dwIssuer;  // the thread that started it
    };

    CDeviceObject(int nSocket, int nWakeFd) : m_nSocket(nSocket), m_nWakeFd(nWakeFd) {}
    bool Start(CTransfer transfer, bool bRead, DWORD* pdwDone);
    // Both with m_Mutex held. Complete returns false when the socket had nothing to give or take.
    bool TryTransfer(const CTransfer& transfer, bool bRead);
    void Finish(const CTransfer& transfer, DWORD dwError, DWORD dwBytes);
    void Wake();
    void WorkerLoop();
    // Waits (interruptibly by a forced end) until the socket is ready for nEvents or the handle was
    // closed; false with the last error set.
    bool WaitForSocket(short nEvents);

    const int m_nSocket;
    const int m_nWakeFd;  // an eventfd: written when transfers are queued and at close
    std::mutex m_Mutex;
    bool m_bClosed = false;
    // The peer hung up: the socket is not polled any more (it would report so without end), and every
    // transfer completes at once.
    bool m_bHungUp = false;
    std::deque<CTransfer> m_Reads;
    std::deque<CTransfer> m_Writes;
    // Completes queued transfers; started by the first transfer that has to wait.
    std::thread m_Worker;
};

// As the platform cancels a thread's pending I/O when the thread ends: called by the ending thread
// before its handle is signalled. A transfer whose OVERLAPPED and buffer live on the thread's stack
// would otherwise be completed into a stack that is gone, when a forced end comes between the
// transfer's start and the wait for it.
void CancelThreadTransfers();

}  // namespace platform::posix
