// A machine root's boot and shutdown with the product installed, driven with the real programs from
// outside: the README's sequence as typed, a reboot with the protection on, a second boot, a
// protection service that refuses to start, and a shutdown in the middle of the protection's start.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;

// The commands of the README's "Using it by hand", as typed.
std::vector<std::string> ReadmeCommands() {
    std::ifstream in(std::string(KRELL_SOURCE_DIR) + "/README.md");
    std::vector<std::string> commands;
    bool bInSection = false;
    bool bInBlock = false;
    for (std::string sLine; std::getline(in, sLine);) {
        if (sLine.starts_with("## ")) {
            bInSection = sLine == "## Using it by hand";
        } else if (bInSection && sLine.starts_with("```")) {
            if (bInBlock) {
                break;
            }
            bInBlock = true;
        } else if (bInBlock) {
            const std::size_t nComment = sLine.find("  #");
            sLine = sLine.substr(0, nComment);
            while (!sLine.empty() && sLine.back() == ' ') {
                sLine.pop_back();
            }
            if (!sLine.empty() && !sLine.starts_with(" ")) {
                commands.push_back(sLine);
            }
        }
    }
    return commands;
}

// The line of a service in krellctl boot's or shutdown's report, or -1.
int LineOf(const std::string& sReport, const std::string& sService) {
    std::istringstream lines(sReport);
    int nLine = 0;
    for (std::string sLine; std::getline(lines, sLine); ++nLine) {
        if (sLine.starts_with(sService + " ")) {
            return nLine;
        }
    }
    return -1;
}

std::string ReportLine(const std::string& sReport, const std::string& sService) {
    std::istringstream lines(sReport);
    for (std::string sLine; std::getline(lines, sLine);) {
        if (sLine.starts_with(sService + " ")) {
            return sLine;
        }
    }
    return "";
}

class Boot : public testing::Test {
protected:
    void TearDown() override { krelltest::ShutdownProtectionRoot(); }

    int Ctl(const std::string& sArguments, std::string* psOutput = nullptr) {
        return RunCommand(m_sCtl + " " + sArguments, psOutput);
    }

    const std::string m_sCtl = ProgramPath("krellctl");
};

TEST_F(Boot, TheReadmeSequenceWorksAsTyped) {
    const std::vector<std::string> commands = ReadmeCommands();
    ASSERT_GE(commands.size(), 8u);
    // The test's own fresh root stands in for the README's.
    ASSERT_EQ(commands[0], "export KRELL_ROOT=$(mktemp -d)");
    const std::string sBuilt = "build/default/bin/";
    for (std::size_t i = 1; i < commands.size(); ++i) {
        std::string sCommand = commands[i];
        ASSERT_TRUE(sCommand.starts_with(sBuilt)) << sCommand;
        sCommand.replace(0, sBuilt.size(), ProgramPath(""));
        std::string sOutput;
        ASSERT_EQ(RunCommand(sCommand, &sOutput), 0) << commands[i] << "\n" << sOutput;
    }
}

TEST_F(Boot, InitPutsTheStoreAndTheEventManagerInListedGroupsOnce) {
    for (int nRound = 0; nRound < 2; ++nRound) {
        ASSERT_EQ(Ctl("init"), 0);
    }
    std::string sOutput;
    ASSERT_EQ(Ctl("registry get 'SYSTEM\\CurrentControlSet\\Control\\ServiceGroupOrder' List", &sOutput), 0);
    const std::size_t nEvents = sOutput.find("\"Loom Core Events\"");
    ASSERT_NE(nEvents, std::string::npos) << sOutput;
    EXPECT_LT(nEvents, sOutput.find("\"Loom Core Settings\"")) << sOutput;
    EXPECT_EQ(sOutput.find("\"Loom Core Events\"", nEvents + 1), std::string::npos) << sOutput;
    for (const auto& [szService, szGroup] :
         {std::pair{"lcSetMgr", "Loom Core Settings"}, std::pair{"zuZazEzi", "Loom Core Events"}}) {
        ASSERT_EQ(
            Ctl(std::string("registry get 'SYSTEM\\CurrentControlSet\\Services\\") + szService + "' Group",
                &sOutput),
            0);
        EXPECT_NE(sOutput.find(szGroup), std::string::npos) << sOutput;
    }
}

