// The service's events seen from outside: a root booted with the protection intended on, the event
// manager's stand-in routing between the service and a `krellctl events watch` started beforehand,
// and the service terminated again.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/root.h"
#include "platform/service_control.h"
#include "scm/scm_admin.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::DriverStatus;
using krelltest::ProgramPath;
using krelltest::ReadText;
using krelltest::RunCommand;
using krelltest::WaitForDriverStatus;

// The service's debug log written since a run began (the root's log keeps earlier runs).
std::string LogSince(size_t nBefore) {
    const std::string sLog = krelltest::ServiceLog();
    return nBefore < sLog.size() ? sLog.substr(nBefore) : std::string();
}

bool WaitForLogSince(size_t nBefore, const std::string& sText) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (LogSince(nBefore).find(sText) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        usleep(50000);
    }
    return true;
}

class ServiceEvents : public krelltest::ProtectionRootTest {};

// Boot brings the protection up and announces it; terminate takes it down and announces that. The
// first configuration's success (5) comes in between, whenever its compilation ends.
TEST_F(ServiceEvents, BootAndTerminateAreAnnouncedInOrder) {
    // The watcher needs the event manager before the service starts it.
    ASSERT_EQ(RunCommand(m_sCtl + " service start zuZazEzi"), 0);
    // Its events in run/watch.out.
    const pid_t watcher = StartWatcher("watch", "events watch --type 6010 --count 5 --timeout 90");
    ASSERT_GT(watcher, 0);
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_TRUE(WaitForDriverStatus("driver=activated")) << DriverStatus();
    ASSERT_TRUE(krelltest::WaitForFileText(m_sRun + "/watch.out", "Gatewarden is enabled", 20000))
        << ReadText(m_sRun + "/watch.out");
    // The first configuration reaches the driver before the stop.
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();

    ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t", &sOutput), 0) << sOutput;
    EXPECT_EQ(WaitWatcher(watcher, 60000), 0) << ReadText(m_sRun + "/watch.err");

    std::vector<std::string> events = krelltest::NonEmptyLines(ReadText(m_sRun + "/watch.out"));
    ASSERT_EQ(events.size(), 5u) << ReadText(m_sRun + "/watch.out");
    const auto configured = std::find_if(events.begin(), events.end(), [](const std::string& sEvent) {
        return sEvent.find("\"Code\":5,") != std::string::npos;
    });
    ASSERT_NE(configured, events.end()) << ReadText(m_sRun + "/watch.out");
    EXPECT_NE(configured->find("\"Data\":\"hr=0x00000000\""), std::string::npos) << *configured;
    events.erase(configured);
    const char* const expected[][2] = {{"\"Code\":1,", nullptr},
                                       {"\"Code\":4,", "\"Data\":\"Gatewarden is enabled\""},
                                       {"\"Code\":3,", "\"Data\":\"Gatewarden is disabled\""},
                                       {"\"Code\":2,", nullptr}};
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_NE(events[i].find("\"type\":6010"), std::string::npos) << events[i];
        EXPECT_NE(events[i].find(expected[i][0]), std::string::npos) << events[i];
        if (expected[i][1] != nullptr) {
            EXPECT_NE(events[i].find(expected[i][1]), std::string::npos) << events[i];
        } else {
            EXPECT_EQ(events[i].find("\"Data\""), std::string::npos) << events[i];
        }
    }
    // The driver was deactivated before its stop (the last notification goes out just before it),
    // and its process has ended.
    EXPECT_TRUE(krelltest::WaitForFileText(m_sRun + "/KRELLDrv.log", "krelldrv: activation 0", 20000));
    const std::string sDriverLog = krelltest::ReadText(m_sRun + "/KRELLDrv.log");
    const std::size_t nOn = sDriverLog.find("krelldrv: activation 1");
    ASSERT_NE(nOn, std::string::npos) << sDriverLog;
    EXPECT_NE(sDriverLog.find("krelldrv: activation 0", nOn), std::string::npos) << sDriverLog;
    bool bGone = false;
    for (int n = 0; n < 200 && !bGone; ++n) {
        bGone = DriverStatus().find("ok ") == std::string::npos;
        usleep(50000);
    }
    EXPECT_TRUE(bGone) << DriverStatus();
    // The protection's final state is written last, after the driver has gone.
    ASSERT_TRUE(scm::WaitForState(u"KRELLSvc", SERVICE_STOPPED, 20000));
    RunCommand(m_sCtl + " settings get 'GATEWARDEN\\PRIVATE' CurrentState", &sOutput);
    EXPECT_NE(sOutput.find("0x00000000"), std::string::npos) << sOutput;
    CRegistryKey service;
    DWORD dwStart = 0;
    ASSERT_TRUE(service.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc"));
    ASSERT_TRUE(service.GetDword(u"Start", &dwStart));
    EXPECT_EQ(dwStart, 3u);
}

