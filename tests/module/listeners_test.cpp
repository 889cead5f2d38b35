// The violation and install-query listeners: their handling of one message against a recording
// context, and their threads over a real subscriber fed by the stand-in driver.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../channel/channel_harness.h"
#include "channel/channel_subscriber.h"
#include "events/event_interfaces.h"
#include "module/install_identifier.h"
#include "module/ktums_module.h"
#include "module/module_doubles.h"
#include "module/service_counters.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

using krelltest::CDebugLog;
using krelltest::CDriverProcess;
using moduletest::CMemorySettingsManager;
using moduletest::CStore;

struct CAlert {
    std::u16string sActor;
    ULONG nActorPid;
    ULONG nAction;
    std::u16string sTarget;
    ULONG nTargetPid;
    ULONG nSession;
    bool bBlocked;
};

struct CNotification {
    DWORD dwCode;
    std::u16string sText;
};

// The listeners' view of the module, recording alerts and notifications.
class CRecordingContext : public IListenerContext {
public:
    CRecordingContext()
        : m_pManager(CComPtr<ISettingsManager>::Attach(new CMemorySettingsManager(&m_Store))) {}

    CKTKChannelSubscriber& Subscriber() override { return *m_pSubscriber; }
    CKTUMessageChannel& Channel() override { return *m_pChannel; }
    LONG SendGatewardenAlert(const SYSTEMTIME*, const char16_t* szActorPath, ULONG nActorProcessId,
                             ULONG nAction, const char16_t* szTargetPath, ULONG nTargetProcessId,
                             ULONG nSessionId, bool bBlocked) override {
        std::lock_guard lock(m_Lock);
        m_Alerts.push_back(
            {szActorPath, nActorProcessId, nAction, szTargetPath, nTargetProcessId, nSessionId, bBlocked});
        return m_lAlertResult;
    }
    bool EnqueueNotification(DWORD dwCode, const char16_t* szText, const SYSTEMTIME&) override {
        std::lock_guard lock(m_Lock);
        if (m_bQueueAccepts) {
            m_Notifications.push_back({dwCode, szText});
        }
        return m_bQueueAccepts;
    }
    ISettingsManager* SettingsManager() override { return m_pManager.Get(); }
    CInstallIdentifier& InstallIdentifier() override { return m_Identifier; }
    CServiceCounters& Counters() override { return m_Counters; }

    size_t AlertCount() {
        std::lock_guard lock(m_Lock);
        return m_Alerts.size();
    }
    void SetSecurityLevel(DWORD dwLevel) {
        m_Store[MSI_AUTHORIZATION_KEY_NAME][SECURITY_LEVEL_VALUE_NAME] = dwLevel;
    }

    CKTKChannelSubscriber* m_pSubscriber = nullptr;
    CKTUMessageChannel* m_pChannel = nullptr;
    CStore m_Store;
    CComPtr<ISettingsManager> m_pManager;
    CInstallIdentifier m_Identifier;
    CServiceCounters m_Counters;
    std::mutex m_Lock;
    std::vector<CAlert> m_Alerts;
    std::vector<CNotification> m_Notifications;
    LONG m_lAlertResult = CError::eNoError;
    bool m_bQueueAccepts = true;
};

struct CViolation {
    std::optional<std::u16string> sActor = u"C:\\Tools\\probe.exe";
    std::optional<DWORD> dwActorPid = 42;
    std::optional<DWORD> dwAction = 3;
    std::optional<std::u16string> sTarget = u"C:\\Secret\\plan.txt";
    std::optional<DWORD> dwTargetPid = std::nullopt;
    std::optional<DWORD> dwSession = 1;
    std::optional<DWORD> dwBlocked = 1;
};

