// The protection module's start decision in a root made by krellctl init, with the settings store's
// service running and the service installed: debug runs of the real executable, judged by their
// exit codes, the settings they leave and the service start types.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/registry.h"
#include "platform/root.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;

constexpr int EXIT_FAILURE_CODE = 255;

using krelltest::RunCommand;

DWORD StartType(const char16_t* szService) {
    CRegistryKey reg;
    DWORD dwStart = 0xFFFFFFFF;
    if (reg.Open(HKEY_LOCAL_MACHINE,
                 (std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\") + szService).c_str())) {
        reg.GetDword(u"Start", &dwStart);
    }
    return dwStart;
}

class ProtectionModule : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        ASSERT_TRUE(krelltest::PrepareProtectionRoot(false));
    }
    // Every service this test started ends here.
    void TearDown() override { krelltest::ShutdownProtectionRoot(); }

    void SetSetting(const char* szName, DWORD dwValue) {
        ASSERT_TRUE(krelltest::SetProtectionSetting(szName, dwValue));
    }
    std::string GetSetting(const char* szName) {
        std::string sOutput;
        RunCommand(m_sCtl + " settings get 'GATEWARDEN\\PRIVATE' " + szName, &sOutput);
        return sOutput;
    }
    int DebugRun() { return RunCommand(ProgramPath("krellsvc") + " -Debug"); }

    std::string m_sCtl;
};

TEST_F(ProtectionModule, NoStateRefusesAndLeavesProtectionOff) {
    EXPECT_EQ(DebugRun(), EXIT_FAILURE_CODE);
    EXPECT_NE(GetSetting("CurrentState").find("0x00000000"), std::string::npos) << GetSetting("CurrentState");
    EXPECT_EQ(StartType(u"KRELLSvc"), static_cast<DWORD>(SERVICE_DEMAND_START));
}

TEST_F(ProtectionModule, OffStaysOff) {
    SetSetting("CurrentState", 0);
    EXPECT_EQ(DebugRun(), EXIT_FAILURE_CODE);
    EXPECT_NE(GetSetting("CurrentState").find("0x00000000"), std::string::npos);
    EXPECT_EQ(StartType(u"KRELLSvc"), static_cast<DWORD>(SERVICE_DEMAND_START));
}

TEST_F(ProtectionModule, DriverErrorMarkerRefusesAndLeavesErrorOff) {
    SetSetting("CurrentState", 1);
    SetSetting("DriverError", 1);
    EXPECT_EQ(DebugRun(), EXIT_FAILURE_CODE);
    EXPECT_NE(GetSetting("CurrentState").find("0x00000004"), std::string::npos) << GetSetting("CurrentState");
}

TEST_F(ProtectionModule, SettingsOverrideOpensTheDebugLog) {
    SetSetting("DebugOutput", 0xFFFFFFFF);
    CRegistryKey options;
    ASSERT_TRUE(options.Create(HKEY_LOCAL_MACHINE, u"Software\\Quillon\\Loom Core\\Debug\\DebugOutput"));
    ASSERT_TRUE(options.SetDword(u"DebugType", 0));  // the settings value overrides it
    ASSERT_TRUE(options.SetString(u"Directory", u"C:\\Logs"));
    ASSERT_EQ(RunCommand("mkdir -p '" + platform::RootDirectory() + "/drive_c/Logs'"), 0);
    EXPECT_EQ(DebugRun(), EXIT_FAILURE_CODE);
    const std::string sBytes = krelltest::ReadFileBytes(u"C:\\Logs\\KRELLSvc.log");
    ASSERT_GE(sBytes.size(), 2u);
    EXPECT_EQ(sBytes.substr(0, 2), "\xFF\xFE");
    const std::string sText = krelltest::Utf16LeToUtf8(sBytes);
    EXPECT_NE(sText.find(" : KRELLSvc : 0x"), std::string::npos);
    EXPECT_NE(sText.find(" : CKTUMSModule::Create(): KTUMS starting.\r\n"), std::string::npos) << sText;
}

TEST_F(ProtectionModule, MissingEventManagerFallsBack) {
    SetSetting("CurrentState", 1);
    ASSERT_EQ(platform::RegDeleteTree(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\zuZazEzi"),
              0);
    CRegistryKey product;
    ASSERT_TRUE(product.Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\KRELL"));
    ASSERT_TRUE(product.SetDword(u"FallbackAction", 2));
    const DWORD dwServiceStart = StartType(u"KRELLSvc");
    EXPECT_EQ(DebugRun(), EXIT_FAILURE_CODE);
    EXPECT_EQ(StartType(u"KRELLDrv"), static_cast<DWORD>(SERVICE_SYSTEM_START));
    EXPECT_EQ(StartType(u"KRELLSvc"), dwServiceStart);
}

// A run with the protection intended on starts, loads the framework's services, and on the terminate
// switch stops: the framework unloaded, the protection off, the service on demand.
TEST_F(ProtectionModule, RunUntilTerminatedLeavesProtectionOff) {
    SetSetting("CurrentState", 1);
    const pid_t pid = krelltest::StartChild({ProgramPath("krellsvc"), "-Debug"});
    ASSERT_GT(pid, 0);
    const std::string sFrameworkLog = platform::RootDirectory() + "/run/KT.log";
    ASSERT_TRUE(krelltest::WaitForFileText(sFrameworkLog, "LoadServices"));
    EXPECT_EQ(StartType(u"KRELLSvc"), static_cast<DWORD>(SERVICE_AUTO_START));
    std::string sStatus;
    ASSERT_EQ(RunCommand(m_sCtl + " status", &sStatus), 0);
    EXPECT_NE(sStatus.find("protection state: 1 GW_STATE_ON"), std::string::npos) << sStatus;
    EXPECT_NE(sStatus.find("zuZazEzi"), std::string::npos) << sStatus;
    EXPECT_EQ(RunCommand(ProgramPath("krellsvc") + " -t"), 0);
    EXPECT_EQ(krelltest::WaitChild(pid, 20000), 0);
    EXPECT_TRUE(krelltest::WaitForFileText(sFrameworkLog, "UnloadServices"));
    EXPECT_NE(GetSetting("CurrentState").find("0x00000000"), std::string::npos) << GetSetting("CurrentState");
    EXPECT_EQ(StartType(u"KRELLSvc"), static_cast<DWORD>(SERVICE_DEMAND_START));
}

}  // namespace

namespace {

TEST_F(ProtectionModule, MissingEventManagerWithFallbackOneStopsTheDriver) {
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLDrv", &sOutput), 0) << sOutput;
    SetSetting("CurrentState", 1);
    ASSERT_EQ(platform::RegDeleteTree(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\zuZazEzi"),
              0);
    CRegistryKey product;
    ASSERT_TRUE(product.Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\KRELL"));
    ASSERT_TRUE(product.SetDword(u"FallbackAction", 1));
    EXPECT_EQ(DebugRun(), EXIT_FAILURE_CODE);
    ASSERT_EQ(RunCommand(m_sCtl + " service status KRELLDrv", &sOutput), 0);
    EXPECT_NE(sOutput.find("STOPPED"), std::string::npos) << sOutput;
    EXPECT_EQ(StartType(u"KRELLDrv"), static_cast<DWORD>(SERVICE_DEMAND_START));
}

}  // namespace
