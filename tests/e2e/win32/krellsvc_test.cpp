// krellsvc.exe driven from outside under the system's own service control manager (Wine's
// services.exe): its command line, the instance and terminate guards, installing and removing itself,
// and runs that end where the machine lacks what the service runs beside. The test service program
// stands in for the event manager's and the driver's service entries; the settings store and the
// driver's device are absent.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "scm/win32/scm_fixture.h"
#include "service/registry_key.h"
#include "service/win32/object_dacl.h"
#include "support/files.h"

extern "C" {
__declspec(dllimport) int __stdcall CreateProcessW(const wchar_t*, wchar_t*, void*, void*, int, DWORD, void*,
                                                   const wchar_t*, void*, void*);
__declspec(dllimport) int __stdcall SetHandleInformation(void*, DWORD, DWORD);
__declspec(dllimport) int __stdcall CreatePipe(void**, void**, void*, DWORD);
__declspec(dllimport) int __stdcall PeekNamedPipe(void*, void*, DWORD, DWORD*, DWORD*, DWORD*);
}

namespace {

using namespace platform;
using scmtest::ScHandle;

constexpr DWORD EXIT_FAILED = 0xFFFFFFFF;  // Run's -1
constexpr int WAIT_MS = 30000;
constexpr const char16_t* SERVICE_NAME = u"KRELLSvc";
constexpr const char16_t* SERVICE_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc";
constexpr const char16_t* DRIVER_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv";
constexpr const char16_t* EVENT_SOURCE_KEY =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KRELLSvc";
constexpr const char16_t* DEBUG_OPTIONS_KEY = u"Software\\Quillon\\Loom Core\\Debug\\DebugOutput";
constexpr const char16_t* PRODUCT_KEY = u"SOFTWARE\\Quillon\\KRELL";
constexpr const char16_t* TERMINATE_EVENT = u"Global\\KRELLSvc_Terminate_Lock";
constexpr const char16_t* INSTANCE_MUTEX = u"Global\\KRELLSvc_Single_Instance_Lock";

struct ProgramRun {
    DWORD dwExitCode = 0;
    std::string sErrors;  // standard output and error
};

class KrellsvcTest : public scmtest::ScmTest {
protected:
    void SetUp() override {
        ScmTest::SetUp();
        // Whatever an earlier, interrupted run left behind.
        m_created = {SERVICE_NAME, u"zuZazEzi", u"KRELLDrv"};
        ScmTest::TearDown();
        m_created.clear();
        ScmTest::SetUp();
        RegDeleteTree(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        RegDeleteKey(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        // The service's debug log, with everything on, beside the test program.
        CRegistryKey options;
        ASSERT_TRUE(options.Create(HKEY_LOCAL_MACHINE, DEBUG_OPTIONS_KEY));
        ASSERT_TRUE(options.SetDword(u"DebugType", 1));
        ASSERT_TRUE(options.SetString(u"Directory", ProgramDirectory()));
        CRegistryKey product;
        if (product.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, KEY_ALL_ACCESS)) {
            RegDeleteValue(product.Handle(), u"FallbackAction");
        }
    }

    void TearDown() override {
        m_created.push_back(SERVICE_NAME);  // installed by the program itself, and its log
        ScmTest::TearDown();
        RegDeleteTree(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        RegDeleteKey(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        RegDeleteKey(HKEY_LOCAL_MACHINE, DEBUG_OPTIONS_KEY);
        CRegistryKey product;
        if (product.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, KEY_ALL_ACCESS)) {
            RegDeleteValue(product.Handle(), u"FallbackAction");
        }
    }

    // The build puts the programs into bin/ beside the test programs.
    static std::u16string ServiceProgram() { return ProgramDirectory() + u"\\bin\\krellsvc.exe"; }

    // krellsvc.exe run by the test, outside the manager, its standard output and error in a pipe. The
    // pipe is read once the program has ended (what it writes fits the pipe's buffer): Wine's own
    // helper processes may inherit the writing end and keep it open.
    static ProgramRun RunProgram(const std::u16string& sArguments) {
        constexpr DWORD STARTF_USESTDHANDLES = 0x100, HANDLE_FLAG_INHERIT = 1;
        HANDLE hRead = nullptr;
        HANDLE hWrite = nullptr;
        EXPECT_NE(CreatePipe(&hRead, &hWrite, nullptr, 0), 0) << GetLastError();
        EXPECT_NE(SetHandleInformation(hWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT), 0);
        struct {
            DWORD cb;
            void* lpReserved;
            void* lpDesktop;
            void* lpTitle;
            DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
            WORD wShowWindow, cbReserved2;
            void* lpReserved2;
            void* hStdInput;
            void* hStdOutput;
            void* hStdError;
        } startup{};
        static_assert(sizeof(startup) == 68);
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = hWrite;
        startup.hStdError = hWrite;
        struct {
            void* hProcess;
            void* hThread;
            DWORD dwProcessId, dwThreadId;
        } process{};
        std::u16string sCommandLine = u"\"" + ServiceProgram() + u"\" " + sArguments;
        ProgramRun run;
        const int bStarted = CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(sCommandLine.data()), nullptr,
                                            nullptr, 1, 0, nullptr, nullptr, &startup, &process);
        platform::CloseHandle(hWrite);
        EXPECT_NE(bStarted, 0) << GetLastError();
        if (bStarted == 0) {
            platform::CloseHandle(hRead);
            return run;
        }
        EXPECT_EQ(WaitForSingleObject(process.hProcess, WAIT_MS), WAIT_OBJECT_0)
            << platform::ToUtf8(sArguments);
        GetExitCodeProcess(process.hProcess, &run.dwExitCode);
        platform::CloseHandle(process.hProcess);
        platform::CloseHandle(process.hThread);
        DWORD cbAvailable = 0;
        while (PeekNamedPipe(hRead, nullptr, 0, nullptr, &cbAvailable, nullptr) != 0 && cbAvailable > 0) {
            std::string sChunk(cbAvailable, '\0');
            DWORD cbRead = 0;
            if (!ReadFile(hRead, sChunk.data(), cbAvailable, &cbRead)) {
                break;
            }
            run.sErrors.append(sChunk, 0, cbRead);
        }
        platform::CloseHandle(hRead);
        return run;
    }

    bool ServiceExists(const std::u16string& sName) const {
        ScHandle hService(OpenService(m_hManager, sName.c_str(), SERVICE_QUERY_STATUS));
        return static_cast<bool>(hService);
    }

    // A stand-in service entry (the test service program): accepts a stop, exits with 0.
    void AddStandIn(const std::u16string& sName, bool bStart) {
        ScHandle hService(Create(sName, ServiceImage("1 0")));
        ASSERT_TRUE(hService) << GetLastError();
        if (bStart) {
            ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
            ASSERT_TRUE(WaitForState(sName, SERVICE_RUNNING, WAIT_MS));
        }
    }

    // Installs the service with its own switch, starts it and waits until it has stopped by itself.
    SERVICE_STATUS_PROCESS RunUnderTheManager() {
        EXPECT_EQ(RunProgram(u"/Install").dwExitCode, 0u);
        ScHandle hService(OpenService(m_hManager, SERVICE_NAME, SERVICE_ALL_ACCESS));
        EXPECT_TRUE(hService) << GetLastError();
        if (!hService) {
            return {};
        }
        EXPECT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
        EXPECT_TRUE(WaitForState(SERVICE_NAME, SERVICE_STOPPED, WAIT_MS));
        return Query(hService.get());
    }

    static DWORD StartType(const char16_t* szKey) {
        CRegistryKey reg;
        DWORD dwStart = 0xDEAD;
        EXPECT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, szKey) && reg.GetDword(u"Start", &dwStart)) << ToUtf8(szKey);
        return dwStart;
    }