// An event manager that goes away while the service runs costs the service its events, not its
// work: the stop still deactivates the driver and leaves the protection off, and each notification
// that can no longer be published is logged and dropped.
TEST_F(ServiceEvents, EventManagerGoneWhileRunningLeavesTheStopWhole) {
    ASSERT_TRUE(krelltest::SetProtectionSetting("DebugOutput", 0xFFFFFFFF));
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_TRUE(WaitForDriverStatus("driver=activated")) << DriverStatus();
    ASSERT_EQ(RunCommand(m_sCtl + " service stop zuZazEzi", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForServiceStatus("zuZazEzi", "STOPPED"));

    ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED"));
    const std::string sDriverLog = krelltest::ReadText(m_sRun + "/KRELLDrv.log");
    EXPECT_NE(sDriverLog.find("krelldrv: activation 0"), std::string::npos) << sDriverLog;
    RunCommand(m_sCtl + " settings get 'GATEWARDEN\\PRIVATE' CurrentState", &sOutput);
    EXPECT_NE(sOutput.find("0x00000000"), std::string::npos) << sOutput;
    std::string sLog;
    RunCommand(m_sCtl + " log show", &sLog);
    EXPECT_NE(sLog.find("Unable to send event; code=3, data=\"Gatewarden is disabled\""), std::string::npos)
        << sLog;
}

// How the event manager goes away: "kill" (SIGKILL) or "stop" (through the SCM).
class EventManagerRestart : public ServiceEvents, public testing::WithParamInterface<std::string> {};

// The event manager made to go while a configuration change is being delivered to the driver, and
// started again through the SCM: the service keeps running and finishes that delivery, then finds
// the manager back on its own, registers again (the compiler, the provider, the sender), logs the
// outage and the reconnection once each, and answers the next configuration change.
TEST_P(EventManagerRestart, DuringACompilationIsSurvivedAndReconnected) {
    ASSERT_TRUE(krelltest::SetProtectionSetting("DebugOutput", 0xFFFFFFFF));
    // The root's debug log may hold earlier runs of the service.
    const size_t nLogBefore = krelltest::ServiceLog().size();
    // Started and running before the boot, so that its run file names the one process that serves.
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " service start zuZazEzi", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForServiceStatus("zuZazEzi", "RUNNING"));
    const pid_t nManager = std::stoi(ReadText(m_sRun + "/zuZazEzi.pid"));
    ASSERT_GT(nManager, 0);
    ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_TRUE(WaitForDriverStatus("driver=activated")) << DriverStatus();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();

    // The driver answers the next configuration late, so the event manager dies during its delivery.
    CRegistryKey driverParameters;
    ASSERT_TRUE(driverParameters.Create(HKEY_LOCAL_MACHINE,
                                        u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters"));
    ASSERT_TRUE(driverParameters.SetDword(u"ConfigDelay", 3000));
    const size_t nLoadedBefore = krelltest::CountOf(ReadText(m_sRun + "/KRELLDrv.log"), " loaded\n");
    const pid_t nChange = krelltest::StartChild(
        {"/bin/sh", "-c",
         "exec '" + m_sCtl + "' protection set file=0 --wait 30 > '" + m_sRun + "/change.out' 2>&1"});
    ASSERT_GT(nChange, 0);
    // The driver's log, not its status: the driver answers nothing while it holds the reply back.
    const std::string sDriverLog = m_sRun + "/KRELLDrv.log";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (krelltest::CountOf(ReadText(sDriverLog), " loaded\n") == nLoadedBefore &&
           std::chrono::steady_clock::now() < deadline) {
        usleep(10000);
    }
    ASSERT_EQ(krelltest::CountOf(ReadText(sDriverLog), " loaded\n"), nLoadedBefore + 1)
        << ReadText(sDriverLog);
    if (GetParam() == "kill") {
        ASSERT_EQ(kill(nManager, SIGKILL), 0);
    } else {
        ASSERT_EQ(RunCommand(m_sCtl + " service stop zuZazEzi", &sOutput), 0) << sOutput;
    }
    ASSERT_TRUE(krelltest::WaitForServiceStatus("zuZazEzi", "STOPPED"));
    // Its answer is lost with the manager, and the tool says so at once.
    EXPECT_EQ(krelltest::WaitChild(nChange, 60000), 1)
        << ReadText(m_sRun + "/change.out") << ReadText(m_sRun + "/KRELLDrv.log") << krelltest::ServiceLog();
    EXPECT_NE(ReadText(m_sRun + "/change.out").find("the event manager went away before event"),
              std::string::npos)
        << ReadText(m_sRun + "/change.out");
    const std::string sCompilerLost =
        "CKTConfigurationCompiler::CheckConnection(): lost the event manager; reconnecting once it is back";
    ASSERT_TRUE(WaitForLogSince(nLogBefore, sCompilerLost)) << LogSince(nLogBefore);
    ASSERT_TRUE(WaitForLogSince(nLogBefore, "Commit call failed")) << LogSince(nLogBefore);
    ASSERT_TRUE(driverParameters.SetDword(u"ConfigDelay", 0));

    ASSERT_EQ(RunCommand(m_sCtl + " service start zuZazEzi", &sOutput), 0) << sOutput;
    // The answer of that delivery is counted (with one for the store's own announcement of the change,
    // when it was waiting for the compiler).
    ASSERT_TRUE(WaitForLogSince(
        nLogBefore, "CKTConfigurationCompiler::CheckConnection(): reconnected to the event manager; "))
        << LogSince(nLogBefore);
    std::string sAnswer;
    EXPECT_EQ(RunCommand(m_sCtl + " protection set file=1 --wait 60", &sAnswer), 0) << sAnswer;
    EXPECT_NE(sAnswer.find("\"state\":\"committed\""), std::string::npos) << sAnswer;
    EXPECT_TRUE(WaitForDriverStatus("loaded=3")) << DriverStatus();
    // The notification of that compilation goes out through a new registration of the sender.
    ASSERT_TRUE(WaitForLogSince(
        nLogBefore,
        "CNotifyEventSender::NotifySenderThread::CheckConnection(): reconnected to the event manager"))
        << LogSince(nLogBefore);
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "RUNNING"));

    const std::string sLog = LogSince(nLogBefore);
    for (const char* szOwner : {"CKTConfigurationCompiler::CheckConnection()",
                                "CNotifyEventSender::NotifySenderThread::CheckConnection()",
                                "CKTUMSEventProvider::CheckConnection()"}) {
        SCOPED_TRACE(szOwner);
        EXPECT_EQ(krelltest::CountOf(sLog, std::string(szOwner) + ": lost the event manager"), 1u) << sLog;
        EXPECT_EQ(krelltest::CountOf(sLog, std::string(szOwner) + ": reconnected to the event manager"), 1u)
            << sLog;
    }
    // The notification of the delivery that finished while the manager was away was logged and dropped.
    EXPECT_NE(sLog.find("Unable to send event; code=5, data=\"hr=0x00000000\""), std::string::npos) << sLog;
}

