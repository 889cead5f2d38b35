// The channel subscriber with its two listeners, fed by the stand-in driver.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "channel/channel_subscriber.h"
#include "channel_harness.h"

namespace {

using krelltest::CDebugLog;
using krelltest::CDriverProcess;
using CSubscriberInfo = CKTKChannelSubscriber::CSubscriberInfo;

DWORD Tag(CKTUMessage* pMsg) {
    DWORD dw = 0xFFFFFFFF;
    pMsg->GetPropertyBag()->GetDword(1, &dw);
    return dw;
}

class SubscriberTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pSubscriber->Initialize());
        ASSERT_EQ(m_Channel.Open(), 0u);
        ASSERT_TRUE(m_pSubscriber->StartListeningForMessages(&m_Channel));
        ASSERT_TRUE(m_Driver.WaitForStatus("chunk", 8096));
    }
    void TearDown() override {
        m_Channel.Close();
        m_pSubscriber.reset();
    }
    void Send(DWORD dwType, DWORD dwTag) {
        ASSERT_TRUE(m_Driver.Command("send " + std::to_string(dwType) + " 1:dw:" + std::to_string(dwTag))
                        .starts_with("ok"));
    }
    // Takes a message and returns its tag (0xFFFFFFFF for none), leaving it with the caller in *ppMsg.
    DWORD Take(CSubscriberInfo* pInfo, CKTUMessage** ppMsg, DWORD dwTimeout = 5000) {
        *ppMsg = nullptr;
        if (m_pSubscriber->WaitForKTMessage(pInfo, ppMsg, dwTimeout) != S_OK) {
            return 0xFFFFFFFF;
        }
        return Tag(*ppMsg);
    }

    CDebugLog m_Log;
    CDriverProcess m_Driver;
    CKTUMessageChannel m_Channel{KTU_CHANNEL_DEVICE_NAME};
    std::unique_ptr<CKTKChannelSubscriber> m_pSubscriber = std::make_unique<CKTKChannelSubscriber>();
};

TEST_F(SubscriberTest, EarlierSubscriptionFirstThenDeclinedToTheNextThenDestroyed) {
    CSubscriberInfo* pFirst = nullptr;
    CSubscriberInfo* pSecond = nullptr;
    ASSERT_EQ(m_pSubscriber->SubscribeToMessageType(TYPE_GW_VIOLATION, &pFirst), S_OK);
    ASSERT_EQ(m_pSubscriber->SubscribeToMessageType(TYPE_GW_VIOLATION, &pSecond), S_OK);
    // Two listeners may hand over messages sent back to back in either order: one at a time here.
    Send(TYPE_GW_VIOLATION, 1);
    CKTUMessage* pMsg = nullptr;
    EXPECT_EQ(Take(pFirst, &pMsg), 1u);
    Send(TYPE_GW_VIOLATION, 2);
    Send(TYPE_GW_VIOLATION, 3);
    // Queued behind the first subscription while it is busy: the second sees nothing.
    CKTUMessage* pNone = nullptr;
    EXPECT_EQ(m_pSubscriber->WaitForKTMessage(pSecond, &pNone, 200), KTK_E_WAIT_TIMEOUT);
    EXPECT_EQ(m_pSubscriber->MessageNotHandled(&pMsg), S_OK);
    CKTUMessage* pDeclined = nullptr;
    EXPECT_EQ(Take(pSecond, &pDeclined), 1u);
    EXPECT_EQ(m_pSubscriber->MessageNotHandled(&pDeclined), S_OK);
    EXPECT_EQ(pDeclined, nullptr) << "destroyed when the last subscription declines";
    EXPECT_EQ(
        m_Log.Count("CKTKChannelSubscriber::MessageNotHandled - Deleting unhandled KT message (type=4)"), 1u);
    EXPECT_EQ(m_pSubscriber->MessageWasHandled(&pDeclined), E_INVALIDARG);

    // Two queued: the first at once, the second on the next call without waiting.
    ASSERT_TRUE(m_Driver.WaitForStatus("sent", 3));
    platform::Sleep(100);
    const DWORD dwStart = platform::GetTickCount();
    const DWORD dwFirstTag = Take(pFirst, &pMsg, 0);
    EXPECT_EQ(m_pSubscriber->MessageWasHandled(&pMsg), S_OK);
    EXPECT_EQ(pMsg, nullptr);
    const DWORD dwSecondTag = Take(pFirst, &pMsg, 0);
    EXPECT_LT(platform::GetTickCount() - dwStart, 100u);
    EXPECT_EQ(dwFirstTag + dwSecondTag, 5u);
    EXPECT_NE(dwFirstTag, dwSecondTag);
    EXPECT_EQ(m_pSubscriber->MessageWasHandled(&pMsg), S_OK);
    m_pSubscriber->Unsubscribe(&pFirst);
    m_pSubscriber->Unsubscribe(&pSecond);
    EXPECT_EQ(pFirst, nullptr);
}