    static std::string DebugLog() {
        return krelltest::Utf16LeToUtf8(krelltest::ReadFileBytes(LogPath(SERVICE_NAME)));
    }
};

// The log's lines, as the service wrote them: the time, the service, its process and thread, the text.
void ExpectLinesInOrder(const std::string& sLog, const std::vector<std::string>& lines) {
    std::size_t nAt = 0;
    for (const std::string& sLine : lines) {
        const std::size_t nFound = sLog.find(" : " + sLine + "\r\n", nAt);
        ASSERT_NE(nFound, std::string::npos) << "missing or out of order: " << sLine << "\nlog:\n" << sLog;
        nAt = nFound;
    }
    const std::regex prefix(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} : KRELLSvc : 0x[0-9A-F]{4,} : 0x[0-9A-F]{4,} : )");
    for (const std::string& sLine : krelltest::NonEmptyLines(sLog)) {
        EXPECT_TRUE(std::regex_search(sLine, prefix) && sLine.back() == '\r') << sLine;
    }
}

TEST_F(KrellsvcTest, CommandLineModesThatDoNothingOrFail) {
    struct Case {
        const char16_t* szArguments;
        DWORD dwExitCode;
    };
    const Case cases[] = {
        {u"/Version", 0},
        {u"-v", 0},
        {u"/HELP", 0},
        {u"-?", 0},
        {u"-", EXIT_FAILED},
        {u"/", EXIT_FAILED},
        {u"\"unbalanced", EXIT_FAILED},
        {u"-RegServer", EXIT_FAILED},
        {u"/unregserver", EXIT_FAILED},
        {u"/Embedding", EXIT_FAILED},
        // No switch: it runs as a service, and nobody started it as one.
        {u"", EXIT_FAILED},
    };
    for (const Case& c : cases) {
        const ProgramRun run = RunProgram(c.szArguments);
        EXPECT_EQ(run.dwExitCode, c.dwExitCode) << ToUtf8(c.szArguments);
        EXPECT_EQ(run.sErrors, "") << ToUtf8(c.szArguments);
    }
    EXPECT_FALSE(ServiceExists(SERVICE_NAME));
    CRegistryKey reg;
    EXPECT_FALSE(reg.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY));
}

