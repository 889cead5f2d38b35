#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/sync.h"
#include "platform/system.h"

namespace {

using namespace platform;

struct HandleCloser {
    void operator()(void* h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct Shared {
    std::atomic<bool> bRan{false};
    std::atomic<bool> bStop{false};
    std::atomic<DWORD> dwSeenId{0};
    std::atomic<int> nDestroyed{0};
    HANDLE hEvent = nullptr;
    HANDLE hMutex = nullptr;
};

struct DestroyCounter {
    std::atomic<int>* pCount;
    ~DestroyCounter() { ++*pCount; }
};

DWORD ReturnCode(void* pv) {
    auto* p = static_cast<Shared*>(pv);
    p->dwSeenId = GetCurrentThreadId();
    p->bRan = true;
    WaitForSingleObject(p->hEvent, INFINITE);
    return 42;
}

[[noreturn]] void ExitFromDeepInside() {
    ExitThread(7);
}

DWORD ExitEarly(void* pv) {
    auto* p = static_cast<Shared*>(pv);
    DestroyCounter counter{&p->nDestroyed};
    ExitFromDeepInside();
}

// Holds a mutex and never looks at its stop request.
DWORD IgnoreStop(void* pv) {
    auto* p = static_cast<Shared*>(pv);
    DestroyCounter counter{&p->nDestroyed};
    WaitForSingleObject(p->hMutex, INFINITE);
    p->bRan = true;
    while (!p->bStop) {
        Sleep(10);
    }
    return 0;
}

DWORD BlockInWait(void* pv) {
    auto* p = static_cast<Shared*>(pv);
    p->bRan = true;
    WaitForSingleObject(p->hEvent, INFINITE);
    return 1;
}

bool Eventually(const std::atomic<bool>& b) {
    for (int i = 0; i < 1000 && !b; ++i) {
        Sleep(10);
    }
    return b;
}

TEST(Threads, ExitCodeIdAndHandleSignalledAtTheEnd) {
    Shared shared;
    UniqueHandle hEvent(CreateEvent(true, false, nullptr));
    shared.hEvent = hEvent.get();
    DWORD dwId = 0;
    UniqueHandle hThread(CreateThread(0, ReturnCode, &shared, 0, &dwId));
    ASSERT_NE(hThread, nullptr);
    ASSERT_TRUE(Eventually(shared.bRan));
    EXPECT_EQ(dwId, shared.dwSeenId);
    EXPECT_EQ(GetThreadId(hThread.get()), dwId);
    EXPECT_NE(dwId, GetCurrentThreadId());
    DWORD dwCode = 0;
    ASSERT_TRUE(GetExitCodeThread(hThread.get(), &dwCode));
    EXPECT_EQ(dwCode, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(hThread.get(), 0), WAIT_TIMEOUT);

    SetEvent(hEvent.get());
    const HANDLE handles[] = {hThread.get(), hEvent.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, true, 30000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(hThread.get(), &dwCode));
    EXPECT_EQ(dwCode, 42u);
    EXPECT_EQ(WaitForSingleObject(hThread.get(), 0), WAIT_OBJECT_0);  // stays signalled
}

TEST(Threads, SuspendedThreadStartsOnResume) {
    Shared shared;
    UniqueHandle hEvent(CreateEvent(true, true, nullptr));
    shared.hEvent = hEvent.get();
    DWORD dwId = 0;
    UniqueHandle hThread(CreateThread(64 * 1024, ReturnCode, &shared, CREATE_SUSPENDED, &dwId));
    ASSERT_NE(hThread, nullptr);
    EXPECT_NE(dwId, 0u);  // known before it runs
    EXPECT_EQ(WaitForSingleObject(hThread.get(), 50), WAIT_TIMEOUT);
    EXPECT_FALSE(shared.bRan);
    EXPECT_EQ(ResumeThread(hThread.get()), 1u);
    EXPECT_EQ(WaitForSingleObject(hThread.get(), 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(shared.bRan);
    EXPECT_EQ(shared.dwSeenId, dwId);
    EXPECT_EQ(ResumeThread(hThread.get()), 0u);
}

TEST(Threads, ExitThreadUnwindsAndSetsTheCode) {
    Shared shared;
    UniqueHandle hThread(CreateThread(0, ExitEarly, &shared, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(hThread.get(), 30000), WAIT_OBJECT_0);
    DWORD dwCode = 0;
    EXPECT_TRUE(GetExitCodeThread(hThread.get(), &dwCode));
    EXPECT_EQ(dwCode, 7u);
    EXPECT_EQ(shared.nDestroyed, 1);
}

TEST(Threads, TerminateEndsAThreadThatIgnoresItsStopRequest) {
    Shared shared;
    UniqueHandle hMutex(CreateMutex(false, nullptr));
    shared.hMutex = hMutex.get();
    UniqueHandle hThread(CreateThread(0, IgnoreStop, &shared, 0, nullptr));
    ASSERT_TRUE(Eventually(shared.bRan));
    EXPECT_EQ(WaitForSingleObject(hThread.get(), 50), WAIT_TIMEOUT);  // it really ignores us
    EXPECT_TRUE(TerminateThread(hThread.get(), 0xFFFFFFFF));
    ASSERT_EQ(WaitForSingleObject(hThread.get(), 30000), WAIT_OBJECT_0);
    DWORD dwCode = 0;
    EXPECT_TRUE(GetExitCodeThread(hThread.get(), &dwCode));
    EXPECT_EQ(dwCode, 0xFFFFFFFFu);
    EXPECT_EQ(shared.nDestroyed, 1);
    EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(hMutex.get()));
    EXPECT_TRUE(TerminateThread(hThread.get(), 5));  // already ended: the code stays
    EXPECT_TRUE(GetExitCodeThread(hThread.get(), &dwCode));
    EXPECT_EQ(dwCode, 0xFFFFFFFFu);
}

TEST(Threads, TerminateEndsWaitingAndSuspendedThreads) {
    Shared shared;
    UniqueHandle hEvent(CreateEvent(true, false, nullptr));
    shared.hEvent = hEvent.get();
    UniqueHandle hWaiting(CreateThread(0, BlockInWait, &shared, 0, nullptr));
    ASSERT_TRUE(Eventually(shared.bRan));
    Sleep(20);
    EXPECT_TRUE(TerminateThread(hWaiting.get(), 3));
    EXPECT_EQ(WaitForSingleObject(hWaiting.get(), 30000), WAIT_OBJECT_0);

    Shared unstarted;
    UniqueHandle hSuspended(CreateThread(0, BlockInWait, &unstarted, CREATE_SUSPENDED, nullptr));
    EXPECT_TRUE(TerminateThread(hSuspended.get(), 4));
    EXPECT_EQ(WaitForSingleObject(hSuspended.get(), 30000), WAIT_OBJECT_0);
    EXPECT_FALSE(unstarted.bRan);  // the routine never began

    DWORD dwCode = 0;
    EXPECT_TRUE(GetExitCodeThread(hWaiting.get(), &dwCode));
    EXPECT_EQ(dwCode, 3u);
    EXPECT_TRUE(GetExitCodeThread(hSuspended.get(), &dwCode));
    EXPECT_EQ(dwCode, 4u);
    // The event the terminated waiter blocked on still works for everyone else.
    SetEvent(hEvent.get());
    EXPECT_EQ(WaitForSingleObject(hEvent.get(), 0), WAIT_OBJECT_0);
}

TEST(Threads, HandleMayBeClosedWhileTheThreadRuns) {
    auto pShared = std::make_unique<Shared>();
    UniqueHandle hEvent(CreateEvent(true, false, nullptr));
    pShared->hEvent = hEvent.get();
    HANDLE hThread = CreateThread(0, ReturnCode, pShared.get(), 0, nullptr);
    ASSERT_TRUE(Eventually(pShared->bRan));
    EXPECT_TRUE(CloseHandle(hThread));
    EXPECT_EQ(GetThreadId(hThread), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetEvent(hEvent.get());
    // Nothing to join: the thread ends on its own; give it time before its data goes away.
    Sleep(100);
}

TEST(Threads, WrongHandlesAreRefused) {
    UniqueHandle hEvent(CreateEvent(true, false, nullptr));
    DWORD dwCode = 0;
    for (HANDLE hBad : {static_cast<HANDLE>(nullptr), hEvent.get(), reinterpret_cast<HANDLE>(0x4321)}) {
        EXPECT_EQ(ResumeThread(hBad), 0xFFFFFFFFu);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(GetExitCodeThread(hBad, &dwCode));
        EXPECT_FALSE(TerminateThread(hBad, 1));
        EXPECT_EQ(GetThreadId(hBad), 0u);
    }
    EXPECT_EQ(CreateThread(0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
