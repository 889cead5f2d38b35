// The first configuration end to end: the service booted with the protection intended on asks for a
// settings refresh, the settings store's service answers with a configuration change, the compiler
// writes a KC file and the driver loads it. Then the operator's changes through krellctl, and what
// becomes of them when the protection goes off, the driver stays silent or the file cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "compiler/ic_nodes.h"
#include "platform/root.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/in_process_compiler.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::DriverStatus;
using krelltest::ProgramPath;
using krelltest::RunCommand;
using krelltest::ServiceLog;
using krelltest::WaitForDriverStatus;
using krelltest::WaitForServiceLog;

constexpr auto npos = std::string::npos;

std::string ProductDirectory() {
    return platform::RootDirectory() + "/drive_c/Program Files/Quillon/KRELL";
}

// The KC file the driver reports in force, as a path of this machine.
std::string ActiveKCFile() {
    const std::string sStatus = DriverStatus();
    const std::size_t nAt = sStatus.find("kc C:\\");
    if (nAt == std::string::npos) {
        return {};
    }
    std::string sWindows = sStatus.substr(nAt + 6, sStatus.find('\n', nAt) - nAt - 6);
    for (char& ch : sWindows) {
        ch = ch == '\\' ? '/' : ch;
    }
    return platform::RootDirectory() + "/drive_c/" + sWindows;
}

// The names the compiler tries in turn for a KC file made in second t: the local date, then four
// hexadecimal digits from the C library's generator seeded with t.
std::vector<std::string> KCNames(std::time_t t, int nCount) {
    std::tm local{};
    localtime_r(&t, &local);
    char szDate[32] = "";
    std::strftime(szDate, sizeof(szDate), "%Y-%m-%d-", &local);
    std::srand(static_cast<unsigned>(static_cast<std::uint64_t>(t) & 0xFFFFFFFFu));
    std::vector<std::string> names;
    for (int i = 0; i < nCount; ++i) {
        char szName[16] = "";
        std::snprintf(szName, sizeof(szName), "%04x.kc", static_cast<unsigned>(std::rand() & 0xFFFF));
        names.push_back(std::string(szDate) + szName);
    }
    return names;
}

// A UTC time as kctool prints it, YYYY-MM-DDThh:mm:ssZ, and back.
std::string UtcText(std::time_t t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char sz[32] = "";
    std::strftime(sz, sizeof(sz), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return sz;
}
std::time_t ParseUtc(const std::string& sText) {
    std::tm utc{};
    if (strptime(sText.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc) == nullptr) {
        return -1;
    }
    return timegm(&utc);
}

struct CAnswer {
    int nExit = -1;
    std::string sText;
    double dSeconds = 0;  // of the run that was taken
};

// Runs the commands in turn until the compiler takes one's event. The store's service announces
// each switch change too, and the compiler, busy with one event, cancels another; alternating
// commands make each try a change of its own, and a try waits past the second of the last one, so
// that its KC file cannot take the name the store's compilation just used.
CAnswer RunUntilTaken(const std::vector<std::string>& commands) {
    CAnswer answer;
    for (std::size_t nTry = 0; nTry < 60; ++nTry) {
        const auto start = std::chrono::steady_clock::now();
        answer.nExit = RunCommand(commands[nTry % commands.size()], &answer.sText);
        answer.dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (answer.sText.find("\"state\":\"cancelled\"") == npos) {
            break;
        }
        usleep(1100000);
    }
    return answer;
}

class Configuration : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        ASSERT_TRUE(krelltest::PrepareProtectionRoot());
    }
    void TearDown() override {
        RunCommand(ProgramPath("krellsvc") + " -t");
        krelltest::ShutdownProtectionRoot();
    }
    void Boot() {
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
        ASSERT_TRUE(WaitForDriverStatus("driver=activated")) << DriverStatus();
    }
    std::string KCDump(const std::string& sFile) {
        std::string sOutput;
        RunCommand(ProgramPath("kctool") + " dump '" + sFile + "'", &sOutput);
        return sOutput;
    }
    static void SetDriverParameter(const char16_t* szName, DWORD dwValue) {
        CRegistryKey parameters;
        ASSERT_TRUE(parameters.Create(HKEY_LOCAL_MACHINE,
                                      u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters"));
        ASSERT_TRUE(parameters.SetDword(szName, dwValue));
    }

    std::string m_sCtl;
};

TEST_F(Configuration, FirstConfigurationThenASwitchChangeReplacesTheFile) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sFirst = ActiveKCFile();
    ASSERT_FALSE(sFirst.empty()) << DriverStatus();
    EXPECT_EQ(access(sFirst.c_str(), F_OK), 0) << sFirst;
    EXPECT_NE(DriverStatus().find("section 0x201"), std::string::npos) << DriverStatus();

    // KC file names differ by the second they were made in (and four pseudo-random digits seeded by
    // it): the change comes in the next second, so its file cannot take the first one's name.
    usleep(1100000);
    std::string sAnswer;
    ASSERT_EQ(RunCommand(m_sCtl + " protection set file=0", &sAnswer), 0) << sAnswer;
    EXPECT_NE(sAnswer.find("\"state\":\"committed\""), std::string::npos) << sAnswer;
    EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), std::string::npos) << sAnswer;
    ASSERT_TRUE(WaitForDriverStatus("loaded=2")) << DriverStatus();
    const std::string sSecond = ActiveKCFile();
    EXPECT_NE(sSecond, sFirst);
    EXPECT_EQ(access(sSecond.c_str(), F_OK), 0) << sSecond;
    // The driver released the first file, and the service deleted it.
    EXPECT_NE(access(sFirst.c_str(), F_OK), 0) << sFirst;

    // Nothing changed since: the cached configuration is used and no file is written. The store's
    // service announces the switch change too; while the compiler works on that one it refuses
    // another, which then comes back cancelled, so the apply is repeated until it is taken.
    sAnswer = RunUntilTaken({m_sCtl + " config apply"}).sText;
    EXPECT_NE(sAnswer.find("No configuration changes--using cached configuration"), std::string::npos)
        << sAnswer;
    EXPECT_EQ(ActiveKCFile(), sSecond);
}