TEST_F(KrellsvcTest, UnknownSwitchNamesTheSwitchesOnStandardError) {
    const ProgramRun run = RunProgram(u"-frobnicate /Debugx");
    EXPECT_EQ(run.dwExitCode, EXIT_FAILED);
    // Standard error is in text mode: the runtime ends its lines as the platform does.
    EXPECT_EQ(run.sErrors,
              "KRELLSvc: unknown switch -frobnicate /Debugx\r\n"
              "switches, with / or - and in any case: Version (V), Help (H ?), Terminate (T), Install (I), "
              "Remove (R), RegServer, UnregServer, Debug (D), Embedding\r\n"
              "without a switch it runs as a service, started by the service control manager\r\n");
}

TEST_F(KrellsvcTest, TerminateSwitchSignalsTheEventEvenWhileAnotherInstanceRuns) {
    HANDLE hTerminate = CreateEvent(true, false, TERMINATE_EVENT);
    ASSERT_NE(hTerminate, nullptr);
    HANDLE hInstance = CreateMutex(true, INSTANCE_MUTEX);
    ASSERT_NE(hInstance, nullptr);
    for (const char16_t* szSwitch : {u"-t", u"/TERMINATE"}) {
        ASSERT_TRUE(ResetEvent(hTerminate));
        EXPECT_EQ(RunProgram(szSwitch).dwExitCode, 0u) << ToUtf8(szSwitch);
        EXPECT_EQ(WaitForSingleObject(hTerminate, 0), WAIT_OBJECT_0) << ToUtf8(szSwitch);
    }
    ReleaseMutex(hInstance);
    platform::CloseHandle(hInstance);
    platform::CloseHandle(hTerminate);
}

TEST_F(KrellsvcTest, PendingTerminateOrAnotherInstanceRefusesAtOnce) {
    {
        HANDLE hTerminate = CreateEvent(true, true, TERMINATE_EVENT);
        ASSERT_NE(hTerminate, nullptr);
        EXPECT_EQ(RunProgram(u"/Install").dwExitCode, EXIT_FAILED);
        platform::CloseHandle(hTerminate);
    }
    EXPECT_FALSE(ServiceExists(SERVICE_NAME));
    {
        HANDLE hInstance = CreateMutex(true, INSTANCE_MUTEX);
        ASSERT_NE(hInstance, nullptr);
        EXPECT_EQ(RunProgram(u"-i").dwExitCode, EXIT_FAILED);
        ReleaseMutex(hInstance);
        platform::CloseHandle(hInstance);
    }
    EXPECT_FALSE(ServiceExists(SERVICE_NAME));
    // Once both are gone it installs.
    EXPECT_EQ(RunProgram(u"-i").dwExitCode, 0u);
    EXPECT_TRUE(ServiceExists(SERVICE_NAME));
}

