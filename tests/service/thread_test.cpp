#include "service/thread.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

// A thread whose behaviour each test sets: the result of InitInstance, whether Run honours the
// terminate event, and counters of what ran.
class CProbeThread : public CThread {
public:
    explicit CProbeThread(const COptions& options = {}) : CThread(options) {}

    bool m_bInitResult = true;
    bool m_bIgnoreStop = false;
    std::atomic<int> m_nInit{0};
    std::atomic<int> m_nRun{0};
    std::atomic<int> m_nExit{0};
    std::atomic<DWORD> m_dwRunThreadId{0};
    CEvent m_Running{true, false};

protected:
    bool InitInstance() override {
        ++m_nInit;
        return m_bInitResult;
    }
    DWORD Run() override {
        ++m_nRun;
        m_dwRunThreadId = platform::GetCurrentThreadId();
        m_Running.SetEvent();
        if (m_bIgnoreStop) {
            for (;;) {
                platform::Sleep(5);
            }
        }
        m_TerminateEvent.Lock(INFINITE);
        return 42;
    }
    void ExitInstance() override { ++m_nExit; }
};

TEST(CThread, CreateWaitsForInitInstanceAndTerminateStopsRun) {
    CProbeThread thread;
    ASSERT_TRUE(thread.Create());
    EXPECT_EQ(thread.m_nInit, 1);  // the hand-over is synchronous
    ASSERT_TRUE(thread.m_Running.Lock(5000));
    EXPECT_EQ(thread.m_dwRunThreadId.load(), thread.ThreadId());
    EXPECT_TRUE(thread.IsThread());

    const HANDLE hThread = thread.ThreadHandle();
    EXPECT_TRUE(thread.Terminate(5000));
    EXPECT_EQ(thread.m_nExit, 1);
    EXPECT_EQ(thread.ThreadHandle(), nullptr);  // closed in all cases
    EXPECT_EQ(platform::WaitForSingleObject(hThread, 0), WAIT_FAILED);
}

TEST(CThread, ExitCodeIsRunResult) {
    CProbeThread thread;
    ASSERT_TRUE(thread.Create());
    ASSERT_TRUE(thread.m_Running.Lock(5000));
    thread.PostTerminate();
    ASSERT_EQ(platform::WaitForSingleObject(thread.ThreadHandle(), 5000), WAIT_OBJECT_0);
    DWORD dwExitCode = 0;
    ASSERT_TRUE(platform::GetExitCodeThread(thread.ThreadHandle(), &dwExitCode));
    EXPECT_EQ(dwExitCode, 42u);
    EXPECT_TRUE(thread.Terminate(0));  // no longer running: nothing to stop
}

TEST(CThread, FailedInitInstanceFailsCreateAndSkipsRun) {
    CProbeThread thread;
    thread.m_bInitResult = false;
    EXPECT_FALSE(thread.Create());
    EXPECT_EQ(thread.m_nRun, 0);
    EXPECT_EQ(thread.m_nExit, 1);
    EXPECT_TRUE(thread.IsTerminateRequested());  // the failure posts the stop request
    DWORD dwExitCode = 0;
    ASSERT_TRUE(platform::GetExitCodeThread(thread.ThreadHandle(), &dwExitCode));
    EXPECT_EQ(dwExitCode, 0xFFFFFFFFu);
}

TEST(CThread, CreateOnRunningThreadFailsAndLeavesItAlone) {
    CProbeThread thread;
    ASSERT_TRUE(thread.Create());
    ASSERT_TRUE(thread.m_Running.Lock(5000));
    const HANDLE hThread = thread.ThreadHandle();
    EXPECT_FALSE(thread.Create());
    EXPECT_EQ(thread.ThreadHandle(), hThread);
    EXPECT_EQ(thread.m_nInit, 1);
    EXPECT_TRUE(thread.IsThread());
    EXPECT_TRUE(thread.Terminate(5000));
}

TEST(CThread, ThreadCanBeCreatedAgainAfterItEnded) {
    CProbeThread thread;
    for (int n = 1; n <= 3; ++n) {
        ASSERT_TRUE(thread.Create());
        ASSERT_TRUE(thread.m_Running.Lock(5000));
        thread.m_Running.ResetEvent();
        EXPECT_FALSE(thread.IsTerminateRequested());  // Create clears the previous stop request
        EXPECT_TRUE(thread.Terminate(5000));
        EXPECT_EQ(thread.m_nRun, n);
    }
}

TEST(CThread, CreateSuspendedRunsNothingUntilResumed) {
    CProbeThread thread;
    ASSERT_TRUE(thread.Create(nullptr, 0, platform::CREATE_SUSPENDED));
    EXPECT_FALSE(thread.m_Running.Lock(50));
    EXPECT_EQ(thread.m_nInit, 0);
    EXPECT_EQ(thread.ResumeThread(), 1u);
    ASSERT_TRUE(thread.m_Running.Lock(5000));
    EXPECT_TRUE(thread.Terminate(5000));
}

TEST(CThread, PostTerminateWakesSuspendedThread) {
    CProbeThread thread;
    ASSERT_TRUE(thread.Create(nullptr, 0, platform::CREATE_SUSPENDED));
    EXPECT_TRUE(thread.Terminate(5000));  // resumed by the stop request, sees the event, ends
    EXPECT_EQ(thread.m_nRun, 1);
}

TEST(CThread, TerminateEndsThreadThatIgnoresStopRequest) {
    CProbeThread thread;
    thread.m_bIgnoreStop = true;
    ASSERT_TRUE(thread.Create());
    ASSERT_TRUE(thread.m_Running.Lock(5000));
    // The kernel's task list is the independent witness: Terminate closes the handle.
    const std::string sTask = "/proc/self/task/" + std::to_string(thread.ThreadId());
    ASSERT_EQ(access(sTask.c_str(), F_OK), 0);
    EXPECT_FALSE(thread.Terminate(100));
    EXPECT_EQ(thread.ThreadHandle(), nullptr);
    for (int n = 0; n < 500 && access(sTask.c_str(), F_OK) == 0; ++n) {
        platform::Sleep(10);
    }
    EXPECT_NE(access(sTask.c_str(), F_OK), 0) << "the thread still runs";
    EXPECT_EQ(thread.m_nExit, 0);  // a forced end runs no more of the thread's own code
}

class CSelfDeletingThread : public CThread {
public:
    CSelfDeletingThread(std::atomic<int>* pDestroyed, HANDLE hRelease)
        : CThread(COptions{.m_bAutoDelete = true}), m_pDestroyed(pDestroyed), m_hRelease(hRelease) {}
    ~CSelfDeletingThread() override { ++*m_pDestroyed; }

protected:
    DWORD Run() override {
        platform::WaitForSingleObject(m_hRelease, INFINITE);
        return 0;
    }

private:
    std::atomic<int>* m_pDestroyed;
    HANDLE m_hRelease;
};

TEST(CThread, SelfDeletingThreadRefusesTerminateAndDeletesItself) {
    std::atomic<int> nDestroyed{0};
    CEvent release(true, false);
    auto* pThread = new CSelfDeletingThread(&nDestroyed, release.Handle());
    ASSERT_TRUE(pThread->Create());
    EXPECT_FALSE(pThread->Terminate(1000));
    EXPECT_EQ(nDestroyed, 0);  // refused without touching it
    release.SetEvent();
    for (int n = 0; n < 500 && nDestroyed == 0; ++n) {
        platform::Sleep(10);
    }
    EXPECT_EQ(nDestroyed, 1);
}

}  // namespace
