// The first configuration end to end: the service booted with the protection intended on asks for a
// settings refresh, the settings store's service answers with a configuration change, the compiler
// writes a KC file and the driver loads it. Then the operator's changes through krellctl, and what
// becomes of them when the protection goes off, the driver stays silent or the file cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
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
    double dSeconds = 0;
};

CAnswer RunTimed(const std::string& sCommand) {
    CAnswer answer;
    const auto start = std::chrono::steady_clock::now();
    answer.nExit = RunCommand(sCommand, &answer.sText);
    answer.dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return answer;
}

// The KC files of the product directory, as paths of this machine.
std::vector<std::string> KCFilesOnDisk() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(ProductDirectory())) {
        if (entry.path().extension() == ".kc") {
            files.push_back(entry.path().string());
        }
    }
    return files;
}

// The files the driver loaded, in order, from its log.
std::vector<std::string> LoadedFiles() {
    const std::string sLog = krelltest::ReadText(platform::RootDirectory() + "/run/KRELLDrv.log");
    std::vector<std::string> files;
    const std::string sMarker = "krelldrv: configuration ";
    for (std::size_t nAt = sLog.find(sMarker); nAt != npos; nAt = sLog.find(sMarker, nAt + 1)) {
        const std::size_t nEnd = sLog.find('\n', nAt);
        const std::string sLine = sLog.substr(nAt + sMarker.size(), nEnd - nAt - sMarker.size());
        if (sLine.size() > 7 && sLine.compare(sLine.size() - 7, 7, " loaded") == 0) {
            files.push_back(sLine.substr(0, sLine.size() - 7));
        }
    }
    return files;
}

std::size_t CountOf(const std::string& sText, const std::string& sPart) {
    std::size_t nCount = 0;
    for (std::size_t nAt = sText.find(sPart); nAt != npos; nAt = sText.find(sPart, nAt + 1)) {
        ++nCount;
    }
    return nCount;
}

class Configuration : public krelltest::ProtectionRootTest {
protected:
    void Boot() { ProtectionRootTest::Boot("driver=activated"); }
    std::string KCDump(const std::string& sFile) {
        std::string sOutput;
        RunCommand(ProgramPath("kctool") + " dump '" + sFile + "'", &sOutput);
        return sOutput;
    }
    static void SetDriverParameter(const char16_t* szName, DWORD dwValue) {
        ASSERT_TRUE(krelltest::SetDriverParameter(szName, dwValue));
    }
};

TEST_F(Configuration, FirstConfigurationThenASwitchChangeReplacesTheFile) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sFirst = ActiveKCFile();
    ASSERT_FALSE(sFirst.empty()) << DriverStatus();
    EXPECT_EQ(access(sFirst.c_str(), F_OK), 0) << sFirst;
    EXPECT_NE(DriverStatus().find("section 0x201"), std::string::npos) << DriverStatus();

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

    // Nothing changed since: the cached configuration is used and no file is written.
    ASSERT_EQ(RunCommand(m_sCtl + " config apply", &sAnswer), 0) << sAnswer;
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

// Changes one after the other, several within a second: each file the driver loads has a name of its
// own, so none is written again while the driver holds it, and only the one in force is left.
TEST_F(Configuration, QuickChangesEachGetAFileOfTheirOwn) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    for (int nChange = 0; nChange < 6; ++nChange) {
        std::string sAnswer;
        ASSERT_EQ(RunCommand(m_sCtl + " protection set file=" + std::to_string(nChange % 2), &sAnswer), 0)
            << sAnswer;
        ASSERT_TRUE(WaitForDriverStatus("loaded=" + std::to_string(nChange + 2))) << DriverStatus();
    }
    const std::vector<std::string> loaded = LoadedFiles();
    ASSERT_EQ(loaded.size(), 7u);
    for (std::size_t i = 1; i < loaded.size(); ++i) {
        EXPECT_NE(loaded[i], loaded[i - 1]) << "load " << i;
    }
    const std::string sActive = ActiveKCFile();
    EXPECT_EQ(KCFilesOnDisk(), std::vector<std::string>{sActive});
    std::string sVerdict;
    EXPECT_EQ(RunCommand(ProgramPath("kctool") + " verify '" + sActive + "'", &sVerdict), 0) << sVerdict;
    EXPECT_NE(KCDump(sActive).find("file protection 1, registry protection 1"), npos) << KCDump(sActive);
}

