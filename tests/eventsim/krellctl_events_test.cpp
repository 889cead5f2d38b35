// krellctl events driven as a program against the event manager of the test's root.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "platform/root.h"
#include "scm/scm_admin.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"
#include "test_event_clients.h"

namespace {

using krelltest::ProgramPath;
using krelltest::ReadText;
using krelltest::RunCommand;

std::vector<std::string> Lines(const std::string& sText) {
    std::vector<std::string> lines;
    std::istringstream in(sText);
    for (std::string sLine; std::getline(in, sLine);) {
        lines.push_back(sLine);
    }
    return lines;
}

class KrellctlEvents : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " init", &sOutput), 0) << sOutput;
    }
    void TearDown() override {
        if (m_nWatch > 0) {
            krelltest::KillChild(m_nWatch);
        }
        krelltest::ShutdownProtectionRoot();
    }

    void StartManager() {
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " service start zuZazEzi", &sOutput), 0) << sOutput;
        ASSERT_TRUE(scm::WaitForState(u"zuZazEzi", SERVICE_RUNNING, 20000));
    }
    // Starts a watch with its output in files of the root; returns once it has subscribed.
    void StartWatch(const std::string& sArguments, const char* szSubscribed) {
        m_sOut = platform::RootSubdirectory("run") + "/watch.out";
        m_sErr = platform::RootSubdirectory("run") + "/watch.err";
        m_nWatch = krelltest::StartChild(
            {"/bin/sh", "-c",
             "exec " + m_sCtl + " events watch " + sArguments + " >" + m_sOut + " 2>" + m_sErr});
        ASSERT_GT(m_nWatch, 0);
        for (int n = 0; n < 400 && ReadText(m_sErr).find(szSubscribed) == std::string::npos; ++n) {
            usleep(25000);
        }
        ASSERT_NE(ReadText(m_sErr).find(szSubscribed), std::string::npos) << ReadText(m_sErr);
    }
    int WaitWatch() {
        const int nExit = krelltest::WaitChild(m_nWatch, 30000);
        if (nExit != -1) {
            m_nWatch = 0;
        }
        return nExit;
    }
    int Publish(const std::string& sArguments, std::string* psOutput = nullptr) {
        return RunCommand(m_sCtl + " events publish " + sArguments, psOutput);
    }

    std::string m_sCtl;
    std::string m_sOut;
    std::string m_sErr;
    pid_t m_nWatch = 0;
};