TEST_F(KrellsvcTest, InstallsOverAnOldEntryAndRemovesItself) {
    {
        // An older entry of another shape, which the install replaces.
        ScHandle hOld(
            Create(SERVICE_NAME, ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START));
        ASSERT_TRUE(hOld) << GetLastError();
    }
    ASSERT_EQ(RunProgram(u"/install").dwExitCode, 0u);

    CRegistryKey service;
    ASSERT_TRUE(service.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY));
    std::u16string sText;
    DWORD dwValue = 0;
    EXPECT_TRUE(service.GetString(u"ImagePath", &sText));
    EXPECT_TRUE(EqualNoCase(sText, ServiceProgram())) << ToUtf8(sText);  // unquoted
    EXPECT_TRUE(service.GetString(u"DisplayName", &sText));
    EXPECT_EQ(sText, u"KRELLSvc 1.0 Type Library");
    EXPECT_TRUE(service.GetString(u"Description", &sText));
    EXPECT_EQ(sText, u"Quillon KRELL Service");
    EXPECT_TRUE(service.GetString(u"ObjectName", &sText));
    EXPECT_EQ(sText, u"LocalSystem");
    for (const auto& [szName, dwExpected] :
         {std::pair{u"Type", SERVICE_WIN32_OWN_PROCESS}, std::pair{u"Start", SERVICE_AUTO_START},
          std::pair{u"ErrorControl", SERVICE_ERROR_NORMAL}}) {
        EXPECT_TRUE(service.GetDword(szName, &dwValue)) << ToUtf8(szName);
        EXPECT_EQ(dwValue, dwExpected) << ToUtf8(szName);
    }
    char16_t dependencies[64] = {};
    DWORD dwType = 0, cbData = sizeof(dependencies);
    ASSERT_EQ(RegQueryValueEx(service.Handle(), u"DependOnService", &dwType,
                              reinterpret_cast<BYTE*>(dependencies), &cbData),
              static_cast<LONG>(ERROR_SUCCESS));
    EXPECT_EQ(dwType, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::u16string(dependencies, cbData / sizeof(char16_t)), std::u16string(u"RPCSS\0\0", 7));
    service.Close();

    CRegistryKey source;
    ASSERT_TRUE(source.Open(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY));
    EXPECT_TRUE(source.GetString(u"EventMessageFile", &sText));
    EXPECT_TRUE(EqualNoCase(sText, ServiceProgram())) << ToUtf8(sText);
    EXPECT_TRUE(source.GetDword(u"TypesSupported", &dwValue));
    EXPECT_EQ(dwValue, 31u);
    source.Close();

    EXPECT_EQ(RunProgram(u"-R").dwExitCode, 0u);
    EXPECT_FALSE(ServiceExists(SERVICE_NAME));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(source.Open(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY));
    // Removing what is not installed succeeds.
    EXPECT_EQ(RunProgram(u"/Remove").dwExitCode, 0u);
}

