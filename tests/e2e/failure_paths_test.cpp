// Failure paths of the protection service, made to happen in a running system by the stand-ins'
// fault switches and judged from outside: the service's status reports as its service control
// manager recorded them, the debug log (`krellctl log show`), `krellctl status` and the services'
// states.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/root.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;

constexpr auto npos = std::string::npos;
constexpr int EXIT_FAILURE_CODE = 255;
constexpr const char16_t* DRIVER_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv";
constexpr const char16_t* FRAMEWORK_FAULTS_KEY = u"SOFTWARE\\Quillon\\KT";
constexpr const char16_t* EVENT_MANAGER_PARAMETERS_KEY =
    u"SYSTEM\\CurrentControlSet\\Services\\zuZazEzi\\Parameters";
constexpr const char16_t* SETTINGS_PARAMETERS_KEY =
    u"SYSTEM\\CurrentControlSet\\Services\\lcSetMgr\\Parameters";
constexpr const char16_t* SCM_FAULTS_KEY = u"SYSTEM\\CurrentControlSet\\Control\\ServiceControlManagerFaults";
constexpr const char16_t* REGISTRY_FAULTS_KEY = u"SYSTEM\\CurrentControlSet\\Control\\RegistryFaults";
constexpr const char16_t* DRIVER_PARAMETERS_KEY =
    u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters";

// Makes one call of the stand-in SCM fail with dwError from now on ("StartService KRELLDrv").
bool SetScmFault(const char16_t* szCall, DWORD dwError) {
    CRegistryKey faults;
    return faults.Create(HKEY_LOCAL_MACHINE, SCM_FAULTS_KEY) && faults.SetDword(szCall, dwError);
}

struct CReport {
    std::string sState;
    unsigned uCheckPoint = 0;
    unsigned uWaitHint = 0;
    unsigned uControls = 0;
    unsigned uWin32 = 0;
    unsigned uSpecific = 0;
};

// The status reports of the service's last run, as `krellctl service history` prints them.
std::vector<CReport> History(const char* szService) {
    std::string sOutput;
    RunCommand(ProgramPath("krellctl") + " service history " + szService, &sOutput);
    std::vector<CReport> reports;
    for (const std::string& sLine : krelltest::NonEmptyLines(sOutput)) {
        char szState[32] = {};
        CReport r;
        if (std::sscanf(sLine.c_str(), "%31s checkpoint=%u wait=%u controls=0x%X win32=%u specific=0x%X",
                        szState, &r.uCheckPoint, &r.uWaitHint, &r.uControls, &r.uWin32, &r.uSpecific) == 6) {
            r.sState = szState;
            reports.push_back(r);
        }
    }
    return reports;
}

std::string Describe(const std::vector<CReport>& reports) {
    std::string s;
    for (const auto& r : reports) {
        s += r.sState + " cp=" + std::to_string(r.uCheckPoint) + " wait=" + std::to_string(r.uWaitHint) +
             " win32=" + std::to_string(r.uWin32) + " specific=" + std::to_string(r.uSpecific) + "\n";
    }
    return s;
}

class FailurePaths : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        ASSERT_TRUE(krelltest::PrepareProtectionRoot());
        ASSERT_TRUE(krelltest::SetProtectionSetting("DebugOutput", 0xFFFFFFFF));
        // An earlier test of this process may have left a marker in the shared root.
        ASSERT_TRUE(krelltest::SetProtectionSetting("DriverError", 0));
        CRegistryKey options;
        ASSERT_TRUE(options.Create(HKEY_LOCAL_MACHINE, u"Software\\Quillon\\Loom Core\\Debug\\DebugOutput"));
        ASSERT_TRUE(options.SetString(u"Directory", u"C:\\Logs"));
        // Full logging also when the settings store, which can override it, cannot be reached.
        ASSERT_TRUE(options.SetDword(u"DebugType", 1));
        // Each test reads the log of its own runs only.
        const std::string sLogs = platform::RootDirectory() + "/drive_c/Logs";
        std::filesystem::create_directories(sLogs);
        std::filesystem::remove(sLogs + "/KRELLSvc.log");
    }
    void TearDown() override {
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, SCM_FAULTS_KEY);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, REGISTRY_FAULTS_KEY);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, FRAMEWORK_FAULTS_KEY);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, EVENT_MANAGER_PARAMETERS_KEY);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, SETTINGS_PARAMETERS_KEY);
        RunCommand(ProgramPath("krellsvc") + " -t");
        krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 30000);
        krelltest::ShutdownProtectionRoot();
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, DRIVER_KEY);
    }

    // Starts KRELLSvc through the service control manager and waits until it has stopped again
    // by itself (a refused start).
    void RunRefusedStart() {
        std::string sOutput;
        RunCommand(m_sCtl + " service start KRELLSvc", &sOutput);
        ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 60000)) << sOutput;
    }
    // Starts KRELLSvc through the service control manager until the driver enforces its first
    // configuration, then terminates it and waits for the stop.
    void RunAndTerminate() {
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLSvc", &sOutput), 0) << sOutput;
        ASSERT_TRUE(krelltest::WaitForDriverStatus("driver=activated")) << krelltest::DriverStatus();
        ASSERT_TRUE(krelltest::WaitForServiceLog("CKTUMSModule::Start(): KTUMS started OK.")) << Log();
        ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t"), 0);
        ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 60000));
    }

    // As RunAndTerminate, with fnWhileRunning done once the protection runs.
    void RunAndTerminateWhile(const std::function<void()>& fnWhileRunning) {
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLSvc", &sOutput), 0) << sOutput;
        ASSERT_TRUE(krelltest::WaitForServiceLog("CKTUMSModule::Start(): KTUMS started OK.")) << Log();
        fnWhileRunning();
        ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t"), 0);
        ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 60000));
    }

    std::string Log() { return krelltest::ServiceLog(); }
    std::string Status() {
        std::string sOutput;
        RunCommand(m_sCtl + " status", &sOutput);
        return sOutput;
    }

    std::string m_sCtl;
};

