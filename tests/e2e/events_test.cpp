// The service's events seen from outside: a root booted with the protection intended on, the event
// manager's stand-in routing between the service and a `krellctl events watch` started beforehand,
// and the service terminated again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/root.h"
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

class ServiceEvents : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        m_sRun = platform::RootDirectory() + "/run";
        ASSERT_TRUE(krelltest::PrepareProtectionRoot());
    }
    void TearDown() override {
        if (m_nWatcher > 0) {
            krelltest::KillChild(m_nWatcher);
        }
        krelltest::ShutdownProtectionRoot();
    }

    // A watcher of the given types, its events in run/watch.out; waits until it has subscribed.
    void StartWatcher(const std::string& sArguments) {
        m_nWatcher = krelltest::StartChild({"/bin/sh", "-c",
                                            "exec '" + m_sCtl + "' events watch " + sArguments + " > '" +
                                                m_sRun + "/watch.out' 2> '" + m_sRun + "/watch.err'"});
        ASSERT_GT(m_nWatcher, 0);
        ASSERT_TRUE(krelltest::WaitForFileText(m_sRun + "/watch.err", "watching types", 20000))
            << ReadText(m_sRun + "/watch.err");
    }

    std::string m_sCtl;
    std::string m_sRun;
    pid_t m_nWatcher = -1;
};

// Boot brings the protection up and announces it; terminate takes it down and announces that. The
// first configuration's success (5) comes in between, whenever its compilation ends.
TEST_F(ServiceEvents, BootAndTerminateAreAnnouncedInOrder) {
    // The watcher needs the event manager before the service starts it.
    ASSERT_EQ(RunCommand(m_sCtl + " service start zuZazEzi"), 0);
    StartWatcher("--type 6010 --count 5 --timeout 90");
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_TRUE(WaitForDriverStatus("driver=activated")) << DriverStatus();
    ASSERT_TRUE(krelltest::WaitForFileText(m_sRun + "/watch.out", "Gatewarden is enabled", 20000))
        << ReadText(m_sRun + "/watch.out");
    // The first configuration reaches the driver before the stop.
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();

    ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t", &sOutput), 0) << sOutput;
    EXPECT_EQ(krelltest::WaitChild(m_nWatcher, 60000), 0) << ReadText(m_sRun + "/watch.err");
    m_nWatcher = -1;

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

}  // namespace
