// The crash handler on Windows, from outside: a child fails in one of the platform's ways with the
// "CrashHandler" options of the registry, and the test looks at its exit code, its dump (the
// exception stream's code and crash type) and its debug log.
#include <gtest/gtest.h>
#include <process.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "service/registry_key.h"
#include "support/dump_file.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD EXIT_TERMINATED = 0xFFFFFFFF;
constexpr DWORD EXIT_ABORT = 3;  // the C runtime's abort()
constexpr DWORD ACCESS_VIOLATION = 0xC0000005;
constexpr DWORD ILLEGAL_INSTRUCTION = 0xC000001D;
constexpr DWORD INTEGER_DIVIDE_BY_ZERO = 0xC0000094;
constexpr DWORD STACK_OVERFLOW = 0xC00000FD;
constexpr DWORD FATAL_APP_EXIT = 0x40000015;  // abort(), and an uncaught C++ exception through it
constexpr std::uint32_t EXCEPTION_STREAM = 6;
constexpr const char* DUMP_NAME = "krell_win32_crasher.dmp";

const std::u16string CRASH_KEY = std::u16string(CDebugOptions::BASE_KEY) + u"\\CrashHandler";

std::string ProgramDirectory() {
    std::u16string sPath;
    EXPECT_TRUE(platform::GetModuleFileName(&sPath));
    return platform::ToUtf8(sPath.substr(0, sPath.rfind(u'\\')));
}

struct CChildResult {
    DWORD dwExitCode;
    std::string sOutput;
};

class CrashHandlerWin32Test : public ::testing::Test {
protected:
    void SetUp() override {
        CRegistryKey log;
        ASSERT_TRUE(log.Create(HKEY_LOCAL_MACHINE,
                               (std::u16string(CDebugOptions::BASE_KEY) + u"\\DebugOutput").c_str()));
        log.SetDword(u"DebugType", 1);
        log.SetString(u"Directory", u"C:\\Logs");
        fs::create_directories("C:\\Logs");
        fs::remove("C:\\Logs\\KRELLSvc.log");
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, CRASH_KEY.c_str());
        fs::remove_all(m_sDumps);
        fs::create_directories(m_sDumps);
    }

    static void SetOptions(const std::map<std::u16string, DWORD>& values, bool bDirectory = true) {
        CRegistryKey key;
        ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, CRASH_KEY.c_str()));
        for (const auto& [sName, dwValue] : values) {
            ASSERT_TRUE(key.SetDword(sName.c_str(), dwValue));
        }
        if (bDirectory) {
            ASSERT_TRUE(key.SetString(u"Directory", u"C:\\Dumps"));
        }
    }

    static CChildResult RunChild(const std::string& sKind, const std::string& sProgram = Child()) {
        const std::string sOutput = ProgramDirectory() + "\\crash_child_output.txt";
        std::remove(sOutput.c_str());
        const std::u16string sExe = platform::FromUtf8(sProgram);
        const std::u16string sArg = platform::FromUtf8(sKind);
        const std::u16string sOut = u"\"" + platform::FromUtf8(sOutput) + u"\"";
        const wchar_t* argv[] = {reinterpret_cast<const wchar_t*>(sExe.c_str()),
                                 reinterpret_cast<const wchar_t*>(sArg.c_str()),
                                 reinterpret_cast<const wchar_t*>(sOut.c_str()), nullptr};
        const auto nCode = _wspawnv(_P_WAIT, argv[0], argv);
        CChildResult result{static_cast<DWORD>(nCode), krelltest::ReadText(sOutput)};
        std::remove(sOutput.c_str());
        return result;
    }
    static std::string Child() { return ProgramDirectory() + "\\krell_win32_crasher.exe"; }

    std::vector<std::string> Dumps(const std::string& sFolder = {}) const {
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(sFolder.empty() ? m_sDumps : sFolder)) {
            if (entry.path().extension() == ".dmp") {
                files.push_back(entry.path().string());
            }
        }
        return files;
    }
    static std::string Log() {
        return krelltest::Utf16LeToUtf8(krelltest::ReadFileBytes(u"C:\\Logs\\KRELLSvc.log"));
    }

    std::string m_sDumps = "C:\\Dumps";
};

