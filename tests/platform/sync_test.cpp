#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/handle_table.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "support/test_root.h"

namespace {

using namespace platform;

struct HandleCloser {
    void operator()(void* h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Polls a condition for up to 10 s; for waiting on other threads without timing assertions.
template <class Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 1000; ++i) {
        if (pred()) {
            return true;
        }
        Sleep(10);
    }
    return pred();
}

// A child process of the test, ended by its pid if the test leaves early.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), krelltest::TestBinary("krell_child_sync"));
        m_pid = krelltest::StartChild(args);
    }
    ~Child() {
        if (m_pid > 0) {
            krelltest::KillChild(m_pid);
        }
    }
    bool Started() const { return m_pid > 0; }
    int Wait() {
        const int nCode = krelltest::WaitChild(m_pid, 30000);
        if (nCode >= 0) {
            m_pid = -1;
        }
        return nCode;
    }
    void Kill() {
        krelltest::KillChild(m_pid);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

std::vector<std::string> ObjectFiles() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(RootSubdirectory("objects"))) {
        const std::string s = entry.path().filename().string();
        if (!s.starts_with(".")) {
            files.push_back(s);
        }
    }
    return files;
}

// ---------------------------------------------------------------------------------------------
// Events

TEST(Events, ManualAndAutoResetKeepOrConsumeTheSignal) {
    for (const char16_t* szName : {static_cast<const char16_t*>(nullptr), u"Global\\ev-consume"}) {
        for (const bool bManual : {true, false}) {
            SCOPED_TRACE(testing::Message() << "named=" << (szName != nullptr) << " manual=" << bManual);
            UniqueHandle hEvent(CreateEvent(bManual, true, szName));
            ASSERT_NE(hEvent, nullptr);
            EXPECT_EQ(WaitForSingleObject(hEvent.get(), 0), WAIT_OBJECT_0);  // initially set
            EXPECT_EQ(WaitForSingleObject(hEvent.get(), 0), bManual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
            EXPECT_TRUE(ResetEvent(hEvent.get()));
            EXPECT_EQ(WaitForSingleObject(hEvent.get(), 0), WAIT_TIMEOUT);
            EXPECT_TRUE(SetEvent(hEvent.get()));
            EXPECT_TRUE(SetEvent(hEvent.get()));  // setting twice does not count
            EXPECT_EQ(WaitForSingleObject(hEvent.get(), 0), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(hEvent.get(), 0), bManual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        }
    }
}

// Each set of an auto-reset event lets exactly one of several blocked waiters through; a manual
// one lets them all through.
TEST(Events, AutoResetReleasesOneWaiterManualReleasesAll) {
    for (const char16_t* szName : {static_cast<const char16_t*>(nullptr), u"ev-release"}) {
        for (const bool bManual : {false, true}) {
            SCOPED_TRACE(testing::Message() << "named=" << (szName != nullptr) << " manual=" << bManual);
            UniqueHandle hEvent(CreateEvent(bManual, false, szName));
            ASSERT_NE(hEvent, nullptr);
            std::atomic<int> nBlocked{0};
            std::atomic<int> nReleased{0};
            std::vector<std::thread> waiters;
            for (int i = 0; i < 2; ++i) {
                waiters.emplace_back([&] {
                    ++nBlocked;
                    if (WaitForSingleObject(hEvent.get(), INFINITE) == WAIT_OBJECT_0) {
                        ++nReleased;
                    }
                });
            }
            ASSERT_TRUE(Eventually([&] { return nBlocked == 2; }));
            Sleep(50);  // let both reach the wait
            SetEvent(hEvent.get());
            ASSERT_TRUE(Eventually([&] { return nReleased >= 1; }));
            if (!bManual) {
                Sleep(100);
                EXPECT_EQ(nReleased, 1);
                EXPECT_EQ(WaitForSingleObject(hEvent.get(), 0), WAIT_TIMEOUT);  // consumed by the waiter
                SetEvent(hEvent.get());
            }
            EXPECT_TRUE(Eventually([&] { return nReleased == 2; }));
            for (auto& t : waiters) {
                t.join();
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Waits

TEST(Waits, WaitAnyTakesTheFirstReadyObjectOnly) {
    UniqueHandle hA(CreateEvent(false, false, nullptr));
    UniqueHandle hB(CreateEvent(false, true, nullptr));
    UniqueHandle hC(CreateEvent(false, true, u"wait-any-c"));
    const HANDLE handles[] = {hA.get(), hB.get(), hC.get()};
    EXPECT_EQ(WaitForMultipleObjects(3, handles, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, false, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, false, 0), WAIT_TIMEOUT);
    SetEvent(hA.get());
    SetEvent(hC.get());
    EXPECT_EQ(WaitForMultipleObjects(3, handles, false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hC.get(), 0), WAIT_OBJECT_0);  // untouched by the wait above
}

TEST(Waits, WaitAllTakesNothingUntilEverythingIsReady) {
    for (const bool bNamed : {false, true}) {
        SCOPED_TRACE(bNamed);
        UniqueHandle hAuto(CreateEvent(false, true, bNamed ? u"all-auto" : nullptr));
        UniqueHandle hMutex(CreateMutex(false, bNamed ? u"all-mutex" : nullptr));
        UniqueHandle hGate(CreateEvent(true, false, nullptr));
        const HANDLE handles[] = {hAuto.get(), hMutex.get(), hGate.get()};

        // Another thread owns nothing yet; the gate is closed: nothing may be taken.
        EXPECT_EQ(WaitForMultipleObjects(3, handles, true, 0), WAIT_TIMEOUT);
        EXPECT_EQ(WaitForMultipleObjects(3, handles, true, 30), WAIT_TIMEOUT);
        std::thread([&] {
            // Not owned by the waiting thread above, and the event still set.
            EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_OBJECT_0);
            ReleaseMutex(hMutex.get());
        }).join();
        EXPECT_EQ(WaitForSingleObject(hAuto.get(), 0), WAIT_OBJECT_0);
        SetEvent(hAuto.get());

        // A blocked wait-all completes when the last object becomes ready, and takes all of them.
        std::atomic<DWORD> dwResult{WAIT_FAILED};
        std::thread waiter([&] {
            dwResult = WaitForMultipleObjects(3, handles, true, INFINITE);
            ReleaseMutex(hMutex.get());
        });
        Sleep(30);
        EXPECT_EQ(dwResult, WAIT_FAILED);
        SetEvent(hGate.get());
        waiter.join();
        EXPECT_EQ(dwResult, WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(hAuto.get(), 0), WAIT_TIMEOUT);  // consumed
    }
}

TEST(Waits, TimeoutsEndTheWait) {
    UniqueHandle hEvent(CreateEvent(true, false, nullptr));
    UniqueHandle hNamed(CreateEvent(true, false, u"timeout"));
    for (HANDLE h : {hEvent.get(), hNamed.get()}) {
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
        const DWORD dwStart = GetTickCount();
        EXPECT_EQ(WaitForSingleObject(h, 60), WAIT_TIMEOUT);
        EXPECT_GE(GetTickCount() - dwStart, 50u);  // loose: it did wait
    }
}

TEST(Waits, BadHandlesAndArgumentsFail) {
    UniqueHandle hEvent(CreateEvent(true, true, nullptr));
    HANDLE hClosed = CreateEvent(true, true, nullptr);
    ASSERT_TRUE(CloseHandle(hClosed));
    class CNotWaitable : public posix::KernelObject {};
    UniqueHandle hPlain(posix::InsertHandle(std::make_shared<CNotWaitable>()));

    for (HANDLE hBad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, hClosed,
                        reinterpret_cast<HANDLE>(0x1235), hPlain.get()}) {
        SCOPED_TRACE(hBad);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForSingleObject(hBad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        const HANDLE mixed[] = {hEvent.get(), hBad};  // a good, signalled handle does not hide a bad one
        EXPECT_EQ(WaitForMultipleObjects(2, mixed, false, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(SetEvent(hBad));
        EXPECT_FALSE(ReleaseMutex(hBad));
    }
    EXPECT_FALSE(CloseHandle(hClosed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    UniqueHandle hMutex(CreateMutex(false, nullptr));
    EXPECT_FALSE(SetEvent(hMutex.get()));  // wrong kind
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseMutex(hEvent.get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, hEvent.get());
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), false, 0), WAIT_OBJECT_0);
    for (const DWORD nCount : {DWORD{0}, MAXIMUM_WAIT_OBJECTS + 1}) {
        EXPECT_EQ(WaitForMultipleObjects(nCount, many.data(), false, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(WaitForMultipleObjects(2, many.data(), true, 0), WAIT_FAILED);  // same object twice
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Waits, SixtyFourObjectsWaitAll) {
    std::vector<UniqueHandle> events;
    std::vector<HANDLE> handles;
    for (DWORD i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) {
        events.emplace_back(CreateEvent(
            false, true, i % 2 == 0 ? nullptr : (u"many-" + FromUtf8(std::to_string(i))).c_str()));
        handles.push_back(events.back().get());
    }
    ResetEvent(handles[63]);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), true, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), false, 0), WAIT_OBJECT_0);
    SetEvent(handles[0]);
    SetEvent(handles[63]);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), true, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), false, 0), WAIT_TIMEOUT);
}

// A thread waiting on named and unnamed objects together must wake for either kind.
TEST(Waits, MixedWaitWakesForUnnamedAndNamedObjects) {
    UniqueHandle hLocal(CreateEvent(false, false, nullptr));
    UniqueHandle hNamed(CreateEvent(false, false, u"mixed-named"));
    const HANDLE handles[] = {hNamed.get(), hLocal.get()};
    for (HANDLE hSet : {hLocal.get(), hNamed.get()}) {
        std::atomic<DWORD> dwResult{WAIT_FAILED};
        std::thread waiter([&] { dwResult = WaitForMultipleObjects(2, handles, false, INFINITE); });
        Sleep(30);
        SetEvent(hSet);
        waiter.join();
        EXPECT_EQ(dwResult, hSet == hLocal.get() ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0);
    }
}

// ---------------------------------------------------------------------------------------------
// Mutexes

TEST(Mutexes, RecursiveForTheOwnerRefusedToOthers) {
    for (const char16_t* szName : {static_cast<const char16_t*>(nullptr), u"Local\\mx-recursive"}) {
        SCOPED_TRACE(szName != nullptr);
        UniqueHandle hMutex(CreateMutex(true, szName));
        ASSERT_NE(hMutex, nullptr);
        EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_OBJECT_0);  // second level
        std::thread([&] {
            EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_TIMEOUT);
            EXPECT_FALSE(ReleaseMutex(hMutex.get()));
            EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
        }).join();
        EXPECT_TRUE(ReleaseMutex(hMutex.get()));
        std::thread([&] {
            EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_TIMEOUT);
        }).join();  // one level left
        EXPECT_TRUE(ReleaseMutex(hMutex.get()));
        EXPECT_FALSE(ReleaseMutex(hMutex.get()));
        EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
        std::thread([&] {
            EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_OBJECT_0);
            EXPECT_TRUE(ReleaseMutex(hMutex.get()));
        }).join();
    }
}