TEST_F(SubscriberTest, UnsubscribedTypesAndTimeouts) {
    Send(TYPE_GW_SETTINGS, 1);
    CSubscriberInfo* pInfo = nullptr;
    ASSERT_EQ(m_pSubscriber->SubscribeToMessageType(TYPE_GW_ACTIVATION, &pInfo), S_OK);
    for (int i = 0; i < 200 && m_Log.Count("No subscribers for event, type=1") == 0; ++i) {
        platform::Sleep(10);
    }
    EXPECT_EQ(m_Log.Count("CKTKChannelSubscriber::CChannelListener::Run - No subscribers for event, type=1"),
              1u);
    CKTUMessage* pMsg = nullptr;
    const DWORD dwStart = platform::GetTickCount();
    EXPECT_EQ(m_pSubscriber->WaitForKTMessage(pInfo, &pMsg, 300), KTK_E_WAIT_TIMEOUT);
    EXPECT_GE(platform::GetTickCount() - dwStart, 290u);
    EXPECT_EQ(m_Log.Count("CKTKChannelSubscriber::CSubscriberInfo::Wait - Wait timed out"), 1u);
    EXPECT_EQ(m_pSubscriber->WaitForKTMessage(nullptr, &pMsg, 0), E_INVALIDARG);
    EXPECT_EQ(m_Log.Count("CKTKChannelSubscriber::WaitForKTMessage - pSubscriber==NULL"), 1u);
    CKTUMessage* pStranger = CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_VIOLATION);
    EXPECT_EQ(m_pSubscriber->MessageNotHandled(&pStranger), E_INVALIDARG);
    EXPECT_EQ(m_Log.Count("CKTKChannelSubscriber::MessageNotHandled - pMsg not known"), 1u);
    CKTUMessageChannel::DestroyKTMessage(pStranger);
    m_pSubscriber->Unsubscribe(&pInfo);
}

TEST_F(SubscriberTest, UnsubscribePassesQueuedMessagesOn) {
    CSubscriberInfo* pFirst = nullptr;
    CSubscriberInfo* pSecond = nullptr;
    m_pSubscriber->SubscribeToMessageType(TYPE_QUERY_MSI, &pFirst);
    m_pSubscriber->SubscribeToMessageType(TYPE_QUERY_MSI, &pSecond);
    Send(TYPE_QUERY_MSI, 10);
    CKTUMessage* pHeld = nullptr;
    EXPECT_EQ(Take(pFirst, &pHeld), 10u);
    Send(TYPE_QUERY_MSI, 11);
    Send(TYPE_QUERY_MSI, 12);
    ASSERT_TRUE(m_Driver.WaitForStatus("sent", 3));
    platform::Sleep(100);
    m_pSubscriber->Unsubscribe(&pFirst);
    CKTUMessage* pMsg = nullptr;
    std::set<DWORD> passedOn;
    for (int i = 0; i < 2; ++i) {
        passedOn.insert(Take(pSecond, &pMsg, 0));
        m_pSubscriber->MessageWasHandled(&pMsg);
    }
    EXPECT_EQ(passedOn, (std::set<DWORD>{11, 12}));
    // The message held across the unsubscribe is still its taker's to decline: it goes to the next.
    EXPECT_EQ(m_pSubscriber->MessageNotHandled(&pHeld), S_OK);
    EXPECT_EQ(Take(pSecond, &pMsg), 10u);
    m_pSubscriber->MessageWasHandled(&pMsg);
    m_pSubscriber->Unsubscribe(&pSecond);
}

