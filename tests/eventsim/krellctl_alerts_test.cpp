// krellctl alerts watch driven as a program against the event manager of the test's root, fed with
// alerts published by krellctl events publish.
#include <signal.h>

#include <cstdlib>

#include "krellctl_watch_test.h"

namespace {

using evtest::InstantOf;
using evtest::Lines;
using evtest::Member;
using krelltest::ReadText;
using krelltest::RunCommand;

class KrellctlAlerts : public evtest::CKrellctlWatchTest {
protected:
    // Publishes an alert with the given --set values.
    void PublishAlert(const std::string& sSets) { ASSERT_EQ(Publish("6000 " + sSets), 0) << sSets; }
    // Waits until the watch's output holds nLines lines.
    bool WaitForLines(std::size_t nLines) {
        for (int n = 0; n < 400; ++n) {
            if (Lines(ReadText(m_sOut)).size() >= nLines) {
                return true;
            }
            usleep(25000);
        }
        return false;
    }
};

TEST_F(KrellctlAlerts, WatchPrintsEachAlertAsOneReadableLine) {
    StartManager();
    // East of UTC, so a time shown without its offset would name another instant.
    m_sCtl = "env TZ='CET-1CEST,M3.5.0,M10.5.0/3' " + m_sCtl;
    StartWatch("alerts watch --count 4 --timeout 30", "watching types 6000");
    struct {
        const char* szSets;
        const char* szExpected;  // the line after its time
    } const CASES[] = {
        {"--set 'ActorPath=C:\\x\\evil.exe' --set ActorProcessId=4242 --set Action=1 "
         "--set 'TargetPath=C:\\Program Files\\Quillon\\a.dll' --set SessionId=1 --set Blocked=1",
         " blocked     \"C:\\x\\evil.exe\"(4242) action 1 (file write data) on "
         "\"C:\\Program Files\\Quillon\\a.dll\"(0) session 1"},
        {"--set 'ActorPath=C:\\t\\kill.exe' --set ActorProcessId=7 --set Action=10 "
         "--set 'TargetPath=C:\\Program Files\\Quillon\\svc.exe' --set TargetProcessId=812 --set SessionId=0",
         " not blocked \"C:\\t\\kill.exe\"(7) action 10 (process terminate) on "
         "\"C:\\Program Files\\Quillon\\svc.exe\"(812) session 0"},
        // A code the tool does not know is shown as its number.
        {"--set ActorPath=a --set Action=42 --set TargetPath=b --set SessionId=3 --set Blocked=1",
         " blocked     \"a\"(0) action 42 on \"b\"(0) session 3"},
        {"--set 'ActorPath=C:\\reg.exe' --set Action=7 --set 'TargetPath=HKLM\\SOFTWARE\\Quillon' --set "
         "Blocked=1",
         " blocked     \"C:\\reg.exe\"(0) action 7 (registry create sub-key) on "
         "\"HKLM\\SOFTWARE\\Quillon\"(0) "
         "session 0"},
    };
    for (const auto& testCase : CASES) {
        PublishAlert(testCase.szSets);
        // Other types are not alerts.
        ASSERT_EQ(Publish("6010 --set Code=7"), 0);
    }
    EXPECT_EQ(WaitWatch(), 0);
    const std::vector<std::string> lines = Lines(ReadText(m_sOut));
    ASSERT_EQ(lines.size(), std::size(CASES)) << ReadText(m_sOut);
    const time_t now = time(nullptr);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_GT(lines[i].size(), 29u) << lines[i];
        EXPECT_EQ(lines[i].substr(29), CASES[i].szExpected);
        // The alert's own time, local with its offset, naming the present instant.
        const time_t instant = InstantOf(lines[i].substr(0, 29));
        EXPECT_LE(std::abs(static_cast<long>(instant - now)), 600L) << lines[i];
    }
}

TEST_F(KrellctlAlerts, JsonLinesCarryEveryValueAndTheActionName) {
    StartManager();
    StartWatch("alerts watch --json --count 2 --timeout 30", "watching types 6000");
    PublishAlert(
        "--set 'ActorPath=C:\\x\\\"q\".exe' --set ActorProcessId=4242 --set Action=11 --set TargetPath=t "
        "--set TargetProcessId=9 --set SessionId=2 --set Blocked=1");
    PublishAlert("--set Action=12");
    EXPECT_EQ(WaitWatch(), 0);
    const std::vector<std::string> lines = Lines(ReadText(m_sOut));
    ASSERT_EQ(lines.size(), 2u) << ReadText(m_sOut);
    for (const char* szPart :
         {"{\"type\":6000,\"id\":", "\"state\":\"created\"", "\"ActorPath\":\"C:\\\\x\\\\\\\"q\\\".exe\"",
          "\"ActorProcessId\":4242,", "\"Action\":11,", "\"TargetPath\":\"t\",", "\"TargetProcessId\":9,",
          "\"SessionId\":2,", "\"Blocked\":true", ",\"ActionName\":\"process memory write\"}"}) {
        EXPECT_NE(lines[0].find(szPart), std::string::npos) << szPart << " in " << lines[0];
    }
    EXPECT_GT(InstantOf(Member(lines[0], "Time")), 0) << lines[0];
    EXPECT_NE(lines[1].find("\"Blocked\":false"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].find("ActionName"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].back(), '}');
}

TEST_F(KrellctlAlerts, WatchEndsAtItsTimeoutOrSignal) {
    StartManager();
    // A count that was not reached fails; without a count the timeout is the normal end.
    StartWatch("alerts watch --count 1 --timeout 1", "watching types 6000");
    EXPECT_EQ(WaitWatch(), 1);
    EXPECT_EQ(ReadText(m_sOut), "");
    StartWatch("alerts watch --timeout 1", "watching types 6000");
    EXPECT_EQ(WaitWatch(), 0);
    for (const int nSignal : {SIGTERM, SIGINT}) {
        StartWatch("alerts watch", "watching types 6000");
        PublishAlert("--set ActorPath=before --set Blocked=1");
        ASSERT_TRUE(WaitForLines(1)) << ReadText(m_sOut);
        ASSERT_EQ(kill(m_nWatch, nSignal), 0);
        // A clean end, not death by the signal, and the line already printed stays.
        EXPECT_EQ(WaitWatch(), 0) << nSignal;
        EXPECT_EQ(Lines(ReadText(m_sOut)).size(), 1u) << ReadText(m_sOut);
    }
}

TEST_F(KrellctlAlerts, RefusesWhatItCannotDo) {
    std::string sOutput;
    // No event manager.
    EXPECT_EQ(RunCommand(m_sCtl + " alerts watch --count 1 --timeout 1", &sOutput), 1);
    EXPECT_NE(sOutput.find("the event manager is not reachable"), std::string::npos) << sOutput;
    for (const char* szArguments : {"alerts", "alerts listen", "alerts watch --count",
                                    "alerts watch --timeout x", "alerts watch --type 6010"}) {
        EXPECT_EQ(RunCommand(m_sCtl + " " + szArguments, &sOutput), 2) << szArguments;
        EXPECT_NE(sOutput.find("usage: krellctl"), std::string::npos) << sOutput;
    }
}

}  // namespace
