// Service processes driven through the service control manager: start, status, controls, deaths,
// drivers, boot and shutdown, deletion while running.
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>

#include "platform/registry.h"
#include "scm/scm_internal.h"
#include "scm_fixture.h"

namespace {

using namespace platform;
using scmtest::ScHandle;

class ScmProcessTest : public scmtest::ScmTest {};

constexpr DWORD ACCEPT_ALL = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

// The stand-in starts its services inside the test's root.
TEST_F(ScmProcessTest, ServiceProcessRunsInTheRoot) {
    ScHandle hService(Create(u"Rooted", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
    EXPECT_TRUE(WaitForLog(u"Rooted", "root: " + RootDirectory() + "\n"));
}

TEST_F(ScmProcessTest, KilledProcessReadsAsAborted) {
    ScHandle hService(Create(u"Victim", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr));
    ASSERT_TRUE(scm::WaitForState(u"Victim", SERVICE_RUNNING, 10000));
    const DWORD dwPid = Query(hService.get()).dwProcessId;
    ASSERT_EQ(kill(static_cast<pid_t>(dwPid), SIGKILL), 0);
    for (int i = 0; i < 500 && !ProcessGone(dwPid); ++i) {
        usleep(10000);
    }
    // The dead process left its control socket behind; a control gets a clean answer.
    const std::string sSocket = RootSubdirectory("run") + "/Victim.ctl";
    EXPECT_TRUE(std::filesystem::exists(sSocket));
    SERVICE_STATUS plain{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ControlService(hService.get(), SERVICE_CONTROL_INTERROGATE, &plain));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(std::filesystem::exists(sSocket));

    const SERVICE_STATUS_PROCESS status = Query(hService.get());
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(status.dwProcessId, 0u);

    // It starts again over what the dead one left.
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(scm::WaitForState(u"Victim", SERVICE_RUNNING, 10000));
    EXPECT_EQ(Query(hService.get()).dwWin32ExitCode, ERROR_SUCCESS);
}

TEST_F(ScmProcessTest, ControlSocketNobodyServesGivesACleanError) {
    // Run files as a hung service leaves them: a living process that does not serve its socket.
    ScHandle hService(Create(u"Deaf", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    const pid_t child = krelltest::StartChild({krelltest::TestBinary("krell_child_service"), "driver"});
    ASSERT_GT(child, 0);
    scm::detail::PidRecord process{child, 0};
    for (int i = 0; i < 200 && !scm::detail::ProcessStartTime(child, &process.ullStartTime); ++i) {
        usleep(5000);
    }
    ASSERT_TRUE(scm::detail::WritePidFile(u"Deaf", process));
    scm::detail::StatusRecord running;
    running.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    running.status.dwCurrentState = SERVICE_RUNNING;
    running.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    running.dwProcessId = static_cast<DWORD>(child);
    ASSERT_TRUE(scm::detail::WriteStatusFile(u"Deaf", running));
    const std::string sSocket = RootSubdirectory("run") + "/Deaf.ctl";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, sSocket.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(fd);  // bound, never listened: connections are refused

    SERVICE_STATUS plain{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ControlService(hService.get(), SERVICE_CONTROL_STOP, &plain));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(plain.dwCurrentState, SERVICE_RUNNING);

    krelltest::KillChild(child);
    EXPECT_FALSE(ControlService(hService.get(), SERVICE_CONTROL_STOP, &plain));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(Query(hService.get()).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

TEST_F(ScmProcessTest, DriverIsStoppedByEndingItsProcess) {
    const struct {
        const char* szCase;
        const char16_t* szImage;
    } cases[] = {
        {"ends on SIGTERM", u"C:\\svc\\testdrv.sys driver"},
        {"ignores SIGTERM", u"C:\\svc\\testdrv.sys driver ignore-term"},
    };
    int nIndex = 0;
    for (const auto& c : cases) {
        const std::u16string sName = u"TestDrv" + FromUtf8(std::to_string(nIndex++));
        ScHandle hDriver(Create(sName, c.szImage, SERVICE_KERNEL_DRIVER));
        ASSERT_TRUE(hDriver);
        ASSERT_TRUE(StartService(hDriver.get(), 0, nullptr)) << c.szCase << GetLastError();
        SERVICE_STATUS_PROCESS status = Query(hDriver.get());
        EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING) << c.szCase;
        EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP) << c.szCase;
        const DWORD dwPid = status.dwProcessId;
        ASSERT_NE(dwPid, 0u);
        EXPECT_TRUE(WaitForLog(sName, "root: ")) << c.szCase;

        SERVICE_STATUS plain{};
        EXPECT_TRUE(ControlService(hDriver.get(), SERVICE_CONTROL_INTERROGATE, &plain)) << c.szCase;
        EXPECT_FALSE(ControlService(hDriver.get(), 140, &plain)) << c.szCase;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL) << c.szCase;

        ASSERT_TRUE(ControlService(hDriver.get(), SERVICE_CONTROL_STOP, &plain))
            << c.szCase << GetLastError();
        EXPECT_EQ(plain.dwCurrentState, SERVICE_STOPPED) << c.szCase;
        EXPECT_TRUE(ProcessGone(dwPid)) << c.szCase;
        status = Query(hDriver.get());
        EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED) << c.szCase;
        EXPECT_EQ(status.dwWin32ExitCode, ERROR_SUCCESS) << c.szCase;
    }
}

TEST_F(ScmProcessTest, BootStartsDependenciesFirstAndShutdownStopsDependentsFirst) {
    const std::string sStop = std::to_string(SERVICE_ACCEPT_STOP);
    // App -> Mid -> Drv; Mid also needs RPCSS, which is not installed here and counts as running.
    ASSERT_TRUE(ScHandle(Create(u"App", ServiceImage(sStop + " 0 100"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, u"Mid\0")));
    ASSERT_TRUE(ScHandle(Create(u"Mid", ServiceImage("0 0 100"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, u"RPCSS\0Drv\0")));
    ASSERT_TRUE(ScHandle(
        Create(u"Drv", u"C:\\svc\\testdrv.sys driver", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START)));
    ASSERT_TRUE(ScHandle(Create(u"Lonely", ServiceImage(std::to_string(ACCEPT_ALL) + " 0"),
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START)));
    ASSERT_TRUE(ScHandle(Create(u"Manual", ServiceImage(sStop + " 0"))));
    ASSERT_TRUE(
        ScHandle(Create(u"Broken", u"C:\\svc\\missing.exe", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START)));
    ASSERT_TRUE(ScHandle(Create(u"NeedsBroken", ServiceImage(sStop + " 0"), SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, u"Broken\0")));

    std::vector<scm::Step> steps;
    EXPECT_FALSE(scm::Boot(&steps));
    const auto position = [&steps](const char16_t* szName) {
        const auto it =
            std::find_if(steps.begin(), steps.end(), [&](const scm::Step& s) { return s.sName == szName; });
        return it == steps.end() ? -1 : static_cast<int>(it - steps.begin());
    };
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_LT(position(u"Drv"), position(u"Mid"));
    EXPECT_LT(position(u"Mid"), position(u"App"));
    EXPECT_LT(position(u"Broken"), position(u"NeedsBroken"));
    EXPECT_EQ(position(u"Manual"), -1);
    const struct {
        const char16_t* szName;
        scm::Outcome outcome;
        DWORD dwError;
        DWORD dwState;
    } expected[] = {
        {u"App", scm::Outcome::Started, ERROR_SUCCESS, SERVICE_RUNNING},
        {u"Mid", scm::Outcome::Started, ERROR_SUCCESS, SERVICE_RUNNING},
        {u"Drv", scm::Outcome::Started, ERROR_SUCCESS, SERVICE_RUNNING},
        {u"Lonely", scm::Outcome::Started, ERROR_SUCCESS, SERVICE_RUNNING},
        {u"Broken", scm::Outcome::Failed, ERROR_FILE_NOT_FOUND, SERVICE_STOPPED},
        {u"NeedsBroken", scm::Outcome::DependencyFailed, ERROR_SERVICE_DEPENDENCY_FAIL, SERVICE_STOPPED},
    };
    for (const auto& e : expected) {
        const int n = position(e.szName);
        ASSERT_GE(n, 0) << ToUtf8(e.szName);
        EXPECT_EQ(steps[n].outcome, e.outcome) << ToUtf8(e.szName);
        EXPECT_EQ(steps[n].dwError, e.dwError) << ToUtf8(e.szName);
        scm::ServiceEntry entry;
        ASSERT_TRUE(scm::QueryService(e.szName, &entry));
        EXPECT_EQ(entry.status.dwCurrentState, e.dwState) << ToUtf8(e.szName);
    }
    // A second boot finds them running.
    std::vector<scm::Step> again;
    scm::Boot(&again);
    for (const auto& step : again) {
        if (step.sName != u"Broken" && step.sName != u"NeedsBroken") {
            EXPECT_EQ(step.outcome, scm::Outcome::AlreadyRunning) << ToUtf8(step.sName);
        }
    }

    ASSERT_TRUE(scm::Shutdown(&steps, 5000));
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_LT(position(u"App"), position(u"Mid"));
    EXPECT_LT(position(u"Mid"), position(u"Drv"));
    EXPECT_EQ(steps[position(u"App")].outcome, scm::Outcome::Stopped);
    EXPECT_EQ(steps[position(u"Lonely")].outcome, scm::Outcome::Stopped);
    EXPECT_EQ(steps[position(u"Drv")].outcome, scm::Outcome::Stopped);
    // Mid accepts no controls: a machine shutdown ends its process.
    EXPECT_EQ(steps[position(u"Mid")].outcome, scm::Outcome::Terminated);
    std::vector<scm::ServiceEntry> services;
    ASSERT_TRUE(scm::ListServices(&services));
    for (const auto& entry : services) {
        EXPECT_EQ(entry.status.dwCurrentState, SERVICE_STOPPED) << ToUtf8(entry.sName);
        EXPECT_EQ(entry.dwProcessId, 0u) << ToUtf8(entry.sName);
    }
    scm::ServiceEntry mid;
    ASSERT_TRUE(scm::QueryService(u"Mid", &mid));
    EXPECT_EQ(mid.status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    EXPECT_TRUE(WaitForLog(u"Lonely", "control 1\n"));
}

TEST_F(ScmProcessTest, ShutdownEndsAServiceThatIgnoresStop) {
    ScHandle hService(Create(
        u"Stubborn", ServiceImage(std::to_string(SERVICE_ACCEPT_STOP) + " 0 0 hang-stop ignore-term")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr));
    ASSERT_TRUE(scm::WaitForState(u"Stubborn", SERVICE_RUNNING, 10000));
    std::vector<scm::Step> steps;
    ASSERT_TRUE(scm::Shutdown(&steps, 300));
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].outcome, scm::Outcome::Killed);
    const SERVICE_STATUS_PROCESS status = Query(hService.get());
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

}  // namespace