struct CKindCase {
    const char* szName;
    const char* szKind;
    std::map<std::u16string, DWORD> options;
    bool bDump;
    DWORD dwExitCode;
    DWORD dwExceptionCode;      // in the dump's exception stream: the fault's, or 0
    const char* szHandlerLine;  // the handler's own log line
    const char* szOutput;       // what the child printed, when it goes on
};

void PrintTo(const CKindCase& c, std::ostream* pOut) {
    *pOut << c.szName;
}

class CrashKindWin32Test : public CrashHandlerWin32Test, public ::testing::WithParamInterface<CKindCase> {};

TEST_P(CrashKindWin32Test, DumpsAndEndsAsTheSwitchesSay) {
    const CKindCase& c = GetParam();
    SetOptions(c.options);
    const CChildResult result = RunChild(c.szKind);
    EXPECT_EQ(result.dwExitCode, c.dwExitCode) << std::hex << result.dwExitCode << "\n" << result.sOutput;
    EXPECT_NE(result.sOutput.find("enabled 1"), std::string::npos) << result.sOutput;
    if (c.szOutput != nullptr) {
        EXPECT_NE(result.sOutput.find(c.szOutput), std::string::npos) << result.sOutput;
    }
    const std::string sLog = Log();
    if (c.szHandlerLine != nullptr) {
        EXPECT_NE(sLog.find(c.szHandlerLine), std::string::npos) << sLog;
    }
    const auto dumps = Dumps();
    if (!c.bDump) {
        EXPECT_TRUE(dumps.empty());
        EXPECT_EQ(sLog.find("CCrashHandler::Dump()"), std::string::npos) << sLog;
        return;
    }
    // One dump, also when the runtime's own handler ends the process afterwards.
    ASSERT_EQ(dumps.size(), 1u) << sLog;
    EXPECT_EQ(fs::path(dumps[0]).filename(), DUMP_NAME);
    EXPECT_EQ(krelltest::CountOf(sLog, "CCrashHandler::Dump() : eCrashType = "), 1u) << sLog;
    const krelltest::CDumpFile dump(dumps[0]);
    ASSERT_EQ(dump.Get<std::uint32_t>(0), 0x504D444Du);
    const std::uint32_t dwException = dump.Stream(EXCEPTION_STREAM);
    ASSERT_NE(dwException, 0u);
    EXPECT_EQ(dump.Get<std::uint32_t>(dwException + 8), c.dwExceptionCode);
    // The crash type rides as the first parameter.
    ASSERT_GE(dump.Get<std::uint32_t>(dwException + 32), 1u);
    const std::string sType = "eCrashType = " + std::to_string(dump.Get<std::uint64_t>(dwException + 40));
    EXPECT_NE(sLog.find(sType), std::string::npos) << sType << "\n" << sLog;
}

const std::map<std::u16string, DWORD> NONE;
const std::map<std::u16string, DWORD> EXCEPTION_TERMINATE = {{u"DumpOnException", 1},
                                                             {u"TerminateOnException", 1}};

