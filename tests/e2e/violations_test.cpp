// The protection answering back, seen from outside: the stand-in driver judges accesses against the
// KC file the service delivered, violations come back as alerts on the event manager and as
// notifications, and install queries are answered from real installer packages.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/strings.h"
#include "support/files.h"
#include "support/installer_packages.h"
#include "support/protection_root.h"
#include "support/sanitizers.h"
#include "support/test_root.h"

namespace {

using krelltest::DriverStatus;
using krelltest::ProgramPath;
using krelltest::PROTECTED_TARGET;
using krelltest::ReadText;
using krelltest::RunCommand;
using krelltest::WaitForDriverStatus;

constexpr auto npos = std::string::npos;
constexpr const char* INTRUDER = "C:\\Temp\\intruder.exe";

class ProtectionLoop : public krelltest::ProtectionRootTest {
protected:
    std::string Out(const std::string& sName) const { return m_sRun + "/" + sName + ".out"; }
    // The notifications of a watcher that carry one of the violation codes (7, 8); the service's
    // other notifications (a configuration finished after boot returned) may come in between.
    std::vector<std::string> ViolationNotifications(const std::string& sName, std::size_t nExpected) {
        std::vector<std::string> lines;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        do {
            lines.clear();
            for (const std::string& sLine : krelltest::NonEmptyLines(ReadText(Out(sName)))) {
                if (sLine.find("\"Code\":7,") != npos || sLine.find("\"Code\":8,") != npos) {
                    lines.push_back(sLine);
                }
            }
        } while (lines.size() < nExpected && std::chrono::steady_clock::now() < deadline &&
                 usleep(50000) == 0);
        return lines;
    }

