// The event manager goes away and comes back under the bridge's owners: each finds its connection
// gone, says so once, registers again with the manager that came back, and counts and logs what it
// could not pass on meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "events/event_doubles.h"
#include "events/event_manager_reconnector.h"
#include "events/ktums_event_provider.h"
#include "events/notify_event_sender.h"
#include "events/provider_helper.h"

namespace {

using eventtest::CDebugLog;
using eventtest::CTestSource;

constexpr const char* WHERE = "COwner::Method()";
constexpr SYSTEMTIME TIME{2026, 12, 0, 7, 12, 0, 0, 0};

CComPtr<CEventManagerHelper> Connected(CTestSource& source) {
    CComPtr<CEventManagerHelper> pHelper =
        ConnectEventManager(&source, source.m_pEventFactory.Get(), source.m_pProxyFactory.Get());
    EXPECT_TRUE(pHelper);
    return pHelper;
}

bool WaitUntil(const std::function<bool()>& pfnDone) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pfnDone()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string LostLine(const std::string& sWhere) {
    return sWhere + ": lost the event manager; reconnecting once it is back\r\n";
}

std::string BackLine(const std::string& sWhere, int nDropped, const std::string& sWhat) {
    return sWhere + ": reconnected to the event manager; " + std::to_string(nDropped) + " " + sWhat +
           " dropped while it was away\r\n";
}

// The owner at sWhere said once that it lost the manager and once that it is back with nDropped.
void ExpectLostAndBackOnce(const CDebugLog& log, const std::string& sWhere, int nDropped,
                           const std::string& sWhat) {
    EXPECT_EQ(log.Count(LostLine(sWhere)), 1u) << log.Since();
    EXPECT_EQ(log.Count(BackLine(sWhere, nDropped, sWhat)), 1u) << log.Since();
    EXPECT_EQ(log.Count(sWhere + ": reconnected"), 1u) << log.Since();
}

TEST(CEventManagerReconnector, SaysOnceWhenTheManagerGoesAndOnceWhenItIsBack) {
    CDebugLog log;
    CTestSource source;
    CComPtr<CEventManagerHelper> pHelper = Connected(source);
    // A failed try is not repeated within the test.
    CEventManagerReconnector reconnector(&source, u"COwner::Method()", u"things", DBG_CAT_ALL, 3600000);
    int nTries = 0;
    bool bReconnects = true;
    const auto reconnect = [&] {
        ++nTries;
        if (!bReconnects) {
            return false;
        }
        pHelper = Connected(source);
        return true;
    };

    struct Step {
        const char* szName;
        std::function<void()> pfnBefore;
        bool bConnected;
        int nTries;
    };
    const Step steps[] = {
        {"connected: nothing to do", [] {}, true, 0},
        {"manager gone", [&] { source.StopManager(); }, false, 0},
        {"still gone: no try while its mutex is away", [] {}, false, 0},
        {"back, but the try fails",
         [&] {
             source.StartManager();
             bReconnects = false;
         },
         false, 1},
        {"the failed try waits for its longer interval", [] {}, false, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.szName);
        step.pfnBefore();
        EXPECT_EQ(reconnector.Check(pHelper.Get(), reconnect), step.bConnected);
        EXPECT_EQ(nTries, step.nTries);
        if (!step.bConnected) {
            reconnector.CountDropped();
        }
    }
    EXPECT_EQ(log.Count(LostLine(WHERE)), 1u) << log.Since();
    EXPECT_FALSE(log.Has("reconnected")) << log.Since();

    // A reconnector whose failed tries are retried at once finds the manager back.
    CEventManagerReconnector eager(&source, u"COwner::Method()", u"things", DBG_CAT_ALL, 0);
    source.StopManager();
    EXPECT_FALSE(eager.Check(pHelper.Get(), reconnect));
    eager.CountDropped();
    eager.CountDropped();
    source.StartManager();
    bReconnects = true;
    EXPECT_TRUE(eager.Check(pHelper.Get(), reconnect));
    EXPECT_TRUE(eager.Check(pHelper.Get(), reconnect));
    EXPECT_EQ(log.Count(LostLine(WHERE)), 2u) << log.Since();
    EXPECT_EQ(log.Count(BackLine(WHERE, 2, "things")), 1u) << log.Since();
    EXPECT_EQ(log.Count("reconnected"), 1u) << log.Since();
}

TEST(CEventManagerHelper, ConnectionEndsWithTheManagerAndItsRegistrationsGoQuietly) {
    CTestSource source;
    CComPtr<CEventManagerHelper> pHelper = Connected(source);
    CProviderHelper provider;
    ASSERT_TRUE(provider.Create(pHelper.Get(), false));
    EXPECT_TRUE(pHelper->IsConnected());
    source.StopManager();
    EXPECT_FALSE(pHelper->IsConnected());
    CDebugLog log;
    provider.Release();
    // The registration went with the connection: its proxy is handed back without a call or a failure.
    EXPECT_EQ(pHelper->ProviderCount(), 0u);
    EXPECT_EQ(source.m_pProxyFactory->m_nDeleted, source.m_pProxyFactory->m_nCreated);
    EXPECT_FALSE(log.Has("UnregisterProvider")) << log.Since();
}

TEST(ProductEventBridgeSource, TheEventManagerRunsWhileItsMutexIsHeld) {
    IEventBridgeSource* pSource = ProductEventBridgeSource();
    CDebugLog log;
    EXPECT_FALSE(pSource->IsEventManagerRunning());
    {
        CMutex running;
        ASSERT_TRUE(running.Create(nullptr, false, CEventManagerHelper::RUNNING_MUTEX_NAME, true));
        EXPECT_TRUE(pSource->IsEventManagerRunning());
    }
    EXPECT_FALSE(pSource->IsEventManagerRunning());
    // Asked again and again, so it logs nothing.
    EXPECT_EQ(log.Since(), "");
}

TEST(CKTUMSEventProvider, AnEventAfterTheManagerCameBackRegistersAgainFirst) {
    CDebugLog log;
    CTestSource source;
    CKTUMSEventProvider provider(&source);
    ASSERT_TRUE(provider.Create());
    source.StopManager();
    EXPECT_EQ(provider.SendGatewardenAlert(&TIME, u"C:\\a.exe", 1, 2, u"C:\\t", 3, 1, true),
              CError::eFailure);
    EXPECT_EQ(provider.ForceSettingsRefresh(), CError::eFailure);
    source.StartManager();
    EXPECT_EQ(provider.ForceSettingsRefresh(), CError::eNoError);
    EXPECT_EQ(source.m_pManager->ProviderCount(), 1u);
    const auto published = source.m_pManager->Published();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].event.m_nType, KT_EVENT_SETTINGS_REFRESH);
    EXPECT_EQ(published[0].nProviderId, provider.ProviderId());
    ExpectLostAndBackOnce(log, "CKTUMSEventProvider::CheckConnection()", 2, "events");
    provider.Destroy();
    EXPECT_EQ(source.m_pManager->ProviderCount(), 0u);
}

