// A machine's boot and shutdown with service processes: load-order groups from the registry, starts
// that fail, a second boot, a shutdown during a start, and run files left by a dead service.
#include <fstream>

#include "scm/scm_internal.h"
#include "scm_fixture.h"

namespace {

using platform::ToUtf8;
using scmtest::ScHandle;

class ScmBootTest : public scmtest::ScmTest {
protected:
    static void SetGroupOrder(const std::u16string& sList) {
        HKEY hKey = nullptr;
        ASSERT_EQ(platform::RegCreateKeyEx(HKEY_LOCAL_MACHINE, scm::GROUP_ORDER_KEY, 0, KEY_ALL_ACCESS, &hKey,
                                           nullptr),
                  static_cast<LONG>(ERROR_SUCCESS));
        platform::RegSetValueEx(hKey, u"List", REG_MULTI_SZ, reinterpret_cast<const BYTE*>(sList.data()),
                                static_cast<DWORD>(sList.size() * sizeof(char16_t)));
        platform::RegCloseKey(hKey);
    }

    static std::string Names(const std::vector<scm::Step>& steps) {
        std::string s;
        for (const auto& step : steps) {
            s += (s.empty() ? "" : " ") + ToUtf8(step.sName);
        }
        return s;
    }

    const std::string m_sStop = std::to_string(SERVICE_ACCEPT_STOP);
};

TEST_F(ScmBootTest, BootFollowsTheGroupListAndShutdownReversesIt) {
    SetGroupOrder(std::u16string(u"Base\0Apps\0\0", 11));
    // By name alone the order would be Alpha, Loose, Zed.
    ASSERT_TRUE(ScHandle(Create(u"Zed", ServiceImage(m_sStop + " 0"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, nullptr, nullptr, u"Base")));
    ASSERT_TRUE(ScHandle(Create(u"Alpha", ServiceImage(m_sStop + " 0"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, u"+Base\0", nullptr, u"Apps")));
    ASSERT_TRUE(ScHandle(
        Create(u"Loose", ServiceImage(m_sStop + " 0"), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START)));
    scm::ServiceEntry alpha;
    ASSERT_TRUE(scm::QueryService(u"Alpha", &alpha));
    EXPECT_EQ(alpha.sGroup, u"Apps");
    EXPECT_TRUE(alpha.dependencies.empty());
    EXPECT_EQ(alpha.groupDependencies, std::vector<std::u16string>{u"Base"});

    std::vector<scm::Step> steps;
    ASSERT_TRUE(scm::Boot(&steps));
    EXPECT_EQ(Names(steps), "Zed Alpha Loose");
    for (const auto& step : steps) {
        EXPECT_EQ(step.outcome, scm::Outcome::Started) << ToUtf8(step.sName);
    }
    // A second boot changes nothing and succeeds.
    ASSERT_TRUE(scm::Boot(&steps));
    for (const auto& step : steps) {
        EXPECT_EQ(step.outcome, scm::Outcome::AlreadyRunning) << ToUtf8(step.sName);
    }
    ASSERT_TRUE(scm::Shutdown(&steps, 10000));
    EXPECT_EQ(Names(steps), "Loose Alpha Zed");
    for (const auto& step : steps) {
        EXPECT_EQ(step.outcome, scm::Outcome::Stopped) << ToUtf8(step.sName);
    }
}

TEST_F(ScmBootTest, StartsThatEndWithoutRunningAreFailuresWithTheirExitCodes) {
    ASSERT_TRUE(ScHandle(Create(u"Refuser", ServiceImage("1 0x80000207 50 refuse"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START)));
    ASSERT_TRUE(ScHandle(Create(u"Needy", ServiceImage(m_sStop + " 0"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, u"Refuser\0")));
    // A group that has no member running cannot satisfy a dependency on it.
    ASSERT_TRUE(ScHandle(Create(u"Orphan", ServiceImage(m_sStop + " 0"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, u"+Nobody\0")));
    std::vector<scm::Step> steps;
    EXPECT_FALSE(scm::Boot(&steps));
    ASSERT_EQ(Names(steps), "Refuser Needy Orphan");
    EXPECT_EQ(steps[0].outcome, scm::Outcome::Failed);
    EXPECT_EQ(steps[0].dwError, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(steps[0].dwServiceSpecificExitCode, 0x80000207u);
    for (const std::size_t n : {1u, 2u}) {
        EXPECT_EQ(steps[n].outcome, scm::Outcome::DependencyFailed) << ToUtf8(steps[n].sName);
        EXPECT_EQ(steps[n].dwError, ERROR_SERVICE_DEPENDENCY_FAIL) << ToUtf8(steps[n].sName);
    }

    // The same through the platform's calls: the start is accepted, the wait tells the outcome.
    ScHandle hStalled(Create(u"Stalled", ServiceImage(m_sStop + " 0 0 stall")));
    ASSERT_TRUE(platform::StartService(hStalled.get(), 0, nullptr));
    SERVICE_STATUS status{};
    EXPECT_EQ(scm::WaitForStart(u"Stalled", 300, &status), ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(scm::WaitForStart(u"Refuser", 300, &status), ERROR_SERVICE_SPECIFIC_ERROR);
}

TEST_F(ScmBootTest, ShutdownLetsAStartingServiceFinishItsStartThenStopsIt) {
    ScHandle hService(Create(u"Slow", ServiceImage(m_sStop + " 0 1500")));
    // The start returns once the dispatcher listens, long before the service runs.
    ASSERT_TRUE(platform::StartService(hService.get(), 0, nullptr));
    EXPECT_EQ(Query(hService.get()).dwCurrentState, SERVICE_START_PENDING);
    std::vector<scm::Step> steps;
    ASSERT_TRUE(scm::Shutdown(&steps, 10000));
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].outcome, scm::Outcome::Stopped);
    EXPECT_TRUE(WaitForLog(u"Slow", "control 1\n"));
    EXPECT_EQ(Query(hService.get()).dwWin32ExitCode, ERROR_SUCCESS);
}

TEST_F(ScmBootTest, RunFilesOfADeadServiceNeitherBlockNorFoolABoot) {
    ScHandle hService(
        Create(u"Ghost", ServiceImage(m_sStop + " 0"), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START));
    // A process that has ended: its pid and start time are what a crashed service leaves behind.
    const pid_t dead = krelltest::StartChild({"/bin/true"});
    ASSERT_GT(dead, 0);
    ASSERT_EQ(krelltest::WaitChild(dead, 10000), 0);
    const std::u16string sName = u"Ghost";
    std::ofstream(scm::detail::RunFile(sName, ".pid")) << dead << " 12345\n";
    std::ofstream(scm::detail::RunFile(sName, ".status")) << "KSS1 16 4 1 0 0 0 0 " << dead << "\n";
    std::ofstream(scm::detail::RunFile(sName, ".ctl")) << "not a socket";

    std::vector<scm::Step> steps;
    ASSERT_TRUE(scm::Shutdown(&steps));
    EXPECT_TRUE(steps.empty()) << "a dead service is not stopped again";
    ASSERT_TRUE(scm::Boot(&steps));
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].outcome, scm::Outcome::Started);
    const SERVICE_STATUS_PROCESS status = Query(hService.get());
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_NE(status.dwProcessId, static_cast<DWORD>(dead));
    ASSERT_TRUE(scm::Shutdown(&steps, 10000));
    EXPECT_EQ(steps[0].outcome, scm::Outcome::Stopped);
}

}  // namespace