// A violation whose actor-path reads answer as a test says (nullopt: as the message would).
class CActorPathDouble : public CKTUViolationMessage {
public:
    CActorPathDouble(std::optional<DWORD> dwSizeAnswer, std::optional<DWORD> dwValueAnswer)
        : CKTUViolationMessage(new CKTUPropertyBag),
          m_dwSizeAnswer(dwSizeAnswer),
          m_dwValueAnswer(dwValueAnswer) {}
    DWORD GetActorPath(char16_t* szBuffer, DWORD* pdwSize) override {
        const std::optional<DWORD>& answer = szBuffer == nullptr ? m_dwSizeAnswer : m_dwValueAnswer;
        return answer ? *answer : CKTUViolationMessage::GetActorPath(szBuffer, pdwSize);
    }

private:
    std::optional<DWORD> m_dwSizeAnswer;
    std::optional<DWORD> m_dwValueAnswer;
};

void Fill(CKTUViolationMessage* pMsg, const CViolation& v) {
    if (v.sActor) {
        pMsg->SetActorPath(v.sActor->c_str());
    }
    if (v.dwActorPid) {
        pMsg->SetActorPID(*v.dwActorPid);
    }
    if (v.dwAction) {
        pMsg->SetAction(*v.dwAction);
    }
    if (v.sTarget) {
        pMsg->SetTargetPath(v.sTarget->c_str());
    }
    if (v.dwTargetPid) {
        pMsg->SetTargetPID(*v.dwTargetPid);
    }
    if (v.dwSession) {
        pMsg->SetSessionID(*v.dwSession);
    }
    if (v.dwBlocked) {
        pMsg->SetBlockedStatus(*v.dwBlocked);
    }
}

constexpr const char* POLICY_PREFIX = "CKTUMSModule::CPolicyEventListener::Run() - ";
constexpr const char16_t* TEXT_42 =
    u"\"C:\\Tools\\probe.exe\"(42) accessed protected resource \"C:\\Secret\\plan.txt\"";

struct ViolationCase {
    const char* szName;
    CViolation violation;
    std::optional<DWORD> dwSizeAnswer;   // of the actor path's first read
    std::optional<DWORD> dwValueAnswer;  // of its second
    bool bQueueAccepts;
    const char* szLine;                    // after the prefix; none for a clean report
    std::optional<ULONG> nAlertTargetPid;  // an alert with this target id, or none sent
    DWORD dwCode;                          // notification code, 0 for none
};

