// The settings store's service as the producer of configuration changes, driven from outside: the
// event manager and lcSetMgr run as services of the test's root, refresh requests come from krellctl
// events publish, settings changes from krellctl settings, and a test-side subscriber stands in for
// the compiler.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/root.h"
#include "platform/strings.h"
#include "scm/scm_admin.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"
#include "test_event_clients.h"

namespace {

using krelltest::ProgramPath;
using krelltest::ReadText;
using krelltest::RunCommand;

class RefreshPublisher : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        m_sLog = platform::RootSubdirectory("run") + "/lcSetMgr.log";
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " init", &sOutput), 0) << sOutput;
        // The root, and so the log, is the test program's: earlier tests' lines are not looked at.
        m_nLogFrom = ReadText(m_sLog).size();
    }
    void TearDown() override {
        if (m_nWatch > 0) {
            krelltest::KillChild(m_nWatch);
        }
        krelltest::ShutdownProtectionRoot();
    }

    void Start(const char16_t* szService) {
        const std::string sName = platform::ToUtf8(szService);
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " service start " + sName, &sOutput), 0) << sOutput;
        ASSERT_TRUE(scm::WaitForState(szService, SERVICE_RUNNING, 20000)) << sName;
    }
    // True once the store's log holds the text after the lines already looked at, within about the
    // time given; the next look starts after it.
    bool WaitForLog(const std::string& sText, int nTimeoutMs = 10000) {
        for (int n = 0; n < nTimeoutMs / 25; ++n) {
            const std::string sLog = ReadText(m_sLog);
            const std::size_t nAt = sLog.find(sText, std::min(m_nLogFrom, sLog.size()));
            if (nAt != std::string::npos) {
                m_nLogFrom = nAt + sText.size();
                return true;
            }
            usleep(25000);
        }
        return false;
    }
    int Ctl(const std::string& sArguments, std::string* psOutput = nullptr) {
        return RunCommand(m_sCtl + " " + sArguments, psOutput);
    }
    // Commits the offered configuration change with a failure and one error entry.
    static void Answer(evtest::CEventClient& compiler, LONG nKeeperId, IKTEvent* pEvent) {
        EXPECT_EQ(compiler.CommitConfigAnswer(nKeeperId, pEvent, static_cast<HRESULT>(0x80004005),
                                              KT_SEVERITY_WARNING,
                                              u"Using default component configuration settings"),
                  CError::eNoError);
    }

    std::string m_sCtl;
    std::string m_sLog;
    std::size_t m_nLogFrom = 0;
    pid_t m_nWatch = 0;
};

TEST_F(RefreshPublisher, ARefreshRequestIsFollowedByAConfigurationChangeWhoseAnswerIsLogged) {
    Start(u"zuZazEzi");
    Start(u"lcSetMgr");
    ASSERT_TRUE(WaitForLog("connected to the event manager")) << ReadText(m_sLog);
    // A watcher registered before the keeper is offered the change first and refuses it.
    const std::string sOut = platform::RootSubdirectory("run") + "/watch.out";
    const std::string sErr = platform::RootSubdirectory("run") + "/watch.err";
    m_nWatch = krelltest::StartChild(
        {"/bin/sh", "-c",
         "exec " + m_sCtl + " events watch --type 6008 --count 2 --timeout 30 >" + sOut + " 2>" + sErr});
    for (int n = 0; n < 400 && ReadText(sErr).find("watching types 6008") == std::string::npos; ++n) {
        usleep(25000);
    }
    ASSERT_NE(ReadText(sErr).find("watching types 6008"), std::string::npos) << ReadText(sErr);
    evtest::CEventClient compiler;
    CComPtr<evtest::CRecorder> pKeeper;
    const LONG nKeeperId = compiler.AddSubscriber(KT_EVENT_CONFIG_CHANGE, 0, {}, pKeeper);
    ASSERT_GT(nKeeperId, 0);

    std::string sOutput;
    ASSERT_EQ(Ctl("events publish 6009", &sOutput), 0) << sOutput;
    ASSERT_TRUE(pKeeper->WaitForCount(1, 10000)) << ReadText(m_sLog);
    Answer(compiler, nKeeperId, pKeeper->Seen()[0].pEvent.Get());

    EXPECT_EQ(krelltest::WaitChild(m_nWatch, 20000), 0) << ReadText(sOut);
    m_nWatch = 0;
    const std::string sSeen = ReadText(sOut);
    EXPECT_NE(sSeen.find("\"type\":6008,\"id\":"), std::string::npos) << sSeen;
    EXPECT_NE(sSeen.find("\"state\":\"created\""), std::string::npos) << sSeen;
    EXPECT_NE(sSeen.find("\"state\":\"committed\""), std::string::npos) << sSeen;
    EXPECT_TRUE(WaitForLog("published for a settings refresh request")) << ReadText(m_sLog);
    EXPECT_TRUE(
        WaitForLog("committed, result 0x80004005; warning: Using default component configuration "
                   "settings"))
        << ReadText(m_sLog);
    // One request, one change.
    usleep(1000 * 1000);
    EXPECT_EQ(pKeeper->Seen().size(), 1u);
}

