// The service's listeners, driven from outside: the stand-in driver reports a violation and asks
// about an install, and krellctl reads what the service counted.
#include <gtest/gtest.h>

#include <string>

#include "platform/system.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;

// Runs a command until its output contains a text; the last output.
bool WaitForOutput(const std::string& sCommand, const std::string& sText, std::string* psOutput) {
    for (int i = 0; i < 200; ++i) {
        RunCommand(sCommand, psOutput);
        if (psOutput->find(sText) != std::string::npos) {
            return true;
        }
        platform::Sleep(100);
    }
    return false;
}

TEST(ServiceListeners, AViolationAndAnInstallQueryAreHandledAndCounted) {
    const std::string sCtl = ProgramPath("krellctl");
    ASSERT_TRUE(krelltest::PrepareProtectionRoot());
    struct CShutdown {
        ~CShutdown() { krelltest::ShutdownProtectionRoot(); }
    } shutdown;
    std::string sOutput;
    ASSERT_EQ(RunCommand(sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForDriverStatus("driver=activated")) << krelltest::DriverStatus();

    ASSERT_EQ(RunCommand(sCtl + " driver send 4 '1:str:C:\\Tools\\probe.exe' 2:dw:42 3:dw:3 "
                                "'4:str:C:\\Secret\\plan.txt' 6:dw:1 7:dw:1",
                         &sOutput),
              0)
        << sOutput;
    // No such package: it cannot be read, so it may not install.
    ASSERT_EQ(RunCommand(sCtl + " driver send 5 1:dw:77 '2:str:C:\\Installs\\missing.msi'", &sOutput), 0)
        << sOutput;
    EXPECT_TRUE(WaitForOutput(sCtl + " driver received", "type=5 1:dw:77 3:dw:1", &sOutput)) << sOutput;

    EXPECT_TRUE(WaitForOutput(sCtl + " stats", "install queries refused 1\n", &sOutput)) << sOutput;
    EXPECT_TRUE(WaitForOutput(sCtl + " stats", "notifications queued 1\n", &sOutput)) << sOutput;
    for (const char* szLine :
         {"violations received 1\n", "alerts sent 1\n", "alerts failed 0\n", "notifications dropped 0\n",
          "install queries authorized 0\n", "install queries unanswered 0\n", "backlog stalls 0\n"}) {
        EXPECT_NE(sOutput.find(szLine), std::string::npos) << szLine << sOutput;
    }
    ASSERT_EQ(RunCommand(sCtl + " stats --json", &sOutput), 0) << sOutput;
    EXPECT_EQ(sOutput.rfind("{\"service\":{\"violationsReceived\":1,\"alertsSent\":1,", 0), 0u) << sOutput;
    EXPECT_NE(sOutput.find("\"installRefused\":1,"), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find(",\"driver\":{"), std::string::npos) << sOutput;
    EXPECT_EQ(sOutput.back(), '\n');
    EXPECT_EQ(sOutput.find('\n'), sOutput.size() - 1) << "one object on one line";

    // The counts stay readable once the service has stopped.
    ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED")) << sOutput;
    ASSERT_EQ(RunCommand(sCtl + " stats", &sOutput), 0) << sOutput;
    EXPECT_NE(sOutput.find("violations received 1\n"), std::string::npos) << sOutput;
}

}  // namespace