// The stop pending reports of one stop: one before each step of the module's stop, six in the
// driver's shut-down and two more before the framework is unloaded, each with the next checkpoint.
constexpr unsigned STOP_PENDING_REPORTS = 19;

void ExpectStartAndStopSequence(const std::vector<CReport>& reports, unsigned uWin32, unsigned uSpecific) {
    ASSERT_EQ(reports.size(), 2 + STOP_PENDING_REPORTS + 1) << Describe(reports);
    EXPECT_EQ(reports[0].sState, "START_PENDING");
    EXPECT_EQ(reports[0].uCheckPoint, 1u);
    EXPECT_EQ(reports[0].uWaitHint, 30000u);
    EXPECT_EQ(reports[0].uControls, 0u);
    EXPECT_EQ(reports[1].sState, "RUNNING");
    EXPECT_EQ(reports[1].uCheckPoint, 0u);
    EXPECT_EQ(reports[1].uWaitHint, 0u);
    EXPECT_EQ(reports[1].uControls, 0u);
    for (unsigned i = 0; i < STOP_PENDING_REPORTS; ++i) {
        const CReport& r = reports[2 + i];
        EXPECT_EQ(r.sState, "STOP_PENDING") << i;
        EXPECT_EQ(r.uCheckPoint, 2 + i) << i;
        EXPECT_EQ(r.uWaitHint, 5000u) << i;
        EXPECT_EQ(r.uControls, 0u) << i;
        EXPECT_EQ(r.uWin32, 0u) << i;
    }
    const CReport& last = reports.back();
    EXPECT_EQ(last.sState, "STOPPED");
    EXPECT_EQ(last.uCheckPoint, 0u);
    EXPECT_EQ(last.uWaitHint, 0u);
    EXPECT_EQ(last.uControls, 0u);
    EXPECT_EQ(last.uWin32, uWin32);
    EXPECT_EQ(last.uSpecific, uSpecific);
}

TEST_F(FailurePaths, StatusSequenceOfARunThatIsTerminated) {
    RunAndTerminate();
    const std::vector<CReport> reports = History("KRELLSvc");
    ExpectStartAndStopSequence(reports, 0, 0);
    // The same reports for programs.
    std::string sJson;
    ASSERT_EQ(RunCommand(m_sCtl + " service history KRELLSvc --json", &sJson), 0);
    std::size_t nObjects = 0;
    for (std::size_t n = sJson.find("{\"state\":"); n != npos; n = sJson.find("{\"state\":", n + 1)) {
        ++nObjects;
    }
    EXPECT_EQ(nObjects, reports.size()) << sJson;
    EXPECT_NE(sJson.find("{\"state\":\"STOP_PENDING\",\"checkpoint\":20,\"waitHint\":5000,"), npos) << sJson;
}

TEST_F(FailurePaths, StatusSequenceOfARefusedStart) {
    ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", 0));
    RunRefusedStart();
    ExpectStartAndStopSequence(History("KRELLSvc"), 1066, 0xFFFFFFFF);
    // A second start is recorded on its own, not after the first one's reports.
    RunRefusedStart();
    ExpectStartAndStopSequence(History("KRELLSvc"), 1066, 0xFFFFFFFF);
    const std::string sLog = Log();
    const std::string sStarting = "CKTUMSModule::Create(): KTUMS starting.";
    const std::size_t nFirst = sLog.find(sStarting);
    ASSERT_NE(nFirst, npos) << sLog;
    EXPECT_NE(sLog.find(sStarting, nFirst + sStarting.size()), npos) << sLog;
    EXPECT_NE(
        Log().find("CKTUMSModule::Create(): eCurrentState is GW_STATE_OFF or GW_STATE_ERROR_OFF. Exiting..."),
        npos)
        << Log();
}

// Driver control through a service control manager that refuses one call: the start fails at the
// step that finds out, with that step's lines, and leaves the driver error marker the next start
// must see; the stop that follows still runs and turns the protection off.
struct ScmFaultCase {
    const char* szName;
    const char16_t* szCall;
    DWORD dwError;
    bool bDriverEntryRemoved;
    std::vector<const char*> lines;
    const char* szMarker;
    DWORD dwPass = 0;  // calls of the service's process that still go through
};

class ScmFault : public FailurePaths, public testing::WithParamInterface<ScmFaultCase> {};

