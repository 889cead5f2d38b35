#include "platform/thread.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/posix/device.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/sync_core.h"
#include "platform/system.h"

namespace platform::posix {
namespace {

class CThreadObject final : public KernelObject {
public:
    CThreadObject(THREAD_START_ROUTINE pfnStart, void* pParameter, bool bSuspended)
        : m_pfnStart(pfnStart), m_pParameter(pParameter), m_dwSuspendCount(bSuspended ? 1 : 0) {}

    bool IsWaitable() const override { return true; }
    bool IsReady(WaitContext&) override { return m_bEnded; }
    bool Take(WaitContext&) override { return false; }

    const THREAD_START_ROUTINE m_pfnStart;
    void* const m_pParameter;
    pthread_t m_thread{};

    // Start-up hand-over and suspension.
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bStarted = false;
    DWORD m_dwSuspendCount;
    std::atomic<DWORD> m_dwThreadId{0};

    // Forced and explicit ends; written before the thread is told, read by the thread itself.
    std::atomic<bool> m_bTerminateRequested{false};
    std::atomic<DWORD> m_dwTerminateCode{0};
    bool m_bExitRequested = false;  // only the thread itself touches it
    DWORD m_dwExitRequestCode = 0;

    // Under the object lock.
    bool m_bEnded = false;
    DWORD m_dwExitCode = STILL_ACTIVE;
};

thread_local CThreadObject* t_pSelf = nullptr;
thread_local std::weak_ptr<CThreadObject> t_wpSelf;
thread_local volatile sig_atomic_t t_bTerminatePending = 0;
thread_local volatile sig_atomic_t t_bFinishing = 0;

int TerminateSignal() {
    return SIGRTMIN + TERMINATE_THREAD_SIGNAL_OFFSET;
}

void OnTerminateSignal(int) {
    CThreadObject* pSelf = t_pSelf;
    if (pSelf == nullptr || t_bFinishing || !pSelf->m_bTerminateRequested.load(std::memory_order_acquire)) {
        return;
    }
    if (InTerminateShield()) {
        t_bTerminatePending = 1;
        return;
    }
    ExitForTermination();
}

extern "C" void* ExitAtOnce(void*) {
    pthread_exit(nullptr);
}

void InstallTerminateHandler() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        // The first pthread_exit loads the unwinder (dlopen, malloc); do that here rather than in
        // a signal handler.
        pthread_t warmUp;
        if (pthread_create(&warmUp, nullptr, ExitAtOnce, nullptr) == 0) {
            pthread_join(warmUp, nullptr);
        }
        struct sigaction sa {};
        sa.sa_handler = OnTerminateSignal;
        sigemptyset(&sa.sa_mask);
        // No SA_RESTART: a deferred end must make the seam's blocking calls return.
        sa.sa_flags = 0;
        sigaction(TerminateSignal(), &sa, nullptr);
    });
}

// Runs when the thread's start routine returns or its frames are unwound (ExitThread,
// TerminateThread): abandons its mutexes, records the exit code and signals the handle.
class CThreadEnd {
public:
    explicit CThreadEnd(CThreadObject* pThread) : m_pThread(pThread) {}
    CThreadEnd(const CThreadEnd&) = delete;
    CThreadEnd& operator=(const CThreadEnd&) = delete;
    ~CThreadEnd() {
        t_bFinishing = 1;
        CancelThreadTransfers();
        AbandonOwnedMutexes();
        CObjectLock lock(false);
        if (m_pThread->m_bTerminateRequested.load(std::memory_order_acquire)) {
            m_pThread->m_dwExitCode = m_pThread->m_dwTerminateCode.load(std::memory_order_relaxed);
        } else if (m_pThread->m_bExitRequested) {
            m_pThread->m_dwExitCode = m_pThread->m_dwExitRequestCode;
        } else {
            m_pThread->m_dwExitCode = m_dwReturned;
        }
        m_pThread->m_bEnded = true;
        t_pSelf = nullptr;
        NoteLocalChange();
    }
    void SetReturned(DWORD dwCode) { m_dwReturned = dwCode; }

private:
    CThreadObject* m_pThread;
    DWORD m_dwReturned = 0;
};

extern "C" void* ThreadEntry(void* pv) {
    std::unique_ptr<std::shared_ptr<CThreadObject>> pHolder(static_cast<std::shared_ptr<CThreadObject>*>(pv));
    const std::shared_ptr<CThreadObject> pSelf = std::move(*pHolder);
    pHolder.reset();
    CThreadObject* pThread = pSelf.get();

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, TerminateSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);

    // Constructed first: from here on every way out of the thread records its end.
    CThreadEnd end(pThread);
    bool bRun = false;
    {
        // A forced end while suspended must not unwind out of the condition wait.
        CTerminateShield shield;
        t_pSelf = pThread;
        t_wpSelf = pSelf;
        std::unique_lock lock(pThread->m_mtx);
        pThread->m_dwThreadId.store(GetCurrentThreadId(), std::memory_order_release);
        pThread->m_bStarted = true;
        pThread->m_cv.notify_all();
        pThread->m_cv.wait(lock, [pThread] {
            return pThread->m_dwSuspendCount == 0 ||
                   pThread->m_bTerminateRequested.load(std::memory_order_acquire);
        });
        bRun = !pThread->m_bTerminateRequested.load(std::memory_order_acquire);
        t_bTerminatePending = 0;
    }
    if (bRun) {
        end.SetReturned(pThread->m_pfnStart(pThread->m_pParameter));
    }
    return nullptr;
}

}  // namespace

