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
        // Each test reads a log of its own runs only.
        const std::string sLogs = platform::RootDirectory() + "/drive_c/Logs";
        ASSERT_EQ(RunCommand("mkdir -p '" + sLogs + "' && rm -f '" + sLogs + "/KRELLSvc.log'"), 0);
    }
    // The next test's init re-creates the driver's entry, without this test's options.
    void TearDown() override {
        krelltest::ShutdownProtectionRoot();
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, DRIVER_KEY);
    }

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
        ASSERT_TRUE(krelltest::SetDriverParameter(szName, dwValue));
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

    std::string DriverErrorMarker() {
        std::string sOutput;
        RunCommand(m_sCtl + " settings get 'GATEWARDEN\\PRIVATE' DriverError", &sOutput);
        return sOutput;
    }

    std::string m_sCtl;
};

TEST_F(DriverControl, HandshakeActivatesAndTheStopDeactivatesAndStopsTheDriver) {
    std::string sStatus;
    EXPECT_EQ(RunUntilActivated(&sStatus), 0) << Log();
    EXPECT_NE(sStatus.find("connections=1"), std::string::npos) << sStatus;
    const std::string sLog = Log();
    // The only failure is the first channel open, before the driver was started, beside the
    // known-folder cache's first start (its settings are not there yet).
    EXPECT_NE(sLog.find("CKTUMSModule::openDriverChannel(): CKTUMessageChannel->Open() failed"),
              std::string::npos)
        << sLog;
    std::size_t nFailures = 0;
    for (const std::string& sLine : krelltest::NonEmptyLines(sLog)) {
        nFailures += sLine.find("failed") != std::string::npos && sLine.find("CSIDL") == std::string::npos;
    }
    EXPECT_EQ(nFailures, 1u) << sLog;
    EXPECT_EQ(sLog.find("already running"), std::string::npos) << sLog;
    // The stop control ends the driver's process: its control socket no longer answers.
    EXPECT_TRUE(WaitForDriverGone()) << DriverStatus();
    // Activated at the start, deactivated before the stop.
    const std::string sDriverLog = krelltest::ReadText(platform::RootDirectory() + "/run/KRELLDrv.log");
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

// Drivers that cannot be reached: the start fails at the step that finds out, with that step's
// line, and leaves the driver error marker at the value the next start must see.
struct UnreachableDriverCase {
    const char* szName;
    const char16_t* szParameter;  // a test option of the stand-in driver, or null
    const char16_t* szImagePath;  // replaces the driver's image path, or null
    bool bRunningWithoutDevice;   // the driver runs, but its device has gone
    const char* szExpectedLine;
    const char* szExpectedMarker;
};

class UnreachableDriver : public DriverControl, public testing::WithParamInterface<UnreachableDriverCase> {};

TEST_P(UnreachableDriver, FailsTheStartWithItsLineAndMarker) {
    const UnreachableDriverCase& c = GetParam();
    if (c.szParameter != nullptr) {
        SetDriverParameter(c.szParameter, 1);
    }
    if (c.szImagePath != nullptr) {
        CRegistryKey entry;
        ASSERT_TRUE(entry.Open(HKEY_LOCAL_MACHINE, DRIVER_KEY, KEY_SET_VALUE));
        ASSERT_TRUE(entry.SetString(u"ImagePath", c.szImagePath));
    }
    if (c.bRunningWithoutDevice) {
        ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLDrv"), 0);
        ASSERT_TRUE(WaitForDriver("driver=deactivated"));
        ASSERT_EQ(RunCommand("rm '" + platform::RootDirectory() + "/dev/KTDRVCHANNEL'"), 0);
    }
    const pid_t pid = krelltest::StartChild({ProgramPath("krellsvc"), "-Debug"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitRun(pid), EXIT_FAILURE_CODE);
    const std::string sLog = Log();
    EXPECT_NE(sLog.find(c.szExpectedLine), std::string::npos) << sLog;
    EXPECT_NE(DriverErrorMarker().find(c.szExpectedMarker), std::string::npos) << DriverErrorMarker();
    EXPECT_EQ(sLog.find("driver handshake failed"), std::string::npos) << sLog;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreachableDriver,
    testing::Values(
        // The driver fails in its entry: the start request reports it.
        UnreachableDriverCase{"NoDevice", u"NoDevice", nullptr, false,
                              "CKTUMSModule::loadDriver(): StartService failed (0x0000042B)", "2"},
        // The entry names a file that is not there: the start request itself fails.
        UnreachableDriverCase{"MissingImage", nullptr, u"C:\\Program Files\\Quillon\\KRELL\\Missing.sys",
                              false, "CKTUMSModule::ServiceStartThread(): loadDriver() failed", "2"},
        // Already running, but its channel cannot be opened: the load succeeds, the second open fails.
        UnreachableDriverCase{"RunningWithoutDevice", nullptr, nullptr, true,
                              "CKTUMSModule::ServiceStartThread(): openDriverChannel() failed", "0"}),
    [](const testing::TestParamInfo<UnreachableDriverCase>& info) { return std::string(info.param.szName); });

// A reply that comes late, but within the handshake's limit, still brings the protection up.
TEST_F(DriverControl, SlowDriverWithinTheLimitIsActivated) {
    SetDriverParameter(u"ActivationDelay", 3000);
    std::string sStatus;
    EXPECT_EQ(RunUntilActivated(&sStatus), 0) << Log();
    EXPECT_EQ(Log().find("WaitForKTMessage failed"), std::string::npos) << Log();
}

}  // namespace