TEST_F(RefreshPublisher, OnlyAChangedConfigurationValueUnderGatewardenIsPublished) {
    Start(u"zuZazEzi");
    Start(u"lcSetMgr");
    ASSERT_TRUE(WaitForLog("connected to the event manager")) << ReadText(m_sLog);
    evtest::CEventClient compiler;
    CComPtr<evtest::CRecorder> pKeeper;
    const LONG nKeeperId = compiler.AddSubscriber(KT_EVENT_CONFIG_CHANGE, 0, {}, pKeeper);
    ASSERT_GT(nKeeperId, 0);
    // The service's own state, the refresh flag the compilation clears, and keys elsewhere are no
    // configuration change.
    for (const char* szSet : {"settings set 'GATEWARDEN\\PRIVATE' CurrentState --dword 1",
                              "settings set 'GATEWARDEN\\PRIVATE\\GWStates' RefreshNeeded --dword 0",
                              "settings set 'OTHER\\Product' Value --dword 7"}) {
        std::string sOutput;
        ASSERT_EQ(Ctl(szSet, &sOutput), 0) << szSet << ": " << sOutput;
    }
    EXPECT_FALSE(pKeeper->WaitForCount(1, 1500)) << ReadText(m_sLog);
    std::string sOutput;
    ASSERT_EQ(Ctl("settings set 'GATEWARDEN\\UserSettings' Mode --dword 2", &sOutput), 0) << sOutput;
    ASSERT_TRUE(pKeeper->WaitForCount(1, 10000)) << ReadText(m_sLog);
    Answer(compiler, nKeeperId, pKeeper->Seen()[0].pEvent.Get());
    EXPECT_TRUE(WaitForLog("published for a settings change")) << ReadText(m_sLog);
    // Writing a value as it already is changes nothing.
    ASSERT_EQ(Ctl("settings set 'GATEWARDEN\\UserSettings' Mode --dword 2", &sOutput), 0) << sOutput;
    EXPECT_FALSE(pKeeper->WaitForCount(2, 1500)) << ReadText(m_sLog);
}

// The write-ahead log's frames and how many of them are copied into the file, from the wal-index
// header of SQLite's shared-memory file (mxFrame at byte 16, nBackfill at byte 96).
struct CWalFrames {
    std::uint32_t nLogged = 0;
    std::uint32_t nCopied = 0;
};
CWalFrames ReadWalFrames() {
    const std::string sIndex = ReadText(platform::RootDirectory() + "/settings.db-shm");
    CWalFrames frames;
    if (sIndex.size() >= 100) {
        std::memcpy(&frames.nLogged, sIndex.data() + 16, 4);
        std::memcpy(&frames.nCopied, sIndex.data() + 96, 4);
    }
    return frames;
}

// Writers leave the log's copying (and its fsyncs) to the store's service, which does it once the
// writes go quiet.
TEST_F(RefreshPublisher, TheLogIsCopiedIntoTheStoreOnceWritesGoQuiet) {
    Start(u"lcSetMgr");
    for (int i = 0; i < 20; ++i) {
        std::string sOutput;
        ASSERT_EQ(Ctl("settings set 'OTHER\\Product' Value" + std::to_string(i) + " --dword 7", &sOutput), 0)
            << sOutput;
    }
    CWalFrames frames = ReadWalFrames();
    ASSERT_GT(frames.nLogged, 0U);
    for (int n = 0; n < 100 && frames.nCopied < frames.nLogged; ++n) {
        usleep(50000);
        frames = ReadWalFrames();
    }
    EXPECT_EQ(frames.nCopied, frames.nLogged);
}

TEST_F(RefreshPublisher, TheStoreWaitsForAnEventManagerThatComesLater) {
    Start(u"lcSetMgr");
    ASSERT_TRUE(WaitForLog("the event manager is not reachable")) << ReadText(m_sLog);
    // The store works meanwhile.
    std::string sOutput;
    ASSERT_EQ(Ctl("settings set 'GATEWARDEN\\UserSettings' Mode --dword 1", &sOutput), 0) << sOutput;
    Start(u"zuZazEzi");
    ASSERT_TRUE(WaitForLog("connected to the event manager")) << ReadText(m_sLog);
    // The change seen while unconnected was kept; nobody takes it.
    EXPECT_TRUE(WaitForLog("cancelled: nobody took it")) << ReadText(m_sLog);
    ASSERT_EQ(Ctl("service stop zuZazEzi", &sOutput), 0) << sOutput;
    EXPECT_TRUE(WaitForLog("the event manager went away")) << ReadText(m_sLog);
    Start(u"zuZazEzi");
    evtest::CEventClient compiler;
    CComPtr<evtest::CRecorder> pKeeper;
    const LONG nKeeperId = compiler.AddSubscriber(KT_EVENT_CONFIG_CHANGE, 0, {}, pKeeper);
    ASSERT_GT(nKeeperId, 0);
    // Requests reach the store again once it has reconnected.
    for (int n = 0; n < 40 && !pKeeper->WaitForCount(1, 0); ++n) {
        ASSERT_EQ(Ctl("events publish 6009", &sOutput), 0) << sOutput;
        pKeeper->WaitForCount(1, 500);
    }
    ASSERT_TRUE(pKeeper->WaitForCount(1, 0)) << ReadText(m_sLog);
    Answer(compiler, nKeeperId, pKeeper->Seen()[0].pEvent.Get());
    EXPECT_TRUE(WaitForLog("committed, result 0x80004005")) << ReadText(m_sLog);
}

}  // namespace