// A refused file is not left behind, and the driver's refusal is not mistaken for a configuration in
// force: once the driver takes configurations again, the next apply compiles and is accepted.
TEST_F(Configuration, ARefusedFileIsDeletedAndTheNextApplyCompilesAgain) {
    SetDriverParameter(u"ConfigReject", 1);
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("rejected=1")) << DriverStatus();
    ASSERT_TRUE(WaitForServiceLog("Sending event: code=6, data=\"hr=0x80004005\""));
    EXPECT_TRUE(KCFilesOnDisk().empty());

    SetDriverParameter(u"ConfigReject", 0);
    std::string sAnswer;
    ASSERT_EQ(RunCommand(m_sCtl + " config apply", &sAnswer), 0) << sAnswer;
    EXPECT_EQ(sAnswer.find("No configuration changes"), npos) << sAnswer;
    EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), npos) << sAnswer;
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    EXPECT_EQ(KCFilesOnDisk(), std::vector<std::string>{ActiveKCFile()});
}

// The driver names no released file in the first reply of a run, so the file of the run before is
// stale after a restart: the first accepted delivery removes it.
TEST_F(Configuration, AKCFileLeftByAStopIsRemovedAtTheNextAcceptedDelivery) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sBefore = ActiveKCFile();
    ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t"), 0);
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 30000));
    EXPECT_EQ(KCFilesOnDisk(), std::vector<std::string>{sBefore});

    // The stop left the protection off; the operator turns it on again.
    ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", 1));
    ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLSvc"), 0);
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sAfter = ActiveKCFile();
    ASSERT_FALSE(sAfter.empty());
    EXPECT_NE(sAfter, sBefore);
    EXPECT_EQ(KCFilesOnDisk(), std::vector<std::string>{sAfter});
}

// krellctl asks the store's service for the change, which publishes it once: one configuration
// change, one compilation, one notification of the update.
TEST_F(Configuration, OneSwitchChangeIsOneConfigurationChangeAndOneCompilation) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    // Whatever the store's service still had to publish from the boot is answered by the time an
    // apply is: it publishes one change at a time, for all requests before it.
    std::string sApplied;
    ASSERT_EQ(RunCommand(m_sCtl + " config apply", &sApplied), 0) << sApplied;
    // That apply may deliver a file of its own: the manifests are read again at the first compilation
    // after the one at start-up, which finds no refresh flag yet.
    const std::string sLoaded = "loaded=" + std::to_string(LoadedFiles().size() + 1);
    const std::size_t nCompiled = CountOf(ServiceLog(), "EventThread::Run() - Received event signal");
    const std::size_t nNotified = CountOf(ServiceLog(), "Sending event: code=5");

    // Every configuration change created from now on, for longer than the store's service takes to
    // notice a change on its own (a third of a second of quiet).
    const std::string sWatched = platform::RootDirectory() + "/config-changes.json";
    const std::string sWatching = platform::RootDirectory() + "/config-changes.err";
    std::thread watch([&] {
        RunCommand("{ " + m_sCtl + " events watch --type 6008 --timeout 5 >'" + sWatched + "' 2>'" +
                   sWatching + "'; }");
    });
    const bool bWatching = krelltest::WaitForFileText(sWatching, "watching types");
    std::string sAnswer;
    const int nExit = bWatching ? RunCommand(m_sCtl + " protection set file=0", &sAnswer) : -1;
    watch.join();
    ASSERT_TRUE(bWatching);
    EXPECT_EQ(nExit, 0) << sAnswer;

    const std::string sEvents = krelltest::ReadText(sWatched);
    // The compiler keeps what it is offered, so the watcher sees each change once, when it is finished.
    EXPECT_EQ(CountOf(sEvents, "\"type\":6008"), 1u) << sEvents;
    EXPECT_EQ(CountOf(sEvents, "\"state\":\"committed\""), 1u) << sEvents;
    EXPECT_EQ(CountOf(ServiceLog(), "EventThread::Run() - Received event signal"), nCompiled + 1);
    EXPECT_EQ(CountOf(ServiceLog(), "Sending event: code=5"), nNotified + 1);
    EXPECT_NE(DriverStatus().find(sLoaded), npos) << DriverStatus();
}

TEST_F(Configuration, ProtectionOffAltogetherStopsTheService) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    std::string sAnswer;
    EXPECT_EQ(RunCommand(m_sCtl + " protection off", &sAnswer), 0) << sAnswer;
    EXPECT_NE(sAnswer.find("Shutting down component"), npos) << sAnswer;
    EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), npos) << sAnswer;
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
    const CAnswer answer = RunTimed(m_sCtl + " protection set file=0");
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
    const std::time_t tBefore = std::time(nullptr);
    const CAnswer answer = RunTimed(m_sCtl + " protection on --disable-for 5");
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