TEST_P(ScmFault, FailsTheStartWithItsLinesAndMarker) {
    const ScmFaultCase& c = GetParam();
    if (c.bDriverEntryRemoved) {
        ASSERT_EQ(platform::RegDeleteTree(HKEY_LOCAL_MACHINE, DRIVER_KEY), 0);
    }
    ASSERT_TRUE(SetScmFault(c.szCall, c.dwError));
    if (c.dwPass != 0) {
        ASSERT_TRUE(SetScmFault((std::u16string(c.szCall) + u" Pass").c_str(), c.dwPass));
    }
    RunRefusedStart();
    const std::string sLog = Log();
    for (const char* szLine : c.lines) {
        EXPECT_NE(sLog.find(szLine), npos) << szLine << "\n" << sLog;
    }
    EXPECT_NE(sLog.find("CKTUMSModule::Start(): Error(s) encountered, exiting"), npos) << sLog;
    // The deactivation is still tried, on a channel that never opened.
    EXPECT_NE(sLog.find("CKTUMSModule::ShutdownDriver(): m_Channel.SendKTMessage() failed"), npos) << sLog;
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find("protection state: 0 GW_STATE_OFF"), npos) << sStatus;
    EXPECT_NE(sStatus.find(std::string("driver error marker: ") + c.szMarker), npos) << sStatus;
    EXPECT_EQ(sStatus.find("KRELLDrv     RUNNING"), npos) << sStatus;
    const std::vector<CReport> reports = History("KRELLSvc");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().uWin32, 1066u);
    EXPECT_EQ(reports.back().uSpecific, 0xFFFFFFFFu);

    // The next start, with the manager mended and the protection switched on again, goes by the
    // marker: a driver that did not start is tried again, a load that never finished is not.
    ASSERT_TRUE(SetScmFault(c.szCall, 0));
    ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", 1));
    const std::size_t nBefore = Log().size();
    if (std::string(c.szMarker) == "2") {
        RunAndTerminate();
        EXPECT_NE(Status().find("driver error marker: 0"), npos) << Status();
    } else {
        RunRefusedStart();
        EXPECT_NE(Log().find("CKTUMSModule::ServiceStartThread(): Driver error state on, exiting", nBefore),
                  npos)
            << Log();
        EXPECT_NE(Status().find("protection state: 4 GW_STATE_ERROR_OFF"), npos) << Status();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScmFault,
    testing::Values(ScmFaultCase{"StartRefused",
                                 u"StartService KRELLDrv",
                                 1058,
                                 false,
                                 {"CKTUMSModule::loadDriver(): StartService failed (0x00000422)",
                                  "CKTUMSModule::ServiceStartThread(): loadDriver() failed"},
                                 "2"},
                    ScmFaultCase{"OpenRefused",
                                 u"OpenService KRELLDrv",
                                 5,
                                 false,
                                 {"CKTUMSModule::loadDriver - OpenService() failed: 0X000005",
                                  "CKTUMSModule::ServiceStartThread(): loadDriver() failed",
                                  "CKTUMSModule::unloadDriver(): OpenService() failed (0x00000005)",
                                  "CKTUMSModule::ShutdownDriver(): unloadDriver() failed during shutdown"},
                                 "1"},
                    ScmFaultCase{"RecreateRefused",
                                 u"CreateService KRELLDrv",
                                 5,
                                 true,
                                 {"CKTUMSModule::loadDriver - Driver service removed. Adding...",
                                  "CKTUMSModule::restoreDriverService - CreateService failed: 0X000005",
                                  "CKTUMSModule::loadDriver - Unable to re-add the driver service.",
                                  "CKTUMSModule::ServiceStartThread(): loadDriver() failed"},
                                 "1"},
                    ScmFaultCase{"ManagerRefusedForRecreate",
                                 u"OpenSCManager 2",
                                 5,
                                 true,
                                 {"CKTUMSModule::loadDriver - Driver service removed. Adding...",
                                  "CKTUMSModule::restoreDriverService - NULL == schManager",
                                  "CKTUMSModule::loadDriver - Unable to re-add the driver service."},
                                 "1"},
                    // The event manager's start makes the first connect; the load's own is the second.
                    ScmFaultCase{"ManagerRefusedForLoad",
                                 u"OpenSCManager 1",
                                 5,
                                 false,
                                 {"CKTUMSModule::loadDriver(): OpenSCManager() failed",
                                  "CKTUMSModule::ServiceStartThread(): loadDriver() failed",
                                  "CKTUMSModule::unloadDriver(): OpenSCManager() failed (0x00000005)",
                                  "CKTUMSModule::ShutdownDriver(): unloadDriver() failed during shutdown"},
                                 "1",
                                 1}),
    [](const testing::TestParamInfo<ScmFaultCase>& info) { return std::string(info.param.szName); });

// The product directory's registration gone between the start and the driver's re-creation: the
// entry cannot be made without the driver file's path, so the load ends as a refused re-creation.
TEST_F(FailurePaths, ProductDirectoryLostBeforeTheDriverIsReAdded) {
    constexpr const char16_t* INSTALLED_APPS_KEY = u"Software\\Quillon\\InstalledApps";
    CRegistryKey apps;
    std::u16string sDirectory;
    ASSERT_TRUE(apps.Open(HKEY_LOCAL_MACHINE, INSTALLED_APPS_KEY, KEY_READ | KEY_SET_VALUE));
    ASSERT_TRUE(apps.GetString(u"KRELL", &sDirectory));
    ASSERT_EQ(platform::RegDeleteTree(HKEY_LOCAL_MACHINE, DRIVER_KEY), 0);
    // The re-creation's own connect waits until the registration is gone.
    ASSERT_TRUE(SetScmFault(u"Hold OpenSCManager 2", 60000));
    std::string sOutput;
    RunCommand(m_sCtl + " service start KRELLSvc", &sOutput);
    const bool bReached =
        krelltest::WaitForServiceLog("CKTUMSModule::loadDriver - Driver service removed. Adding...");
    EXPECT_EQ(platform::RegDeleteValue(apps.Handle(), u"KRELL"), 0);
    ASSERT_TRUE(SetScmFault(u"Hold OpenSCManager 2", 0));
    const bool bStopped = krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 60000);
    ASSERT_TRUE(apps.SetString(u"KRELL", sDirectory));
    ASSERT_TRUE(bReached) << Log();
    ASSERT_TRUE(bStopped) << sOutput;
    const std::string sLog = Log();
    for (const char* szLine : {"CKTUMSModule::restoreDriverService - GetKTDirectory failed",
                               "CKTUMSModule::loadDriver - Unable to re-add the driver service.",
                               "CKTUMSModule::ServiceStartThread(): loadDriver() failed"}) {
        EXPECT_NE(sLog.find(szLine), npos) << szLine << "\n" << sLog;
    }
    CRegistryKey driver;
    EXPECT_FALSE(driver.Open(HKEY_LOCAL_MACHINE, DRIVER_KEY, KEY_READ));
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find("protection state: 0 GW_STATE_OFF"), npos) << sStatus;
    EXPECT_NE(sStatus.find("driver error marker: 1"), npos) << sStatus;
    ExpectStartAndStopSequence(History("KRELLSvc"), 1066, 0xFFFFFFFF);
}