TEST_F(Configuration, RejectingDriverKeepsItsFileAndTheSenderHearsWhy) {
    SetDriverParameter(u"ConfigReject", 1);
    Boot();
    // The first configuration is refused too; the operator's change comes after it.
    ASSERT_TRUE(WaitForDriverStatus("rejected=1")) << DriverStatus();
    std::string sAnswer;
    EXPECT_NE(RunCommand(m_sCtl + " protection set registry=0", &sAnswer), 0) << sAnswer;
    EXPECT_NE(sAnswer.find("\"Result\":\"0x80004005\""), std::string::npos) << sAnswer;
    EXPECT_NE(sAnswer.find("Driver rejected configuration update"), std::string::npos) << sAnswer;
    EXPECT_NE(DriverStatus().find("kc (none)"), std::string::npos) << DriverStatus();
}

TEST_F(Configuration, ProtectionOffAltogetherStopsTheService) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    std::string sAnswer;
    const int nExit = RunCommand(m_sCtl + " protection off", &sAnswer);
    // Unless the store's own announcement of the change came first, the answer is the compiler's.
    if (sAnswer.find("\"state\":\"cancelled\"") == npos) {
        EXPECT_EQ(nExit, 0) << sAnswer;
        EXPECT_NE(sAnswer.find("Shutting down component"), npos) << sAnswer;
        EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), npos) << sAnswer;
    }
    // The service stops itself, deactivating the driver, and leaves the protection off.
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 30000));
    const std::string sDriverLog = krelltest::ReadText(platform::RootDirectory() + "/run/KRELLDrv.log");
    EXPECT_NE(sDriverLog.find("krelldrv: activation 0"), npos) << sDriverLog;
    std::string sValue;
    RunCommand(m_sCtl + " settings get 'GATEWARDEN\\PRIVATE' CurrentState", &sValue);
    EXPECT_NE(sValue.find("0x00000000"), npos) << sValue;
    RunCommand(m_sCtl + " settings get 'GATEWARDEN\\PRIVATE\\GWStates' RefreshNeeded", &sValue);
    EXPECT_NE(sValue.find("0x00000000"), npos) << sValue;
    CRegistryKey service;
    DWORD dwStart = 0;
    ASSERT_TRUE(service.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc"));
    ASSERT_TRUE(service.GetDword(u"Start", &dwStart));
    EXPECT_EQ(dwStart, 3u);
    EXPECT_NE(
        ServiceLog().find("CStartStopConfigPlugin::PluginGetIC - config.ShouldShutDown() returned true"),
        npos);
}

