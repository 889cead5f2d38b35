// Driver control against the stand-in driver started by the service control manager of the test's
// root: the activation handshake, its timeout, a driver already running, a removed driver service and
// the deactivation before the stop. Debug runs of the real executable, judged by their debug log and
// by what the driver reports.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/root.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;

constexpr int EXIT_FAILURE_CODE = 255;
constexpr int RUN_WAIT_MS = 60000;
constexpr const char16_t* DRIVER_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv";

class DriverControl : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        ASSERT_TRUE(krelltest::PrepareProtectionRoot());
        ASSERT_TRUE(krelltest::SetProtectionSetting("DebugOutput", 0xFFFFFFFF));
        CRegistryKey options;
        ASSERT_TRUE(options.Create(HKEY_LOCAL_MACHINE, u"Software\\Quillon\\Loom Core\\Debug\\DebugOutput"));
        ASSERT_TRUE(options.SetString(u"Directory", u"C:\\Logs"));
        ASSERT_EQ(RunCommand("mkdir -p '" + platform::RootDirectory() + "/drive_c/Logs'"), 0);
    }
    void TearDown() override { krelltest::ShutdownProtectionRoot(); }

    std::string Log() {
        return krelltest::Utf16LeToUtf8(krelltest::ReadFileBytes(u"C:\\Logs\\KRELLSvc.log"));
    }
    std::string DriverStatus() {
        std::string sOutput;
        RunCommand(m_sCtl + " driver status", &sOutput);
        return sOutput;
    }
    bool WaitForDriver(const char* szText) {
        for (int n = 0; n < 300; ++n) {
            if (DriverStatus().find(szText) != std::string::npos) {
                return true;
            }
            usleep(50000);
        }
        return false;
    }
    bool WaitForDriverGone() {
        for (int n = 0; n < 200; ++n) {
            if (DriverStatus().find("ok ") == std::string::npos) {
                return true;
            }
            usleep(50000);
        }
        return false;
    }
    // The exit code of a run started here; a run that does not end is ended.
    static int WaitRun(pid_t pid) {
        const int nExit = krelltest::WaitChild(pid, RUN_WAIT_MS);
        if (nExit == -1) {
            krelltest::KillChild(pid);
        }
        return nExit;
    }
    static void SetDriverParameter(const char16_t* szName, DWORD dwValue) {
        CRegistryKey parameters;
        ASSERT_TRUE(
            parameters.Create(HKEY_LOCAL_MACHINE, (std::u16string(DRIVER_KEY) + u"\\Parameters").c_str()));
        ASSERT_TRUE(parameters.SetDword(szName, dwValue));
    }
    // A debug run that comes up with the driver enforcing, then is told to terminate. *psStatus: the
    // driver's status while the service ran.
    int RunUntilActivated(std::string* psStatus) {
        const pid_t pid = krelltest::StartChild({ProgramPath("krellsvc"), "-Debug"});
        if (pid <= 0) {
            return -1;
        }
        const bool bActivated = WaitForDriver("driver=activated");
        *psStatus = DriverStatus();
        RunCommand(ProgramPath("krellsvc") + " -Terminate");
        const int nExit = WaitRun(pid);
        return bActivated ? nExit : -2;
    }

    std::string m_sCtl;
};

TEST_F(DriverControl, HandshakeActivatesAndTheStopDeactivatesAndStopsTheDriver) {
    std::string sStatus;
    EXPECT_EQ(RunUntilActivated(&sStatus), 0) << Log();
    EXPECT_NE(sStatus.find("connections=1"), std::string::npos) << sStatus;
    const std::string sLog = Log();
    // The only failure is the first channel open, before the driver was started.
    const size_t nFirst = sLog.find("failed");
    EXPECT_NE(sLog.find("CKTUMSModule::openDriverChannel(): CKTUMessageChannel->Open() failed"),
              std::string::npos)
        << sLog;
    EXPECT_EQ(sLog.find("failed", nFirst + 1), std::string::npos) << sLog;
    EXPECT_EQ(sLog.find("already running"), std::string::npos) << sLog;
    // The stop control ends the driver's process: its control socket no longer answers.
    EXPECT_TRUE(WaitForDriverGone()) << DriverStatus();
    // Activated at the start, deactivated before the stop.
    std::string sDriverLog;
    RunCommand("cat '" + platform::RootDirectory() + "/run/KRELLDrv.log'", &sDriverLog);
    const size_t nOn = sDriverLog.find("krelldrv: activation 1");
    ASSERT_NE(nOn, std::string::npos) << sDriverLog;
    EXPECT_NE(sDriverLog.find("krelldrv: activation 0", nOn), std::string::npos) << sDriverLog;
}

TEST_F(DriverControl, RunningDriverIsReusedWithoutAStartRequest) {
    ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLDrv"), 0);
    ASSERT_TRUE(WaitForDriver("driver=deactivated"));
    const std::string sBefore = DriverStatus();
    const std::string sPid = sBefore.substr(0, sBefore.find(' ', sBefore.find("pid=")));
    std::string sStatus;
    EXPECT_EQ(RunUntilActivated(&sStatus), 0) << Log();
    EXPECT_EQ(sStatus.rfind(sPid, 0), 0u) << sBefore << " / " << sStatus;
    EXPECT_EQ(Log().find("loadDriver"), std::string::npos) << Log();
}

TEST_F(DriverControl, RemovedDriverServiceIsRecreatedOnce) {
    ASSERT_EQ(platform::RegDeleteTree(HKEY_LOCAL_MACHINE, DRIVER_KEY), 0);
    std::string sStatus;
    EXPECT_EQ(RunUntilActivated(&sStatus), 0) << Log();
    const std::string sLog = Log();
    const size_t nAdding = sLog.find("CKTUMSModule::loadDriver - Driver service removed. Adding...");
    EXPECT_NE(nAdding, std::string::npos) << sLog;
    EXPECT_EQ(sLog.find("Unable to re-add the driver service"), std::string::npos) << sLog;
    EXPECT_NE(sStatus.find("connections=1"), std::string::npos) << sStatus;
    CRegistryKey entry;
    ASSERT_TRUE(entry.Open(HKEY_LOCAL_MACHINE, DRIVER_KEY));
    DWORD dwType = 0;
    DWORD dwStart = 0;
    EXPECT_TRUE(entry.GetDword(u"Type", &dwType));
    EXPECT_TRUE(entry.GetDword(u"Start", &dwStart));
    EXPECT_EQ(dwType, 1u);
    EXPECT_EQ(dwStart, 3u);
}

TEST_F(DriverControl, SilentDriverFailsTheStartAndIsStillDeactivatedAndStopped) {
    SetDriverParameter(u"ActivationSilent", 1);
    const pid_t pid = krelltest::StartChild({ProgramPath("krellsvc"), "-Debug"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitRun(pid), EXIT_FAILURE_CODE);
    const std::string sLog = Log();
    EXPECT_NE(sLog.find("CKTUMSModule::ServiceStartThread(): WaitForKTMessage failed: 0X80070102"),
              std::string::npos)
        << sLog;
    EXPECT_NE(sLog.find("CKTUMSModule::ShutdownDriver(): WaitForKTMessage(pShutdownReplySubscriber) failed"),
              std::string::npos)
        << sLog;
    EXPECT_EQ(sLog.find("unloadDriver() failed"), std::string::npos) << sLog;
    EXPECT_TRUE(WaitForDriverGone()) << DriverStatus();
}

}  // namespace
