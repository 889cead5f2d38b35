// The subscriber's bound on messages read from the driver and not yet handled.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>

#include "channel/channel_subscriber.h"
#include "channel_harness.h"

namespace {

using krelltest::CDebugLog;
using krelltest::CDriverProcess;
using CSubscriberInfo = CKTKChannelSubscriber::CSubscriberInfo;

constexpr DWORD LIMIT = 8;
// What the test sends beyond the bound fits the channel's socket buffer (about 13 chunks), so the
// driver's sends complete while the consumer stalls: the stand-in driver serves its control socket on
// the same thread, and gives a send up after 10 s of waiting.
constexpr DWORD REPORTS = 2 * LIMIT;
// Each channel listener holds a place for the read it waits in.
constexpr DWORD LISTENERS = 2;

class BacklogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pSubscriber->SetBacklogLimit(LIMIT);
        m_pSubscriber->SetBacklogStallCounter(&m_ullStalls);
        ASSERT_TRUE(m_pSubscriber->Initialize());
        ASSERT_EQ(m_Channel.Open(), 0u);
        ASSERT_TRUE(m_pSubscriber->StartListeningForMessages(&m_Channel));
        ASSERT_TRUE(m_Driver.WaitForStatus("chunk", 8096));
        ASSERT_EQ(m_pSubscriber->SubscribeToMessageType(TYPE_GW_VIOLATION, &m_pInfo), S_OK);
    }
    void TearDown() override {
        m_Channel.Close();
        if (m_pInfo != nullptr) {
            m_pSubscriber->Unsubscribe(&m_pInfo);
        }
        m_pSubscriber.reset();
    }
    void SendReports(DWORD dwCount) {
        for (DWORD dwTag = 1; dwTag <= dwCount; ++dwTag) {
            ASSERT_TRUE(m_Driver.Command("send 4 1:dw:" + std::to_string(dwTag)).starts_with("ok"));
        }
    }
    bool WaitForBacklog(DWORD dwBacklog) {
        for (int i = 0; i < 500; ++i) {
            if (m_pSubscriber->Backlog() == dwBacklog) {
                return true;
            }
            platform::Sleep(10);
        }
        return false;
    }

    CDebugLog m_Log;
    CDriverProcess m_Driver;
    CKTUMessageChannel m_Channel{KTU_CHANNEL_DEVICE_NAME};
    std::unique_ptr<CKTKChannelSubscriber> m_pSubscriber = std::make_unique<CKTKChannelSubscriber>();
    CSubscriberInfo* m_pInfo = nullptr;
    std::atomic<ULONGLONG> m_ullStalls{0};
};

TEST_F(BacklogTest, AStalledConsumerHoldsTheDriverBackAndNothingIsLost) {
    SendReports(REPORTS);
    // The consumer takes nothing: the listeners stop at the bound and the rest waits in the channel.
    ASSERT_TRUE(WaitForBacklog(LIMIT));
    platform::Sleep(200);
    EXPECT_EQ(m_pSubscriber->Backlog(), LIMIT);
    EXPECT_GE(m_pSubscriber->BacklogStalls(), 1u);
    EXPECT_EQ(m_ullStalls.load(), m_pSubscriber->BacklogStalls());
    EXPECT_TRUE(m_Log.Has(
        "CKTKChannelSubscriber::CChannelListener::Run - 8 messages not yet handled, reading paused"));

    // Each message handled lets one more in, and every report arrives.
    std::set<DWORD> tags;
    DWORD dwMaxBacklog = 0;
    for (DWORD i = 0; i < REPORTS; ++i) {
        dwMaxBacklog = std::max(dwMaxBacklog, m_pSubscriber->Backlog());
        CKTUMessage* pMsg = nullptr;
        ASSERT_EQ(m_pSubscriber->WaitForKTMessage(m_pInfo, &pMsg, 5000), S_OK) << i;
        DWORD dwTag = 0;
        pMsg->GetPropertyBag()->GetDword(1, &dwTag);
        tags.insert(dwTag);
        EXPECT_EQ(m_pSubscriber->MessageWasHandled(&pMsg), S_OK);
    }
    EXPECT_LE(dwMaxBacklog, LIMIT);
    EXPECT_EQ(tags.size(), REPORTS);
    EXPECT_TRUE(WaitForBacklog(LISTENERS)) << "only the listeners' reads in progress";
    CKTUMessage* pNone = nullptr;
    EXPECT_EQ(m_pSubscriber->WaitForKTMessage(m_pInfo, &pNone, 100), KTK_E_WAIT_TIMEOUT);
}

TEST_F(BacklogTest, DeclinedAndUnwantedMessagesGiveTheirPlaceBack) {
    // Declined by the only subscription, and of a type nobody takes: both destroyed, neither kept.
    SendReports(LIMIT / 2);
    for (DWORD i = 0; i < LIMIT / 2; ++i) {
        CKTUMessage* pMsg = nullptr;
        ASSERT_EQ(m_pSubscriber->WaitForKTMessage(m_pInfo, &pMsg, 5000), S_OK);
        EXPECT_EQ(m_pSubscriber->MessageNotHandled(&pMsg), S_OK);
    }
    for (DWORD i = 0; i < 2 * LIMIT; ++i) {
        ASSERT_TRUE(m_Driver.Command("send 1 1:dw:" + std::to_string(i)).starts_with("ok"));
    }
    EXPECT_TRUE(m_Driver.WaitForStatus("sent", LIMIT / 2 + 2 * LIMIT));
    // Sent is not yet read: the last messages may still be on their way through the listeners.
    for (int i = 0; i < 500 && m_Log.Count("No subscribers for event, type=1") < 2 * LIMIT; ++i) {
        platform::Sleep(10);
    }
    EXPECT_EQ(m_Log.Count("No subscribers for event, type=1"), 2 * LIMIT);
    EXPECT_TRUE(WaitForBacklog(LISTENERS));
}

TEST_F(BacklogTest, TheStopEndsListenersPausedAtTheBound) {
    SendReports(REPORTS);
    ASSERT_TRUE(WaitForBacklog(LIMIT));
    // The channel stays open: only the stop can end the pause (a read would be ended by force after 5 s).
    const DWORD dwStart = platform::GetTickCount();
    m_pSubscriber->Stop();
    EXPECT_LT(platform::GetTickCount() - dwStart, 2000u);
    EXPECT_EQ(m_pSubscriber->ListenerExitCode(0), 0u);
    EXPECT_EQ(m_pSubscriber->ListenerExitCode(1), 0u);
    CKTUMessage* pMsg = nullptr;
    EXPECT_EQ(m_pSubscriber->WaitForKTMessage(m_pInfo, &pMsg, 1000), E_ABORT);
    // A subscription made after the stop does not wait for ever either.
    CSubscriberInfo* pLate = nullptr;
    ASSERT_EQ(m_pSubscriber->SubscribeToMessageType(TYPE_QUERY_MSI, &pLate), S_OK);
    EXPECT_EQ(m_pSubscriber->WaitForKTMessage(pLate, &pMsg, 5000), E_ABORT);
    m_pSubscriber->Unsubscribe(&pLate);
}

}  // namespace