// Without the event manager the start fails before the debug log exists; the stop keeps or stops the
// driver's service as "FallbackAction" says and leaves the service's own start type alone.
TEST_F(KrellsvcTest, WithoutTheEventManagerTheFallbackDecidesTheDriversFate) {
    struct Case {
        const char* szName;
        bool bSetFallback;
        DWORD dwFallback;
        bool bDriverStopped;
    };
    const Case cases[] = {
        {"absent", false, 0, false},
        {"2", true, 2, false},
        {"7", true, 7, false},
        {"1", true, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        if (c.bSetFallback) {
            CRegistryKey product;
            ASSERT_TRUE(product.Create(HKEY_LOCAL_MACHINE, PRODUCT_KEY));
            ASSERT_TRUE(product.SetDword(u"FallbackAction", c.dwFallback));
        }
        AddStandIn(u"KRELLDrv", true);

        const SERVICE_STATUS_PROCESS status = RunUnderTheManager();
        EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
        EXPECT_EQ(status.dwServiceSpecificExitCode, 0xFFFFFFFFu);
        EXPECT_EQ(StartType(SERVICE_KEY), SERVICE_AUTO_START);
        EXPECT_FALSE(krelltest::FileExists(LogPath(SERVICE_NAME)));
        if (c.bDriverStopped) {
            EXPECT_TRUE(WaitForState(u"KRELLDrv", SERVICE_STOPPED, WAIT_MS));
            EXPECT_TRUE(WaitForLog(u"KRELLDrv", "control 1\n"));
            EXPECT_EQ(StartType(DRIVER_KEY), SERVICE_DEMAND_START);
        } else {
            ScHandle hDriver(OpenService(m_hManager, u"KRELLDrv", SERVICE_QUERY_STATUS));
            EXPECT_EQ(Query(hDriver.get()).dwCurrentState, SERVICE_RUNNING);
            EXPECT_EQ(StartType(DRIVER_KEY), SERVICE_SYSTEM_START);
        }
        TearDown();
        SetUp();
    }
}

// With the event manager's service there, the service starts it, sets up its debug log, and stops at
// the settings store, which is not running; the stop takes the driver's service down.
TEST_F(KrellsvcTest, ServiceStartsTheEventManagerAndStopsWithoutTheSettingsStore) {
    AddStandIn(u"zuZazEzi", false);
    AddStandIn(u"KRELLDrv", true);

    const SERVICE_STATUS_PROCESS status = RunUnderTheManager();
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0xFFFFFFFFu);

    ScHandle hEventManager(OpenService(m_hManager, u"zuZazEzi", SERVICE_QUERY_STATUS));
    EXPECT_EQ(Query(hEventManager.get()).dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(WaitForState(u"KRELLDrv", SERVICE_STOPPED, WAIT_MS));
    EXPECT_TRUE(WaitForLog(u"KRELLDrv", "control 1\n"));
    // A normal stop leaves the service to be started on demand.
    EXPECT_EQ(StartType(SERVICE_KEY), SERVICE_DEMAND_START);

    ExpectLinesInOrder(DebugLog(),
                       {
                           "CKTUMSModule::Create(): KTUMS starting.",
                           "CSettingsManagerHelper::IsSettingsManagerActive() : runningMutex.Open() "
                           "== FALSE, 0x00000002",
                           "CKTUMSModule::Create(): m_SettingsMgrHelper.Create() != S_OK, 0x80000207",
                           "CKTUMSModule::Start(): Error(s) encountered, exiting",
                           "CKTUMSModule::Destroy(): Stop event received: eCurrentState(5), "
                           "m_FinalState(0)",
                           // The deactivation is tried on a channel never opened.
                           "CKTUMSModule::ShutdownDriver(): m_Channel.SendKTMessage() failed",
                           "CKTUMSModule::unloadDriver(): closeDriverChannel() failed",
                       });
}

// While it waits for the event manager to start, the service holds its named objects: the terminate
// event open to administrators and the system only, the instance lock to everyone, which turns a
// second instance away.
TEST_F(KrellsvcTest, StartingServiceHoldsItsNamedObjectsWithTheirSecurity) {
    {
        ScHandle hEventManager(Create(u"zuZazEzi", ServiceImage("1 0 2500")));
        ASSERT_TRUE(hEventManager) << GetLastError();
    }
    ASSERT_EQ(RunProgram(u"/Install").dwExitCode, 0u);
    ScHandle hService(OpenService(m_hManager, SERVICE_NAME, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(hService) << GetLastError();
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();

    constexpr DWORD ACCESS = krelltest::READ_CONTROL | SYNCHRONIZE;
    HANDLE hInstance = nullptr;
    for (int n = 0; n < 1000 && hInstance == nullptr; ++n) {
        hInstance = OpenMutex(ACCESS, false, INSTANCE_MUTEX);
        Sleep(hInstance == nullptr ? 5 : 0);
    }
    ASSERT_NE(hInstance, nullptr);
    HANDLE hTerminate = OpenEvent(ACCESS, false, TERMINATE_EVENT);
    ASSERT_NE(hTerminate, nullptr);
    const std::string sTerminateDacl = krelltest::DaclOf(hTerminate);
    const std::string sInstanceDacl = krelltest::DaclOf(hInstance);
    EXPECT_EQ(RunProgram(u"-d").dwExitCode, EXIT_FAILED);
    platform::CloseHandle(hTerminate);
    platform::CloseHandle(hInstance);
    EXPECT_TRUE(std::regex_match(sTerminateDacl, krelltest::ADMIN_DACL)) << sTerminateDacl;
    EXPECT_TRUE(std::regex_match(sInstanceDacl, krelltest::NULL_DACL)) << sInstanceDacl;

    ASSERT_TRUE(WaitForState(SERVICE_NAME, SERVICE_STOPPED, WAIT_MS));
    EXPECT_EQ(Query(hService.get()).dwServiceSpecificExitCode, 0xFFFFFFFFu);
    // Only the service got as far as its start: the debug run was the second instance.
    EXPECT_EQ(krelltest::CountOf(DebugLog(), "CKTUMSModule::Create(): KTUMS starting."), 1u) << DebugLog();
}

// The foreground run takes the same way, on the main thread with its console, and tells the manager
// nothing.
TEST_F(KrellsvcTest, DebugRunStopsWithoutTheSettingsStore) {
    AddStandIn(u"zuZazEzi", false);
    EXPECT_EQ(RunProgram(u"-d").dwExitCode, EXIT_FAILED);
    ExpectLinesInOrder(DebugLog(),
                       {
                           "CKTUMSModule::Create(): KTUMS starting.",
                           "CKTUMSModule::Create(): m_SettingsMgrHelper.Create() != S_OK, 0x80000207",
                           "CKTUMSModule::Start(): Error(s) encountered, exiting",
                       });
    EXPECT_FALSE(ServiceExists(SERVICE_NAME));
}

}  // namespace