TEST(PolicyEventListener, EachViolationIsReportedOrDroppedWithItsLine) {
    const ViolationCase cases[] = {
        {"blocked", {}, {}, {}, true, nullptr, 0, 7},
        {"not blocked", {.dwBlocked = 0}, {}, {}, true, nullptr, 0, 8},
        {"blocked any non-zero", {.dwBlocked = 5}, {}, {}, true, nullptr, 0, 7},
        {"process action with target", {.dwAction = 10, .dwTargetPid = 77}, {}, {}, true, nullptr, 77, 7},
        {"process action 10 without target",
         {.dwAction = 10},
         {},
         {},
         true,
         "msg->GetTargetPID return NO_VALUE which is unexpected for action type A",
         {},
         0},
        {"process action 11 without target",
         {.dwAction = 11},
         {},
         {},
         true,
         "msg->GetTargetPID return NO_VALUE which is unexpected for action type B",
         {},
         0},
        {"file action without target", {.dwAction = 3}, {}, {}, true, nullptr, 0, 7},
        {"no actor path",
         {.sActor = std::nullopt},
         {},
         {},
         true,
         "msg->GetActorPath returned 6 expected BUFFER_TOO_SMALL",
         {},
         0},
        {"actor size call answers 0",
         {},
         MSG_SUCCESS,
         {},
         true,
         "msg->GetActorPath returned 0 expected BUFFER_TOO_SMALL",
         {},
         0},
        {"actor path read fails", {}, {}, MSG_BAD_DATA, true, "msg->GetActorPath failed (4)", {}, 0},
        {"no actor pid", {.dwActorPid = std::nullopt}, {}, {}, true, "msg->GetActorPID failed (6)", {}, 0},
        {"no action", {.dwAction = std::nullopt}, {}, {}, true, "msg->GetAction failed (6)", {}, 0},
        {"no target path",
         {.sTarget = std::nullopt},
         {},
         {},
         true,
         "msg->GetTargetPath returned 6 expected BUFFER_TOO_SMALL",
         {},
         0},
        {"no session", {.dwSession = std::nullopt}, {}, {}, true, "msg->GetSessionID failed (6)", {}, 0},
        {"no blocked status",
         {.dwBlocked = std::nullopt},
         {},
         {},
         true,
         "msg->GetBlockedStatus failed (6)",
         {},
         0},
        {"queue refuses", {}, {}, {}, false, "Unable to send violation notify message", 0, 0},
    };
    for (const ViolationCase& c : cases) {
        SCOPED_TRACE(c.szName);
        CDebugLog log;
        CRecordingContext context;
        context.m_bQueueAccepts = c.bQueueAccepts;
        CActorPathDouble msg(c.dwSizeAnswer, c.dwValueAnswer);
        Fill(&msg, c.violation);
        CKTUMSModule::CPolicyEventListener::HandleViolation(context, &msg);
        delete msg.GetPropertyBag();

        EXPECT_EQ(context.m_Counters.Get(COUNTER_VIOLATIONS_RECEIVED), 1u);
        if (c.szLine != nullptr) {
            EXPECT_EQ(log.Count(std::string(POLICY_PREFIX) + c.szLine), 1u) << log.Since();
        } else {
            EXPECT_EQ(log.Count(POLICY_PREFIX), 0u) << log.Since();
        }
        ASSERT_EQ(context.m_Alerts.size(), c.nAlertTargetPid ? 1u : 0u);
        if (c.nAlertTargetPid) {
            const CAlert& alert = context.m_Alerts[0];
            EXPECT_EQ(alert.sActor, u"C:\\Tools\\probe.exe");
            EXPECT_EQ(alert.nActorPid, 42u);
            EXPECT_EQ(alert.nAction, *c.violation.dwAction);
            EXPECT_EQ(alert.sTarget, u"C:\\Secret\\plan.txt");
            EXPECT_EQ(alert.nTargetPid, *c.nAlertTargetPid);
            EXPECT_EQ(alert.nSession, 1u);
            EXPECT_EQ(alert.bBlocked, *c.violation.dwBlocked != 0);
            EXPECT_EQ(context.m_Counters.Get(COUNTER_ALERTS_SENT), 1u);
        }
        ASSERT_EQ(context.m_Notifications.size(), c.dwCode != 0 ? 1u : 0u);
        if (c.dwCode != 0) {
            EXPECT_EQ(context.m_Notifications[0].dwCode, c.dwCode);
            EXPECT_EQ(context.m_Notifications[0].sText, TEXT_42);
        }
        EXPECT_EQ(context.m_Counters.Get(COUNTER_NOTIFICATIONS_QUEUED), c.dwCode != 0 ? 1u : 0u);
        EXPECT_EQ(context.m_Counters.Get(COUNTER_NOTIFICATIONS_DROPPED), c.bQueueAccepts ? 0u : 1u);
    }
}

TEST(PolicyEventListener, AFailedAlertIsCountedAndTheNotificationStillQueued) {
    CRecordingContext context;
    context.m_lAlertResult = CError::eFailure;
    CActorPathDouble msg({}, {});
    Fill(&msg, {});
    CKTUMSModule::CPolicyEventListener::HandleViolation(context, &msg);
    delete msg.GetPropertyBag();
    EXPECT_EQ(context.m_Counters.Get(COUNTER_ALERTS_FAILED), 1u);
    EXPECT_EQ(context.m_Counters.Get(COUNTER_ALERTS_SENT), 0u);
    EXPECT_EQ(context.m_Notifications.size(), 1u);
}

