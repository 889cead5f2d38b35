// The first configuration end to end: the service booted with the protection intended on asks for a
// settings refresh, the settings store's service answers with a configuration change, the compiler
// writes a KC file and the driver loads it. Then the operator's changes through krellctl.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/root.h"
#include "service/registry_key.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::DriverStatus;
using krelltest::ProgramPath;
using krelltest::RunCommand;
using krelltest::WaitForDriverStatus;

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
    for (int nTry = 0; nTry < 20; ++nTry) {
        if (RunCommand(m_sCtl + " config apply", &sAnswer) == 0 ||
            sAnswer.find("cancelled") == std::string::npos) {
            break;
        }
        usleep(250000);
    }
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

}  // namespace