INSTANTIATE_TEST_SUITE_P(
    Kinds, CrashKindWin32Test,
    ::testing::Values(
        CKindCase{"AccessDumpTerminate", "access", EXCEPTION_TERMINATE, true, EXIT_TERMINATED,
                  ACCESS_VIOLATION, "ExceptionHandler() : ExceptionCode = 3221225477", nullptr},
        // No filter before ours: the search goes on and the process ends with the exception's code.
        CKindCase{"AccessDumpChained",
                  "access",
                  {{u"DumpOnException", 1}},
                  true,
                  ACCESS_VIOLATION,
                  ACCESS_VIOLATION,
                  "ExceptionHandler() : ExceptionCode = 3221225477",
                  nullptr},
        CKindCase{"AccessTerminateOnly",
                  "access",
                  {{u"TerminateOnException", 1}},
                  false,
                  ACCESS_VIOLATION,
                  0,
                  nullptr,
                  nullptr},
        CKindCase{"AccessOff", "access", NONE, false, ACCESS_VIOLATION, 0, nullptr, nullptr},
        CKindCase{"IllegalDumpTerminate", "illegal", EXCEPTION_TERMINATE, true, EXIT_TERMINATED,
                  ILLEGAL_INSTRUCTION, "ExceptionHandler() : ExceptionCode = 3221225501", nullptr},
        CKindCase{"DivideDumpTerminate", "divide", EXCEPTION_TERMINATE, true, EXIT_TERMINATED,
                  INTEGER_DIVIDE_BY_ZERO, "ExceptionHandler() : ExceptionCode = 3221225620", nullptr},
        CKindCase{"StackOverflow", "overflow", EXCEPTION_TERMINATE, true, EXIT_TERMINATED, STACK_OVERFLOW,
                  "ExceptionHandler() : ExceptionCode = 3221225725", nullptr},
        CKindCase{"StackOverflowOnAnotherThread", "overflow-thread", EXCEPTION_TERMINATE, true,
                  EXIT_TERMINATED, STACK_OVERFLOW, "ExceptionHandler() : ExceptionCode = 3221225725",
                  nullptr},
        CKindCase{"ThrowDumpTerminate", "throw", EXCEPTION_TERMINATE, true, EXIT_TERMINATED, FATAL_APP_EXIT,
                  "ExceptionHandler() : ExceptionCode = 1073741845", nullptr},
        // After the dump the runtime's terminate handler and abort() go on: exit code 3.
        CKindCase{"ThrowDumpChained",
                  "throw",
                  {{u"DumpOnException", 1}},
                  true,
                  EXIT_ABORT,
                  FATAL_APP_EXIT,
                  "ExceptionHandler() : ExceptionCode = 1073741845",
                  nullptr},
        CKindCase{"ThrowTerminateOnly",
                  "throw",
                  {{u"TerminateOnException", 1}},
                  false,
                  EXIT_ABORT,
                  0,
                  nullptr,
                  nullptr},
        CKindCase{"ThrowOff", "throw", NONE, false, EXIT_ABORT, 0, nullptr, nullptr},
        CKindCase{"ThrowOnAnotherThread", "throw-thread", EXCEPTION_TERMINATE, true, EXIT_TERMINATED,
                  FATAL_APP_EXIT, "ExceptionHandler() : ExceptionCode = 1073741845", nullptr},
        CKindCase{"AbortDumpTerminate", "abort", EXCEPTION_TERMINATE, true, EXIT_TERMINATED, FATAL_APP_EXIT,
                  "ExceptionHandler() : ExceptionCode = 1073741845", nullptr},
        // The SIGABRT handler installed before the crash handler's runs after the dump, and with the
        // switches off.
        CKindCase{"AbortDumpChained",
                  "abort-chained",
                  {{u"DumpOnException", 1}},
                  true,
                  EXIT_ABORT,
                  FATAL_APP_EXIT,
                  "ExceptionHandler() : ExceptionCode = 1073741845",
                  "previous abort handler"},
        CKindCase{"AbortChainedOff", "abort-chained", NONE, false, EXIT_ABORT, 0, nullptr,
                  "previous abort handler"},
        CKindCase{"PurecallDumpTerminate",
                  "purecall",
                  {{u"DumpOnPurecall", 1}, {u"TerminateOnPurecall", 1}},
                  true,
                  EXIT_TERMINATED,
                  0,
                  "CPurecallCrashHandler::PurecallHandler()",
                  nullptr},
        // The runtime's own handler ends the process afterwards (terminate, abort): the abort is not
        // a second crash.
        CKindCase{"PurecallDumpChained",
                  "purecall",
                  {{u"DumpOnPurecall", 1}, {u"DumpOnException", 1}},
                  true,
                  EXIT_ABORT,
                  0,
                  "CPurecallCrashHandler::PurecallHandler()",
                  nullptr},
        CKindCase{"PurecallOff", "purecall", NONE, false, EXIT_ABORT, 0, nullptr, nullptr},
        CKindCase{"StackDumpTerminate",
                  "stack",
                  {{u"DumpOnSecurity", 1}, {u"TerminateOnSecurity", 1}},
                  true,
                  EXIT_TERMINATED,
                  0,
                  "SecurityHandler() : nCode = 1",
                  nullptr},
        // The runtime's handler ends in a trap, which the filter passes on without a second dump.
        CKindCase{"StackDumpChained",
                  "stack",
                  {{u"DumpOnSecurity", 1}, {u"DumpOnException", 1}},
                  true,
                  ILLEGAL_INSTRUCTION,
                  0,
                  "SecurityHandler() : nCode = 1",
                  nullptr},
        CKindCase{"NewThrowOnNew",
                  "new",
                  {{u"DumpOnNew", 1}, {u"ThrowOnNew", 1}},
                  true,
                  0,
                  0,
                  "CNewCrashHandler::NewHandler() : nSize = ",
                  "caught: bad allocation"},
        CKindCase{"NewDumpTerminate",
                  "new",
                  {{u"DumpOnNew", 1}, {u"TerminateOnNew", 1}},
                  true,
                  EXIT_TERMINATED,
                  0,
                  "CNewCrashHandler::NewHandler() : nSize = ",
                  nullptr},
        CKindCase{"NewOff", "new", NONE, false, 0, 0,
                  "CNewCrashHandler::NewHandler() : nSize = ", "caught: std::bad_alloc"},
        CKindCase{"SnapshotAlways", "snapshot", NONE, true, 0, 0, nullptr, "survived"}),
    [](const ::testing::TestParamInfo<CKindCase>& info) { return info.param.szName; });