// A driver that drops the channel as soon as it opened: the activation cannot be sent, the start
// fails with the handshake's line, and the stop's deactivation fails the same way before the driver
// is stopped. The channel did open, so the marker is back at 0.
TEST_F(FailurePaths, DriverLostBeforeTheActivation) {
    CRegistryKey parameters;
    ASSERT_TRUE(parameters.Create(HKEY_LOCAL_MACHINE, DRIVER_PARAMETERS_KEY));
    ASSERT_TRUE(parameters.SetDword(u"HangUpAfterNegotiation", 1));
    RunRefusedStart();
    const std::string sLog = Log();
    const std::size_t nHandshake = sLog.find("CKTUMSModule::ServiceStartThread(): driver handshake failed");
    ASSERT_NE(nHandshake, npos) << sLog;
    EXPECT_NE(sLog.find("CKTUMSModule::ShutdownDriver(): m_Channel.SendKTMessage() failed", nHandshake), npos)
        << sLog;
    // Nothing was sent, so nothing was waited for.
    EXPECT_EQ(sLog.find("WaitForKTMessage"), npos) << sLog;
    EXPECT_EQ(sLog.find("unloadDriver() failed"), npos) << sLog;
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find("protection state: 0 GW_STATE_OFF"), npos) << sStatus;
    EXPECT_NE(sStatus.find("driver error marker: 0"), npos) << sStatus;
    EXPECT_NE(sStatus.find("KRELLDrv     STOPPED"), npos) << sStatus;
    ExpectStartAndStopSequence(History("KRELLSvc"), 1066, 0xFFFFFFFF);
}

// The service's own key denied for writing, before the start or during the run: each start type
// write that fails is logged; one at the start refuses it, one at the stop leaves the start type as
// it was (a stop that could write would leave "demand") and the stop goes on.
struct ServiceKeyCase {
    const char* szName;
    DWORD dwState;      // the protection state before the start
    bool bDuringRun;    // denied once the protection runs, else before the start
    DWORD dwStartType;  // the service's start type before the start
    std::vector<const char*> lines;
    const char* szFinalState;
    const char* szStartType;
};

class ServiceKeyUnwritable : public FailurePaths, public testing::WithParamInterface<ServiceKeyCase> {
protected:
    static bool DenyServiceKey(DWORD dwError) {
        CRegistryKey faults;
        return faults.Create(HKEY_LOCAL_MACHINE, REGISTRY_FAULTS_KEY) &&
               faults.SetDword(u"OpenForWrite SYSTEM\\CurrentControlSet\\Services\\KRELLSvc", dwError);
    }
};

TEST_P(ServiceKeyUnwritable, IsLoggedAndLeavesTheStartType) {
    const ServiceKeyCase& c = GetParam();
    ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", c.dwState));
    {
        CRegistryKey service;
        ASSERT_TRUE(service.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc",
                                 KEY_SET_VALUE));
        ASSERT_TRUE(service.SetDword(u"Start", c.dwStartType));
    }
    if (c.bDuringRun) {
        RunAndTerminateWhile([] { ASSERT_TRUE(DenyServiceKey(ERROR_ACCESS_DENIED)); });
        ExpectStartAndStopSequence(History("KRELLSvc"), 0, 0);
    } else {
        ASSERT_TRUE(DenyServiceKey(ERROR_ACCESS_DENIED));
        RunRefusedStart();
        ExpectStartAndStopSequence(History("KRELLSvc"), 1066, 0xFFFFFFFF);
    }
    const std::string sLog = Log();
    for (const char* szLine : c.lines) {
        EXPECT_NE(sLog.find(szLine), npos) << szLine << "\n" << sLog;
    }
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find(std::string("protection state: ") + c.szFinalState), npos) << sStatus;
    EXPECT_NE(sStatus.find(std::string("KRELLSvc     STOPPED        start ") + c.szStartType), npos)
        << sStatus;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceKeyUnwritable,
    testing::Values(ServiceKeyCase{"BeforeAStartWithProtectionOn",
                                   1,
                                   false,
                                   2,
                                   {"CKTUMSModule::setServiceLoadTime - RegKey.Open failed",
                                    "CKTUMSModule::Create(): setServiceLoadTime() failed",
                                    "CKTUMSModule::Shutdown(): setServiceLoadTime() failed during shutdown",
                                    "CKTUMSModule::Destroy(): Stop event received: eCurrentState(1), "
                                    "m_FinalState(0)"},
                                   "0 GW_STATE_OFF",
                                   "auto"},
                    ServiceKeyCase{"BeforeAStartWithProtectionOff",
                                   0,
                                   false,
                                   2,
                                   {"CKTUMSModule::setServiceLoadTime - RegKey.Open failed",
                                    "CKTUMSModule::Create(): setServiceLoadTime() failed",
                                    "CKTUMSModule::Shutdown(): setServiceLoadTime() failed during shutdown"},
                                   "0 GW_STATE_OFF",
                                   "auto"},
                    ServiceKeyCase{"DuringTheRun",
                                   1,
                                   true,
                                   3,
                                   {"CKTUMSModule::setServiceLoadTime - RegKey.Open failed",
                                    "CKTUMSModule::Shutdown(): setServiceLoadTime() failed during shutdown"},
                                   "0 GW_STATE_OFF",
                                   "auto"}),
    [](const testing::TestParamInfo<ServiceKeyCase>& info) { return std::string(info.param.szName); });

// The driver's stop refused by the SCM while the protection runs: the stop logs the step that failed
// and goes on, the driver keeps running and the protection ends off.
struct StopRefusalCase {
    const char* szName;
    const char16_t* szCall;
    DWORD dwError;
    const char* szLine;
};

class StopRefusal : public FailurePaths, public testing::WithParamInterface<StopRefusalCase> {};