TEST_F(Configuration, SilentDriverTimesOutAndTheSenderHearsIt) {
    SetDriverParameter(u"ConfigSilent", 1);
    Boot();
    // The first configuration waits out its time limit before the operator's change can be taken.
    ASSERT_TRUE(
        WaitForServiceLog("CKTUMSModule::SendConfigNotification(): Timed out waiting for reply", 30000))
        << ServiceLog();
    const CAnswer answer =
        RunUntilTaken({m_sCtl + " protection set file=0", m_sCtl + " protection set file=1"});
    EXPECT_EQ(answer.nExit, 1) << answer.sText;
    EXPECT_NE(answer.sText.find("\"Result\":\"0x80070102\""), npos) << answer.sText;
    // A timeout is logged, not added to the error list.
    EXPECT_NE(answer.sText.find("\"errors\":[]"), npos) << answer.sText;
    EXPECT_GE(answer.dSeconds, 9.5) << answer.sText;
    EXPECT_TRUE(WaitForServiceLog("Sending event: code=6, data=\"hr=0x80070102\""));
    EXPECT_NE(DriverStatus().find("kc (none)"), npos) << DriverStatus();
}

TEST_F(Configuration, TemporaryDisablingPutsItsEndIntoTheRules) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    usleep(1100000);
    const std::time_t tBefore = std::time(nullptr);
    const CAnswer answer = RunUntilTaken({m_sCtl + " protection on --disable-for 5"});
    const std::time_t tAfter = std::time(nullptr);
    ASSERT_EQ(answer.nExit, 0) << answer.sText;
    EXPECT_NE(answer.sText.find("\"Result\":\"0x00000000\""), npos) << answer.sText;

    // The driver accepted the file before the answer came: its rules end the disabling five minutes on.
    const std::string sFile = ActiveKCFile();
    const std::string sDump = KCDump(sFile);
    const std::string sMarker = "literal \"disabled-protection-expires-time\": date ";
    const std::size_t nAt = sDump.find(sMarker);
    ASSERT_NE(nAt, npos) << sDump;
    const std::time_t tEnd = ParseUtc(sDump.substr(nAt + sMarker.size(), 20));
    EXPECT_GE(tEnd, tBefore + 5 * 60 - 1) << sDump;
    EXPECT_LE(tEnd, tAfter + 6 * 60) << sDump;

    // A write to the service's own program is allowed until then, and denied after.
    const std::string sEval = ProgramPath("kctool") + " eval '" + sFile +
                              "' --section 201 --kind file --access 0x2 --actor-sid S-1-5-21-7 "
                              "--target-path 'C:\\Program Files\\Quillon\\KRELL\\krellsvc.exe' --time ";
    std::string sVerdict;
    RunCommand(sEval + UtcText(tAfter), &sVerdict);
    EXPECT_EQ(sVerdict.rfind("allow (rule \"protection-temporarily-disabled\"", 0), 0u) << sVerdict;
    RunCommand(sEval + UtcText(tEnd + 60), &sVerdict);
    EXPECT_EQ(sVerdict.rfind("deny (rule \"deny-protected-file\"", 0), 0u) << sVerdict;
}