TEST_F(Boot, TheProtectionSurvivesAReboot) {
    ASSERT_TRUE(krelltest::PrepareProtectionRoot());
    std::string sOutput;
    ASSERT_EQ(Ctl("boot", &sOutput), 0) << sOutput;
    EXPECT_LT(LineOf(sOutput, "lcSetMgr"), LineOf(sOutput, "KRELLSvc")) << sOutput;
    EXPECT_NE(ReportLine(sOutput, "KRELLSvc").find("started"), std::string::npos) << sOutput;
    // Boot returned with the first configuration in the driver; the change after it is the last one.
    EXPECT_NE(krelltest::DriverStatus().find("driver=activated"), std::string::npos);
    ASSERT_EQ(Ctl("protection set file=0", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForDriverStatus("loaded=2"));

    // A second boot is a success that says what runs.
    ASSERT_EQ(Ctl("boot", &sOutput), 0) << sOutput;
    EXPECT_EQ(sOutput.find("started"), std::string::npos) << sOutput;
    EXPECT_NE(ReportLine(sOutput, "KRELLSvc").find("already running"), std::string::npos) << sOutput;
    EXPECT_NE(ReportLine(sOutput, "lcSetMgr").find("already running"), std::string::npos) << sOutput;

    ASSERT_EQ(Ctl("shutdown", &sOutput), 0) << sOutput;
    // The protection service goes first, the driver last, the store after the event manager's client.
    const int nService = LineOf(sOutput, "KRELLSvc");
    EXPECT_GE(nService, 0) << sOutput;
    EXPECT_LT(nService, LineOf(sOutput, "zuZazEzi")) << sOutput;
    EXPECT_LT(nService, LineOf(sOutput, "lcSetMgr")) << sOutput;
    EXPECT_LT(LineOf(sOutput, "lcSetMgr"), LineOf(sOutput, "zuZazEzi")) << sOutput;
    EXPECT_LT(LineOf(sOutput, "zuZazEzi"), LineOf(sOutput, "KRELLDrv")) << sOutput;
    EXPECT_NE(Ctl("driver status"), 0) << "the driver ended with the machine";

    ASSERT_EQ(Ctl("boot", &sOutput), 0) << sOutput;
    EXPECT_NE(ReportLine(sOutput, "KRELLSvc").find("started"), std::string::npos) << sOutput;
    const std::string sDriver = krelltest::DriverStatus();
    EXPECT_NE(sDriver.find("driver=activated"), std::string::npos) << sDriver;
    EXPECT_NE(sDriver.find("loaded=1"), std::string::npos) << sDriver;
    ASSERT_EQ(Ctl("status", &sOutput), 0);
    EXPECT_NE(sOutput.find("protection state: 1 GW_STATE_ON"), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find("driver error marker: 0"), std::string::npos) << sOutput;
    // The configuration delivered is the last one: file protection stays off.
    ASSERT_EQ(Ctl("protection status", &sOutput), 0);
    EXPECT_NE(sOutput.find("FileProtectState = 0"), std::string::npos) << sOutput;
    ASSERT_EQ(Ctl("config apply", &sOutput), 0) << sOutput;
    EXPECT_NE(sOutput.find("No configuration changes"), std::string::npos) << sOutput;
}

TEST_F(Boot, AProtectionServiceThatRefusesIsReportedWithItsExitCode) {
    // Without an intended state the service refuses its start, after it has reported RUNNING.
    ASSERT_TRUE(krelltest::PrepareProtectionRoot(false));
    std::string sOutput;
    EXPECT_EQ(Ctl("boot", &sOutput), 1) << sOutput;
    const std::string sLine = ReportLine(sOutput, "KRELLSvc");
    EXPECT_NE(sLine.find("failed"), std::string::npos) << sOutput;
    EXPECT_NE(sLine.find("1066"), std::string::npos) << sOutput;
    EXPECT_NE(sLine.find("0xFFFFFFFF"), std::string::npos) << sOutput;
    EXPECT_NE(ReportLine(sOutput, "lcSetMgr").find("already running"), std::string::npos) << sOutput;
}

TEST_F(Boot, AServiceThatStopsInsteadOfRunningFailsItsStartAndTheBoot) {
    ASSERT_EQ(Ctl("init"), 0);
    ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -Install"), 0);
    // A directory where the store's database belongs: its service stops with ERROR_CANTOPEN.
    std::filesystem::create_directory(platform::RootDirectory() + "/settings.db");
    std::string sOutput;
    EXPECT_EQ(Ctl("service start lcSetMgr", &sOutput), 1) << sOutput;
    EXPECT_NE(sOutput.find("lcSetMgr did not start (error 1011 ("), std::string::npos) << sOutput;
    // The boot reports both: the store, and the protection service that cannot start without it.
    EXPECT_EQ(Ctl("boot", &sOutput), 1) << sOutput;
    EXPECT_NE(ReportLine(sOutput, "lcSetMgr").find("failed (error 1011 ("), std::string::npos) << sOutput;
    const std::string sLine = ReportLine(sOutput, "KRELLSvc");
    EXPECT_NE(sLine.find("failed (exit code 1066 ("), std::string::npos) << sOutput;
    EXPECT_NE(sLine.find("service-specific exit code 0xFFFFFFFF)"), std::string::npos) << sOutput;
}

TEST_F(Boot, AShutdownDuringTheProtectionsStartLetsItFinishFirst) {
    ASSERT_TRUE(krelltest::PrepareProtectionRoot());
    const pid_t boot = krelltest::StartChild({m_sCtl, "boot"});
    ASSERT_GT(boot, 0);
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "RUNNING"));
    std::string sOutput;
    EXPECT_EQ(Ctl("shutdown", &sOutput), 0) << sOutput;
    // The boot may see the protection up or already ended by the shutdown; either way it ends.
    EXPECT_GE(krelltest::WaitChild(boot, 120000), 0);
    // Nothing was left half done: no driver load marked as broken, the protection still intended on.
    ASSERT_EQ(Ctl("boot", &sOutput), 0) << sOutput;
    ASSERT_EQ(Ctl("status", &sOutput), 0);
    EXPECT_NE(sOutput.find("driver error marker: 0"), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find("protection state: 1 GW_STATE_ON"), std::string::npos) << sOutput;
    EXPECT_NE(krelltest::DriverStatus().find("driver=activated"), std::string::npos);
}

}  // namespace
