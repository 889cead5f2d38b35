// The service executable driven from outside: run modes, the single instance, the terminate switch,
// installation, and a run under the service control manager.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "scm/scm_admin.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::KillChild;
using krelltest::ProgramPath;
using krelltest::ReadText;
using krelltest::RunCommand;
using krelltest::StartChild;
using krelltest::WaitChild;

constexpr int EXIT_FAILURE_CODE = 255;  // Run's -1
constexpr int WAIT_MS = 20000;

int RunService(std::vector<std::string> args) {
    args.insert(args.begin(), ProgramPath("krellsvc"));
    return WaitChild(StartChild(args), WAIT_MS);
}

// Waits until the named instance mutex exists, i.e. a debug run has passed its instance check.
bool WaitForInstance() {
    for (int n = 0; n < 1000; ++n) {
        HANDLE hMutex =
            platform::OpenMutex(platform::MUTEX_ALL_ACCESS, false, u"Global\\KRELLSvc_Single_Instance_Lock");
        if (hMutex != nullptr) {
            platform::CloseHandle(hMutex);
            return true;
        }
        platform::Sleep(10);
    }
    return false;
}

// The service in a root where its protection starts: every run waits for its terminate event.
class ServiceHost : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(krelltest::PrepareProtectionRoot()); }
    void TearDown() override { krelltest::ShutdownProtectionRoot(); }
};

TEST(ServiceHostModes, ModesThatDoNothingOrFail) {
    struct Case {
        const char* szSwitch;
        int nExitCode;
    };
    const Case cases[] = {
        {"-", EXIT_FAILURE_CODE},
        {"/", EXIT_FAILURE_CODE},
        {"-RegServer", EXIT_FAILURE_CODE},
        {"/UnregServer", EXIT_FAILURE_CODE},
        {"-Embedding", EXIT_FAILURE_CODE},
        {"-v", 0},
        {"/HELP", 0},
        {"-?", 0},
        {"\"unbalanced", EXIT_FAILURE_CODE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RunService({c.szSwitch}), c.nExitCode) << c.szSwitch;
    }
    // None of them registered anything.
    CRegistryKey reg;
    EXPECT_FALSE(reg.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc"));
}

TEST(ServiceHostModes, UnknownSwitchNamesTheSwitchesOnStandardError) {
    const std::string sErrors = platform::RootSubdirectory("run") + "/krellsvc.err";
    const std::string sProgram = ProgramPath("krellsvc");
    // In a subshell of its own, so that standard error alone goes to the file.
    EXPECT_EQ(RunCommand("(" + sProgram + " -frobnicate /Debugx 2>" + sErrors + ")"), EXIT_FAILURE_CODE);
    const std::string sText = ReadText(sErrors);
    EXPECT_EQ(sText,
              "KRELLSvc: unknown switch -frobnicate /Debugx\n"
              "switches, with / or - and in any case: Version (V), Help (H ?), Terminate (T), Install (I), "
              "Remove (R), RegServer, UnregServer, Debug (D), Embedding\n"
              "without a switch it runs as a service, started by the service control manager\n");
    // Known switches and no switch at all stay as quiet as before.
    for (const char* szArguments : {"", " -RegServer", " /embedding"}) {
        EXPECT_EQ(RunCommand("(" + sProgram + szArguments + " 2>" + sErrors + ")"), EXIT_FAILURE_CODE)
            << szArguments;
        EXPECT_EQ(ReadText(sErrors), "") << szArguments;
    }
}

TEST_F(ServiceHost, DebugRunIsSingleAndEndsOnTerminateSwitch) {
    const pid_t pidFirst = StartChild({ProgramPath("krellsvc"), "-d"});
    ASSERT_GT(pidFirst, 0);
    ASSERT_TRUE(WaitForInstance());
    EXPECT_EQ(RunService({"-d"}), EXIT_FAILURE_CODE);  // a second instance leaves at once
    EXPECT_EQ(RunService({"/TERMINATE"}), 0);
    EXPECT_EQ(WaitChild(pidFirst, WAIT_MS), 0);
}

// Waits until the debug log holds a line, i.e. the run has come that far.
bool WaitForLogLine(const char* szText) {
    for (int n = 0; n < 1000; ++n) {
        if (krelltest::Utf16LeToUtf8(krelltest::ReadFileBytes(u"C:\\KRELLSvc.log")).find(szText) !=
            std::string::npos) {
            return true;
        }
        platform::Sleep(10);
    }
    return false;
}

TEST_F(ServiceHost, DebugRunEndsOnConsoleControlEvents) {
    CRegistryKey options;
    ASSERT_TRUE(options.Create(HKEY_LOCAL_MACHINE, u"Software\\Quillon\\Loom Core\\Debug\\DebugOutput"));
    ASSERT_TRUE(options.SetDword(u"DebugType", 1));
    ASSERT_TRUE(options.SetString(u"Directory", u"C:\\"));
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) {
        platform::DeleteFile(u"C:\\KRELLSvc.log");
        ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", 1));  // each stop leaves it off
        const pid_t pid = StartChild({ProgramPath("krellsvc"), "-Debug"});
        // Console control events count once the console exists, which is before the main work runs.
        ASSERT_TRUE(WaitForLogLine("CKTUMSModule::Start(): KTUMS started OK."));
        kill(pid, nSignal);
        EXPECT_EQ(WaitChild(pid, WAIT_MS), 0) << "signal " << nSignal;
    }
}