// The stand-in driver, a channel to it and a subscriber listening on it.
class ListenerChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pSubscriber->Initialize());
        ASSERT_EQ(m_Channel.Open(), 0u);
        ASSERT_TRUE(m_pSubscriber->StartListeningForMessages(&m_Channel));
        ASSERT_TRUE(m_Driver.WaitForStatus("chunk", 8096));
        m_Context.m_pSubscriber = m_pSubscriber.get();
        m_Context.m_pChannel = &m_Channel;
    }
    void TearDown() override {
        m_Channel.Close();
        m_pSubscriber.reset();
    }
    void Send(const std::string& sArgs) { ASSERT_TRUE(m_Driver.Command("send " + sArgs).starts_with("ok")); }
    // What the driver received since its last "clear", once a sentinel query sent now has arrived
    // (the channel keeps the order of one sender's messages), without the sentinels.
    std::vector<std::string> Received() {
        CKTUMessage* pSentinel = CKTUMessageChannel::MakeEmptyKTMessage(TYPE_QUERY_MSI);
        static_cast<CKTUMSIMessage*>(pSentinel)->SetMessageId(++m_dwSentinel);
        EXPECT_EQ(m_Channel.SendKTMessage(pSentinel), 0u);
        const std::string sSentinel = "type=5 1:dw:" + std::to_string(m_dwSentinel);
        m_Sentinels.insert(sSentinel);
        for (int i = 0; i < 500; ++i) {
            const std::string sReply = m_Driver.Command("received");
            if (sReply.find(sSentinel) != std::string::npos) {
                std::vector<std::string> lines;
                size_t nPos = sReply.find('\n');
                while (nPos != std::string::npos) {
                    const size_t nEnd = sReply.find('\n', nPos + 1);
                    const std::string sLine =
                        sReply.substr(nPos + 1, nEnd == std::string::npos ? nEnd : nEnd - nPos - 1);
                    if (m_Sentinels.count(sLine) == 0) {
                        lines.push_back(sLine);
                    }
                    nPos = nEnd;
                }
                return lines;
            }
            platform::Sleep(10);
        }
        ADD_FAILURE() << "the sentinel did not reach the driver";
        return {};
    }
    template <typename Predicate>
    static bool WaitFor(Predicate&& predicate) {
        for (int i = 0; i < 500; ++i) {
            if (predicate()) {
                return true;
            }
            platform::Sleep(10);
        }
        return predicate();
    }
    static DWORD ExitCode(CThread& thread) {
        EXPECT_EQ(platform::WaitForSingleObject(thread.ThreadHandle(), 5000), WAIT_OBJECT_0);
        DWORD dwCode = 0xFFFFFFFF;
        platform::GetExitCodeThread(thread.ThreadHandle(), &dwCode);
        return dwCode;
    }

    DWORD m_dwSentinel = 9000000;
    std::set<std::string> m_Sentinels;
    CDebugLog m_Log;
    CDriverProcess m_Driver;
    CKTUMessageChannel m_Channel{KTU_CHANNEL_DEVICE_NAME};
    std::unique_ptr<CKTKChannelSubscriber> m_pSubscriber = std::make_unique<CKTKChannelSubscriber>();
    CRecordingContext m_Context;
};

// A query whose path reads are counted.
class CCountingQuery : public CKTUMSIMessage {
public:
    CCountingQuery() : CKTUMSIMessage(new CKTUPropertyBag) {}
    ~CCountingQuery() override { delete GetPropertyBag(); }
    DWORD GetMSIPath(char16_t* szBuffer, DWORD* pdwSize) override {
        ++m_nPathReads;
        return CKTUMSIMessage::GetMSIPath(szBuffer, pdwSize);
    }
    int m_nPathReads = 0;
};

struct QueryCase {
    const char* szName;
    DWORD dwLevel;
    std::optional<size_t> nPathChars;  // C:\ then x... then .msi, this long
    std::optional<DWORD> dwId;
    int nPathReads;
    const char* szReply;  // what the driver receives, none for no answer
    const char* szLine;
    eServiceCounter eCounter;
};

