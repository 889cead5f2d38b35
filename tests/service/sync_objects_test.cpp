#include "service/sync_objects.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/sync.h"
#include "platform/system.h"

namespace {

TEST(CSyncObject, GlobalNameLengthLimit) {
    struct Case {
        std::size_t nLength;
        bool bAccepted;
    };
    // The prefix and terminator take 8 of the 260 characters.
    for (const Case& c : {Case{0, true}, Case{252, true}, Case{253, false}, Case{400, false}}) {
        const std::u16string sName(c.nLength, u'n');
        std::u16string sGlobal;
        EXPECT_EQ(CSyncObject::CreateGlobalName(sName.c_str(), &sGlobal), c.bAccepted) << c.nLength;
        if (c.bAccepted) {
            EXPECT_EQ(sGlobal, u"Global\\" + sName);
        }
    }
}

TEST(CEvent, UncreatedObjectsFailCleanly) {
    CEvent event;
    EXPECT_FALSE(event.SetEvent());
    EXPECT_FALSE(event.ResetEvent());
    EXPECT_FALSE(event.Lock(0));
    CMutex mutex;
    EXPECT_FALSE(mutex.Lock(0));
    EXPECT_FALSE(mutex.Unlock());
}

TEST(CEvent, TooLongGlobalNameIsRefused) {
    const std::u16string sName(300, u'x');
    CEvent event;
    EXPECT_FALSE(event.Create(nullptr, true, false, sName.c_str(), true));
    EXPECT_FALSE(event.IsCreated());
    CMutex mutex;
    EXPECT_FALSE(mutex.Create(nullptr, false, sName.c_str(), true));
    EXPECT_FALSE(mutex.Open(platform::MUTEX_ALL_ACCESS, false, sName.c_str(), true));
}

TEST(CEvent, NamedGlobalEventIsSharedByName) {
    CEvent first;
    ASSERT_TRUE(first.Create(nullptr, true, false, u"KRELLTestEvent", true));
    CEvent second;
    ASSERT_TRUE(second.Create(nullptr, true, false, u"KRELLTestEvent", true));
    EXPECT_EQ(platform::GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(second.Lock(0));
    ASSERT_TRUE(first.SetEvent());
    EXPECT_TRUE(second.Lock(0));
    ASSERT_TRUE(second.ResetEvent());
    EXPECT_FALSE(first.Lock(0));
}

TEST(CMutex, OpenFindsOnlyAHeldName) {
    CMutex opener;
    EXPECT_FALSE(opener.Open(platform::MUTEX_ALL_ACCESS, false, u"KRELLTestMutex", true));
    CMutex holder;
    ASSERT_TRUE(holder.Create(nullptr, false, u"KRELLTestMutex", true));
    ASSERT_TRUE(opener.Open(platform::MUTEX_ALL_ACCESS, false, u"KRELLTestMutex", true));
    ASSERT_TRUE(holder.Lock(0));
    std::thread other([&opener] { EXPECT_FALSE(opener.Lock(20)); });
    other.join();
    EXPECT_TRUE(holder.Unlock());
    holder.Close();
    opener.Close();
    EXPECT_FALSE(opener.Open(platform::MUTEX_ALL_ACCESS, false, u"KRELLTestMutex", true));
}

TEST(CCriticalSection, IsReentrantAndExcludesOtherThreads) {
    CCriticalSection section;
    ASSERT_TRUE(section.Lock());
    ASSERT_TRUE(section.Lock());  // same thread again
    int nShared = 0;
    std::thread other([&] {
        std::lock_guard<CCriticalSection> guard(section);
        nShared = 2;
    });
    platform::Sleep(20);
    nShared = 1;  // the other thread cannot be inside yet
    EXPECT_TRUE(section.UnLock());
    EXPECT_EQ(nShared, 1);
    EXPECT_TRUE(section.UnLock());
    other.join();
    EXPECT_EQ(nShared, 2);
}

TEST(CMessageLock, WaitsOnSeveralHandles) {
    CEvent first(true, false);
    CEvent second(false, false);
    const HANDLE handles[] = {first.Handle(), second.Handle()};
    CMessageLock lock;
    EXPECT_EQ(lock.LockWithMessagePump(handles, 0, false, 0), WAIT_FAILED);
    EXPECT_EQ(lock.LockWithMessagePump(handles, 2, false, 10), WAIT_TIMEOUT);
    second.SetEvent();
    EXPECT_EQ(lock.LockWithMessagePump(handles, 2, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(lock.LockWithMessagePump(handles, 2, false, 0), WAIT_TIMEOUT);  // auto-reset consumed
    first.SetEvent();
    second.SetEvent();
    EXPECT_EQ(lock.LockWithMessagePump(handles, 2, true, 0), WAIT_OBJECT_0);
    const HANDLE invalid[] = {reinterpret_cast<HANDLE>(0x7777)};
    EXPECT_EQ(lock.LockWithMessagePump(invalid, 1, false, 0), WAIT_FAILED);
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