TEST(Mutexes, OwnerThreadEndingAbandonsIt) {
    for (const char16_t* szName : {static_cast<const char16_t*>(nullptr), u"mx-abandon"}) {
        SCOPED_TRACE(szName != nullptr);
        UniqueHandle hMutex(CreateMutex(false, szName));
        std::thread([&] { EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_OBJECT_0); }).join();
        EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_ABANDONED_0);
        EXPECT_TRUE(ReleaseMutex(hMutex.get()));                         // the new owner owns it properly
        EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_OBJECT_0);  // abandonment reported once
        EXPECT_TRUE(ReleaseMutex(hMutex.get()));

        // A waiter blocked on the mutex gets it when the owner ends.
        UniqueHandle hOther(CreateEvent(true, false, nullptr));
        std::atomic<bool> bTaken{false};
        std::thread owner([&] {
            WaitForSingleObject(hMutex.get(), INFINITE);
            bTaken = true;
            WaitForSingleObject(hOther.get(), INFINITE);
        });
        ASSERT_TRUE(Eventually([&] { return bTaken.load(); }));
        const HANDLE handles[] = {hOther.get(), hMutex.get()};
        std::atomic<DWORD> dwResult{WAIT_FAILED};
        std::thread waiter([&] {
            // Wait-any for the mutex alone: the event is only for the owner.
            dwResult = WaitForMultipleObjects(1, &handles[1], false, INFINITE);
            if (dwResult == WAIT_ABANDONED_0) {
                ReleaseMutex(hMutex.get());
            }
        });
        Sleep(30);
        SetEvent(hOther.get());
        owner.join();
        waiter.join();
        EXPECT_EQ(dwResult, WAIT_ABANDONED_0);
    }
}