    std::string Access(const std::string& sActor, int nPid, int nAction, const std::string& sTarget,
                       const std::string& sMore = "") {
        std::string sOutput;
        const int nExit =
            RunCommand(m_sCtl + " driver access --actor '" + sActor + "' --pid " + std::to_string(nPid) +
                           " --action " + std::to_string(nAction) + " --target '" + sTarget + "' " + sMore,
                       &sOutput);
        EXPECT_EQ(nExit, 0) << sOutput;
        return sOutput;
    }
};

// Two protected writes with an unprotected write and a protected read between them: exactly two
// alerts and two notifications, in order, carrying the fields the driver sent.
TEST_F(ProtectionLoop, OnlyAccessesToProtectedResourcesBecomeAlertsAndNotifications) {
    Boot();
    const pid_t alerts = StartWatcher("alerts", "alerts watch --json --count 2 --timeout 60");
    StartWatcher("notes", "events watch --type 6010 --timeout 60");

    std::string sDecision = Access(INTRUDER, 4242, 1, PROTECTED_TARGET, "--session 3");
    EXPECT_NE(sDecision.find("violation"), npos) << sDecision;
    EXPECT_NE(sDecision.find("blocked"), npos) << sDecision;
    EXPECT_NE(sDecision.find("rule \""), npos) << sDecision;
    sDecision = Access(INTRUDER, 4243, 1, "C:\\Users\\Public\\notes.txt");
    EXPECT_EQ(sDecision.find("violation"), npos) << sDecision;
    sDecision = Access(INTRUDER, 4244, 0, PROTECTED_TARGET);
    EXPECT_EQ(sDecision.find("violation"), npos) << sDecision;
    sDecision =
        Access(INTRUDER, 4245, 10, "C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe", "--target-pid 77");
    EXPECT_NE(sDecision.find("violation"), npos) << sDecision;

    EXPECT_EQ(WaitWatcher(alerts), 0);
    const std::vector<std::string> alertLines = krelltest::NonEmptyLines(ReadText(Out("alerts")));
    ASSERT_EQ(alertLines.size(), 2u) << ReadText(Out("alerts"));
    for (const char* szField : {"\"ActorProcessId\":4242,", "\"Action\":1,", "KT.dll\"", "\"SessionId\":3,",
                                "\"TargetProcessId\":0,", "\"Blocked\":true"}) {
        EXPECT_NE(alertLines[0].find(szField), npos) << szField << "\n" << alertLines[0];
    }
    for (const char* szField : {"\"ActorProcessId\":4245,", "\"Action\":10,", "\"TargetProcessId\":77,"}) {
        EXPECT_NE(alertLines[1].find(szField), npos) << szField << "\n" << alertLines[1];
    }
    const std::vector<std::string> noteLines = ViolationNotifications("notes", 2);
    ASSERT_EQ(noteLines.size(), 2u) << ReadText(Out("notes"));
    for (const std::string& sLine : noteLines) {
        EXPECT_NE(sLine.find("\"Code\":7,"), npos) << sLine;
        EXPECT_NE(sLine.find("intruder.exe\\\"(424"), npos) << sLine;
        EXPECT_NE(sLine.find("accessed protected resource"), npos) << sLine;
    }

    // The service's counters agree with what the driver sent.
    std::string sStats;
    ASSERT_EQ(RunCommand(m_sCtl + " stats", &sStats), 0) << sStats;
    EXPECT_NE(sStats.find("violations received 2"), npos) << sStats;
    EXPECT_NE(sStats.find("alerts sent 2"), npos) << sStats;
}

// A driver that only watches reports what it did not block: the alert says so and the notification
// is code 8.
TEST_F(ProtectionLoop, AnAccessNotBlockedIsNotificationEight) {
    ASSERT_TRUE(krelltest::SetDriverParameter(u"MonitorOnly", 1));
    Boot();
    const pid_t alerts = StartWatcher("alerts", "alerts watch --json --count 1 --timeout 60");
    StartWatcher("notes", "events watch --type 6010 --timeout 60");
    const std::string sDecision = Access(INTRUDER, 31, 3, PROTECTED_TARGET);
    EXPECT_NE(sDecision.find("violation"), npos) << sDecision;
    EXPECT_NE(sDecision.find("not-blocked"), npos) << sDecision;
    EXPECT_EQ(WaitWatcher(alerts), 0);
    EXPECT_NE(ReadText(Out("alerts")).find("\"Blocked\":false"), npos) << ReadText(Out("alerts"));
    const std::vector<std::string> noteLines = ViolationNotifications("notes", 1);
    ASSERT_EQ(noteLines.size(), 1u) << ReadText(Out("notes"));
    EXPECT_NE(noteLines[0].find("\"Code\":8,"), npos) << noteLines[0];
}

struct InstallCase {
    const char* szName;
    DWORD dwLevel;
    std::vector<std::pair<std::u16string, DWORD>> entries;
    std::u16string sPackage;
    const char* szAnswer;
};

// One booted system answers every query; each case writes its settings first, which the service
// reads afresh for every query.
TEST_F(ProtectionLoop, InstallQueriesAreAnsweredFromThePackageAndTheSettings) {
    const std::string sListed = krelltest::PackageBytes("listed.msi");
    const std::u16string sInFolder = u"C:\\Installs\\App\\listed.msi";
    const std::u16string sInSubFolder = u"C:\\Installs\\App\\Sub\\listed.msi";
    krelltest::PlaceFile(sInFolder, sListed);
    krelltest::PlaceFile(sInSubFolder, sListed);
    Boot();
    const std::u16string sProduct = std::u16string(krelltest::LISTED_PRODUCT_CODE);
    const std::u16string sUpgrade = std::u16string(krelltest::LISTED_UPGRADE_CODE);
    const std::vector<InstallCase> cases = {
        {"by ProductCode", 3, {{sProduct, 0}}, sInFolder, "authorized"},
        {"by UpgradeCode", 3, {{sUpgrade, 0}}, sInFolder, "authorized"},
        {"by folder", 3, {{u"C:\\Installs\\App\\", 1}}, sInFolder, "authorized"},
        {"not by a sub-folder", 3, {{u"C:\\Installs\\App\\", 1}}, sInSubFolder, "not authorized"},
        {"nothing listed at level 3", 3, {}, sInFolder, "not authorized"},
        {"level 1 refuses a listed package", 1, {{sProduct, 0}}, sInFolder, "not authorized"},
        {"level 2 allows everything", 2, {}, sInSubFolder, "authorized"},
        {"level 7 is unknown and allows", 7, {}, sInSubFolder, "authorized"},
        {"a missing package", 3, {{sProduct, 0}}, u"C:\\Installs\\App\\missing.msi", "not authorized"},
    };
    const std::string sKey = "'GATEWARDEN\\UserSettings\\AuthorizedMSIs'";
    for (const InstallCase& c : cases) {
        SCOPED_TRACE(c.szName);
        RunCommand(m_sCtl + " settings delete " + sKey);
        ASSERT_EQ(RunCommand(m_sCtl + " settings set 'GATEWARDEN\\MSIAuthorization' SecurityLevel --dword " +
                             std::to_string(c.dwLevel)),
                  0);
        for (const auto& [sName, dwData] : c.entries) {
            ASSERT_EQ(RunCommand(m_sCtl + " settings set " + sKey + " '" + platform::ToUtf8(sName) +
                                 "' --dword " + std::to_string(dwData)),
                      0);
        }
        std::string sAnswer;
        RunCommand(m_sCtl + " driver install '" + platform::ToUtf8(c.sPackage) + "' --timeout 20", &sAnswer);
        EXPECT_EQ(sAnswer.substr(0, sAnswer.find('\n')), c.szAnswer) << sAnswer;
    }
    EXPECT_NE(DriverStatus().find("unanswered=0"), npos) << DriverStatus();
}

TEST_F(ProtectionLoop, TwoInstallQueriesAtOnceAreBothAnswered) {
    krelltest::PlaceFile(u"C:\\Installs\\listed.msi", krelltest::PackageBytes("listed.msi"));
    Boot();
    ASSERT_EQ(RunCommand(m_sCtl + " settings set 'GATEWARDEN\\MSIAuthorization' SecurityLevel --dword 3"), 0);
    ASSERT_EQ(RunCommand(m_sCtl + " settings set 'GATEWARDEN\\UserSettings\\AuthorizedMSIs' '" +
                         platform::ToUtf8(krelltest::LISTED_UPGRADE_CODE) + "' --dword 0"),
              0);
    std::string sFirst;
    std::string sSecond;
    std::thread first(
        [&] { RunCommand(m_sCtl + " driver install 'C:\\Installs\\listed.msi' --timeout 20", &sFirst); });
    std::thread second(
        [&] { RunCommand(m_sCtl + " driver install 'C:\\Installs\\listed.msi' --timeout 20", &sSecond); });
    first.join();
    second.join();
    EXPECT_EQ(sFirst, "authorized\n");
    EXPECT_EQ(sSecond, "authorized\n");
    EXPECT_NE(DriverStatus().find("authorized=2"), npos) << DriverStatus();
}

// A service that goes away while the driver holds a query leaves the driver to its own deadline,
// after which the install goes ahead and is counted as unanswered.
TEST_F(ProtectionLoop, AQueryHeldWhenTheServiceDiesEndsAtTheDriversDeadline) {
    krelltest::PlaceFile(u"C:\\Installs\\listed.msi", krelltest::PackageBytes("listed.msi"));
    Boot();
    std::string sStatus;
    RunCommand(m_sCtl + " service status KRELLSvc", &sStatus);
    const std::size_t nPid = sStatus.find("pid ");
    ASSERT_NE(nPid, npos) << sStatus;
    const pid_t service = static_cast<pid_t>(std::stol(sStatus.substr(nPid + 4)));
    ASSERT_GT(service, 0);
    // Frozen, the service cannot answer; killed while the query is held, it never will.
    ASSERT_EQ(kill(service, SIGSTOP), 0);
    std::string sAnswer;
    std::thread query(
        [&] { RunCommand(m_sCtl + " driver install 'C:\\Installs\\listed.msi' --timeout 3", &sAnswer); });
    EXPECT_TRUE(WaitForDriverStatus("installs=1", 10000)) << DriverStatus();
    kill(service, SIGKILL);
    query.join();
    EXPECT_EQ(sAnswer.find("no answer"), 0u) << sAnswer;
    EXPECT_NE(DriverStatus().find("unanswered=1"), npos) << DriverStatus();
}

}  // namespace

