// The framework's worker thread: a creator learns whether InitInstance succeeded, a stop is a request
// (the terminate event) followed by a bounded wait and, failing that, a forced end.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "platform/types.h"
#include "service/sync_objects.h"

class CThread {
public:
    enum eApartment { APARTMENT_NONE, APARTMENT_MULTITHREADED, APARTMENT_THREADED };

    struct COptions {
        bool m_bAutoDelete = false;
        bool m_bUseSystemThread = true;
        bool m_bPumpMessages = false;
        eApartment m_eApartment = APARTMENT_NONE;
        bool m_bWaitForInitInstance = true;
    };

    CThread() = default;
    explicit CThread(const COptions& options) : m_Options(options) {}
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    bool Create(const void* pSecurity = nullptr, std::size_t nStackSize = 0, DWORD dwCreationFlags = 0);
    // Refused for self-deleting threads. False when the thread had to be ended by force.
    virtual bool Terminate(DWORD dwTimeout);
    // The stop request: wakes a suspended thread and sets the terminate event.
    virtual void PostTerminate();

    bool IsThread() const;
    DWORD ResumeThread();
    HANDLE ThreadHandle() const { return m_hThread; }
    DWORD ThreadId() const { return m_dwThreadId; }
    HANDLE TerminateEvent() const { return m_TerminateEvent.Handle(); }
    bool IsTerminateRequested() { return m_TerminateEvent.Lock(0); }

protected:
    virtual DWORD Run() = 0;
    virtual bool InitInstance();
    virtual void ExitInstance();

    // The init-instance event and result. They are shared with the creator, so that a self-deleting
    // thread may be gone by the time its creator reads the result.
    struct CInitInstance {
        CEvent m_InitInstanceEvent;
        std::atomic<bool> m_bInitInstanceResult{false};
    };

    CEvent m_TerminateEvent{true, false};
    std::shared_ptr<CInitInstance> m_pInitInstance;
    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    COptions m_Options;

private:
    static DWORD ThreadProc(void* pParameter);
    void CloseThreadHandle();
};