// The settings store's service killed under a running service and started again: the service keeps
// running, and once the store is back a change of the switches is published, compiled, answered and
// delivered as before.
TEST_F(ServiceEvents, SettingsStoreKilledAndRestartedWhileRunning) {
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const pid_t nStore = std::stoi(ReadText(m_sRun + "/lcSetMgr.pid"));
    ASSERT_GT(nStore, 0);
    ASSERT_EQ(kill(nStore, SIGKILL), 0);
    ASSERT_TRUE(krelltest::WaitForServiceStatus("lcSetMgr", "STOPPED"));
    // Without the store a change cannot be written; the tool says so and the service runs on.
    EXPECT_NE(RunCommand(m_sCtl + " protection set file=0 --wait 10", &sOutput), 0) << sOutput;
    EXPECT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "RUNNING"));

    ASSERT_EQ(RunCommand(m_sCtl + " service start lcSetMgr", &sOutput), 0) << sOutput;
    std::string sAnswer;
    EXPECT_EQ(RunCommand(m_sCtl + " protection set file=0 --wait 60", &sAnswer), 0) << sAnswer;
    EXPECT_NE(sAnswer.find("\"state\":\"committed\""), std::string::npos) << sAnswer;
    EXPECT_TRUE(WaitForDriverStatus("loaded=2")) << DriverStatus();
    EXPECT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "RUNNING"));
}

INSTANTIATE_TEST_SUITE_P(Ways, EventManagerRestart, testing::Values("kill", "stop"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