namespace {

// Processor time a process has used, in clock ticks.
long CpuTicks(const std::string& sPid) {
    const std::string sStat = ReadText("/proc/" + sPid + "/stat");
    const std::size_t nEnd = sStat.rfind(')');
    if (nEnd == npos) {
        return -1;
    }
    std::istringstream fields(sStat.substr(nEnd + 2));
    std::string sField;
    long lUser = 0;
    long lSystem = 0;
    for (int i = 3; i <= 15 && fields >> sField; ++i) {
        if (i == 14) {
            lUser = std::stol(sField);
        } else if (i == 15) {
            lSystem = std::stol(sField);
        }
    }
    return lUser + lSystem;
}

// A driver that hangs up is told once in the debug log and shown by `krellctl status`, and the service,
// still running, costs nothing meanwhile.
TEST_F(ProtectionLoop, ALostDriverIsLoggedOnceShownByStatusAndCostsNothing) {
    Boot();
    const std::string sStatus = m_sCtl + " status";
    ASSERT_TRUE(krelltest::WaitForOutput(sStatus, "driver channel: no loss seen"));
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " driver close", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForServiceLog("the driver channel is lost"));
    EXPECT_TRUE(krelltest::WaitForOutput(sStatus, "driver channel: lost"));
    ASSERT_EQ(RunCommand(m_sCtl + " status --json", &sOutput), 0);
    EXPECT_NE(sOutput.find("\"driverChannelLost\":true"), npos) << sOutput;