// What the default configuration denies and allows at each boundary of what it protects: the service's
// and the driver's keys, their sub-keys and their siblings; the product folder, its files and its
// neighbours; the service's process and another.
TEST_F(Configuration, TheDefaultConfigurationDecidesAtEachBoundary) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sFile = ActiveKCFile();
    const std::string sServices = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
    const std::string sProduct = "C:\\Program Files\\Quillon\\KRELL";
    struct Case {
        std::string sKind;
        std::string sTarget;
        const char* szAccess;
        const char* szVerdict;
    } cases[] = {
        {"registry", sServices + "KRELLSvc", "0x2", "deny (rule \"deny-protected-regkey\""},
        {"registry", sServices + "KRELLSvc\\Parameters", "0x2", "deny (rule \"deny-protected-regkey\""},
        {"registry", sServices + "krellsvc\\Parameters", "0x10000", "deny (rule \"deny-protected-regkey\""},
        {"registry", sServices + "KRELLSvcOther", "0x2", "allow (default effect)"},
        {"registry", sServices + "KRELLSvcOther\\Parameters", "0x2", "allow (default effect)"},
        {"registry", sServices + "KRELLDrv", "0x10000", "deny (rule \"deny-protected-regkey\""},
        {"registry", sServices + "KRELLDrv\\Parameters", "0x2", "deny (rule \"deny-protected-regkey\""},
        {"registry", sServices + "KRELLDrv2", "0x2", "allow (default effect)"},
        {"registry", sServices + "KRELLSvc", "0x1", "allow (default effect)"},
        {"file", sProduct, "0x10000", "deny (rule \"deny-protected-file\""},
        {"file", sProduct + "\\", "0x10000", "deny (rule \"deny-protected-file\""},
        {"file", sProduct + "\\KT.dll", "0x2", "deny (rule \"deny-protected-file\""},
        {"file", sProduct + "\\KT.dll", "0x10000", "deny (rule \"deny-protected-file\""},
        {"file", sProduct + "\\KT.dll", "0x1", "allow (default effect)"},
        {"file", sProduct + "Other\\KT.dll", "0x2", "allow (default effect)"},
        {"file", sProduct + "Other", "0x10000", "allow (default effect)"},
        {"file", "C:\\Program Files\\Quillon", "0x10000", "allow (default effect)"},
        {"process", sProduct + "\\KRELLSvc.exe", "0x1", "deny (rule \"deny-protected-process\""},
        {"process", sProduct + "\\Other.exe", "0x1", "allow (default effect)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sTarget + " " + c.szAccess);
        std::string sVerdict;
        RunCommand(ProgramPath("kctool") + " eval '" + sFile + "' --section 201 --kind " + c.sKind +
                       " --access " + c.szAccess + " --actor-sid S-1-5-21-7 --target-path '" + c.sTarget +
                       "'",
                   &sVerdict);
        EXPECT_EQ(sVerdict.rfind(c.szVerdict, 0), 0u) << sVerdict;
    }
}

// Every name the compiler may try (a hundred a second) in the next half minute is taken by a folder: no KC
// file can be made, and the driver keeps the one it has. (Permissions cannot stand in for this: they do not
// bind the root user the tests may run as.)
TEST_F(Configuration, NoFreeKCFileNameLeavesTheDriverItsFile) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
    const std::string sFirst = ActiveKCFile();
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

    const CAnswer answer = RunTimed(m_sCtl + " protection set file=0");
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

// Switches the store holds as text read as their defaults: a file switch as on, the refresh flag as
// nothing to refresh.
TEST_F(Configuration, SwitchesOfTheWrongTypeCountAsTheirDefaults) {
    Boot();
    ASSERT_TRUE(WaitForDriverStatus("loaded=1")) << DriverStatus();
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

    for (const char* szArgs : {"RegProtectState --dword 1", "RefreshNeeded --string 1"}) {
        ASSERT_EQ(RunCommand(m_sCtl + sKey + szArgs), 0) << szArgs;
    }
    const CAnswer answer = RunTimed(m_sCtl + " config apply");
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
// them beside the start/stop plug-in (0x102 and 0x201), and `krellctl config apply` asks for each
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
        compiler.Offered()->Offer(std::move(pIC));
        const CAnswer answer = RunTimed(m_sCtl + " config apply");
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
            // The half-made file is gone.
            EXPECT_EQ(KCFilesOnDisk(), std::vector<std::string>{sBefore});
        }
    }
    compiler.Destroy();
    driver.ShutdownDriver(true);
}

}  // namespace
