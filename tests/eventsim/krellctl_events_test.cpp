// krellctl events driven as a program against the event manager of the test's root.
#include <cstdlib>
#include <thread>

#include "krellctl_watch_test.h"
#include "test_event_clients.h"

namespace {

using krelltest::ProgramPath;
using krelltest::ReadText;
using krelltest::RunCommand;

using evtest::InstantOf;
using evtest::Lines;
using evtest::Member;

class KrellctlEvents : public evtest::CKrellctlWatchTest {};

TEST_F(KrellctlEvents, WatchPrintsEachEventOfItsTypesAsOneJsonLine) {
    StartManager();
    // A zone of its own for the tools, an hour or two east of UTC, so that a local time shown as UTC
    // (or the reverse) names another instant.
    const std::string sZone = "env TZ='CET-1CEST,M3.5.0,M10.5.0/3' ";
    m_sCtl = sZone + m_sCtl;
    StartWatch("events watch --type 6010 --count 2 --timeout 20", "watching types 6010");
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
    StartWatch("events watch --type 6005 --count 1 --timeout 1", "watching types 6005");
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