TEST_F(CrashHandlerWin32Test, WithoutOptionsOnlySnapshotsDumpBesideTheExecutable) {
    const std::string sFolder = ProgramDirectory() + "\\crash-exe";
    fs::remove_all(sFolder);
    fs::create_directories(sFolder);
    const std::string sProgram = sFolder + "\\krell_win32_crasher.exe";
    fs::copy_file(Child(), sProgram);
    EXPECT_EQ(RunChild("access", sProgram).dwExitCode, ACCESS_VIOLATION);
    EXPECT_TRUE(Dumps(sFolder).empty());
    EXPECT_EQ(RunChild("snapshot", sProgram).dwExitCode, 0u);
    const auto dumps = Dumps(sFolder);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(fs::path(dumps[0]).filename(), DUMP_NAME);
    fs::remove_all(sFolder);
}

TEST_F(CrashHandlerWin32Test, NameCarriesVersionAndDateTime) {
    const struct {
        std::map<std::u16string, DWORD> options;
        const char* szPattern;
    } cases[] = {
        {{{u"AppendVersionToFile", 1}}, R"(krell_win32_crasher-1\.0\.0\.0\.dmp)"},
        {{{u"AppendVersionToFile", 1}, {u"AppendDateTimeToFile", 1}},
         R"(krell_win32_crasher-1\.0\.0\.0-\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d-\d{3}\.dmp)"},
    };
    for (const auto& c : cases) {
        SetUp();
        SetOptions(c.options);
        EXPECT_EQ(RunChild("snapshot").dwExitCode, 0u);
        const auto dumps = Dumps();
        ASSERT_EQ(dumps.size(), 1u) << c.szPattern;
        const std::string sName = fs::path(dumps[0]).filename().string();
        EXPECT_TRUE(std::regex_match(sName, std::regex(c.szPattern))) << sName;
    }
}

}  // namespace