TEST_P(StopRefusal, IsLoggedAndTheDriverKeepsRunning) {
    const StopRefusalCase& c = GetParam();
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLSvc", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForServiceLog("CKTUMSModule::Start(): KTUMS started OK.")) << Log();
    ASSERT_TRUE(SetScmFault(c.szCall, c.dwError));
    ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t"), 0);
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 60000));
    const std::string sLog = Log();
    EXPECT_NE(sLog.find(c.szLine), npos) << sLog;
    EXPECT_NE(sLog.find("CKTUMSModule::ShutdownDriver(): unloadDriver() failed during shutdown"), npos)
        << sLog;
    // The deactivation before it went through.
    EXPECT_EQ(sLog.find("CKTUMSModule::ShutdownDriver(): m_Channel.SendKTMessage() failed"), npos) << sLog;
    ASSERT_TRUE(SetScmFault(c.szCall, 0));
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find("protection state: 0 GW_STATE_OFF"), npos) << sStatus;
    EXPECT_NE(sStatus.find("driver error marker: 0"), npos) << sStatus;
    EXPECT_NE(sStatus.find("KRELLDrv     RUNNING"), npos) << sStatus;
    EXPECT_NE(krelltest::DriverStatus().find("driver=deactivated"), npos) << krelltest::DriverStatus();
    const std::vector<CReport> reports = History("KRELLSvc");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().sState, "STOPPED");
    EXPECT_EQ(reports.back().uWin32, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopRefusal,
    testing::Values(StopRefusalCase{"ControlRefused", u"ControlService KRELLDrv", 1051,
                                    "CKTUMSModule::unloadDriver(): ControlService() failed (0x0000041B)"},
                    StopRefusalCase{"OpenRefused", u"OpenService KRELLDrv", 5,
                                    "CKTUMSModule::unloadDriver(): OpenService() failed (0x00000005)"},
                    StopRefusalCase{"ManagerRefused", u"OpenSCManager 1", 5,
                                    "CKTUMSModule::unloadDriver(): OpenSCManager() failed (0x00000005)"}),
    [](const testing::TestParamInfo<StopRefusalCase>& info) { return std::string(info.param.szName); });

// Installing and removing the service itself through a manager that refuses: the command fails with
// -1 and the service database is left as the refusal leaves it.
TEST_F(FailurePaths, InstallAndRemoveRefused) {
    const std::string sSvc = ProgramPath("krellsvc");
    ASSERT_TRUE(SetScmFault(u"DeleteService KRELLSvc", 5));
    EXPECT_EQ(RunCommand(sSvc + " -Remove"), EXIT_FAILURE_CODE);
    EXPECT_EQ(RunCommand(m_sCtl + " service status KRELLSvc"), 0);
    ASSERT_TRUE(SetScmFault(u"DeleteService KRELLSvc", 0));
    ASSERT_TRUE(SetScmFault(u"CreateService KRELLSvc", 5));
    // Install removes the old entry first, then fails to create the new one.
    EXPECT_EQ(RunCommand(sSvc + " -Install"), EXIT_FAILURE_CODE);
    EXPECT_NE(RunCommand(m_sCtl + " service status KRELLSvc"), 0);
    ASSERT_TRUE(SetScmFault(u"CreateService KRELLSvc", 0));
    EXPECT_EQ(RunCommand(sSvc + " -Install"), 0);
    EXPECT_EQ(RunCommand(m_sCtl + " service status KRELLSvc"), 0);
}

// The framework library as the service finds it beside its executable: missing, without an export,
// or with an object that fails. The failure is logged and the protection runs all the same.
struct FrameworkCase {
    const char* szName;
    const char* szLibrary;    // the build's file put beside the service as KT.dll, or null for none
    const char16_t* szFault;  // a test fault of the library, or null
    const char* szLine;
};

class FrameworkFault : public FailurePaths, public testing::WithParamInterface<FrameworkCase> {
protected:
    // The service installed from a copy of its executable in the root, with the framework beside it
    // that the case asks for.
    void InstallServiceCopy(const char* szLibrary) {
        namespace fs = std::filesystem;
        const fs::path dir = fs::path(platform::RootDirectory()) / "drive_c" / "KRELLSvcCopy";
        fs::create_directories(dir);
        const fs::path bin = fs::path(ProgramPath("krellsvc")).parent_path();
        fs::copy_file(bin / "krellsvc", dir / "krellsvc", fs::copy_options::overwrite_existing);
        fs::remove(dir / "KT.dll");
        if (szLibrary != nullptr) {
            fs::copy_file(bin / szLibrary, dir / "KT.dll");
        }
        std::string sOutput;
        ASSERT_EQ(RunCommand((dir / "krellsvc").string() + " -Install", &sOutput), 0) << sOutput;
    }
};