// Every name the compiler may try (a hundred a second) in the next half minute is taken by a folder: no KC
// file can be made, and the driver keeps the one it has. (Permissions cannot stand in for this: they do not
// bind the root user the tests may run as.)
TEST_F(Configuration, NoFreeKCFileNameLeavesTheDriverItsFile) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sFirst = ActiveKCFile();
    usleep(1100000);
    const std::time_t tNow = std::time(nullptr);
    std::vector<std::string> taken;
    for (std::time_t t = tNow; t < tNow + 30; ++t) {
        for (const std::string& sName : KCNames(t, 100)) {
            const std::string sPath = ProductDirectory() + "/" + sName;
            if (mkdir(sPath.c_str(), 0755) == 0) {
                taken.push_back(sPath);
            }
        }
    }

    const CAnswer answer =
        RunUntilTaken({m_sCtl + " protection set file=0", m_sCtl + " protection set file=1"});
    for (const std::string& sPath : taken) {
        rmdir(sPath.c_str());
    }
    EXPECT_EQ(answer.nExit, 1) << answer.sText;
    EXPECT_NE(answer.sText.find("\"Result\":\"0x80004005\""), npos) << answer.sText;
    EXPECT_NE(answer.sText.find("Failed to create configuration data"), npos) << answer.sText;
    EXPECT_NE(ServiceLog().find("CKTConfigurationCompiler::CreateKCFile() - giving up on creating KC file"),
              npos);
    EXPECT_TRUE(WaitForServiceLog("Sending event: code=6, data=\"hr=0x80004005\""));
    EXPECT_EQ(ActiveKCFile(), sFirst);
    EXPECT_NE(DriverStatus().find("loaded=1"), npos) << DriverStatus();
}

// Every name the compiler tries first in the next two minutes leads to a device that is always
// full, so the write fails after the file was made.
TEST_F(Configuration, FullDiskDeletesTheHalfFileAndLeavesTheDriverItsFile) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sFirst = ActiveKCFile();
    usleep(1100000);
    const std::time_t tNow = std::time(nullptr);
    std::vector<std::string> traps;
    for (std::time_t t = tNow; t < tNow + 120; ++t) {
        const std::string sTrap = ProductDirectory() + "/" + KCNames(t, 1)[0];
        if (symlink("/dev/full", sTrap.c_str()) == 0) {
            traps.push_back(sTrap);
        }
    }
    ASSERT_FALSE(traps.empty());

    const CAnswer answer =
        RunUntilTaken({m_sCtl + " protection set file=0", m_sCtl + " protection set file=1"});
    EXPECT_EQ(answer.nExit, 1) << answer.sText;
    EXPECT_NE(answer.sText.find("\"Result\":\"0x80004005\""), npos) << answer.sText;
    EXPECT_NE(answer.sText.find("Failed to create configuration data"), npos) << answer.sText;
    // Each failed file was deleted: its name is free again.
    const auto nLeft = std::count_if(traps.begin(), traps.end(), [](const std::string& sTrap) {
        struct stat st {};
        return lstat(sTrap.c_str(), &st) == 0;
    });
    EXPECT_LT(static_cast<std::size_t>(nLeft), traps.size());
    EXPECT_TRUE(WaitForServiceLog("Sending event: code=6, data=\"hr=0x80004005\""));
    EXPECT_EQ(ActiveKCFile(), sFirst);
    EXPECT_NE(DriverStatus().find("loaded=1"), npos) << DriverStatus();
    for (const std::string& sTrap : traps) {
        unlink(sTrap.c_str());
    }
}

// Switches the store holds as text read as their defaults: a file switch as on, the refresh flag as
// nothing to refresh.
TEST_F(Configuration, SwitchesOfTheWrongTypeCountAsTheirDefaults) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    usleep(1100000);
    const std::string sKey = " settings set 'GATEWARDEN\\PRIVATE\\GWStates' ";
    for (const char* szArgs :
         {"FileProtectState --string 0", "RegProtectState --dword 0", "RefreshNeeded --dword 1"}) {
        ASSERT_EQ(RunCommand(m_sCtl + sKey + szArgs), 0) << szArgs;
    }
    // The store's service announces the change itself; the compiled file shows the switches read.
    ASSERT_TRUE(WaitForDriverStatus("loaded=2")) << DriverStatus();
    const std::string sSecond = ActiveKCFile();
    EXPECT_NE(KCDump(sSecond).find("file protection 1, registry protection 0, process protection 1"), npos)
        << KCDump(sSecond);
    EXPECT_TRUE(WaitForServiceLog(
        "GatewardenEvt::CInternalGatewardenConfigEventImpl::LoadData - GetDword(FILE_PROTECT_STATE) failed"));

    usleep(1100000);
    for (const char* szArgs : {"RegProtectState --dword 1", "RefreshNeeded --string 1"}) {
        ASSERT_EQ(RunCommand(m_sCtl + sKey + szArgs), 0) << szArgs;
    }
    const CAnswer answer = RunUntilTaken({m_sCtl + " config apply"});
    EXPECT_EQ(answer.nExit, 0) << answer.sText;
    EXPECT_NE(answer.sText.find("No configuration changes--using cached configuration"), npos)
        << answer.sText;
    EXPECT_NE(ServiceLog().find(
                  "GatewardenEvt::CInternalGatewardenConfigEventImpl::IsDirtyBitSet - GetDword(DIRTY_BIT) "
                  "failed"),
              npos);
    EXPECT_EQ(ActiveKCFile(), sSecond);
}