// The instant a time text of the tools ("2026-12-07T15:47:56.123+01:00") names, or -1 when it is
// not such a text.
time_t InstantOf(const std::string& sText) {
    tm parts{};
    int nMs = 0;
    char chSign = 0;
    int nOffsetHours = 0;
    int nOffsetMinutes = 0;
    if (std::sscanf(sText.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &nMs, &chSign,
                    &nOffsetHours, &nOffsetMinutes) != 10 ||
        (chSign != '+' && chSign != '-') || sText.size() != 29) {
        return -1;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const long lOffset = (chSign == '-' ? -60L : 60L) * (nOffsetHours * 60 + nOffsetMinutes);
    return timegm(&parts) - lOffset;
}

// The text of a JSON string member of a line.
std::string Member(const std::string& sLine, const std::string& sName) {
    const std::size_t nStart = sLine.find("\"" + sName + "\":\"");
    if (nStart == std::string::npos) {
        return "";
    }
    const std::size_t nText = nStart + sName.size() + 4;
    return sLine.substr(nText, sLine.find('"', nText) - nText);
}

TEST_F(KrellctlEvents, WatchPrintsEachEventOfItsTypesAsOneJsonLine) {
    StartManager();
    // A zone of its own for the tools, an hour or two east of UTC, so that a local time shown as UTC
    // (or the reverse) names another instant.
    const std::string sZone = "env TZ='CET-1CEST,M3.5.0,M10.5.0/3' ";
    m_sCtl = sZone + m_sCtl;
    StartWatch("--type 6010 --count 2 --timeout 20", "watching types 6010");
    ASSERT_EQ(Publish("6010 --set Code=5 --set 'Data=hr=0x00000000'"), 0);
    ASSERT_EQ(Publish("6000 --set ActorPath=x"), 0);
    ASSERT_EQ(Publish("6010 --set Code=1"), 0);
    EXPECT_EQ(WaitWatch(), 0);
    const std::vector<std::string> lines = Lines(ReadText(m_sOut));
    ASSERT_EQ(lines.size(), 2u) << ReadText(m_sOut);
    for (const char* szPart : {"{\"type\":6010,\"id\":", ",\"state\":\"created\",\"time\":\"20",
                               "\",\"Code\":5,", "\"Time\":\"20", ",\"Data\":\"hr=0x00000000\"}"}) {
        EXPECT_NE(lines[0].find(szPart), std::string::npos) << szPart << " in " << lines[0];
    }
    // Both times (when the watch received it, when it was stamped) are local with their offset, and
    // name the present instant.
    const time_t now = time(nullptr);
    for (const char* szName : {"time", "Time"}) {
        const std::string sText = Member(lines[0], szName);
        EXPECT_NE(sText.find_first_of("+-", 19), std::string::npos) << sText;
        const time_t instant = InstantOf(sText);
        EXPECT_LE(std::abs(static_cast<long>(instant - now)), 600L) << szName << " " << sText;
    }
    EXPECT_NE(lines[1].find("\"Code\":1,"), std::string::npos) << lines[1];
    // Data that was never set is not shown.
    EXPECT_EQ(lines[1].find("Data"), std::string::npos) << lines[1];
}

TEST_F(KrellctlEvents, WatchWithoutItsCountFailsAtTheTimeout) {
    StartManager();
    StartWatch("--type 6005 --count 1 --timeout 1", "watching types 6005");
    EXPECT_EQ(WaitWatch(), 1);
    EXPECT_EQ(ReadText(m_sOut), "");
}

TEST_F(KrellctlEvents, PublishWaitsForTheAnswerAndPrintsIt) {
    StartManager();
    evtest::CEventClient compiler;
    CComPtr<evtest::CRecorder> pKeeper;
    const LONG nKeeperId = compiler.AddSubscriber(KT_EVENT_CONFIG_CHANGE, 0, {}, pKeeper);
    ASSERT_GT(nKeeperId, 0);
    std::string sOutput;
    int nExit = -1;
    std::thread publish([&] { nExit = Publish("6008 --wait 20", &sOutput); });
    const bool bOffered = pKeeper->WaitForCount(1, 20000);
    if (bOffered) {
        EXPECT_EQ(compiler.CommitConfigAnswer(nKeeperId, pKeeper->Seen()[0].pEvent.Get(),
                                              static_cast<HRESULT>(0x80004005), KT_SEVERITY_ERROR,
                                              u"Failed to create configuration data"),
                  CError::eNoError);
    }
    publish.join();
    ASSERT_TRUE(bOffered);
    EXPECT_EQ(nExit, 0) << sOutput;
    for (const char* szPart :
         {"\"type\":6008,", "\"state\":\"committed\"", "\"Result\":\"0x80004005\"",
          "\"status\":0,\"errors\":[{\"severity\":0,\"text\":\"Failed to create configuration "
          "data\"}]"}) {
        EXPECT_NE(sOutput.find(szPart), std::string::npos) << szPart << " in " << sOutput;
    }
}

TEST_F(KrellctlEvents, PublishReportsWhatItCannotDo) {
    std::string sOutput;
    EXPECT_EQ(Publish("6010", &sOutput), 1);
    EXPECT_NE(sOutput.find("the event manager is not reachable (0x800706BA)"), std::string::npos) << sOutput;
    StartManager();
    // Nobody keeps it: the answer is the cancellation.
    EXPECT_EQ(Publish("6009 --wait 10", &sOutput), 0);
    EXPECT_NE(sOutput.find("\"type\":6009,"), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find("\"state\":\"cancelled\""), std::string::npos) << sOutput;
    EXPECT_EQ(Publish("6009 --set Code=1", &sOutput), 2);
    EXPECT_NE(sOutput.find("have no property Code"), std::string::npos) << sOutput;
    EXPECT_EQ(Publish("notatype", &sOutput), 2);
}

}  // namespace