// ---------------------------------------------------------------------------------------------
// Named objects in one process

TEST(NamedObjects, SpellingsOfOneNameShareOneObject) {
    UniqueHandle hFirst(CreateEvent(true, false, u"Global\\shared-name"));
    ASSERT_NE(hFirst, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    for (const char16_t* szSame : {u"shared-name", u"Local\\shared-name", u"Global\\shared-name"}) {
        UniqueHandle hSame(CreateEvent(false, true, szSame));  // flags of an existing event are ignored
        ASSERT_NE(hSame, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        UniqueHandle hOpened(OpenEvent(EVENT_ALL_ACCESS, false, szSame));
        ASSERT_NE(hOpened, nullptr);
        EXPECT_EQ(WaitForSingleObject(hOpened.get(), 0), WAIT_TIMEOUT);
        SetEvent(hSame.get());
        EXPECT_EQ(WaitForSingleObject(hFirst.get(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(hFirst.get(), 0), WAIT_OBJECT_0);  // still manual reset
        ResetEvent(hOpened.get());
    }
    UniqueHandle hOtherCase(CreateEvent(true, true, u"Shared-Name"));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // names are case-sensitive
    EXPECT_EQ(WaitForSingleObject(hFirst.get(), 0), WAIT_TIMEOUT);
}

TEST(NamedObjects, NamesAreEncodedWithoutCollisions) {
    // Characters a file name cannot hold, encoding look-alikes, a lone surrogate, and names long
    // enough to be stored under a hash.
    const std::u16string names[] = {
        u"a/b",
        u"a%2Fb",
        u"a~002Fb",
        u".",
        u"..",
        u"x y:z*?",
        u"\u00fc\u65e5\U0001F600",
        std::u16string(1, u'\xD800'),
        std::u16string(1, u'\xDC00'),
        std::u16string(MAX_PATH, u'\u65e5'),
        std::u16string(MAX_PATH - 1, u'\u65e5') + u"a",
        u"Global\\" + std::u16string(MAX_PATH - 7, u'x'),
    };
    std::vector<UniqueHandle> handles;
    for (const auto& sName : names) {
        handles.emplace_back(CreateEvent(true, false, sName.c_str()));
        ASSERT_NE(handles.back(), nullptr) << ToUtf8(sName) << " error " << GetLastError();
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << ToUtf8(sName);
    }
    for (std::size_t i = 0; i < std::size(names); ++i) {
        SetEvent(handles[i].get());
        for (std::size_t j = 0; j < std::size(names); ++j) {
            EXPECT_EQ(WaitForSingleObject(handles[j].get(), 0), i == j ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
                << i << " " << j;
        }
        ResetEvent(handles[i].get());
        UniqueHandle hAgain(OpenEvent(SYNCHRONIZE, false, names[i].c_str()));
        EXPECT_NE(hAgain, nullptr) << i;
    }
}

TEST(NamedObjects, RefusedNamesAndKinds) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateEvent(true, false, std::u16string(MAX_PATH + 1, u'x').c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(CreateMutex(false, u"Global\\a\\b"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    UniqueHandle hEvent(CreateEvent(true, false, u"kind-event"));
    UniqueHandle hMutex(CreateMutex(false, u"kind-mutex"));
    EXPECT_EQ(CreateMutex(false, u"kind-event"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenMutex(SYNCHRONIZE, false, u"kind-event"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CreateEvent(true, false, u"Global\\kind-mutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(OpenEvent(SYNCHRONIZE, false, u"never-created"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenEvent(SYNCHRONIZE, false, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(NamedObjects, LiveWhileAnyHandleIsOpen) {
    HANDLE hFirst = CreateMutex(false, u"lifetime");
    HANDLE hSecond = OpenMutex(SYNCHRONIZE, false, u"lifetime");
    ASSERT_NE(hSecond, nullptr);
    CloseHandle(hFirst);
    UniqueHandle hThird(OpenMutex(SYNCHRONIZE, false, u"lifetime"));
    EXPECT_NE(hThird, nullptr);
    CloseHandle(hSecond);
    hThird.reset();
    EXPECT_EQ(OpenMutex(SYNCHRONIZE, false, u"lifetime"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(ObjectFiles().empty());  // the last closer removes the file
}

// ---------------------------------------------------------------------------------------------
// Named objects across processes

TEST(CrossProcess, EventSetInOneProcessWakesWaitersInOthers) {
    UniqueHandle hEvent(CreateEvent(true, false, u"Global\\xp-event"));
    ASSERT_NE(hEvent, nullptr);

    // Another process sets it while this one waits.
    std::atomic<DWORD> dwResult{WAIT_FAILED};
    std::thread waiter([&] { dwResult = WaitForSingleObject(hEvent.get(), 30000); });
    Child setter({"set-event", "Global\\xp-event"});
    ASSERT_TRUE(setter.Started());
    EXPECT_EQ(setter.Wait(), 0);
    waiter.join();
    EXPECT_EQ(dwResult, WAIT_OBJECT_0);

    // This process sets it while two others wait.
    ResetEvent(hEvent.get());
    Child first({"wait-event", "xp-event", "30000"});
    Child second({"wait-event", "Local\\xp-event", "30000"});
    Sleep(100);
    SetEvent(hEvent.get());
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(second.Wait(), 0);

    // A wait in another process times out while nobody sets it.
    ResetEvent(hEvent.get());
    Child idle({"wait-event", "xp-event", "50"});
    EXPECT_EQ(idle.Wait(), 1);
}

TEST(CrossProcess, DeadHolderAbandonsItsMutex) {
    struct Case {
        const char* szHow;
        bool bKill;
    };
    for (const Case& c : {Case{"killed", true}, Case{"exited", false}}) {
        SCOPED_TRACE(c.szHow);
        const std::string sName = std::string("Global\\xp-mutex-") + c.szHow;
        UniqueHandle hReady(CreateEvent(true, false, u"xp-ready"));
        UniqueHandle hMutex(CreateMutex(false, FromUtf8(sName).c_str()));
        if (c.bKill) {
            Child holder({"hold-mutex", sName, "xp-ready"});
            ASSERT_EQ(WaitForSingleObject(hReady.get(), 30000), WAIT_OBJECT_0);
            // Held by a live process: not mistaken for abandoned, here or in a third process.
            EXPECT_EQ(WaitForSingleObject(hMutex.get(), 100), WAIT_TIMEOUT);
            Child other({"try-mutex", sName, "50"});
            EXPECT_EQ(other.Wait(), 1);
            std::atomic<DWORD> dwResult{WAIT_FAILED};
            std::thread waiter([&] {
                dwResult = WaitForSingleObject(hMutex.get(), 30000);
                ReleaseMutex(hMutex.get());
            });
            Sleep(50);
            holder.Kill();
            waiter.join();
            EXPECT_EQ(dwResult, WAIT_ABANDONED_0);
            EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_OBJECT_0);  // reported once
            EXPECT_TRUE(ReleaseMutex(hMutex.get()));
        } else {
            Child holder({"take-mutex-exit", sName});
            EXPECT_EQ(holder.Wait(), 0);
            EXPECT_EQ(WaitForSingleObject(hMutex.get(), 0), WAIT_ABANDONED_0);
            EXPECT_TRUE(ReleaseMutex(hMutex.get()));
            Child other({"try-mutex", sName, "5000"});
            EXPECT_EQ(other.Wait(), 0);
        }
    }
}

TEST(CrossProcess, NameOfAKilledHolderIsFree) {
    UniqueHandle hReady(CreateEvent(true, false, u"stale-ready"));
    {
        Child holder({"create-event", "Global\\stale", "stale-ready"});
        ASSERT_EQ(WaitForSingleObject(hReady.get(), 30000), WAIT_OBJECT_0);
        UniqueHandle hOpened(OpenEvent(SYNCHRONIZE, false, u"stale"));
        EXPECT_NE(hOpened, nullptr);
        hOpened.reset();
        holder.Kill();
    }
    EXPECT_EQ(ObjectFiles().size(), 2u);  // the killed holder's file is left behind
    EXPECT_EQ(OpenEvent(SYNCHRONIZE, false, u"stale"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenMutex(SYNCHRONIZE, false, u"stale"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Creating over a stale file makes a new object with the creator's state.
    ResetEvent(hReady.get());  // before the child starts: it may signal at once
    Child holder({"create-event", "stale", "stale-ready"});
    ASSERT_EQ(WaitForSingleObject(hReady.get(), 30000), WAIT_OBJECT_0);
    holder.Kill();
    UniqueHandle hMutex(CreateMutex(true, u"stale"));
    ASSERT_NE(hMutex, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(ReleaseMutex(hMutex.get()));
}

}  // namespace