TEST_P(FrameworkFault, IsLoggedAndTheProtectionRunsAllTheSame) {
    const FrameworkCase& c = GetParam();
    InstallServiceCopy(c.szLibrary);
    if (c.szFault != nullptr) {
        CRegistryKey faults;
        ASSERT_TRUE(faults.Create(HKEY_LOCAL_MACHINE, FRAMEWORK_FAULTS_KEY));
        ASSERT_TRUE(faults.SetDword(c.szFault, 0x80004005));
    }
    RunAndTerminate();
    const std::string sLog = Log();
    const std::size_t nLine = sLog.find(c.szLine);
    ASSERT_NE(nLine, npos) << sLog;
    // Only the one failure of the framework is logged.
    EXPECT_EQ(sLog.find("LoadKTFramework", nLine + std::strlen(c.szLine)), npos) << sLog;
    EXPECT_NE(Status().find("protection state: 0 GW_STATE_OFF"), npos) << Status();
    ExpectStartAndStopSequence(History("KRELLSvc"), 0, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameworkFault,
    testing::Values(FrameworkCase{"Missing", nullptr, nullptr,
                                  "CKTUMSModule::LoadKTFramework(): Cannot load KTFrameworkDll (KT.dll)"},
                    FrameworkCase{"ExportMissing", "KTNoObjectCount.dll", nullptr,
                                  "CKTUMSModule::LoadKTFramework(): Cannot load KTFrameworkDll (KT.dll)"},
                    FrameworkCase{"FactoryFails", "KT.dll", u"FailGetFactory",
                                  "CKTUMSModule::LoadKTFramework(): Cannot create the KTFramework interface"},
                    FrameworkCase{"ServicesFail", "KT.dll", u"FailLoadServices",
                                  "CKTUMSModule::LoadKTFramework(): Cannot load KTFramework services"}),
    [](const testing::TestParamInfo<FrameworkCase>& info) { return std::string(info.param.szName); });

// The framework beside the service, without faults, is loaded and unloaded: the cases above fail for
// the fault they set, not for the copy.
TEST_F(FrameworkFault, IntactCopyLoadsAndUnloads) {
    InstallServiceCopy("KT.dll");
    RunAndTerminate();
    EXPECT_EQ(Log().find("LoadKTFramework"), npos) << Log();
    const std::string sFrameworkLog = krelltest::ReadText(platform::RootDirectory() + "/run/KT.log");
    EXPECT_NE(sFrameworkLog.find("UnloadServices"), npos) << sFrameworkLog;
}

// An event manager that is slow to start. Without progress the service's wait gives up after the
// wait hint, before the manager runs, and falls back without a word in the log (it is not open yet):
// the driver is set to start with the system, the protection state is left as it was. With a
// checkpoint that keeps rising the service waits it out and starts.
struct SlowEventManagerCase {
    const char* szName;
    DWORD dwPendingMs;
    DWORD dwProgressMs;
    bool bGivenUp;
};

class EventManagerStart : public FailurePaths, public testing::WithParamInterface<SlowEventManagerCase> {};

TEST_P(EventManagerStart, IsGivenUpOnlyWithoutProgress) {
    const SlowEventManagerCase& c = GetParam();
    CRegistryKey parameters;
    ASSERT_TRUE(parameters.Create(HKEY_LOCAL_MACHINE, EVENT_MANAGER_PARAMETERS_KEY));
    ASSERT_TRUE(parameters.SetDword(u"StartPendingMs", c.dwPendingMs));
    ASSERT_TRUE(parameters.SetDword(u"StartWaitHint", 2000));
    ASSERT_TRUE(parameters.SetDword(u"StartProgressMs", c.dwProgressMs));
    if (!c.bGivenUp) {
        RunAndTerminate();
        std::vector<CReport> manager = History("zuZazEzi");
        // Its checkpoint rose while it was waited for, past what the hint alone would allow.
        ASSERT_GE(manager.size(), 4u) << Describe(manager);
        EXPECT_GE(manager[manager.size() - 2].uCheckPoint, c.dwPendingMs / c.dwProgressMs - 1)
            << Describe(manager);
        EXPECT_NE(Status().find("protection state: 0 GW_STATE_OFF"), npos) << Status();
        return;
    }
    RunRefusedStart();
    std::string sManager;
    RunCommand(m_sCtl + " service status zuZazEzi", &sManager);
    EXPECT_NE(sManager.find("START_PENDING"), npos) << sManager;
    const std::vector<CReport> reports = History("KRELLSvc");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().uWin32, 1066u);
    EXPECT_EQ(reports.back().uSpecific, 0xFFFFFFFFu);
    EXPECT_EQ(Log().find("KTUMS starting"), npos) << Log();
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find("protection state: 1 GW_STATE_ON"), npos) << sStatus;
    EXPECT_NE(sStatus.find("KRELLDrv     STOPPED        start system"), npos) << sStatus;
    EXPECT_NE(sStatus.find("KRELLSvc     STOPPED        start auto"), npos) << sStatus;
}

INSTANTIATE_TEST_SUITE_P(Cases, EventManagerStart,
                         testing::Values(SlowEventManagerCase{"NoProgress", 12000, 0, true},
                                         SlowEventManagerCase{"Progress", 6000, 500, false}),
                         [](const testing::TestParamInfo<SlowEventManagerCase>& info) {
                             return std::string(info.param.szName);
                         });

// The settings manager cannot be created while the event manager runs: the start fails at that
// step with the store's code, and nothing can be written, so the protection state is left as it was.
struct SettingsManagerCase {
    const char* szName;
    bool bStopStore;       // the store's service stopped
    bool bLibraryMissing;  // lcSet.dll taken out of the product directory
    const char* szLine;
};

class SettingsManagerUnavailable : public FailurePaths,
                                   public testing::WithParamInterface<SettingsManagerCase> {};

TEST_P(SettingsManagerUnavailable, FailsTheStartAndChangesNothing) {
    const SettingsManagerCase& c = GetParam();
    const std::string sLibrary = platform::RootDirectory() + "/drive_c/Program Files/Quillon/KRELL/lcSet.dll";
    if (c.bStopStore) {
        ASSERT_EQ(RunCommand(m_sCtl + " service stop lcSetMgr"), 0);
    }
    if (c.bLibraryMissing) {
        std::filesystem::rename(sLibrary, sLibrary + ".away");
    }
    RunRefusedStart();
    if (c.bLibraryMissing) {
        std::filesystem::rename(sLibrary + ".away", sLibrary);
    }
    std::string sManager;
    RunCommand(m_sCtl + " service status zuZazEzi", &sManager);
    EXPECT_NE(sManager.find("RUNNING"), npos) << sManager;
    const std::string sLog = Log();
    EXPECT_NE(sLog.find(c.szLine), npos) << sLog;
    EXPECT_NE(sLog.find("CKTUMSModule::Destroy(): Stop event received: eCurrentState(5), m_FinalState(0)"),
              npos)
        << sLog;
    const std::vector<CReport> reports = History("KRELLSvc");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().uWin32, 1066u);
    if (c.bStopStore) {
        ASSERT_EQ(RunCommand(m_sCtl + " service start lcSetMgr"), 0);
    }
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find("protection state: 1 GW_STATE_ON"), npos) << sStatus;
    EXPECT_NE(sStatus.find("KRELLDrv     STOPPED"), npos) << sStatus;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsManagerUnavailable,
    testing::Values(
        SettingsManagerCase{"StoreNotRunning", true, false,
                            "CKTUMSModule::Create(): m_SettingsMgrHelper.Create() != S_OK, 0x80000207"},
        SettingsManagerCase{"LibraryMissing", false, true,
                            "CKTUMSModule::Create(): m_SettingsMgrHelper.Create() != S_OK, 0x80010300"}),
    [](const testing::TestParamInfo<SettingsManagerCase>& info) { return std::string(info.param.szName); });