    ASSERT_EQ(RunCommand(m_sCtl + " service status KRELLSvc --json", &sOutput), 0);
    const std::size_t nPid = sOutput.find("\"pid\":");
    ASSERT_NE(nPid, npos) << sOutput;
    const std::string sPid = std::to_string(std::stol(sOutput.substr(nPid + 6)));
    const long lBefore = CpuTicks(sPid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(CpuTicks(sPid) - lBefore, sysconf(_SC_CLK_TCK) / 5) << "ticks used in a second of silence";
    EXPECT_EQ(krelltest::CountOf(krelltest::ServiceLog(), "the driver channel is lost"), 1u);
    EXPECT_NE(RunCommand(m_sCtl + " service status KRELLSvc", &sOutput), -1);
    EXPECT_NE(sOutput.find("RUNNING"), npos) << sOutput;
}

}  // namespace

namespace {

// A storm of violations while the configuration is changed over and over: every alert arrives, every
// change is answered, and notifications are dropped only by their queue's bound, and counted. Under
// ThreadSanitizer it runs at full size (100,000 violations, 200 changes); elsewhere a tenth of it.
TEST_F(ProtectionLoop, AStormOfViolationsDuringReloadsLosesNoAlertAndNoAnswer) {
    const int nViolations = THREAD_SANITIZER ? 100000 : 10000;
    const int nChanges = THREAD_SANITIZER ? 200 : 20;
    Boot();
    const std::string sFile = m_sRun + "/storm.jsonl";
    {
        std::ofstream out(sFile);
        for (int i = 0; i < nViolations; ++i) {
            out << "{\"actor\":\"C:\\\\Temp\\\\intruder.exe\",\"pid\":" << 1000 + i % 50000
                << ",\"action\":1,\"target\":\"C:\\\\Program Files\\\\Quillon\\\\KRELL\\\\KT.dll\"}\n";
        }
    }
    int nAnswered = 0;
    std::string sLastAnswer;
    const auto change = [&](int i) {
        const std::string sSwitch = i % 2 == 0 ? "registry=0" : "registry=1";
        if (RunCommand(m_sCtl + " protection set " + sSwitch + " --wait 60", &sLastAnswer) == 0 &&
            sLastAnswer.find("\"Result\":\"0x00000000\"") != npos) {
            ++nAnswered;
        } else {
            ADD_FAILURE() << "change " << i << ": " << sLastAnswer;
        }
    };
    // The first change, timed, paces the storm to last about as long as the others take.
    const auto start = std::chrono::steady_clock::now();
    change(0);
    const double dChangeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int nRate = std::max(1000, static_cast<int>(nViolations / (dChangeSeconds * (nChanges - 1))));

    const pid_t alerts =
        StartWatcher("alerts", "alerts watch --count " + std::to_string(nViolations) + " --timeout 600");
    const pid_t replay =
        krelltest::StartChild({"/bin/sh", "-c",
                               "exec '" + m_sCtl + "' driver replay '" + sFile + "' --rate " +
                                   std::to_string(nRate) + " > '" + Out("replay") + "' 2>&1"});
    ASSERT_GT(replay, 0);
    for (int i = 1; i < nChanges; ++i) {
        change(i);
    }
    EXPECT_EQ(nAnswered, nChanges);
    EXPECT_EQ(krelltest::WaitChild(replay, 600000), 0) << ReadText(Out("replay"));
    EXPECT_NE(ReadText(Out("replay")).find("violations=" + std::to_string(nViolations)), npos)
        << ReadText(Out("replay"));
    EXPECT_EQ(WaitWatcher(alerts), 0);
    EXPECT_EQ(krelltest::NonEmptyLines(ReadText(Out("alerts"))).size(),
              static_cast<std::size_t>(nViolations));

    std::string sStats;
    ASSERT_EQ(RunCommand(m_sCtl + " stats --json", &sStats), 0) << sStats;
    const auto count = [&](const std::string& sName) {
        const std::size_t nAt = sStats.find("\"" + sName + "\":");
        return nAt == npos ? -1L : std::stol(sStats.substr(nAt + sName.size() + 3));
    };
    EXPECT_EQ(count("violationsReceived"), nViolations) << sStats;
    EXPECT_EQ(count("alertsSent"), nViolations) << sStats;
    EXPECT_EQ(count("alertsFailed"), 0) << sStats;
    EXPECT_EQ(count("notificationsQueued") + count("notificationsDropped"), nViolations) << sStats;
    EXPECT_EQ(count("driverChannelLost"), 0) << sStats;
    EXPECT_EQ(krelltest::CountOf(krelltest::ServiceLog(), "Could not receive message"), 0u);
}

}  // namespace