TEST_F(ListenerChannelTest, EachInstallQueryIsAnsweredOnceOrNotAtAll) {
    const QueryCase cases[] = {
        {"authorized", MSI_SECURITY_ALL, 20, 7, 1, "type=5 1:dw:7 3:dw:0", "MSI authorization reply for ",
         COUNTER_INSTALL_AUTHORIZED},
        {"not authorized", MSI_SECURITY_NONE, 20, 8, 1, "type=5 1:dw:8 3:dw:1",
         "MSI authorization reply for ", COUNTER_INSTALL_REFUSED},
        {"129 characters in one read", MSI_SECURITY_ALL, 129, 9, 1, "type=5 1:dw:9 3:dw:0",
         "MSI authorization reply for ", COUNTER_INSTALL_AUTHORIZED},
        {"130 characters in two reads", MSI_SECURITY_ALL, 130, 10, 2, "type=5 1:dw:10 3:dw:0",
         "MSI authorization reply for ", COUNTER_INSTALL_AUTHORIZED},
        {"long path in two reads", MSI_SECURITY_NONE, 1000, 11, 2, "type=5 1:dw:11 3:dw:1",
         "MSI authorization reply for ", COUNTER_INSTALL_REFUSED},
        {"no id",
         MSI_SECURITY_ALL,
         20,
         {},
         1,
         nullptr,
         "CKTUMSModule::CMSIQueryListener::Run() - pMSIMsg->GetMessageId() failed",
         COUNTER_INSTALL_UNANSWERED},
        {"no path",
         MSI_SECURITY_ALL,
         {},
         12,
         1,
         nullptr,
         "CKTUMSModule::CMSIQueryListener::Run() - pMSIMsg->GetMSIPath() failed",
         COUNTER_INSTALL_UNANSWERED},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.szName);
        CDebugLog log;
        CRecordingContext& context = m_Context;
        m_Driver.Command("clear");
        const ULONGLONG ullBefore = context.m_Counters.Get(c.eCounter);
        context.SetSecurityLevel(c.dwLevel);
        CCountingQuery query;
        std::u16string sPath;
        if (c.nPathChars) {
            sPath = u"C:\\" + std::u16string(*c.nPathChars - 7, u'x') + u".msi";
            ASSERT_EQ(sPath.size(), *c.nPathChars);
            query.SetMSIPath(sPath.c_str());
        }
        if (c.dwId) {
            query.SetMessageId(*c.dwId);
        }
        CKTUMSModule::CMSIQueryListener::AnswerQuery(context, &query);
        EXPECT_EQ(query.m_nPathReads, c.nPathReads);
        const std::vector<std::string> received = Received();
        if (c.szReply != nullptr) {
            ASSERT_EQ(received.size(), 1u);
            EXPECT_EQ(received[0], c.szReply);
            const std::string sLine = "CKTUMSModule::CMSIQueryListener::Run - MSI authorization reply for " +
                                      platform::ToUtf8(sPath) + ": " +
                                      (c.eCounter == COUNTER_INSTALL_AUTHORIZED ? "1" : "0");
            EXPECT_EQ(log.Count(sLine), 1u) << log.Since();
        } else {
            EXPECT_TRUE(received.empty());
            EXPECT_EQ(log.Count(c.szLine), 1u) << log.Since();
        }
        EXPECT_EQ(context.m_Counters.Get(c.eCounter), ullBefore + 1);
    }
}

TEST_F(ListenerChannelTest, AReplyThatCannotBeSentLeavesTheQueryUnanswered) {
    CKTUMessageChannel closed{KTU_CHANNEL_DEVICE_NAME};
    m_Context.m_pChannel = &closed;
    m_Context.SetSecurityLevel(MSI_SECURITY_ALL);
    CCountingQuery query;
    query.SetMSIPath(u"C:\\a.msi");
    query.SetMessageId(5);
    CKTUMSModule::CMSIQueryListener::AnswerQuery(m_Context, &query);
    EXPECT_EQ(m_Log.Count("CKTUMSModule::CMSIQueryListener::Run() - SendKTMessage failed "), 1u)
        << m_Log.Since();
    EXPECT_EQ(m_Context.m_Counters.Get(COUNTER_INSTALL_UNANSWERED), 1u);
    EXPECT_FALSE(m_Log.Has("MSI authorization reply for"));
}

