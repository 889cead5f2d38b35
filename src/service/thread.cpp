#include "service/thread.h"

#include "diagnostics/user_debug_output.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "service/co_initialize.h"

namespace {
// How long a thread ended by force may take to leave, before its owner may free it.
constexpr DWORD FORCED_END_WAIT_MS = 5000;
constexpr DWORD THREAD_FAILURE_EXIT_CODE = static_cast<DWORD>(-1);
}  // namespace

CThread::~CThread() {
    CloseThreadHandle();
}

void CThread::CloseThreadHandle() {
    if (m_hThread != nullptr) {
        platform::CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
}

bool CThread::IsThread() const {
    return m_hThread != nullptr && platform::WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

bool CThread::Create(const void* /*pSecurity*/, std::size_t nStackSize, DWORD dwCreationFlags) {
    if (IsThread()) {
        TraceOut2(u"CThread::Create() : IsThread() != FALSE\n");
        return false;
    }
    CloseThreadHandle();
    m_TerminateEvent.ResetEvent();
    std::shared_ptr<CInitInstance> pInit;
    try {
        pInit = std::make_shared<CInitInstance>();
    } catch (const std::bad_alloc&) {
        TraceOut1(u"CThread::Create() : m_InitInstanceEvent.Create() == FALSE\n");
        return false;
    }
    if (m_Options.m_bWaitForInitInstance && !pInit->m_InitInstanceEvent.Create(nullptr, true, false)) {
        TraceOut1(u"CThread::Create() : m_InitInstanceEvent.Create() == FALSE\n");
        return false;
    }
    m_pInitInstance = pInit;
    // Both ways of starting a thread are the same system call here; the option only names the
    // failure as the platform's two thread starts would.
    m_hThread = platform::CreateThread(nStackSize, &CThread::ThreadProc, this,
                                       dwCreationFlags | platform::CREATE_SUSPENDED, &m_dwThreadId);
    if (m_hThread == nullptr) {
        if (m_Options.m_bUseSystemThread) {
            TraceOut1(u"CThread::Create() : CreateThread() == NULL, 0x%08X\n", platform::GetLastError());
        } else {
            TraceOut1(u"CThread::Create() : _beginthreadex() == NULL, 0x%08X\n", platform::GetLastError());
        }
        return false;
    }
    if ((dwCreationFlags & platform::CREATE_SUSPENDED) != 0) {
        return true;
    }
    // A self-deleting thread may end and free this object as soon as it runs: keep what is needed.
    const bool bWaitForInit = m_Options.m_bWaitForInitInstance;
    const bool bAutoDelete = m_Options.m_bAutoDelete;
    const bool bPumpMessages = m_Options.m_bPumpMessages;
    const HANDLE hThread = m_hThread;
    platform::ResumeThread(hThread);
    if (!bWaitForInit) {
        return true;
    }
    pInit->m_InitInstanceEvent.Lock(INFINITE, bPumpMessages);
    if (!pInit->m_bInitInstanceResult) {
        TraceOut1(u"CThread::Create() : m_bInitInstanceResult == FALSE\n");
        // The failed thread is on its way out; let it finish with this object before the caller may
        // destroy it.
        if (!bAutoDelete) {
            platform::WaitForSingleObject(hThread, INFINITE);
        }
        return false;
    }
    return true;
}

DWORD CThread::ResumeThread() {
    return platform::ResumeThread(m_hThread);
}

DWORD CThread::ThreadProc(void* pParameter) {
    auto* pThread = static_cast<CThread*>(pParameter);
    const std::shared_ptr<CInitInstance> pInit = pThread->m_pInitInstance;
    const bool bWaitedFor = pThread->m_Options.m_bWaitForInitInstance;
    DWORD dwExitCode;
    {
        CCoInitialize coInit;
        if (pThread->m_Options.m_eApartment != APARTMENT_NONE) {
            const HRESULT hr = coInit.CoInitialize(pThread->m_Options.m_eApartment == APARTMENT_THREADED
                                                       ? COINIT_APARTMENTTHREADED
                                                       : COINIT_MULTITHREADED);
            if (hr != S_OK) {
                TraceOut1(u"CThread::Start() : coInit.Initialize() != S_OK, 0x%08X\n",
                          static_cast<DWORD>(hr));
                pInit->m_bInitInstanceResult = false;
                if (bWaitedFor) {
                    pInit->m_InitInstanceEvent.SetEvent();
                }
                return THREAD_FAILURE_EXIT_CODE;
            }
        }
        const bool bResult = pThread->InitInstance();
        pInit->m_bInitInstanceResult = bResult;
        if (bWaitedFor) {
            pInit->m_InitInstanceEvent.SetEvent();
        }
        if (!bResult) {
            TraceOut2(u"CThread::Start() : InitInstance() == FALSE\n");
            pThread->PostTerminate();
            dwExitCode = THREAD_FAILURE_EXIT_CODE;
        } else {
            dwExitCode = pThread->Run();
        }
        pThread->ExitInstance();
    }
    if (pThread->m_Options.m_bAutoDelete) {
        TraceOut3(u"CThread::ThreadProc() : delete pThread, 0x%04X\n", platform::GetCurrentThreadId());
        delete pThread;
    }
    return dwExitCode;
}

void CThread::PostTerminate() {
    if (m_hThread != nullptr) {
        DWORD dwPrevious;
        do {
            dwPrevious = platform::ResumeThread(m_hThread);
        } while (dwPrevious != 0xFFFFFFFF && dwPrevious > 1);
    }
    m_TerminateEvent.SetEvent();
}

bool CThread::Terminate(DWORD dwTimeout) {
    if (m_Options.m_bAutoDelete) {
        TraceOut1(u"CThread::Terminate() : m_Options.m_bAutoDelete != FALSE\n");
        return false;
    }
    bool bResult = true;
    if (IsThread()) {
        PostTerminate();
        const DWORD dwWait = m_Options.m_bPumpMessages
                                 ? CMessageLock().LockWithMessagePump(&m_hThread, 1, false, dwTimeout)
                                 : platform::WaitForSingleObject(m_hThread, dwTimeout);
        if (dwWait != WAIT_OBJECT_0) {
            TraceOut2(u"CThread::Terminate() : WaitForExit(%lu) == FALSE, 0x%04X\n", dwTimeout, m_dwThreadId);
            platform::TerminateThread(m_hThread, THREAD_FAILURE_EXIT_CODE);
            platform::WaitForSingleObject(m_hThread, FORCED_END_WAIT_MS);
            bResult = false;
        }
    }
    CloseThreadHandle();
    return bResult;
}

bool CThread::InitInstance() {
    TraceOut3(u"CThread::InitInstance()\n");
    return true;
}

void CThread::ExitInstance() {
    TraceOut3(u"CThread::ExitInstance()\n");
}