TEST_F(ServiceHost, PendingTerminateRequestRefusesStart) {
    HANDLE hEvent = platform::CreateEvent(true, true, u"Global\\KRELLSvc_Terminate_Lock");
    ASSERT_NE(hEvent, nullptr);
    EXPECT_EQ(RunService({"-d"}), EXIT_FAILURE_CODE);
    platform::CloseHandle(hEvent);
    // Once nobody holds the signalled event, a new run starts afresh.
    ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", 1));
    const pid_t pid = StartChild({ProgramPath("krellsvc"), "-d"});
    ASSERT_TRUE(WaitForInstance());
    EXPECT_EQ(RunService({"-t"}), 0);
    EXPECT_EQ(WaitChild(pid, WAIT_MS), 0);
}

}  // namespace

namespace {

std::u16string ReadString(const char16_t* szKey, const char16_t* szName) {
    CRegistryKey reg;
    std::u16string sValue;
    if (!reg.Open(HKEY_LOCAL_MACHINE, szKey) || !reg.GetString(szName, &sValue)) {
        return u"(absent)";
    }
    return sValue;
}

DWORD ReadDword(const char16_t* szKey, const char16_t* szName) {
    CRegistryKey reg;
    DWORD dwValue = 0xFFFFFFFF;
    if (reg.Open(HKEY_LOCAL_MACHINE, szKey)) {
        reg.GetDword(szName, &dwValue);
    }
    return dwValue;
}

std::vector<BYTE> ReadBytes(const char16_t* szKey, const char16_t* szName) {
    CRegistryKey reg;
    std::vector<BYTE> bytes(256);
    DWORD cbData = static_cast<DWORD>(bytes.size());
    if (!reg.Open(HKEY_LOCAL_MACHINE, szKey) ||
        platform::RegQueryValueEx(reg.Handle(), szName, nullptr, bytes.data(), &cbData) != 0) {
        return {};
    }
    bytes.resize(cbData);
    return bytes;
}

constexpr const char16_t* SERVICE_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc";
constexpr const char16_t* SOURCE_KEY =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KRELLSvc";

TEST(ServiceHostInstall, InstallAndRemove) {
    for (int nRound = 0; nRound < 2; ++nRound) {  // the second install replaces the first
        ASSERT_EQ(RunService({"-Install"}), 0);
        EXPECT_EQ(ReadDword(SERVICE_KEY, u"Start"), static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(ReadDword(SERVICE_KEY, u"Type"), static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(ReadString(SERVICE_KEY, u"Description"), u"Quillon KRELL Service");
        EXPECT_EQ(ReadString(SERVICE_KEY, u"DisplayName"), u"KRELLSvc 1.0 Type Library");
        const std::u16string sImage = ReadString(SERVICE_KEY, u"ImagePath");
        EXPECT_TRUE(sImage.ends_with(u"\\krellsvc")) << platform::ToUtf8(sImage);
        const std::vector<BYTE> dependencies = ReadBytes(SERVICE_KEY, u"DependOnService");
        const char16_t expected[] = u"RPCSS\0";  // "RPCSS", its terminator and the list's
        ASSERT_EQ(dependencies.size(), sizeof(expected));
        EXPECT_EQ(std::memcmp(dependencies.data(), expected, sizeof(expected)), 0);
        EXPECT_EQ(ReadDword(SOURCE_KEY, u"TypesSupported"), 31u);
    }
    EXPECT_EQ(RunService({"-Remove"}), 0);
    EXPECT_EQ(ReadString(SERVICE_KEY, u"ImagePath"), u"(absent)");
    EXPECT_EQ(ReadString(SOURCE_KEY, u"EventMessageFile"), u"(absent)");
    EXPECT_EQ(RunService({"/r"}), 0);  // removing what is not installed succeeds
}

SERVICE_STATUS StartAndWaitRunning(const char16_t* szName) {
    SC_HANDLE hManager = platform::OpenSCManager(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = platform::OpenService(hManager, szName, SERVICE_ALL_ACCESS);
    EXPECT_NE(hService, nullptr);
    EXPECT_TRUE(platform::StartService(hService, 0, nullptr)) << platform::GetLastError();
    SERVICE_STATUS status{};
    EXPECT_TRUE(scm::WaitForState(szName, SERVICE_RUNNING, WAIT_MS, &status));
    platform::CloseServiceHandle(hService);
    platform::CloseServiceHandle(hManager);
    return status;
}

TEST_F(ServiceHost, RunUnderTheServiceControlManagerIgnoresStop) {
    const SERVICE_STATUS running = StartAndWaitRunning(u"KRELLSvc");
    EXPECT_EQ(running.dwControlsAccepted, 0u);

    SC_HANDLE hManager = platform::OpenSCManager(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = platform::OpenService(hManager, u"KRELLSvc", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    EXPECT_FALSE(platform::ControlService(hService, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    ASSERT_TRUE(platform::ControlService(hService, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(RunService({"-d"}), EXIT_FAILURE_CODE);  // the running service holds the instance lock

    EXPECT_EQ(RunService({"-t"}), 0);
    ASSERT_TRUE(scm::WaitForState(u"KRELLSvc", SERVICE_STOPPED, WAIT_MS, &status));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    platform::CloseServiceHandle(hService);
    platform::CloseServiceHandle(hManager);
}

TEST(ServiceHostFramework, FailingMainWorkStopsWithServiceSpecificCode) {
    setenv("KRELL_TEST_START_RESULT", "7", 1);  // inherited by the service through the SCM's start
    const std::string sApp = krelltest::TestBinary("krell_child_app");
    ASSERT_EQ(WaitChild(StartChild({sApp, "-Install"}), WAIT_MS), 0);
    StartAndWaitRunning(u"KRELLTestApp");
    ASSERT_EQ(WaitChild(StartChild({sApp, "-Terminate"}), WAIT_MS), 0);
    SERVICE_STATUS status{};
    ASSERT_TRUE(scm::WaitForState(u"KRELLTestApp", SERVICE_STOPPED, WAIT_MS, &status));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 7u);
    // A process that reported STOPPED still holds the instance lock until it has ended, and a second
    // instance, even one that only removes the service, leaves at once while it is held.
    scm::ServiceEntry entry;
    ASSERT_TRUE(scm::QueryService(u"KRELLTestApp", &entry));
    const std::string sStat = "/proc/" + std::to_string(entry.dwProcessId) + "/stat";
    for (DWORD dwWaited = 0; dwWaited < WAIT_MS; dwWaited += 10) {
        const std::string sText = krelltest::ReadText(sStat);
        const std::size_t nState = sText.rfind(") ");
        if (sText.empty() || (nState != std::string::npos && sText[nState + 2] == 'Z')) {
            break;
        }
        platform::Sleep(10);
    }
    EXPECT_EQ(WaitChild(StartChild({sApp, "-Remove"}), WAIT_MS), 0);
}

}  // namespace