// A sender registered with the event manager double, which the tests stop and start again.
class SenderAcrossARestart : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Sender.InitializeInternal());
        ASSERT_TRUE(WaitUntil([&] { return m_Source.m_pManager->ProviderCount() == 1; }));
    }

    CDebugLog m_Log;
    CTestSource m_Source;
    CNotifyEventSender m_Sender{&m_Source};
};

// The event manager dies while the sender thread is inside its call with the first of a burst: that
// one fails, the rest are dropped without calling the dead connection, each logged with its code and
// counted; the next notification after the manager's return goes out through a new registration.
TEST_F(SenderAcrossARestart, BurstCutByTheEventManagersDeathIsLoggedCountedAndDropped) {
    platform::ResetEvent(m_Source.m_pManager->m_hGate);
    ASSERT_TRUE(m_Sender.EnqueueEventInternal(10, u"first", TIME));
    ASSERT_TRUE(WaitUntil([&] { return m_Sender.QueuedCount() == 0; }));
    for (DWORD dwCode = 11; dwCode <= 14; ++dwCode) {
        ASSERT_TRUE(m_Sender.EnqueueEventInternal(dwCode, nullptr, TIME));
    }
    m_Source.StopManager();
    platform::SetEvent(m_Source.m_pManager->m_hGate);
    ASSERT_TRUE(WaitUntil([&] { return m_Log.Has("Unable to send event; code=14,"); })) << m_Log.Since();
    for (DWORD dwCode = 10; dwCode <= 14; ++dwCode) {
        EXPECT_EQ(m_Log.Count("Unable to send event; code=" + std::to_string(dwCode) + ","), 1u) << dwCode;
    }
    // Only the first reached the dead connection.
    EXPECT_EQ(m_Log.Count("m_ProviderHelper.CreateEvent() != eNoError"), 1u) << m_Log.Since();
    EXPECT_TRUE(m_Source.m_pManager->Published().empty());

    m_Source.StartManager();
    ASSERT_TRUE(m_Sender.EnqueueEventInternal(5, u"hr=0x00000000", TIME));
    ASSERT_TRUE(WaitUntil([&] { return m_Source.m_pManager->Published().size() == 1; }));
    EXPECT_EQ(m_Source.m_pManager->Published()[0].event.m_nCode, 5u);
    EXPECT_EQ(m_Source.m_pManager->ProviderCount(), 1u);
    ExpectLostAndBackOnce(m_Log, "CNotifyEventSender::NotifySenderThread::CheckConnection()", 5,
                          "notifications");
    m_Sender.DestroyInternal();
    EXPECT_EQ(m_Source.m_pManager->ProviderCount(), 0u);
}

// A notification queued while the manager is away is dropped without a call, and the sender keeps
// draining its queue.
TEST_F(SenderAcrossARestart, WhileTheManagerIsAwayNotificationsAreDroppedWithoutCalls) {
    m_Source.StopManager();
    for (DWORD dwCode = 11; dwCode <= 13; ++dwCode) {
        ASSERT_TRUE(m_Sender.EnqueueEventInternal(dwCode, u"x", TIME));
        ASSERT_TRUE(WaitUntil([&] {
            return m_Log.Has("Unable to send event; code=" + std::to_string(dwCode) + ", data=\"x\"");
        })) << m_Log.Since();
    }
    EXPECT_EQ(m_Sender.QueuedCount(), 0u);
    EXPECT_FALSE(m_Log.Has("CreateEvent")) << m_Log.Since();
    EXPECT_EQ(m_Log.Count(LostLine("CNotifyEventSender::NotifySenderThread::CheckConnection()")), 1u);
    m_Sender.DestroyInternal();
}

}  // namespace
