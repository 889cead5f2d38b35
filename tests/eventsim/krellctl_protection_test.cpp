// krellctl protection and config apply driven as programs against the event manager and the
// settings store of the test's root, with a test-side subscriber standing in for the compiler.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/root.h"
#include "platform/strings.h"
#include "scm/scm_admin.h"
#include "support/protection_root.h"
#include "support/test_root.h"
#include "test_event_clients.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;

class KrellctlProtection : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " init", &sOutput), 0) << sOutput;
        for (const char16_t* szService : {u"zuZazEzi", u"lcSetMgr"}) {
            const std::string sName = platform::ToUtf8(szService);
            ASSERT_EQ(RunCommand(m_sCtl + " service start " + sName, &sOutput), 0) << sOutput;
            ASSERT_TRUE(scm::WaitForState(szService, SERVICE_RUNNING, 20000)) << sName;
        }
        // On connecting, the store's service announces a change of its own; nobody takes it yet. It
        // must be over before a test's subscriber comes, or that subscriber would answer it first.
        const std::string sLog = platform::RootSubdirectory("run") + "/lcSetMgr.log";
        bool bAnnounced = false;
        for (int n = 0; n < 400 && !bAnnounced; ++n) {
            std::string sText;
            RunCommand("cat '" + sLog + "'", &sText);
            const std::size_t nAt = sText.find("published for a new connection to the event manager");
            bAnnounced =
                nAt != std::string::npos && sText.find("cancelled: nobody took it", nAt) != std::string::npos;
            usleep(50000);
        }
        ASSERT_TRUE(bAnnounced);
        // The root is the test program's, so a test that ran before may have left switches.
        Ctl("settings delete 'GATEWARDEN\\PRIVATE\\GWStates'", &sOutput);
    }
    void TearDown() override { krelltest::ShutdownProtectionRoot(); }

    int Ctl(const std::string& sArguments, std::string* psOutput) {
        return RunCommand(m_sCtl + " " + sArguments, psOutput);
    }

    // Runs the command while a subscriber of configuration changes commits every one it is offered
    // (the store's own publisher sends some too) with the result and, when given, one error entry.
    // *psStatus is what "protection status" printed while the first one was still held.
    int RunAnswered(const std::string& sArguments, HRESULT hrResult, const char16_t* szError,
                    std::string* psOutput, std::string* psStatus = nullptr) {
        evtest::CEventClient compiler;
        CComPtr<evtest::CRecorder> pKeeper;
        const LONG nKeeperId = compiler.AddSubscriber(KT_EVENT_CONFIG_CHANGE, 0, {}, pKeeper);
        EXPECT_GT(nKeeperId, 0);
        std::atomic<bool> bDone{false};
        int nExit = -1;
        std::thread command([&] {
            nExit = Ctl(sArguments, psOutput);
            bDone = true;
        });
        std::size_t nAnswered = 0;
        while (nKeeperId > 0 && !bDone) {
            if (!pKeeper->WaitForCount(nAnswered + 1, 50)) {
                continue;
            }
            if (nAnswered == 0 && psStatus != nullptr) {
                Ctl("protection status", psStatus);
            }
            EXPECT_EQ(compiler.CommitConfigAnswer(nKeeperId, pKeeper->Seen()[nAnswered++].pEvent.Get(),
                                                  hrResult, KT_SEVERITY_ERROR, szError),
                      CError::eNoError);
        }
        command.join();
        EXPECT_GT(nAnswered, 0u) << "no configuration change offered for " << sArguments;
        return nExit;
    }

    std::string m_sCtl;
};

void ExpectParts(const std::string& sText, std::initializer_list<const char*> parts) {
    for (const char* szPart : parts) {
        EXPECT_NE(sText.find(szPart), std::string::npos) << szPart << " in " << sText;
    }
}

TEST_F(KrellctlProtection, SetWritesTheSwitchesBeforeTheChangeAndPrintsTheCommittedAnswer) {
    std::string sOutput;
    std::string sStatus;
    // The compiler's failure is the command's failure.
    EXPECT_EQ(RunAnswered("protection set file=0 process=0 --wait 20", static_cast<HRESULT>(0x80004005),
                          u"Failed to create configuration data", &sOutput, &sStatus),
              1)
        << sOutput;
    ExpectParts(sStatus, {"GWGlobalState = 1\n", "FileProtectState = 0\n", "RegProtectState = 1\n",
                          "ProcessProtectState = 0\n", "RefreshNeeded = 1\n", "not temporarily disabled\n"});
    ExpectParts(sOutput, {"\"type\":6008,", "\"state\":\"committed\"", "\"Result\":\"0x80004005\"",
                          "\"status\":0,\"errors\":[{\"severity\":0,\"text\":\"Failed to create "
                          "configuration data\"}]"});
}