void TerminationPoint() {
    if (t_bTerminatePending && !InTerminateShield()) {
        ExitForTermination();
    }
}

bool TerminationPending() {
    return t_bTerminatePending != 0;
}

void ExitForTermination() {
    t_bTerminatePending = 0;
    pthread_exit(nullptr);
}

}  // namespace platform::posix

namespace platform {

using posix::CThreadObject;

HANDLE CreateThread(std::size_t nStackSize, THREAD_START_ROUTINE pfnStart, void* pParameter,
                    DWORD dwCreationFlags, DWORD* pThreadId) {
    if (pfnStart == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    posix::InstallTerminateHandler();
    std::shared_ptr<CThreadObject> pThread;
    HANDLE hThread = nullptr;
    try {
        pThread =
            std::make_shared<CThreadObject>(pfnStart, pParameter, (dwCreationFlags & CREATE_SUSPENDED) != 0);
        hThread = posix::InsertHandle(pThread);
        if (hThread == nullptr) {
            return nullptr;
        }
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (nStackSize > 0) {
            const std::size_t nPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
            const std::size_t nSize = std::max<std::size_t>(nStackSize, PTHREAD_STACK_MIN);
            pthread_attr_setstacksize(&attr, (nSize + nPage - 1) / nPage * nPage);
        }
        auto* pHolder = new std::shared_ptr<CThreadObject>(pThread);
        std::unique_lock lock(pThread->m_mtx);
        const int nError = pthread_create(&pThread->m_thread, &attr, posix::ThreadEntry, pHolder);
        pthread_attr_destroy(&attr);
        if (nError != 0) {
            delete pHolder;
            lock.unlock();
            posix::RemoveHandle(hThread);
            SetLastError(nError == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(nError));
            return nullptr;
        }
        // GetThreadId must answer as soon as CreateThread returns.
        pThread->m_cv.wait(lock, [&pThread] { return pThread->m_bStarted; });
    } catch (const std::bad_alloc&) {
        if (hThread != nullptr) {
            posix::RemoveHandle(hThread);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (pThreadId != nullptr) {
        *pThreadId = pThread->m_dwThreadId.load(std::memory_order_acquire);
    }
    SetLastError(ERROR_SUCCESS);
    return hThread;
}

DWORD ResumeThread(HANDLE hThread) {
    auto pThread = posix::LookupHandle<CThreadObject>(hThread);
    if (pThread == nullptr) {
        return 0xFFFFFFFF;
    }
    posix::CTerminateShield shield;
    std::lock_guard lock(pThread->m_mtx);
    const DWORD dwPrevious = pThread->m_dwSuspendCount;
    if (dwPrevious > 0 && --pThread->m_dwSuspendCount == 0) {
        pThread->m_cv.notify_all();
    }
    return dwPrevious;
}

bool GetExitCodeThread(HANDLE hThread, DWORD* pExitCode) {
    auto pThread = posix::LookupHandle<CThreadObject>(hThread);
    if (pThread == nullptr) {
        return false;
    }
    if (pExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    posix::CObjectLock lock(false);
    *pExitCode = pThread->m_bEnded ? pThread->m_dwExitCode : STILL_ACTIVE;
    return true;
}

void ExitThread(DWORD dwExitCode) {
    if (CThreadObject* pSelf = posix::t_pSelf) {
        pSelf->m_dwExitRequestCode = dwExitCode;
        pSelf->m_bExitRequested = true;
    }
    pthread_exit(nullptr);
}

bool TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    auto pThread = posix::LookupHandle<CThreadObject>(hThread);
    if (pThread == nullptr) {
        return false;
    }
    if (pThread.get() == posix::t_pSelf) {
        pThread->m_dwTerminateCode.store(dwExitCode, std::memory_order_relaxed);
        pThread->m_bTerminateRequested.store(true, std::memory_order_release);
        pThread.reset();
        posix::ExitForTermination();
    }
    {
        posix::CObjectLock lock(false);
        if (pThread->m_bEnded || pThread->m_bTerminateRequested.load(std::memory_order_acquire)) {
            return true;
        }
        pThread->m_dwTerminateCode.store(dwExitCode, std::memory_order_relaxed);
        pThread->m_bTerminateRequested.store(true, std::memory_order_release);
        // Not ended yet, so the thread still exists: it marks its end under this lock.
        pthread_kill(pThread->m_thread, posix::TerminateSignal());
    }
    // A thread still suspended ends without running its routine.
    posix::CTerminateShield shield;
    std::lock_guard lock(pThread->m_mtx);
    pThread->m_cv.notify_all();
    return true;
}

HANDLE OpenCurrentThread() {
    std::shared_ptr<posix::CThreadObject> pSelf = posix::t_wpSelf.lock();
    if (!pSelf) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return posix::InsertHandle(std::move(pSelf));
}

DWORD GetThreadId(HANDLE hThread) {
    auto pThread = posix::LookupHandle<CThreadObject>(hThread);
    return pThread == nullptr ? 0 : pThread->m_dwThreadId.load(std::memory_order_acquire);
}

}  // namespace platform