// The limits of a KC file with the real driver and events: 50 sections, 512 KiB a section. No plug-in
// of the service makes that many or that large sections, so a compiler in this process is offered
// them beside the start/stop plug-in (0x102 and 0x201), and `krellctl config apply` publishes each
// change and prints the compiler's answer.
TEST_F(Configuration, SectionLimitsOfAKCFileWithTheRealDriver) {
    ASSERT_EQ(RunCommand(m_sCtl + " service start zuZazEzi"), 0);
    // The store's service connects and announces the settings it has; nobody may take that change
    // but an offered configuration's own.
    ASSERT_TRUE(krelltest::WaitForFileText(platform::RootSubdirectory("run") + "/lcSetMgr.log",
                                           "cancelled: nobody took it"));
    CDriverControl driver;
    DWORD dwLoadError = 0;
    ASSERT_TRUE(driver.InitializeChannelSubscriber() && driver.loadDriver(&dwLoadError) &&
                driver.openDriverChannel() && driver.StartListeningForMessages() && driver.ActivateDriver({}))
        << "load error " << dwLoadError;
    krelltest::CDeliveringOwner owner(&driver);
    krelltest::CInProcessCompiler compiler(&owner);
    ASSERT_TRUE(compiler.Create());
    ASSERT_NE(compiler.Offered(), nullptr);

    struct Row {
        DWORD nSections;  // from 0x1000 on, 16 bytes each but the first
        DWORD cbFirst;
        bool bAccepted;
    };
    // A refused configuration stays cached: the row that adds a section comes last.
    for (const Row& row :
         {Row{48, 16, true}, Row{48, 0x80000, true}, Row{48, 0x80001, false}, Row{49, 16, false}}) {
        SCOPED_TRACE(testing::Message() << row.nSections << " sections, the first of " << row.cbFirst);
        auto pIC = std::make_unique<CIntermediateConfiguration>();
        for (DWORD nIndex = 0; nIndex < row.nSections; ++nIndex) {
            CICDirectNode node;
            const std::vector<BYTE> data(nIndex == 0 ? row.cbFirst : 16, static_cast<BYTE>(nIndex));
            ASSERT_TRUE(node.SetData(data.data(), static_cast<DWORD>(data.size())));
            ASSERT_TRUE(pIC->AddNode(0x1000 + nIndex, node));
        }
        const std::string sBefore = ActiveKCFile();
        // KC file names repeat within a second: each file gets a second of its own.
        for (const std::time_t t = std::time(nullptr); std::time(nullptr) == t;) {
            usleep(10000);
        }
        compiler.Offered()->Offer(std::move(pIC));
        const CAnswer answer = RunUntilTaken({m_sCtl + " config apply"});
        const std::string sStatus = DriverStatus();
        if (row.bAccepted) {
            EXPECT_EQ(answer.nExit, 0) << answer.sText;
            EXPECT_NE(ActiveKCFile(), sBefore) << sStatus;
            std::size_t nSections = 0;
            for (std::size_t nAt = sStatus.find("\nsection "); nAt != npos;
                 nAt = sStatus.find("\nsection ", nAt + 1)) {
                ++nSections;
            }
            EXPECT_EQ(nSections, 50u) << sStatus;
            EXPECT_NE(sStatus.find("section 0x1000 length=" + std::to_string(row.cbFirst)), npos) << sStatus;
        } else {
            EXPECT_NE(answer.nExit, 0) << answer.sText;
            EXPECT_NE(answer.sText.find("Failed to create configuration data"), npos) << answer.sText;
            EXPECT_EQ(ActiveKCFile(), sBefore) << sStatus;
            EXPECT_EQ(access(sBefore.c_str(), F_OK), 0) << sBefore;
        }
    }
    compiler.Destroy();
    driver.ShutdownDriver(true);
}

}  // namespace