TEST_F(KrellctlProtection, EachCommandLeavesTheSwitchesItNames) {
    struct CCase {
        const char* szArguments;
        std::initializer_list<const char*> status;
    };
    const CCase cases[] = {
        {"protection off", {"GWGlobalState = 0\n", "FileProtectState = 1\n", "RefreshNeeded = 1\n"}},
        {"protection set registry=0",
         {"GWGlobalState = 0\n", "RegProtectState = 0\n", "FileProtectState = 1\n"}},
        {"protection on --disable-for 90",
         {"GWGlobalState = 1\n", "RegProtectState = 0\n", "temporarily disabled until 20"}},
        // Switching on again without a disabling ends the one before.
        {"protection on", {"GWGlobalState = 1\n", "not temporarily disabled\n"}},
        {"protection set file=1 registry=1 process=1",
         {"FileProtectState = 1\n", "RegProtectState = 1\n", "ProcessProtectState = 1\n"}},
    };
    for (const auto& testCase : cases) {
        std::string sOutput;
        std::string sStatus;
        EXPECT_EQ(RunAnswered(std::string(testCase.szArguments) + " --wait 20", S_OK, nullptr, &sOutput), 0)
            << testCase.szArguments << ": " << sOutput;
        // Read once the command is done: the store's service may offer a change of its own first.
        Ctl("protection status", &sStatus);
        ExpectParts(sOutput, {"\"state\":\"committed\"", "\"Result\":\"0x00000000\"", "\"errors\":[]"});
        ExpectParts(sStatus, testCase.status);
    }
}

TEST_F(KrellctlProtection, StatusShowsTheDefaultsOfAnEmptyStore) {
    std::string sOutput;
    ASSERT_EQ(Ctl("protection status", &sOutput), 0) << sOutput;
    EXPECT_EQ(sOutput,
              "GWGlobalState = 1\nFileProtectState = 1\nRegProtectState = 1\nProcessProtectState = 1\n"
              "RefreshNeeded = 0\nnot temporarily disabled\n");
}

TEST_F(KrellctlProtection, ConfigApplyAsksForTheChangeAloneAndPrintsTheAnswer) {
    std::string sOutput;
    std::string sStatus;
    EXPECT_EQ(RunAnswered("config apply --wait 20", S_OK, u"Using default component configuration settings",
                          &sOutput, &sStatus),
              0)
        << sOutput;
    ExpectParts(sOutput, {"\"state\":\"committed\"", "\"Result\":\"0x00000000\"",
                          "\"text\":\"Using default component configuration settings\""});
    // Nothing was written to the store.
    ExpectParts(sStatus, {"RefreshNeeded = 0\n"});
}

// The answer is that of the first change made after the command's request: a change already on its
// way (here one the test publishes and holds) read the store before, even when it finishes later.
TEST_F(KrellctlProtection, TheAnswerIsTheFirstChangeMadeAfterTheRequest) {
    evtest::CEventClient compiler;
    CComPtr<evtest::CRecorder> pKeeper;
    const LONG nKeeperId = compiler.AddSubscriber(KT_EVENT_CONFIG_CHANGE, 0, {}, pKeeper);
    ASSERT_GT(nKeeperId, 0);
    std::string sEarly;
    std::thread early([&] { Ctl("events publish 6008 --wait 20", &sEarly); });
    const bool bEarlyOffered = pKeeper->WaitForCount(1);
    std::string sOutput;
    int nExit = -1;
    std::thread command([&] { nExit = Ctl("protection set file=0 --wait 20", &sOutput); });
    const bool bOffered = bEarlyOffered && pKeeper->WaitForCount(2);
    if (bEarlyOffered) {
        EXPECT_EQ(compiler.CommitConfigAnswer(nKeeperId, pKeeper->Seen()[0].pEvent.Get(),
                                              static_cast<HRESULT>(0x80004005), KT_SEVERITY_ERROR, u"early"),
                  CError::eNoError);
    }
    if (bOffered) {
        EXPECT_EQ(compiler.CommitConfigAnswer(nKeeperId, pKeeper->Seen()[1].pEvent.Get(), S_OK,
                                              KT_SEVERITY_INFO, nullptr),
                  CError::eNoError);
    }
    command.join();
    early.join();
    ASSERT_TRUE(bOffered);
    EXPECT_EQ(nExit, 0) << sOutput;
    ExpectParts(sOutput, {"\"state\":\"committed\"", "\"Result\":\"0x00000000\""});
    EXPECT_EQ(sOutput.find("early"), std::string::npos) << sOutput;
    ExpectParts(sEarly, {"\"Result\":\"0x80004005\"", "early"});
}

TEST_F(KrellctlProtection, AChangeNobodyTakesComesBackCancelledAndFails) {
    std::string sOutput;
    EXPECT_EQ(Ctl("config apply --wait 10", &sOutput), 1);
    ExpectParts(sOutput, {"\"state\":\"cancelled\"", "the event manager cancelled it"});
    EXPECT_EQ(Ctl("protection set file=0 --wait 10", &sOutput), 1);
    ExpectParts(sOutput, {"\"state\":\"cancelled\"", "the event manager cancelled it"});
    // The switches stay written for the next compilation.
    ASSERT_EQ(Ctl("protection status", &sOutput), 0);
    ExpectParts(sOutput, {"FileProtectState = 0\n", "RefreshNeeded = 1\n"});
}

TEST_F(KrellctlProtection, BadArgumentsAreRefusedWithUsage) {
    for (const char* szArguments :
         {"protection", "protection status now", "protection set", "protection set file=2",
          "protection set disk=0", "protection set file", "protection set file=0 file=1",
          "protection on --disable-for 0", "protection on --disable-for x", "protection off --wait",
          "protection off --wait 0", "protection on now", "config", "config apply now",
          "config apply --disable-for 5", "config revert"}) {
        std::string sOutput;
        EXPECT_EQ(Ctl(szArguments, &sOutput), 2) << szArguments;
        EXPECT_NE(sOutput.find("usage:"), std::string::npos) << szArguments << ": " << sOutput;
    }
    // Refused before anything was written.
    std::string sOutput;
    ASSERT_EQ(Ctl("protection status", &sOutput), 0);
    ExpectParts(sOutput, {"RefreshNeeded = 0\n"});
}

}  // namespace