TEST_F(SubscriberTest, ClosingTheChannelEndsBothListenersInOrder) {
    CDebugLog log;
    m_Channel.Close();
    for (int i = 0; i < 500 && (m_pSubscriber->ListenerExitCode(0) == platform::STILL_ACTIVE ||
                                m_pSubscriber->ListenerExitCode(1) == platform::STILL_ACTIVE);
         ++i) {
        platform::Sleep(10);
    }
    EXPECT_EQ(m_pSubscriber->ListenerExitCode(0), 0u);
    EXPECT_EQ(m_pSubscriber->ListenerExitCode(1), 0u);
    EXPECT_EQ(log.Count("CKTK"), 0u) << log.Since();
    EXPECT_EQ(log.Count("CKTU"), 0u) << log.Since();
}

TEST_F(SubscriberTest, ReceiveFailureEndsAListenerWithItsLine) {
    ASSERT_TRUE(m_Driver.Command("send 9 1:dw:1").starts_with("ok"));
    for (int i = 0; i < 500 && m_Log.Count("Could not receive message (status = 1)") == 0; ++i) {
        platform::Sleep(10);
    }
    EXPECT_EQ(
        m_Log.Count("CKTKChannelSubscriber::CChannelListener::Run - Could not receive message (status = 1)"),
        1u);
    // The other listener goes on.
    CSubscriberInfo* pInfo = nullptr;
    m_pSubscriber->SubscribeToMessageType(TYPE_GW_VIOLATION, &pInfo);
    Send(TYPE_GW_VIOLATION, 5);
    CKTUMessage* pMsg = nullptr;
    EXPECT_EQ(Take(pInfo, &pMsg), 5u);
    m_pSubscriber->MessageWasHandled(&pMsg);
    m_pSubscriber->Unsubscribe(&pInfo);
}

TEST_F(SubscriberTest, DestructionAbortsWaitsAndReportsRemainingSubscriptions) {
    CSubscriberInfo* pWaited = nullptr;
    CSubscriberInfo* pQueued = nullptr;
    m_pSubscriber->SubscribeToMessageType(TYPE_GW_ACTIVATION, &pWaited);
    m_pSubscriber->SubscribeToMessageType(TYPE_GW_VIOLATION, &pQueued);
    Send(TYPE_GW_VIOLATION, 1);  // left queued: destroyed by the abort
    ASSERT_TRUE(m_Driver.WaitForStatus("sent", 1));
    platform::Sleep(100);
    HRESULT hrWait = S_OK;
    std::atomic<bool> bWaiting{false};
    CKTKChannelSubscriber* pSubscriber = m_pSubscriber.get();
    std::thread waiter([&] {
        CKTUMessage* pMsg = nullptr;
        bWaiting = true;
        hrWait = pSubscriber->WaitForKTMessage(pWaited, &pMsg, INFINITE);
        // A second wait on an aborted subscription does not block.
        EXPECT_EQ(pSubscriber->WaitForKTMessage(pWaited, &pMsg, INFINITE), E_ABORT);
        pSubscriber->Unsubscribe(&pWaited);
    });
    while (!bWaiting) {
        platform::Sleep(1);
    }
    platform::Sleep(50);
    m_Channel.Close();
    const DWORD dwStart = platform::GetTickCount();
    delete m_pSubscriber.release();
    const DWORD dwElapsed = platform::GetTickCount() - dwStart;
    waiter.join();
    EXPECT_EQ(hrWait, E_ABORT);
    EXPECT_GE(dwElapsed, 990u) << "waits a second for the subscription that is never given up";
    EXPECT_EQ(m_Log.Count("CKTKChannelSubscriber::~CKTKChannelSubscriber - Not all subscribers have "
                          "unregistered from events"),
              1u);
}