TEST_F(ListenerChannelTest, ViolationListenerServesOnAfterBadReportsAndEndsWhenAborted) {
    CKTUMSModule::CPolicyEventListener listener(&m_Context);
    ASSERT_TRUE(listener.Create(nullptr, 0, 0));
    const std::string sGood =
        "4 1:str:C:\\Tools\\probe.exe 2:dw:42 3:dw:3 4:str:C:\\Secret\\plan.txt 6:dw:1 7:dw:1";
    // The thread subscribes when it runs: until then reports find no subscriber.
    for (int i = 0; i < 100 && m_Context.AlertCount() == 0; ++i) {
        Send(sGood);
        for (int j = 0; j < 20 && m_Context.AlertCount() == 0; ++j) {
            platform::Sleep(5);
        }
    }
    ASSERT_GE(m_Context.AlertCount(), 1u);
    platform::Sleep(100);
    const size_t nBefore = m_Context.AlertCount();
    Send("4 1:str:C:\\Tools\\probe.exe 3:dw:3");                                     // no actor id
    Send("4 2:dw:42 3:dw:10 4:str:C:\\x 6:dw:1 7:dw:1");                             // no actor path
    Send("4 1:str:C:\\Tools\\probe.exe 2:dw:42 3:dw:10 4:str:C:\\x 6:dw:1 7:dw:1");  // no target id
    Send(sGood);
    for (int i = 0; i < 500 && m_Context.AlertCount() < nBefore + 1; ++i) {
        platform::Sleep(10);
    }
    EXPECT_EQ(m_Context.AlertCount(), nBefore + 1);
    // Two listeners read the channel, so the good report can be counted before a bad one sent ahead
    // of it is logged.
    EXPECT_TRUE(WaitFor([&] {
        return m_Log.Has("msg->GetActorPID failed (6)") &&
               m_Log.Has("msg->GetActorPath returned 6 expected BUFFER_TOO_SMALL") &&
               m_Log.Has("unexpected for action type A");
    })) << m_Log.Since();
    EXPECT_EQ(m_Log.Count("msg->GetActorPID failed (6)"), 1u);
    EXPECT_EQ(m_Log.Count("msg->GetActorPath returned 6 expected BUFFER_TOO_SMALL"), 1u);
    EXPECT_EQ(m_Log.Count("unexpected for action type A"), 1u);
    // Each of the two channel listeners holds a place for the read it waits in; every report was
    // acknowledged.
    for (int i = 0; i < 100 && m_pSubscriber->Backlog() != 2; ++i) {
        platform::Sleep(10);
    }
    EXPECT_EQ(m_pSubscriber->Backlog(), 2u);

    m_Channel.Close();
    m_pSubscriber->Stop();
    EXPECT_EQ(ExitCode(listener), 0u);
    EXPECT_FALSE(m_Log.Has("WaitForKTMessage failed"));
    EXPECT_FALSE(m_Log.Has("SubscribeToMessageType(TYPE_GW_VIOLATION) failed"));
    EXPECT_FALSE(m_Log.Has("Not all subscribers have unregistered"))
        << "the listener unsubscribed on its way out";
    m_pSubscriber.reset();
    EXPECT_FALSE(m_Log.Has("Not all subscribers have unregistered"));
}

