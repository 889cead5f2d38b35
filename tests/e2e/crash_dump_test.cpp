// The running service's crash handler, from outside: options set with krellctl, the service started
// as an operator starts it, a fatal signal sent to its main thread, and the dump read with krellctl
// and LLDB.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "platform/paths.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/sanitizers.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;

constexpr const char* STARTED = "KTUMS started OK.";

class ServiceCrash : public testing::Test {
protected:
    void SetUp() override {
        if (ADDRESS_SANITIZER || THREAD_SANITIZER) {
            GTEST_SKIP() << "the sanitizer owns the fatal signals";
        }
        m_sCtl = ProgramPath("krellctl");
        ASSERT_TRUE(krelltest::PrepareProtectionRoot());
        ASSERT_TRUE(krelltest::SetProtectionSetting("DebugOutput", 0xFFFFFFFF));
        std::string sFolder;
        ASSERT_TRUE(platform::MapPath(u"C:\\ServiceDumps", &sFolder));
        std::filesystem::create_directories(sFolder);
    }
    void TearDown() override { krelltest::ShutdownProtectionRoot(); }

    std::string m_sCtl;
};

TEST_F(ServiceCrash, FatalSignalWritesADumpAndEndsTheService) {
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " crash-handler set DumpOnException=1 TerminateOnException=1 "
                                  "'Directory=C:\\ServiceDumps'",
                         &sOutput),
              0)
        << sOutput;
    ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", 1));
    ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLSvc", &sOutput), 0) << sOutput;
    ASSERT_TRUE(krelltest::WaitForServiceLog(STARTED)) << krelltest::ServiceLog();

    ASSERT_EQ(RunCommand(m_sCtl + " service status KRELLSvc", &sOutput), 0) << sOutput;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(sOutput, match, std::regex(R"(pid (\d+))"))) << sOutput;
    const pid_t pid = std::stoi(match[1]);
    ASSERT_GT(pid, 0);
    // The service was started by this test; its main thread gets the fault.
    ASSERT_EQ(syscall(SYS_tgkill, pid, pid, SIGSEGV), 0);
    ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED")) << sOutput;
    EXPECT_TRUE(
        krelltest::WaitForServiceLog("CExceptionCrashHandler::ExceptionHandler() : ExceptionCode = 11"))
        << krelltest::ServiceLog();

    ASSERT_EQ(RunCommand(m_sCtl + " dumps list", &sOutput), 0) << sOutput;
    ASSERT_TRUE(std::regex_search(sOutput, match, std::regex(R"((krellsvc\.dmp) \d+ exception:SIGSEGV )")))
        << sOutput;
    std::string sDump;
    ASSERT_TRUE(platform::MapPath(u"C:\\ServiceDumps\\krellsvc.dmp", &sDump));
    ASSERT_EQ(
        RunCommand("lldb -b -c '" + sDump + "' '" + ProgramPath("krellsvc") + "' -o 'bt all'", &sOutput), 0)
        << sOutput;
    EXPECT_NE(sOutput.find("stop reason = signal SIGSEGV"), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find("krellsvc`main"), std::string::npos) << sOutput;
    // The service's other threads are there too, the module's start-up thread among them.
    EXPECT_NE(sOutput.find("thread #2"), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find("CKTUMSModule::Start"), std::string::npos) << sOutput;
}

}  // namespace
