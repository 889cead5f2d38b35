// krellctl on a machine root: set-up, and a boot of a root with the service installed.
#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "service/installed_apps.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;

using krelltest::RunCommand;

TEST(Krellctl, InitInstallsTheProductAndIsRepeatable) {
    const std::string sCtl = ProgramPath("krellctl");
    for (int nRound = 0; nRound < 2; ++nRound) {
        ASSERT_EQ(RunCommand(sCtl + " init"), 0);
    }
    std::u16string sDirectory;
    ASSERT_TRUE(CInstalledApps::GetKTDirectory(&sDirectory));
    EXPECT_EQ(sDirectory, u"C:\\Program Files\\Quillon\\KRELL");
    ASSERT_TRUE(CInstalledApps::GetLCDirectory(&sDirectory));
    EXPECT_EQ(sDirectory, u"C:\\Program Files\\Quillon\\Loom Core");
    ASSERT_TRUE(CInstalledApps::GetZelSharedDirectory(&sDirectory));
    EXPECT_EQ(platform::GetFileAttributes((sDirectory + u"\\GWManifests").c_str()),
              platform::FILE_ATTRIBUTE_DIRECTORY);
    std::string sList;
    ASSERT_EQ(RunCommand(sCtl + " service list", &sList), 0);
    EXPECT_NE(sList.find("KRELLDrv"), std::string::npos) << sList;
    EXPECT_NE(sList.find("zuZazEzi"), std::string::npos) << sList;
    EXPECT_EQ(sList.find("KRELLSvc"), std::string::npos) << "init does not install the service";
}

TEST(Krellctl, BootStartsTheInstalledServiceAndShutdownEndsIt) {
    const std::string sCtl = ProgramPath("krellctl");
    ASSERT_TRUE(krelltest::PrepareProtectionRoot());
    std::string sOutput;
    ASSERT_EQ(RunCommand(sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_EQ(RunCommand(sCtl + " service status KRELLSvc", &sOutput), 0);
    EXPECT_NE(sOutput.find("RUNNING"), std::string::npos) << sOutput;
    EXPECT_NE(RunCommand(sCtl + " service stop KRELLSvc", &sOutput), 0);
    EXPECT_NE(sOutput.find("1052"), std::string::npos) << sOutput;
    ASSERT_EQ(RunCommand(sCtl + " shutdown", &sOutput), 0) << sOutput;
    ASSERT_EQ(RunCommand(sCtl + " service status KRELLSvc", &sOutput), 0);
    EXPECT_NE(sOutput.find("STOPPED"), std::string::npos) << sOutput;
}

TEST(Krellctl, SettingsWorkWhileTheStoreServiceRuns) {
    const std::string sCtl = ProgramPath("krellctl");
    const std::string sSettings = sCtl + " settings ";
    ASSERT_EQ(RunCommand(sCtl + " init"), 0);
    std::string sOutput;
    EXPECT_EQ(RunCommand(sSettings + "get GATEWARDEN", &sOutput), 1);
    EXPECT_NE(sOutput.find("settings store is not running"), std::string::npos) << sOutput;
    ASSERT_EQ(RunCommand(sCtl + " boot", &sOutput), 0) << sOutput;  // lcSetMgr starts automatically
    struct CShutdown {
        std::string sCommand;
        ~CShutdown() { RunCommand(sCommand); }
    } shutdown{sCtl + " shutdown"};
    const std::string sKey = "'GATEWARDEN\\PRIVATE'";
    EXPECT_EQ(RunCommand(sSettings + "set " + sKey + " CurrentState --dword 0x10"), 0);
    EXPECT_EQ(RunCommand(sSettings + "set " + sKey + " Note --string 'a \"b\"'"), 0);
    EXPECT_EQ(RunCommand(sSettings + "set " + sKey + "'\\Sub' Raw --binary 00fF7a"), 0);
    EXPECT_EQ(RunCommand(sSettings + "set " + sKey + " Bad --binary 0g"), 2);
    EXPECT_EQ(RunCommand(sSettings + "set " + sKey + " Bad --dword -1"), 2);
    ASSERT_EQ(RunCommand(sSettings + "get " + sKey + " --json", &sOutput), 0);
    EXPECT_EQ(sOutput,
              "[{\"name\":\"CurrentState\",\"type\":\"dword\",\"data\":16},"
              "{\"name\":\"Note\",\"type\":\"string\",\"data\":\"a \\\"b\\\"\"}]\n");
    ASSERT_EQ(RunCommand(sSettings + "dump GATEWARDEN", &sOutput), 0);
    EXPECT_EQ(sOutput,
              "[GATEWARDEN]\n[GATEWARDEN\\PRIVATE]\n  CurrentState = dword 0x00000010 (16)\n  Note = string "
              "\"a \"b\"\"\n"
              "[GATEWARDEN\\PRIVATE\\Sub]\n  Raw = binary 3 bytes 00ff7a\n");
    ASSERT_EQ(RunCommand(sSettings + "list GATEWARDEN --json", &sOutput), 0);
    EXPECT_EQ(sOutput, "[\"PRIVATE\"]\n");
    EXPECT_EQ(RunCommand(sSettings + "delete " + sKey + " Note"), 0);
    EXPECT_EQ(RunCommand(sSettings + "get " + sKey + " Note", &sOutput), 1);
    EXPECT_NE(sOutput.find("0x80000100"), std::string::npos) << sOutput;
    EXPECT_EQ(RunCommand(sSettings + "delete GATEWARDEN"), 0);
    EXPECT_EQ(RunCommand(sSettings + "list GATEWARDEN", &sOutput), 1);
}

TEST(Krellctl, RefusesBadArgumentsAndMissingRoots) {
    const std::string sCtl = ProgramPath("krellctl");
    EXPECT_EQ(RunCommand(sCtl), 2);
    EXPECT_EQ(RunCommand(sCtl + " frobnicate"), 2);
    EXPECT_EQ(RunCommand(sCtl + " registry set Key Value qword 1"), 2);
    EXPECT_EQ(RunCommand(sCtl + " registry set Key Value dword notanumber"), 2);
    std::string sOutput;
    EXPECT_NE(RunCommand(sCtl + " --root " + platform::RootDirectory() + "/missing service list", &sOutput),
              0);
    EXPECT_NE(sOutput.find("no machine root"), std::string::npos) << sOutput;
}

}  // namespace