TEST_F(ListenerChannelTest, TwoInstallListenersAnswerEveryReadableQueryAndEndWhenAborted) {
    m_Context.SetSecurityLevel(MSI_SECURITY_ALL);
    CKTUMSModule::CMSIQueryListener first(&m_Context);
    CKTUMSModule::CMSIQueryListener second(&m_Context);
    ASSERT_TRUE(first.Create(nullptr, 0, 0));
    ASSERT_TRUE(second.Create(nullptr, 0, 0));
    // Until a listener has subscribed, queries find no subscriber: probe until one is answered.
    bool bAnswered = false;
    for (int i = 0; i < 100 && !bAnswered; ++i) {
        Send("5 1:dw:1 2:str:C:\\probe.msi");
        bAnswered = !Received().empty();
    }
    ASSERT_TRUE(bAnswered);
    platform::Sleep(100);
    m_Driver.Command("clear");
    for (DWORD dwId = 100; dwId < 110; ++dwId) {
        Send("5 1:dw:" + std::to_string(dwId) + " 2:str:C:\\Installs\\p" + std::to_string(dwId) + ".msi");
        Send("5 2:str:C:\\Installs\\noid.msi");  // no id: never answered
    }
    std::vector<std::string> replies;
    EXPECT_TRUE(WaitFor([&] { return (replies = Received()).size() >= 10; }));
    EXPECT_TRUE(WaitFor([&] { return m_Log.Count("pMSIMsg->GetMessageId() failed") >= 10; }));
    replies = Received();
    ASSERT_EQ(replies.size(), 10u);
    for (DWORD dwId = 100; dwId < 110; ++dwId) {
        EXPECT_NE(
            std::find(replies.begin(), replies.end(), "type=5 1:dw:" + std::to_string(dwId) + " 3:dw:0"),
            replies.end())
            << dwId;
    }
    EXPECT_EQ(m_Log.Count("pMSIMsg->GetMessageId() failed"), 10u);

    m_Channel.Close();
    m_pSubscriber->Stop();
    EXPECT_EQ(ExitCode(first), 0u);
    EXPECT_EQ(ExitCode(second), 0u);
    EXPECT_FALSE(m_Log.Has("WaitForKTMessage failed"));
}

// The module's own components, torn down while the driver keeps them busy.
TEST(ModuleComponents, DestructionWhileQueriesAndReportsAreQueuedEndsTheListeners) {
    CDebugLog log;
    CDriverProcess driver;
    CStore store;
    store[MSI_AUTHORIZATION_KEY_NAME][SECURITY_LEVEL_VALUE_NAME] = MSI_SECURITY_NONE;
    CComPtr<ISettingsManager> pManager =
        CComPtr<ISettingsManager>::Attach(new CMemorySettingsManager(&store));
    auto pComponents = std::make_unique<CModuleComponents>();
    pComponents->SetSettingsManager(pManager.Get());
    ASSERT_TRUE(pComponents->InitializeChannelSubscriber());
    ASSERT_TRUE(pComponents->OpenDriverChannel());
    ASSERT_TRUE(pComponents->CreatePolicyEventListener());
    ASSERT_TRUE(pComponents->CreateMSIQueryListener(0));
    ASSERT_TRUE(pComponents->CreateMSIQueryListener(1));
    ASSERT_TRUE(pComponents->StartListeningForMessages());
    ASSERT_TRUE(driver.WaitForStatus("chunk", 8096));
    for (int i = 0; i < 100; ++i) {
        driver.Command("send 5 1:dw:" + std::to_string(i) + " 2:str:C:\\Installs\\p.msi");
        driver.Command("send 4 1:str:C:\\a.exe 2:dw:1 3:dw:3 4:str:C:\\b 6:dw:1 7:dw:1");
    }
    const DWORD dwStart = platform::GetTickCount();
    pComponents.reset();
    EXPECT_LT(platform::GetTickCount() - dwStart, 5000u) << "no listener had to be ended by force";
    EXPECT_FALSE(log.Has("WaitForKTMessage failed"));
    EXPECT_FALSE(log.Has("Not all subscribers have unregistered"));
    EXPECT_GT(log.Count("MSI authorization reply for C:\\Installs\\p.msi: 0"), 0u) << "the listeners ran";
}

}  // namespace
