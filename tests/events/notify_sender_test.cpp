#include <gtest/gtest.h>

#include <chrono>

#include "events/event_doubles.h"
#include "events/notify_event_sender.h"

namespace {

using eventtest::CDebugLog;
using eventtest::CTestSource;

constexpr const char* NOT_INITIALIZED_LINE =
    "CNotifyEventSender::EnqueueEvent - Internal initialization is not complete. Unable to Enqueue "
    "event.\r\n";

// Waits until the event manager double has been given nCount events.
bool WaitForPublished(CTestSource& source, size_t nCount) {
    for (int nTry = 0; nTry < 1000; ++nTry) {
        if (source.m_pManager->Published().size() >= nCount) {
            return true;
        }
        platform::Sleep(5);
    }
    return false;
}

TEST(CNotifyEventSender, RefusesBeforeInitializeAndAfterDestroy) {
    CDebugLog log;
    CTestSource source;
    CNotifyEventSender sender(&source);
    EXPECT_FALSE(sender.EnqueueEventInternal(1, nullptr, SYSTEMTIME{2026, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_TRUE(log.Has(NOT_INITIALIZED_LINE));
    ASSERT_TRUE(sender.InitializeInternal());
    sender.DestroyInternal();
    CDebugLog after;
    EXPECT_FALSE(sender.EnqueueEventInternal(2, u"x", SYSTEMTIME{2026, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_TRUE(after.Has(NOT_INITIALIZED_LINE));
    EXPECT_EQ(sender.QueuedCount(), 0u);
    EXPECT_TRUE(source.m_pManager->Published().empty());
}

TEST(CNotifyEventSender, SecondInitializeFailsAndKeepsTheFirst) {
    CTestSource source;
    CNotifyEventSender sender(&source);
    ASSERT_TRUE(sender.InitializeInternal());
    EXPECT_FALSE(sender.InitializeInternal());
    EXPECT_TRUE(
        sender.EnqueueEventInternal(4, u"Gatewarden is enabled", SYSTEMTIME{2026, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_TRUE(WaitForPublished(source, 1));
    EXPECT_EQ(source.m_pManager->ProviderCount(), 1u);
    sender.DestroyInternal();
    EXPECT_EQ(source.m_pManager->ProviderCount(), 0u);
}

TEST(CNotifyEventSender, QueueHoldsOneHundredAndOneWhileNothingSends) {
    CDebugLog log;
    CTestSource source;
    // The thread's set-up fails after Initialize succeeded: nothing drains the queue.
    source.m_bFailEventFactory = true;
    CNotifyEventSender sender(&source);
    ASSERT_TRUE(sender.InitializeInternal());
    const SYSTEMTIME time{2026, 12, 0, 6, 12, 0, 0, 0};
    for (int nIndex = 0; nIndex < 101; ++nIndex) {
        EXPECT_TRUE(sender.EnqueueEventInternal(5, u"hr=0x00000000", time)) << nIndex;
    }
    EXPECT_FALSE(log.Has("Queue full"));
    EXPECT_FALSE(sender.EnqueueEventInternal(6, u"hr=0x80004005", time));
    EXPECT_TRUE(log.Has("CNotifyEventSender::EnqueueEvent - Queue full\r\n"));
    EXPECT_EQ(sender.QueuedCount(), 101u);
    sender.DestroyInternal();
    // The thread has ended now, so its set-up failure is in the log.
    EXPECT_TRUE(
        log.Has("CNotifyEventSender::NotifySenderThread::InitInstance - m_EventFactoryLoader.CreateObject() "
                "failed.\r\n"));
    EXPECT_FALSE(log.Has("Thread did not respond in time"));
    EXPECT_EQ(sender.QueuedCount(), 0u);
}

TEST(CNotifyEventSender, PublishesCodeTimeAndOnlyGivenData) {
    CDebugLog log;
    CTestSource source;
    CNotifyEventSender sender(&source);
    ASSERT_TRUE(sender.InitializeInternal());
    const SYSTEMTIME time{2026, 12, 0, 6, 23, 45, 17, 250};
    EXPECT_TRUE(sender.EnqueueEventInternal(1, nullptr, time));
    EXPECT_TRUE(sender.EnqueueEventInternal(4, u"Gatewarden is enabled", time));
    ASSERT_TRUE(WaitForPublished(source, 2));
    sender.DestroyInternal();
    const auto published = source.m_pManager->Published();
    ASSERT_EQ(published.size(), 2u);
    for (const auto& entry : published) {
        EXPECT_EQ(entry.event.m_nType, KT_EVENT_NOTIFY);
        EXPECT_TRUE(entry.bBroadcast);
        EXPECT_EQ(entry.event.m_Time.wYear, 2026);
        EXPECT_EQ(entry.event.m_Time.wMonth, 12);
        EXPECT_EQ(entry.event.m_Time.wDay, 6);
        EXPECT_EQ(entry.event.m_Time.wHour, 23);
        EXPECT_EQ(entry.event.m_Time.wMinute, 45);
        EXPECT_EQ(entry.event.m_Time.wSecond, 17);
        EXPECT_EQ(entry.event.m_Time.wMilliseconds, 250);
    }
    EXPECT_EQ(published[0].event.m_nCode, 1u);
    EXPECT_FALSE(published[0].event.m_sData.has_value());
    EXPECT_EQ(published[1].event.m_nCode, 4u);
    EXPECT_EQ(published[1].event.m_sData, std::u16string(u"Gatewarden is enabled"));
    EXPECT_TRUE(log.Has("CNotifyEventSender::EnqueueEvent - Sending event: code=1, data=\"\"\r\n"));
    EXPECT_TRUE(log.Has(
        "CNotifyEventSender::EnqueueEvent - Sending event: code=4, data=\"Gatewarden is enabled\"\r\n"));
}

TEST(CNotifyEventSender, BurstQueuedWhileBusyGoesOutInOrder) {
    CTestSource source;
    CNotifyEventSender sender(&source);
    ASSERT_TRUE(sender.InitializeInternal());
    const SYSTEMTIME time{2026, 12, 0, 6, 0, 0, 0, 0};
    platform::ResetEvent(source.m_pManager->m_hGate);
    ASSERT_TRUE(sender.EnqueueEventInternal(100, nullptr, time));
    // The thread now holds the first record inside the stalled event manager.
    for (int nTry = 0; nTry < 200 && sender.QueuedCount() != 0; ++nTry) {
        platform::Sleep(5);
    }
    ASSERT_EQ(sender.QueuedCount(), 0u);
    // Codes of no caller ("ended" would close the run).
    for (DWORD dwCode = 11; dwCode <= 15; ++dwCode) {
        ASSERT_TRUE(sender.EnqueueEventInternal(dwCode, nullptr, time));
    }
    EXPECT_EQ(sender.QueuedCount(), 5u);
    platform::SetEvent(source.m_pManager->m_hGate);
    ASSERT_TRUE(WaitForPublished(source, 6));
    sender.DestroyInternal();
    const auto published = source.m_pManager->Published();
    ASSERT_EQ(published.size(), 6u);
    for (DWORD dwIndex = 0; dwIndex <= 5; ++dwIndex) {
        EXPECT_EQ(published[dwIndex].event.m_nCode, dwIndex == 0 ? 100u : 10 + dwIndex);
    }
}

TEST(CNotifyEventSender, UnsendableNotificationIsLoggedAndDropped) {
    struct Case {
        const char* szName;
        bool bFailNew;
        bool bNoNotifyInterface;
        const char* szLine;
    };
    const Case cases[] = {
        {"no event", true, false,
         "CNotifyEventSender::NotifySenderThread::Run - m_EventManagerHelper.NewEvent() != eNoError "
         "(-1)\r\n"},
        {"no notify interface", false, true,
         "CNotifyEventSender::NotifySenderThread::Run - pNotifyEventPtr == NULL\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CDebugLog log;
        CTestSource source;
        source.m_pEventFactory->m_bFailNew = c.bFailNew;
        source.m_pEventFactory->m_bNoNotifyInterface = c.bNoNotifyInterface;
        CNotifyEventSender sender(&source);
        ASSERT_TRUE(sender.InitializeInternal());
        ASSERT_TRUE(sender.EnqueueEventInternal(7, u"\"a\"(1) accessed protected resource \"b\"",
                                                SYSTEMTIME{2026, 1, 0, 1, 0, 0, 0, 0}));
        const std::string sUnable =
            "CNotifyEventSender::NotifySenderThread::Run - Unable to send event; code=7, "
            "data=\"\"a\"(1) accessed protected resource \"b\"\"\r\n";
        for (int nTry = 0; nTry < 400 && !log.Has(sUnable); ++nTry) {
            platform::Sleep(5);
        }
        sender.DestroyInternal();
        EXPECT_TRUE(log.Has(c.szLine)) << log.Since();
        EXPECT_TRUE(log.Has(sUnable)) << log.Since();
        EXPECT_TRUE(source.m_pManager->Published().empty());
    }
}

TEST(CNotifyEventSender, ThreadStuckInTheEventManagerIsKilled) {
    CDebugLog log;
    CTestSource source;
    CNotifyEventSender sender(&source);
    ASSERT_TRUE(sender.InitializeInternal());
    platform::ResetEvent(source.m_pManager->m_hGate);
    ASSERT_TRUE(
        sender.EnqueueEventInternal(3, u"Gatewarden is disabled", SYSTEMTIME{2026, 1, 0, 1, 0, 0, 0, 0}));
    for (int nTry = 0; nTry < 200 && sender.QueuedCount() != 0; ++nTry) {
        platform::Sleep(5);
    }
    const auto start = std::chrono::steady_clock::now();
    sender.DestroyInternal();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(log.Has("CNotifyEventSender::DestroyInternal - Thread did not respond in time\r\n"))
        << log.Since();
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_FALSE(sender.EnqueueEventInternal(3, nullptr, SYSTEMTIME{2026, 1, 0, 1, 0, 0, 0, 0}));
    platform::SetEvent(source.m_pManager->m_hGate);
}

// Once "ended" (2) is queued, nothing follows it until the next run: not a configuration answer, a
// violation, or a second "ended"; the refusal is logged with what was refused.
TEST(CNotifyEventSender, NothingIsQueuedAfterEnded) {
    const struct {
        DWORD dwCode;
        const char16_t* szData;
        const char* szLine;
    } late[] = {
        {5, u"hr=0x00000000", "Run ended, event refused: code=5, data=\"hr=0x00000000\"\r\n"},
        {8, u"\"a\"(1) accessed protected resource \"b\"",
         "Run ended, event refused: code=8, data=\"\"a\"(1) accessed protected resource \"b\"\"\r\n"},
        {2, nullptr, "Run ended, event refused: code=2, data=\"\"\r\n"},
    };
    CDebugLog log;
    CTestSource source;
    CNotifyEventSender sender(&source);
    ASSERT_TRUE(sender.InitializeInternal());
    const SYSTEMTIME time{2026, 1, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(sender.EnqueueEventInternal(3, u"Gatewarden is disabled", time));
    ASSERT_TRUE(sender.EnqueueEventInternal(CNotifyEventSender::NOTIFY_ENDED, nullptr, time));
    for (const auto& event : late) {
        EXPECT_FALSE(sender.EnqueueEventInternal(event.dwCode, event.szData, time)) << event.dwCode;
        EXPECT_TRUE(log.Has(std::string("CNotifyEventSender::EnqueueEvent - ") + event.szLine))
            << log.Since();
    }
    ASSERT_TRUE(WaitForPublished(source, 2));
    sender.DestroyInternal();
    const auto published = source.m_pManager->Published();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published.back().event.m_nCode, CNotifyEventSender::NOTIFY_ENDED);

    // The next run starts afresh.
    ASSERT_TRUE(sender.InitializeInternal());
    EXPECT_TRUE(sender.EnqueueEventInternal(1, nullptr, time));
    EXPECT_TRUE(WaitForPublished(source, 3));
    sender.DestroyInternal();
}

TEST(CNotifyEventSender, GlobalSenderStampsTheCurrentTime) {
    CDebugLog log;
    EXPECT_FALSE(CNotifyEventSender::EnqueueEvent(2));
    EXPECT_TRUE(log.Has(NOT_INITIALIZED_LINE));
    // The product's sender finds no event library in this root: its thread gives up, the queue stays.
    ASSERT_TRUE(CNotifyEventSender::Initialize());
    EXPECT_FALSE(CNotifyEventSender::Initialize());
    EXPECT_TRUE(CNotifyEventSender::EnqueueEvent(1));
    CNotifyEventSender::Destroy();
    EXPECT_TRUE(
        log.Has("CNotifyEventSender::NotifySenderThread::InitInstance - m_EventFactoryLoader.CreateObject() "
                "failed.\r\n"));
    EXPECT_FALSE(CNotifyEventSender::EnqueueEvent(2));
}

}  // namespace