// The settings store failing reads or writes of the protection state and the driver error marker,
// from before the start or from the middle of a run: each failure is logged with the store's code,
// a failed read refuses the start, a failed write leaves the stored value as it was.
constexpr DWORD STORE_IO_ERROR = 0x80000302;

struct SettingsFaultCase {
    const char* szName;
    const char16_t* szFault;
    bool bDuringRun;  // set once the protection runs, else before the start
    bool bRefused;
    std::vector<const char*> lines;
    const char* szFinalState;
    const char* szFinalMarker;
};

class SettingsFault : public FailurePaths, public testing::WithParamInterface<SettingsFaultCase> {
protected:
    static bool SetFault(const char16_t* szFault, DWORD dwCode) {
        CRegistryKey parameters;
        return parameters.Create(HKEY_LOCAL_MACHINE, SETTINGS_PARAMETERS_KEY) &&
               parameters.SetDword(szFault, dwCode);
    }
};

TEST_P(SettingsFault, IsLoggedAndLeavesTheStoredValues) {
    const SettingsFaultCase& c = GetParam();
    if (!c.bDuringRun) {
        ASSERT_TRUE(SetFault(c.szFault, STORE_IO_ERROR));
    }
    if (c.bRefused) {
        RunRefusedStart();
        const std::vector<CReport> reports = History("KRELLSvc");
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().uWin32, 1066u);
    } else {
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLSvc", &sOutput), 0) << sOutput;
        ASSERT_TRUE(krelltest::WaitForServiceLog("CKTUMSModule::Start(): KTUMS started OK.")) << Log();
        if (c.bDuringRun) {
            ASSERT_TRUE(SetFault(c.szFault, STORE_IO_ERROR));
            usleep(300000);  // past the store's look-up interval for faults
        }
        ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t"), 0);
        ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 60000));
        EXPECT_EQ(History("KRELLSvc").back().uWin32, 0u);
    }
    const std::string sLog = Log();
    for (const char* szLine : c.lines) {
        EXPECT_NE(sLog.find(szLine), npos) << szLine << "\n" << sLog;
    }
    // The tools read through the same store: its reads work again before the state is looked at.
    ASSERT_TRUE(SetFault(c.szFault, 0));
    usleep(300000);
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find(std::string("protection state: ") + c.szFinalState), npos) << sStatus;
    EXPECT_NE(sStatus.find(std::string("driver error marker: ") + c.szFinalMarker), npos) << sStatus;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFault,
    testing::Values(
        SettingsFaultCase{"StateUnreadable",
                          u"FailRead CurrentState",
                          false,
                          true,
                          {"CKTUMSModule::getGWState() - pSettings->GetDword() failed (0x80000302).",
                           "CKTUMSModule::Create(): Attempt to start while in unknown error state, exiting",
                           "CKTUMSModule::Destroy(): Stop event received: eCurrentState(5), m_FinalState(0)"},
                          "0 GW_STATE_OFF",
                          "0"},
        SettingsFaultCase{"MarkerUnreadable",
                          u"FailRead DriverError",
                          false,
                          true,
                          {"CKTUMSModule::getDriverErrorState() - pSettings->GetDword() failed (0x80000302).",
                           "CKTUMSModule::ServiceStartThread(): getDriverErrorState() failed"},
                          "0 GW_STATE_OFF",
                          "0"},
        SettingsFaultCase{
            "MarkerUnwritable",
            u"FailWrite DriverError",
            false,
            false,
            {"CKTUMSModule::setDriverErrorState(): m_SettingsMgr->PutSettings() != S_OK, 0x80000302"},
            "0 GW_STATE_OFF",
            "0"},
        SettingsFaultCase{"StateUnreadableDuringTheRun",
                          u"FailRead CurrentState",
                          true,
                          false,
                          {"CKTUMSModule::getGWState() - pSettings->GetDword() failed (0x80000302).",
                           "CKTUMSModule::Destroy(): Stop event received: eCurrentState(5), m_FinalState(0)"},
                          "0 GW_STATE_OFF",
                          "0"},
        SettingsFaultCase{
            "KeyUnopenable",
            u"FailGetSettings GATEWARDEN\\PRIVATE",
            false,
            true,
            {"CKTUMSModule::getGWState() - m_pSettingsManager->GetSettings() failed (0x80000302).",
             "CKTUMSModule::Create(): Attempt to start while in unknown error state, exiting",
             "CKTUMSModule::Destroy(): Stop event received: eCurrentState(5), m_FinalState(0)"},
            "0 GW_STATE_OFF",
            "0"},
        // Every write of the key fails from the start on: the start still completes, and nothing the
        // service meant to store reaches the store.
        SettingsFaultCase{
            "KeyNotCreatable",
            u"FailCreateSettings GATEWARDEN\\PRIVATE",
            false,
            false,
            {"CKTUMSModule::setDriverErrorState(): m_SettingsMgr->GetSettings(GATEWARDEN_PRIVATE_KEY_NAME) "
             "!= "
             "S_OK, 0x80000302",
             "CKTUMSModule::setGWState(): m_SettingsMgr->GetSettings(GATEWARDEN_PRIVATE_KEY_NAME) != S_OK, "
             "0x80000302",
             "CKTUMSModule::Destroy(): Stop event received: eCurrentState(1), m_FinalState(0)"},
            "1 GW_STATE_ON",
            "0"},
        SettingsFaultCase{
            "StateUnwritableDuringTheRun",
            u"FailWrite CurrentState",
            true,
            false,
            {"CKTUMSModule::setGWState(): m_SettingsMgr->PutSettings(GATEWARDEN_CURRENT_STATE) != S_OK, "
             "0x80000302"},
            "1 GW_STATE_ON",
            "0"}),
    [](const testing::TestParamInfo<SettingsFaultCase>& info) { return std::string(info.param.szName); });

