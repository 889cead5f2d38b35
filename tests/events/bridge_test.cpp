#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "events/event_doubles.h"
#include "events/ktums_event_provider.h"
#include "events/provider_helper.h"
#include "events/subscriber_helper.h"
#include "events/variant_array.h"
#include "platform/paths.h"
#include "platform/thread.h"
#include "support/test_root.h"

namespace {

using eventtest::AsTest;
using eventtest::CDebugLog;
using eventtest::CTestEventManager;
using eventtest::CTestSource;

// A helper connected to the doubles of a source.
CComPtr<CEventManagerHelper> Connected(CTestSource& source) {
    auto pHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
    EXPECT_TRUE(source.ConnectEventManager(pHelper.Get(), source.m_pEventFactory.Get(),
                                           source.m_pProxyFactory.Get()));
    return pHelper;
}

TEST(CVariantArray, WriteHoldsOneI4VariantPerValue) {
    const LONG values[] = {KT_EVENT_STATE_CREATED, KT_EVENT_STATE_COMMITTED, -7};
    CVariantArray array;
    ASSERT_TRUE(array.Write(values, 3));
    ASSERT_NE(array.Get(), nullptr);
    ASSERT_EQ(array.Get()->rgsabound[0].cElements, 3u);
    for (LONG nIndex = 0; nIndex < 3; ++nIndex) {
        VARIANT value{};
        ASSERT_GE(platform::SafeArrayGetElement(array.Get(), &nIndex, &value), 0);
        EXPECT_EQ(value.vt, VT_I4);
        EXPECT_EQ(value.lVal, values[nIndex]);
    }
    ASSERT_TRUE(array.Write(values, 1));
    EXPECT_EQ(array.Get()->rgsabound[0].cElements, 1u);
    EXPECT_FALSE(array.Write(nullptr, 2));
    EXPECT_EQ(array.Get(), nullptr);
}

TEST(CEventManagerHelper, CreateRefusesWithoutTheRunningMutex) {
    CDebugLog log;
    auto pHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
    EXPECT_FALSE(CEventManagerHelper::IsEventManagerActive());
    EXPECT_FALSE(pHelper->Create(nullptr, nullptr));
    EXPECT_TRUE(log.Has("CEventManagerHelper::IsEventManagerActive() : runningMutex.Open() == FALSE, 0x"))
        << log.Since();
    EXPECT_TRUE(log.Has("CEventManagerHelper::Create() : IsEventManagerActive() == FALSE\r\n"))
        << log.Since();
    EXPECT_FALSE(log.Has("CreateInstance")) << log.Since();
}

TEST(CEventManagerHelper, CreateReportsAnUnregisteredEventManagerClass) {
    CDebugLog log;
    CMutex running;
    ASSERT_TRUE(running.Create(nullptr, false, CEventManagerHelper::RUNNING_MUTEX_NAME, true));
    EXPECT_TRUE(CEventManagerHelper::IsEventManagerActive());
    auto pHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
    EXPECT_FALSE(pHelper->Create(nullptr, nullptr));
    EXPECT_TRUE(
        log.Has("CEventManagerHelper::Create() : m_piEventManager.CreateInstance() != S_OK, 0x80040154\r\n"))
        << log.Since();
}

// Registers the test library as the event manager's in-process server, as the stand-in's set-up
// registers its handler.
void RegisterTestEventManager() {
    CRegistryKey reg;
    const std::u16string sKey =
        u"CLSID\\" + platform::GuidToString(CLSID_KTEventManager) + u"\\InprocServer32";
    ASSERT_TRUE(reg.Create(HKEY_CLASSES_ROOT, sKey.c_str()));
    ASSERT_TRUE(reg.SetString(
        nullptr, platform::WindowsPathOf(krelltest::TestBinary("TestEventManager.dll")).c_str()));
}

TEST(CEventManagerHelper, CreateActivatesAndRunsTheRegisteredEventManager) {
    CDebugLog log;
    CMutex running;
    ASSERT_TRUE(running.Create(nullptr, false, CEventManagerHelper::RUNNING_MUTEX_NAME, true));
    RegisterTestEventManager();
    CTestSource source;
    auto pHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
    ASSERT_TRUE(pHelper->Create(source.m_pEventFactory.Get(), source.m_pProxyFactory.Get()));
    // The library's object answers only once it has been run.
    CProviderHelper provider;
    ASSERT_TRUE(provider.Create(pHelper.Get(), false));
    EXPECT_EQ(provider.ProviderId(), 77);

    setenv("KRELL_TEST_EVENT_MANAGER_RUN", "fail", 1);
    auto pRefused = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
    EXPECT_FALSE(pRefused->Create(source.m_pEventFactory.Get(), source.m_pProxyFactory.Get()));
    unsetenv("KRELL_TEST_EVENT_MANAGER_RUN");
    EXPECT_TRUE(
        log.Has("CEventManagerHelper::Create() : m_piEventManager.CreateInstance() != S_OK, 0x80040009\r\n"))
        << log.Since();
}

struct RegisterFailureCase {
    const char* szName;
    bool bProxyFactoryFails;
    HRESULT hrManager;
    bool bManagerError;
    const char* szLine;
    int nProxiesCreated;
};

TEST(CEventManagerHelper, FailingProviderRegistrationHandsTheProxyBack) {
    const RegisterFailureCase cases[] = {
        {"no proxy", true, S_OK, false,
         "CEventManagerHelper::RegisterProvider() : m_pProxyFactory->CreateProviderProxy() != "
         "CError::eNoError",
         0},
        {"event manager error", false, S_OK, true,
         "CEventManagerHelper::RegisterProvider() : m_piEventManager->RegisterProvider() != CError::eNoError",
         1},
        {"event manager HRESULT", false, E_FAIL, false,
         "CEventManagerHelper::RegisterProvider() : m_piEventManager->RegisterProvider() != S_OK, 0x80004005",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CDebugLog log;
        CTestSource source;
        auto pHelper = Connected(source);
        source.m_pProxyFactory->m_bFail = c.bProxyFactoryFails;
        source.m_pManager->m_hrFail = c.hrManager;
        source.m_pManager->m_bErrorFail = c.bManagerError;
        CProviderHelper provider;
        EXPECT_FALSE(provider.Create(pHelper.Get(), false));
        EXPECT_TRUE(log.Has(c.szLine)) << log.Since();
        EXPECT_TRUE(log.Has(
            "CProviderHelper::Create() : pEventManagerHelper->RegisterProvider() != CError::eNoError"));
        EXPECT_EQ(source.m_pProxyFactory->m_nCreated, c.nProxiesCreated);
        EXPECT_EQ(source.m_pProxyFactory->m_nDeleted, c.nProxiesCreated);
        EXPECT_EQ(pHelper->ProviderCount(), 0u);
        EXPECT_EQ(provider.ProviderId(), 0);
    }
}

TEST(CEventManagerHelper, RegistrationsEndWithTheirProxiesDeleted) {
    CDebugLog log;
    CTestSource source;
    auto pHelper = Connected(source);
    {
        CProviderHelper provider;
        ASSERT_TRUE(provider.Create(pHelper.Get(), false));
        EXPECT_EQ(pHelper->ProviderCount(), 1u);
        EXPECT_EQ(source.m_pManager->ProviderCount(), 1u);
        EXPECT_TRUE(
            log.Has("CEventManagerHelper::RegisterProvider() : Exit : m_piEventManager->RegisterProvider(), "
                    "nProviderId : " +
                    std::to_string(provider.ProviderId())));
    }
    EXPECT_EQ(pHelper->ProviderCount(), 0u);
    EXPECT_EQ(source.m_pManager->ProviderCount(), 0u);
    EXPECT_EQ(source.m_pProxyFactory->m_nDeleted, source.m_pProxyFactory->m_nCreated);
    EXPECT_TRUE(log.Has(
        "CEventManagerHelper::UnregisterProvider() : Enter : m_piEventManager->UnregisterProvider()"));
}

TEST(CEventManagerHelper, TransportedFormIsFreedOnEveryPath) {
    CDebugLog log;
    CTestSource source;
    auto pHelper = Connected(source);
    CComPtr<IKTEvent> pEvent;
    ASSERT_EQ(pHelper->NewEvent(KT_EVENT_NOTIFY, &pEvent), CError::eNoError);
    LONG nEventId = 0;
    EXPECT_EQ(pHelper->CreateEvent(3, pEvent.Get(), true, &nEventId), CError::eNoError);
    EXPECT_EQ(pHelper->CommitEvent(4, pEvent.Get()), CError::eNoError);
    EXPECT_EQ(source.m_pEventFactory->m_nTransportedHeld, 0);
    ASSERT_EQ(source.m_pManager->Published().size(), 1u);
    EXPECT_TRUE(source.m_pManager->Published()[0].bBroadcast);
    EXPECT_EQ(source.m_pManager->Published()[0].nProviderId, 3);

    source.m_pEventFactory->m_bFailTransport = true;
    EXPECT_EQ(pHelper->CreateEvent(3, pEvent.Get(), true, &nEventId), CError::eFailure);
    EXPECT_TRUE(log.Has("CEventManagerHelper::CreateEvent() : CopyEvent() != CError::eNoError"));
    EXPECT_EQ(source.m_pManager->Published().size(), 1u);
}

TEST(CEventManagerHelper, EventOperationsWithoutAFactoryFail) {
    CDebugLog log;
    auto pHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
    IKTEvent* pEvent = nullptr;
    EXPECT_EQ(pHelper->NewEvent(KT_EVENT_NOTIFY, &pEvent), CError::eFailure);
    EXPECT_EQ(pEvent, nullptr);
    EXPECT_TRUE(log.Has("CEventManagerHelper::NewEvent() : m_pEventFactory == NULL\r\n"));
    LONG nId = 0;
    CProviderHelper provider;
    EXPECT_FALSE(provider.Create(pHelper.Get(), false));
    EXPECT_TRUE(log.Has("CEventManagerHelper::RegisterProvider() : m_piEventManager == NULL\r\n"));
    EXPECT_EQ(provider.CreateEvent(nullptr, true, &nId), CError::eFailure);
    EXPECT_TRUE(log.Has("CProviderHelper::CreateEvent() : m_pEventManagerHelper == NULL\r\n"));
}

// A provider in waiting mode with the doubles behind it.
struct WaitingProvider {
    WaitingProvider() : pHelper(Connected(source)) { EXPECT_TRUE(provider.Create(pHelper.Get(), true)); }
    ~WaitingProvider() { source.m_pManager->JoinThreads(); }

    // *ppReturned: the answer, the caller's to release.
    LONG Create(DWORD dwTimeout, HANDLE hCancel, IKTEvent** ppReturned, LONG* pnEventId) {
        CComPtr<IKTEvent> pEvent;
        EXPECT_EQ(pHelper->NewEvent(KT_EVENT_CONFIG_CHANGE, &pEvent), CError::eNoError);
        return provider.CreateEvent(pEvent.Get(), false, pnEventId, hCancel, dwTimeout, false, ppReturned);
    }

    CTestSource source;
    CComPtr<CEventManagerHelper> pHelper;
    CProviderHelper provider;
};

struct AnswerCase {
    const char* szName;
    CTestEventManager::eAnswer eAnswer;
    DWORD dwAnswerDelayMs;
    DWORD dwTimeout;
    LONG nResult;
    bool bTimeoutLine;
};

TEST(CProviderHelper, AnswerBeforeDuringOrAfterTheWait) {
    const AnswerCase cases[] = {
        {"before the record", CTestEventManager::ANSWER_BEFORE_RETURN, 0, 5000, CError::eNoError, false},
        {"during the wait", CTestEventManager::ANSWER_LATER, 100, 5000, CError::eNoError, false},
        {"after the wait timed out", CTestEventManager::ANSWER_LATER, 1000, 50, CError::eFailure, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CDebugLog log;
        WaitingProvider waiting;
        waiting.source.m_pManager->m_eAnswer = c.eAnswer;
        waiting.source.m_pManager->m_dwAnswerDelayMs = c.dwAnswerDelayMs;
        CComPtr<IKTEvent> pReturned;
        LONG nEventId = 0;
        EXPECT_EQ(waiting.Create(c.dwTimeout, nullptr, &pReturned, &nEventId), c.nResult);
        if (c.nResult == CError::eNoError) {
            ASSERT_TRUE(pReturned);
            EXPECT_EQ(AsTest(pReturned.Get())->m_nId, nEventId);
            EXPECT_EQ(AsTest(pReturned.Get())->m_nCode, CTestEventManager::ANSWER_CODE);
        } else {
            EXPECT_FALSE(pReturned);
        }
        EXPECT_EQ(log.Has("CProviderHelper::CreateEvent() : m_hOnEvent.Lock() == FALSE"), c.bTimeoutLine);
        waiting.source.m_pManager->JoinThreads();
        EXPECT_EQ(waiting.source.m_pManager->m_nAnswers, 1);
        // A late answer finds its abandoned record and takes it away without keeping a copy.
        EXPECT_EQ(waiting.provider.PendingCount(), 0u);
        EXPECT_EQ(waiting.source.m_pEventFactory->m_nCopies, c.nResult == CError::eNoError ? 1 : 0);
    }
}

TEST(CProviderHelper, CancelledWaitDropsTheLateAnswer) {
    WaitingProvider waiting;
    const HANDLE hCancel = platform::CreateEvent(true, true, nullptr);
    CComPtr<IKTEvent> pReturned;
    LONG nEventId = 0;
    EXPECT_EQ(waiting.Create(INFINITE, hCancel, &pReturned, &nEventId), CError::eFailure);
    EXPECT_FALSE(pReturned);
    EXPECT_EQ(waiting.provider.PendingCount(), 1u);
    waiting.source.m_pManager->Answer(waiting.provider.ProviderId(), nEventId);
    EXPECT_EQ(waiting.source.m_pEventFactory->m_nCopies, 0);
    EXPECT_EQ(waiting.provider.PendingCount(), 0u);
    platform::CloseHandle(hCancel);
}

TEST(CProviderHelper, DestroyWhileWaitingReleasesTheWaiterAtOnce) {
    WaitingProvider waiting;
    LONG nResult = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread waiter([&] {
        CComPtr<IKTEvent> pReturned;
        LONG nEventId = 0;
        nResult = waiting.Create(30000, nullptr, &pReturned, &nEventId);
    });
    while (waiting.source.m_pManager->Published().empty()) {
        platform::Sleep(5);
    }
    platform::Sleep(50);
    waiting.provider.Release();
    waiter.join();
    EXPECT_EQ(nResult, CError::eFailure);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(waiting.source.m_pManager->ProviderCount(), 0u);
    EXPECT_EQ(waiting.provider.PendingCount(), 0u);
}

// A waiter ended by force (its owner's last resort at a stop) leaves no registration behind: the
// helper can still be released, and the late answer finds an abandoned record.
TEST(CProviderHelper, WaiterEndedByForceLeavesNothingBehind) {
    WaitingProvider waiting;
    const HANDLE hThread = platform::CreateThread(
        0,
        [](void* pv) -> DWORD {
            CComPtr<IKTEvent> pReturned;
            LONG nEventId = 0;
            return static_cast<DWORD>(
                static_cast<WaitingProvider*>(pv)->Create(INFINITE, nullptr, &pReturned, &nEventId));
        },
        &waiting, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    // The record is filed together with the waiter.
    while (waiting.provider.PendingCount() == 0) {
        platform::Sleep(5);
    }
    ASSERT_TRUE(platform::TerminateThread(hThread, 7));
    ASSERT_EQ(platform::WaitForSingleObject(hThread, 20000), WAIT_OBJECT_0);
    platform::CloseHandle(hThread);

    waiting.source.m_pManager->Answer(waiting.provider.ProviderId(),
                                      waiting.source.m_pManager->Published().front().nEventId);
    EXPECT_EQ(waiting.source.m_pEventFactory->m_nCopies, 0);
    EXPECT_EQ(waiting.provider.PendingCount(), 0u);
    // Released on a thread of its own, so that a release waiting for the dead waiter fails the
    // test instead of hanging it.
    auto released = std::async(std::launch::async, [&] { waiting.provider.Release(); });
    if (released.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "Release waits for a waiter that was ended by force";
        std::_Exit(1);
    }
    EXPECT_EQ(waiting.source.m_pManager->ProviderCount(), 0u);
}

TEST(CProviderHelper, EachCreateFormNeedsItsMode) {
    CDebugLog log;
    CTestSource source;
    auto pHelper = Connected(source);
    CComPtr<IKTEvent> pEvent;
    ASSERT_EQ(pHelper->NewEvent(KT_EVENT_NOTIFY, &pEvent), CError::eNoError);
    LONG nId = 0;
    IKTEvent* pReturned = nullptr;
    CProviderHelper fireAndForget;
    ASSERT_TRUE(fireAndForget.Create(pHelper.Get(), false));
    EXPECT_EQ(fireAndForget.CreateEvent(pEvent.Get(), false, &nId, nullptr, 10, false, &pReturned),
              CError::eFailure);
    EXPECT_EQ(fireAndForget.CreateEvent(pEvent.Get(), true, &nId), CError::eNoError);
    CProviderHelper waiting;
    ASSERT_TRUE(waiting.Create(pHelper.Get(), true));
    EXPECT_EQ(waiting.CreateEvent(pEvent.Get(), true, &nId), CError::eFailure);
    EXPECT_EQ(waiting.CreateEvent(pEvent.Get(), true, &nId, nullptr, 10, false, &pReturned),
              CError::eFailure);
    EXPECT_EQ(source.m_pManager->Published().size(), 1u);
}

class CTestSubscriber final : public CSubscriberHelper {
public:
    LONG STDMETHODCALLTYPE OnEvent(LONG, IKTEvent*, LONG* pnAction) override {
        *pnAction = 0;
        return CError::eNoError;
    }
};

TEST(CSubscriberHelper, SubscriptionsCommitAndCancelByType) {
    CDebugLog log;
    CTestSource source;
    auto pHelper = Connected(source);
    const LONG states[] = {KT_EVENT_STATE_CREATED, KT_EVENT_STATE_COMMITTED};
    const KT_SUBSCRIPTION subscriptions[] = {
        {KT_EVENT_CONFIG_CHANGE, 512, states, 2, 0, 1},
        {KT_EVENT_MANIFEST_CHANGE, 0, nullptr, 0, 7, 0},
    };
    CTestSubscriber subscriber;
    ASSERT_TRUE(subscriber.Create(pHelper.Get(), subscriptions, 2));
    const auto registered = source.m_pManager->Subscriptions();
    ASSERT_EQ(registered.size(), 2u);
    LONG nConfigId = 0;
    for (const auto& [nId, subscription] : registered) {
        if (subscription.nEventType == KT_EVENT_CONFIG_CHANGE) {
            nConfigId = nId;
            EXPECT_EQ(subscription.nParam1, 512u);
            EXPECT_EQ(subscription.states, (std::vector<LONG>{0, 1}));
            EXPECT_EQ(subscription.bFlag, VARIANT_TRUE);
        } else {
            EXPECT_EQ(subscription.nParam2, 7u);
            EXPECT_TRUE(subscription.states.empty());
            EXPECT_EQ(subscription.bFlag, VARIANT_FALSE);
        }
    }

    CComPtr<IKTEvent> pConfig;
    CComPtr<IKTEvent> pAlert;
    pHelper->NewEvent(KT_EVENT_CONFIG_CHANGE, &pConfig);
    pHelper->NewEvent(KT_EVENT_GATEWARDEN_ALERT, &pAlert);
    EXPECT_EQ(subscriber.CommitEvent(pConfig.Get()), CError::eNoError);
    EXPECT_EQ(subscriber.CancelEvent(pConfig.Get()), CError::eNoError);
    EXPECT_EQ(subscriber.CommitEvent(pAlert.Get()), CError::eFailure);
    EXPECT_TRUE(log.Has(
        "CSubscriberHelper::CommitEvent() : m_SubscriberIdMap.find() == m_SubscriberIdMap.end()\r\n"));
    const auto finished = source.m_pManager->Finished();
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[0].nSubscriberId, nConfigId);
    EXPECT_EQ(finished[0].nState, KT_EVENT_STATE_COMMITTED);
    EXPECT_EQ(finished[1].nState, KT_EVENT_STATE_CANCELLED);
}

TEST(CSubscriberHelper, FailedSubscriptionUndoesTheEarlierOnes) {
    CDebugLog log;
    CTestSource source;
    auto pHelper = Connected(source);
    source.m_pManager->m_nFailSubscriptionType = KT_EVENT_MANIFEST_CHANGE;
    const KT_SUBSCRIPTION subscriptions[] = {
        {KT_EVENT_CONFIG_CHANGE, 512, nullptr, 0, 0, 0},
        {KT_EVENT_MANIFEST_CHANGE, 0, nullptr, 0, 0, 0},
    };
    CTestSubscriber subscriber;
    EXPECT_FALSE(subscriber.Create(pHelper.Get(), subscriptions, 2));
    EXPECT_TRUE(log.Has(
        "CSubscriberHelper::Create() : pEventManagerHelper->RegisterSubscriber() != CError::eNoError"));
    EXPECT_TRUE(source.m_pManager->Subscriptions().empty());
    EXPECT_EQ(pHelper->SubscriberCount(), 0u);
    EXPECT_EQ(source.m_pProxyFactory->m_nDeleted, source.m_pProxyFactory->m_nCreated);
    CComPtr<IKTEvent> pConfig;
    pHelper->NewEvent(KT_EVENT_CONFIG_CHANGE, &pConfig);
    EXPECT_EQ(subscriber.CommitEvent(pConfig.Get()), CError::eFailure);
    EXPECT_TRUE(log.Has("CSubscriberHelper::CommitEvent() : m_pEventManagerHelper == NULL\r\n"));
}

TEST(CKTUMSEventProvider, ForceSettingsRefreshBeforeCreateFails) {
    CDebugLog log;
    CTestSource source;
    CKTUMSEventProvider provider(&source);
    EXPECT_EQ(provider.ForceSettingsRefresh(), CError::eFailure);
    EXPECT_TRUE(log.Has("CKTUMSEventProvider::ForceSettingsRefresh() - m_EventFactory == NULL\r\n"));
    SYSTEMTIME time{};
    EXPECT_EQ(provider.SendGatewardenAlert(&time, u"a", 1, 2, u"b", 3, 4, true), CError::eFailure);
    EXPECT_TRUE(log.Has("CKTUMSEventProvider::SendGatewardenAlert() - m_EventFactory == NULL\r\n"));
    EXPECT_TRUE(source.m_pManager->Published().empty());
}

struct ProviderCreateCase {
    const char* szName;
    bool bFailEventFactory;
    bool bFailProxyFactory;
    bool bFailConnect;
    bool bFailRegister;
    const char* szLine;
};

TEST(CKTUMSEventProvider, CreateFailuresReleaseEverything) {
    const ProviderCreateCase cases[] = {
        {"event factory", true, false, false, false,
         "CKTUMSEventProvider::Create() - m_EventFactoryLoader.CreateObject() failed.\r\n"},
        {"proxy factory", false, true, false, false,
         "CKTUMSEventProvider::Create() - m_ProxyFactoryLoader.CreateObject() failed.\r\n"},
        {"event manager", false, false, true, false,
         "CKTUMSEventProvider::Create() - m_EventManagerHelper.Create() failed.\r\n"},
        {"registration", false, false, false, true,
         "CKTUMSEventProvider::Create() - CProviderHelper::Create() failed.\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CDebugLog log;
        CTestSource source;
        source.m_bFailEventFactory = c.bFailEventFactory;
        source.m_bFailProxyFactory = c.bFailProxyFactory;
        source.m_bFailConnect = c.bFailConnect;
        source.m_pManager->m_bErrorFail = c.bFailRegister;
        CKTUMSEventProvider provider(&source);
        EXPECT_FALSE(provider.Create());
        EXPECT_TRUE(log.Has(c.szLine)) << log.Since();
        EXPECT_EQ(provider.ForceSettingsRefresh(), CError::eFailure);
    }
}

TEST(CKTUMSEventProvider, RefreshAndAlertAreBroadcastAndFreed) {
    CTestSource source;
    CKTUMSEventProvider provider(&source);
    ASSERT_TRUE(provider.Create());
    EXPECT_EQ(provider.ForceSettingsRefresh(), CError::eNoError);
    const SYSTEMTIME time{2026, 12, 0, 6, 23, 40, 1, 2};
    EXPECT_EQ(provider.SendGatewardenAlert(&time, u"C:\\actor.exe", 41, 3, u"C:\\target", 42, 1, true),
              CError::eNoError);
    const auto published = source.m_pManager->Published();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0].event.m_nType, KT_EVENT_SETTINGS_REFRESH);
    EXPECT_TRUE(published[0].bBroadcast);
    EXPECT_EQ(published[0].nProviderId, provider.ProviderId());
    const auto& alert = published[1].event;
    EXPECT_EQ(alert.m_nType, KT_EVENT_GATEWARDEN_ALERT);
    EXPECT_TRUE(alert.m_bAlertSet);
    EXPECT_EQ(alert.m_sActor, u"C:\\actor.exe");
    EXPECT_EQ(alert.m_sTarget, u"C:\\target");
    EXPECT_EQ(alert.m_Alert.nActorProcessId, 41u);
    EXPECT_EQ(alert.m_Alert.nAction, 3u);
    EXPECT_EQ(alert.m_Alert.nTargetProcessId, 42u);
    EXPECT_EQ(alert.m_Alert.nSessionId, 1u);
    EXPECT_TRUE(alert.m_Alert.bBlocked);
    EXPECT_EQ(alert.m_Alert.time.wSecond, 1);
    EXPECT_EQ(source.m_pEventFactory->m_nFreed, source.m_pEventFactory->m_nNew);
}

}  // namespace
