// krellctl speaks plainly: its key forms, error texts, usage, the status of wrongly typed values, and
// missing roots left alone. Driven from outside through the program; the registry is read back
// through the root the tests share.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "platform/service_control.h"
#include "scm/scm_admin.h"
#include "service/registry_key.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;

std::string Ctl() {
    return ProgramPath("krellctl");
}

TEST(OperatorTools, RegistryTakesFullKeysWithTheirHiveAndRelativeKeysBelowTheMachineHive) {
    struct Case {
        const char* szTyped;
        HKEY hHive;
        const char16_t* szSubKey;
        const char* szShown;
    };
    const Case cases[] = {
        {"HKEY_LOCAL_MACHINE\\Software\\KrellTest\\Long", HKEY_LOCAL_MACHINE, u"Software\\KrellTest\\Long",
         "HKEY_LOCAL_MACHINE\\Software\\KrellTest\\Long"},
        {"HKLM\\Software\\KrellTest\\Short", HKEY_LOCAL_MACHINE, u"Software\\KrellTest\\Short",
         "HKEY_LOCAL_MACHINE\\Software\\KrellTest\\Short"},
        {"hkey_local_machine\\Software\\KrellTest\\Lower", HKEY_LOCAL_MACHINE, u"Software\\KrellTest\\Lower",
         "HKEY_LOCAL_MACHINE\\Software\\KrellTest\\Lower"},
        {"Software\\KrellTest\\Relative", HKEY_LOCAL_MACHINE, u"Software\\KrellTest\\Relative",
         "HKEY_LOCAL_MACHINE\\Software\\KrellTest\\Relative"},
        {"HKCR\\KrellTest\\Classes", HKEY_CLASSES_ROOT, u"KrellTest\\Classes",
         "HKEY_CLASSES_ROOT\\KrellTest\\Classes"},
        {"HKEY_CURRENT_USER\\KrellTest\\User", HKEY_CURRENT_USER, u"KrellTest\\User",
         "HKEY_CURRENT_USER\\KrellTest\\User"},
        {"HKU\\KrellTest\\Users", HKEY_USERS, u"KrellTest\\Users", "HKEY_USERS\\KrellTest\\Users"},
        // A first part that only begins like a hive is a key below the machine hive.
        {"HKLMX\\KrellTest", HKEY_LOCAL_MACHINE, u"HKLMX\\KrellTest", "HKEY_LOCAL_MACHINE\\HKLMX\\KrellTest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szTyped);
        const std::string sKey = std::string(" '") + c.szTyped + "'";
        std::string sOutput;
        ASSERT_EQ(RunCommand(Ctl() + " registry set" + sKey + " Marker dword 7", &sOutput), 0) << sOutput;
        CRegistryKey reg;
        DWORD dwValue = 0;
        ASSERT_TRUE(reg.Open(c.hHive, c.szSubKey));
        EXPECT_TRUE(reg.GetDword(u"Marker", &dwValue));
        EXPECT_EQ(dwValue, 7u);
        reg.Close();
        ASSERT_EQ(RunCommand(Ctl() + " registry get" + sKey + " Marker", &sOutput), 0) << sOutput;
        EXPECT_EQ(sOutput, std::string(c.szShown) + "\n  Marker = REG_DWORD 0x00000007 (7)\n");
        ASSERT_EQ(RunCommand(Ctl() + " registry delete" + sKey, &sOutput), 0) << sOutput;
        EXPECT_FALSE(reg.Open(c.hHive, c.szSubKey));
    }
    // A hive alone is its root key.
    std::string sOutput;
    ASSERT_EQ(RunCommand(Ctl() + " registry set 'HKCU\\KrellTest' V sz x"), 0);
    ASSERT_EQ(RunCommand(Ctl() + " registry list HKCU", &sOutput), 0);
    EXPECT_EQ(sOutput, "KrellTest\n");
}

TEST(OperatorTools, ErrorNumbersComeWithTheirText) {
    struct Case {
        std::string sCommand;
        const char* szExpected;
    };
    const Case cases[] = {
        {" registry get 'HKLM\\Software\\NoSuchKey'",
         "krellctl: cannot open HKEY_LOCAL_MACHINE\\Software\\NoSuchKey: error 2 (The system cannot find the "
         "file specified)\n"},
        {" registry list '\\Software'",
         "krellctl: cannot open HKEY_LOCAL_MACHINE\\\\Software: error 161 (The specified path is invalid)\n"},
        {" service stop zuZazEzi",
         "krellctl: control 1 of zuZazEzi failed: error 1062 (The service has not been started)\n"},
    };
    ASSERT_EQ(RunCommand(Ctl() + " init"), 0);
    for (const Case& c : cases) {
        std::string sOutput;
        EXPECT_EQ(RunCommand(Ctl() + c.sCommand, &sOutput), 1) << c.sCommand;
        EXPECT_EQ(sOutput, c.szExpected) << c.sCommand;
    }
}

TEST(OperatorTools, UsageTextsNameNoSourceFiles) {
    for (const char* szGroup : {"", " registry", " service", " settings", " driver", " events", " protection",
                                " config", " log", " status --bad", " init --bad"}) {
        std::string sOutput;
        EXPECT_EQ(RunCommand(Ctl() + szGroup, &sOutput), 2) << szGroup;
        EXPECT_NE(sOutput.find("usage: krellctl"), std::string::npos) << szGroup << ": " << sOutput;
        EXPECT_EQ(sOutput.find(".cpp"), std::string::npos) << szGroup << ": " << sOutput;
    }
}

// Every command family, on a root that is not there: refused with a plain message, nothing created.
TEST(OperatorTools, CommandsOnAMissingRootCreateNothing) {
    const std::string sParent = krelltest::MakeTempDirectory("krell-missing-root");
    const std::string sMissing = sParent + "/root";
    const char* const COMMANDS[] = {
        "registry get 'HKLM\\Software'",
        "registry set 'Software\\Krell' V dword 1",
        "registry list HKLM",
        "registry delete 'Software\\Krell'",
        "log show",
        "service list",
        "service status lcSetMgr",
        "service start lcSetMgr",
        "service stop lcSetMgr",
        "service control lcSetMgr 4",
        "boot",
        "shutdown",
        "status",
        "settings get GATEWARDEN",
        "settings set GATEWARDEN V --dword 1",
        "driver status",
        "events watch --count 1 --timeout 1",
        "events publish 6010",
        "protection status",
        "protection on",
        "config apply --wait 1",
    };
    for (const char* szCommand : COMMANDS) {
        std::string sOutput;
        EXPECT_EQ(RunCommand(Ctl() + " --root " + sMissing + " " + szCommand, &sOutput), 1) << szCommand;
        EXPECT_EQ(sOutput, "krellctl: no machine root at " + sMissing + " (krellctl init creates one)\n")
            << szCommand;
        EXPECT_FALSE(std::filesystem::exists(sMissing)) << szCommand;
    }
    // Without --root and $KRELL_ROOT the per-user default root is not created either.
    const std::string sState = sParent + "/state";
    std::string sOutput;
    EXPECT_EQ(RunCommand("env -u KRELL_ROOT XDG_STATE_HOME=" + sState + " " + Ctl() + " status", &sOutput),
              1);
    EXPECT_NE(sOutput.find("no machine root at " + sState + "/krell/root"), std::string::npos) << sOutput;
    EXPECT_FALSE(std::filesystem::exists(sState));
    // Only init makes one.
    ASSERT_EQ(RunCommand(Ctl() + " --root " + sMissing + " init", &sOutput), 0) << sOutput;
    EXPECT_TRUE(std::filesystem::is_directory(sMissing));
    std::filesystem::remove_all(sParent);
}

TEST(OperatorTools, StatusTellsAWronglyTypedStateFromAnAbsentOne) {
    ASSERT_EQ(RunCommand(Ctl() + " init"), 0);
    std::string sOutput;
    ASSERT_EQ(RunCommand(Ctl() + " service start lcSetMgr", &sOutput), 0) << sOutput;
    struct CShutdown {
        ~CShutdown() { krelltest::ShutdownProtectionRoot(); }
    } shutdown;
    ASSERT_TRUE(scm::WaitForState(u"lcSetMgr", SERVICE_RUNNING, 20000));
    struct Case {
        const char* szSet;  // the value's new form, or null to delete it
        const char* szText;
        const char* szJson;
    };
    const Case cases[] = {
        {nullptr, "protection state: absent (read as GW_STATE_ERROR_UNKNOWN)\n", "\"currentState\":null,"},
        {"--dword 1", "protection state: 1 GW_STATE_ON\n", "\"currentState\":1,"},
        {"--string on", "protection state: wrongly typed: not a DWORD (0x80000101)\n",
         "\"currentState\":\"wrongly typed: not a DWORD (0x80000101)\","},
        {"--binary 01000000", "protection state: wrongly typed: not a DWORD (0x80000101)\n",
         "\"currentState\":\"wrongly typed: not a DWORD (0x80000101)\","},
    };
    const std::string sKey = " 'GATEWARDEN\\PRIVATE' CurrentState";
    ASSERT_EQ(RunCommand(Ctl() + " settings set" + sKey + " --dword 0", &sOutput), 0) << sOutput;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szSet != nullptr ? c.szSet : "absent");
        const std::string sChange =
            c.szSet != nullptr ? " settings set" + sKey + " " + c.szSet : " settings delete" + sKey;
        ASSERT_EQ(RunCommand(Ctl() + sChange, &sOutput), 0) << sOutput;
        ASSERT_EQ(RunCommand(Ctl() + " status", &sOutput), 0);
        EXPECT_NE(sOutput.find(c.szText), std::string::npos) << sOutput;
        ASSERT_EQ(RunCommand(Ctl() + " status --json", &sOutput), 0);
        EXPECT_NE(sOutput.find(c.szJson), std::string::npos) << sOutput;
    }
}

}  // namespace