// Stored values that refuse the start, each with its own line, and the stop that follows: the state
// it finds decides the line and the state written back; every stop sets the service on demand.
struct StoredStateCase {
    const char* szName;
    DWORD dwState;
    DWORD dwMarker;
    const char* szStartLine;
    const char* szStopLine;
    const char* szFinalState;
    const char* szFinalMarker;
};

class StoredState : public FailurePaths, public testing::WithParamInterface<StoredStateCase> {};

TEST_P(StoredState, RefusesTheStartAndDecidesTheStop) {
    const StoredStateCase& c = GetParam();
    ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", c.dwState));
    ASSERT_TRUE(krelltest::SetProtectionSetting("DriverError", c.dwMarker));
    RunRefusedStart();
    const std::string sLog = Log();
    const std::size_t nStart = sLog.find(c.szStartLine);
    ASSERT_NE(nStart, npos) << c.szStartLine << "\n" << sLog;
    EXPECT_NE(sLog.find(c.szStopLine, nStart), npos) << c.szStopLine << "\n" << sLog;
    // Refused before the driver was loaded; the stop still tries the deactivation and the unload.
    EXPECT_EQ(sLog.find("CKTUMSModule::loadDriver"), npos) << sLog;
    EXPECT_NE(sLog.find("CKTUMSModule::ShutdownDriver(): m_Channel.SendKTMessage() failed", nStart), npos)
        << sLog;
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find(std::string("protection state: ") + c.szFinalState), npos) << sStatus;
    EXPECT_NE(sStatus.find(std::string("driver error marker: ") + c.szFinalMarker), npos) << sStatus;
    EXPECT_NE(sStatus.find("KRELLSvc     STOPPED        start demand"), npos) << sStatus;
    ExpectStartAndStopSequence(History("KRELLSvc"), 1066, 0xFFFFFFFF);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredState,
    testing::Values(
        StoredStateCase{"Updating", 2, 0, "CKTUMSModule::Create(): Attempt to start while updating, exiting",
                        "CKTUMSModule::Shutdown(): Stop event received while in state GW_STATE_UPDATING!: "
                        "eCurrentState(2), m_FinalState(0)",
                        "0 GW_STATE_OFF", "0"},
        StoredStateCase{"UnknownState", 7, 0, "CKTUMSModule::Create(): Intended state unknown (7)",
                        "CKTUMSModule::Shutdown(): Stop event received in unknown or error state: "
                        "eCurrentState(7), m_FinalState(0)",
                        "0 GW_STATE_OFF", "0"},
        StoredStateCase{
            "ErrorOff", 4, 0,
            "CKTUMSModule::Create(): eCurrentState is GW_STATE_OFF or GW_STATE_ERROR_OFF. Exiting...",
            "CKTUMSModule::Shutdown(): Stop event received: eCurrentState(4), m_FinalState(4)",
            "4 GW_STATE_ERROR_OFF", "0"},
        StoredStateCase{"UnknownMarker", 1, 3,
                        "CKTUMSModule::Create(): Unhandled driver error state, exiting",
                        "CKTUMSModule::Destroy(): Stop event received: eCurrentState(1), m_FinalState(0)",
                        "0 GW_STATE_OFF", "3"},
        StoredStateCase{"MarkerAfterAnError", 3, 1,
                        "CKTUMSModule::ServiceStartThread(): Driver error state on, exiting",
                        "CKTUMSModule::Shutdown(): Stop event received: eCurrentState(3), m_FinalState(4)",
                        "4 GW_STATE_ERROR_OFF", "1"}),
    [](const testing::TestParamInfo<StoredStateCase>& info) { return std::string(info.param.szName); });

// The driver hanging up while the protection runs: a configuration change cannot be delivered and
// says so to whoever asked for it, and the stop's deactivation fails the same way before the driver
// is stopped as usual.
TEST_F(FailurePaths, DriverLostDuringTheRun) {
    std::string sAnswer;
    int nAnswer = 0;
    RunAndTerminateWhile([&] {
        // The start-up's own configuration delivered first, so the change below is the one that fails.
        ASSERT_TRUE(krelltest::WaitForDriverStatus("loaded=1")) << krelltest::DriverStatus();
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " driver close", &sOutput), 0) << sOutput;
        ASSERT_TRUE(krelltest::WaitForServiceLog("the driver channel is lost")) << Log();
        nAnswer = RunCommand(m_sCtl + " protection set registry=0", &sAnswer);
    });
    EXPECT_EQ(nAnswer, 1) << sAnswer;
    EXPECT_NE(sAnswer.find("0x8000FFFF"), npos) << sAnswer;
    EXPECT_NE(sAnswer.find("Configuration update failed due to driver communication failure"), npos)
        << sAnswer;
    const std::string sLog = Log();
    const std::size_t nSend =
        sLog.find("CKTUMSModule::SendConfigNotification(): Failed to send settings message (code 1)");
    ASSERT_NE(nSend, npos) << sLog;
    EXPECT_NE(sLog.find("CKTUMSModule::ShutdownDriver(): m_Channel.SendKTMessage() failed", nSend), npos)
        << sLog;
    EXPECT_EQ(sLog.find("unloadDriver() failed"), npos) << sLog;
    const std::string sStatus = Status();
    EXPECT_NE(sStatus.find("protection state: 0 GW_STATE_OFF"), npos) << sStatus;
    EXPECT_NE(sStatus.find("KRELLDrv     STOPPED"), npos) << sStatus;
    ExpectStartAndStopSequence(History("KRELLSvc"), 0, 0);
}

}  // namespace