// Without closing the channel first, the listeners are ended by force while they wait in a read; the
// device forgets their transfers, so nothing is written into their freed chunks.
TEST_F(SubscriberTest, ListenersEndBeforeTheSubscriberIsDestroyedEvenIfBlocked) {
    const DWORD dwStart = platform::GetTickCount();
    m_pSubscriber.reset();
    EXPECT_GE(platform::GetTickCount() - dwStart, 4900u);
    // Chunks arriving afterwards must not land anywhere.
    Send(TYPE_GW_VIOLATION, 1);
    Send(TYPE_GW_VIOLATION, 2);
    platform::Sleep(100);
    EXPECT_EQ(m_Channel.Close(), 0u);
}

// Many senders, two listeners, subscriptions coming and going while messages are delivered: every
// message is taken exactly once or destroyed, and no delivery reaches a record that was given up.
TEST_F(SubscriberTest, ConcurrentSendersListenersAndSubscriptionChurn) {
    ASSERT_EQ(m_Driver.Command("echo on"), "ok");
    constexpr int SENDERS = 3;
    constexpr int PER_SENDER = 60;
    CSubscriberInfo* pSteady = nullptr;
    ASSERT_EQ(m_pSubscriber->SubscribeToMessageType(TYPE_GW_VIOLATION, &pSteady), S_OK);
    std::atomic<bool> bStop{false};
    std::atomic<int> nChurned{0};
    std::thread churn([&] {
        while (!bStop) {
            CSubscriberInfo* pInfo = nullptr;
            // Subscribed in front of nothing (it comes after pSteady), so it only sees declined messages.
            if (m_pSubscriber->SubscribeToMessageType(TYPE_GW_VIOLATION, &pInfo) == S_OK) {
                CKTUMessage* pMsg = nullptr;
                if (m_pSubscriber->WaitForKTMessage(pInfo, &pMsg, 1) == S_OK) {
                    ++nChurned;
                    m_pSubscriber->MessageNotHandled(&pMsg);
                }
                m_pSubscriber->Unsubscribe(&pInfo);
            }
        }
    });
    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < PER_SENDER; ++i) {
                auto* pMsg = static_cast<CKTUViolationMessage*>(
                    CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_VIOLATION));
                pMsg->SetActorPID(static_cast<DWORD>(s * 1000 + i));
                // Every fifth message is fragmented, so fragments of the two listeners interleave.
                if (i % 5 == 0) {
                    pMsg->SetTargetPath(std::u16string(9000, u't').c_str());
                }
                ASSERT_EQ(m_Channel.SendKTMessage(pMsg), 0u);
            }
        });
    }
    std::multiset<DWORD> taken;
    int nDeclined = 0;
    while (taken.size() < SENDERS * PER_SENDER) {
        CKTUMessage* pMsg = nullptr;
        const HRESULT hr = m_pSubscriber->WaitForKTMessage(pSteady, &pMsg, 10000);
        ASSERT_EQ(hr, S_OK) << taken.size() << " messages taken";
        DWORD dwPid = 0;
        static_cast<CKTUViolationMessage*>(pMsg)->GetActorPID(&dwPid);
        // Decline a few: they reach a churning subscription or are destroyed, never a freed record.
        if (dwPid % 7 == 0 && nDeclined < 20 && taken.count(dwPid) == 0) {
            ++nDeclined;
            m_pSubscriber->MessageNotHandled(&pMsg);
            taken.insert(dwPid);
            continue;
        }
        taken.insert(dwPid);
        ASSERT_EQ(m_pSubscriber->MessageWasHandled(&pMsg), S_OK);
    }
    for (auto& sender : senders) {
        sender.join();
    }
    bStop = true;
    churn.join();
    for (int s = 0; s < SENDERS; ++s) {
        for (int i = 0; i < PER_SENDER; ++i) {
            EXPECT_EQ(taken.count(static_cast<DWORD>(s * 1000 + i)), 1u) << s << "/" << i;
        }
    }
    m_pSubscriber->Unsubscribe(&pSteady);
}

}  // namespace
