// The crash handler from outside: a child program fails in one of the four ways with the
// "CrashHandler" options of its root's registry, and the test looks at its exit, its dump (opened by
// LLDB and by a small reader of the file's directory) and its debug log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/sanitizers.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;
using krelltest::RunTool;
using krelltest::ToolResult;

constexpr int EXIT_TERMINATED = 255;  // 0xFFFFFFFF as a POSIX exit status
constexpr int KILLED_SIGSEGV = 128 + SIGSEGV;
constexpr int KILLED_SIGABRT = 128 + SIGABRT;

const std::u16string CRASH_KEY = std::u16string(CDebugOptions::BASE_KEY) + u"\\CrashHandler";

std::string PosixOf(const std::u16string& sWindows) {
    std::string sPath;
    EXPECT_TRUE(platform::MapPath(sWindows, &sPath));
    return sPath;
}

// LLDB from the PATH, as an operator would run it.
std::string Lldb() {
    const char* szPath = getenv("PATH");
    std::string sPath = szPath != nullptr ? szPath : "/usr/bin";
    for (std::size_t nStart = 0; nStart <= sPath.size();) {
        const std::size_t nEnd = std::min(sPath.find(':', nStart), sPath.size());
        const std::string sCandidate = sPath.substr(nStart, nEnd - nStart) + "/lldb";
        if (access(sCandidate.c_str(), X_OK) == 0) {
            return sCandidate;
        }
        nStart = nEnd + 1;
    }
    ADD_FAILURE() << "lldb is not installed (scripts/setup installs it)";
    return "lldb";
}

struct CStream {
    std::uint32_t dwSize;
    std::uint32_t dwRva;
};

// Just enough of the file format to check what LLDB does not show: the directory, the module names
// and how much memory went in.
class CDumpReader {
public:
    explicit CDumpReader(const std::string& sPath) {
        std::ifstream in(sPath, std::ios::binary);
        m_Bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (m_Bytes.size() < 32 || U32(0) != 0x504D444D) {
            return;
        }
        const std::uint32_t cStreams = U32(8);
        const std::uint32_t dwDirectory = U32(12);
        for (std::uint32_t i = 0; i < cStreams; ++i) {
            const std::uint32_t dwEntry = dwDirectory + i * 12;
            m_Streams[U32(dwEntry)] = CStream{U32(dwEntry + 4), U32(dwEntry + 8)};
        }
        m_bValid = true;
    }
    bool Valid() const { return m_bValid; }
    bool Has(std::uint32_t dwType) const { return m_Streams.count(dwType) != 0; }
    std::vector<std::string> ModuleNames() const {
        std::vector<std::string> names;
        const auto it = m_Streams.find(4);
        if (it == m_Streams.end()) {
            return names;
        }
        const std::uint32_t cModules = U32(it->second.dwRva);
        for (std::uint32_t i = 0; i < cModules; ++i) {
            const std::uint32_t dwNameRva = U32(it->second.dwRva + 4 + i * 108 + 20);
            const std::uint32_t cbName = U32(dwNameRva);
            std::string sName;
            for (std::uint32_t j = 0; j < cbName; j += 2) {
                sName += static_cast<char>(m_Bytes.at(dwNameRva + 4 + j));
            }
            names.push_back(sName);
        }
        return names;
    }
    // The memory the dump holds, from either memory list.
    std::uint64_t MemoryBytes() const {
        std::uint64_t qwTotal = 0;
        if (const auto it = m_Streams.find(5); it != m_Streams.end()) {
            for (std::uint32_t i = 0; i < U32(it->second.dwRva); ++i) {
                qwTotal += U32(it->second.dwRva + 4 + i * 16 + 8);
            }
        }
        if (const auto it = m_Streams.find(9); it != m_Streams.end()) {
            const std::uint64_t qwCount = U64(it->second.dwRva);
            for (std::uint64_t i = 0; i < qwCount; ++i) {
                qwTotal += U64(it->second.dwRva + 16 + i * 16 + 8);
            }
        }
        return qwTotal;
    }
    bool Contains(const std::string& sNeedle) const {
        return std::search(m_Bytes.begin(), m_Bytes.end(), sNeedle.begin(), sNeedle.end()) != m_Bytes.end();
    }

private:
    std::uint32_t U32(std::size_t nOffset) const {
        std::uint32_t dw = 0;
        std::memcpy(&dw, &m_Bytes.at(nOffset + 3) - 3, sizeof(dw));
        return dw;
    }
    std::uint64_t U64(std::size_t nOffset) const {
        std::uint64_t qw = 0;
        std::memcpy(&qw, &m_Bytes.at(nOffset + 7) - 7, sizeof(qw));
        return qw;
    }
    std::vector<char> m_Bytes;
    std::map<std::uint32_t, CStream> m_Streams;
    bool m_bValid = false;
};

class CrashHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (ADDRESS_SANITIZER || THREAD_SANITIZER) {
            GTEST_SKIP() << "the sanitizer owns the fatal signals and the allocator";
        }
        CRegistryKey log;
        ASSERT_TRUE(log.Create(HKEY_LOCAL_MACHINE,
                               (std::u16string(CDebugOptions::BASE_KEY) + u"\\DebugOutput").c_str()));
        log.SetDword(u"DebugType", 1);
        log.SetString(u"Directory", u"C:\\Logs");
        fs::create_directories(PosixOf(u"C:\\Logs"));
        fs::remove(PosixOf(u"C:\\Logs\\KRELLSvc.log"));
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, CRASH_KEY.c_str());
        m_sDumps = PosixOf(u"C:\\Dumps");
        fs::remove_all(m_sDumps);
        fs::create_directories(m_sDumps);
    }

    void SetOptions(const std::map<std::u16string, DWORD>& values,
                    const std::u16string& sDirectory = u"C:\\Dumps") {
        CRegistryKey key;
        ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, CRASH_KEY.c_str()));
        for (const auto& [sName, dwValue] : values) {
            ASSERT_TRUE(key.SetDword(sName.c_str(), dwValue));
        }
        if (!sDirectory.empty()) {
            ASSERT_TRUE(key.SetString(u"Directory", sDirectory));
        }
    }

    static ToolResult RunChild(const std::string& sKind, const std::string& sProgram = Child()) {
        return RunTool({sProgram, sKind});
    }
    static std::string Child() { return krelltest::TestBinary("krell_child_crasher"); }

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

    static std::string Backtrace(const std::string& sDump, const std::string& sProgram = Child()) {
        const ToolResult result = RunTool({Lldb(), "-b", "-c", sDump, sProgram, "-o", "bt all"});
        EXPECT_EQ(result.nExitCode, 0) << result.sOutput;
        return result.sOutput;
    }

    std::string m_sDumps;
};

struct CKindCase {
    const char* szName;
    const char* szKind;
    std::map<std::u16string, DWORD> options;
    bool bDump;
    int nExitCode;
    const char* szCrashingFunction;  // what the dump's backtrace must name
    const char* szHandlerLine;       // the handler's own log line
    const char* szOutput;            // what the child printed, when it goes on
};

void PrintTo(const CKindCase& c, std::ostream* pOut) {
    *pOut << c.szName;
}

class CrashKindTest : public CrashHandlerTest, public ::testing::WithParamInterface<CKindCase> {};

TEST_P(CrashKindTest, DumpsAndEndsAsTheSwitchesSay) {
    const CKindCase& c = GetParam();
    SetOptions(c.options);
    const ToolResult result = RunChild(c.szKind);
    EXPECT_EQ(result.nExitCode, c.nExitCode) << result.sOutput;
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
    // One dump, also when the runtime's own handler aborts afterwards.
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(fs::path(dumps[0]).filename(), "krell_child_crasher.dmp");
    EXPECT_EQ(krelltest::CountOf(sLog, "CCrashHandler::Dump() : eCrashType = "), 1u) << sLog;
    const std::string sBacktrace = Backtrace(dumps[0]);
    EXPECT_NE(sBacktrace.find(c.szCrashingFunction), std::string::npos) << sBacktrace;
}

const std::map<std::u16string, DWORD> NONE;

INSTANTIATE_TEST_SUITE_P(
    Kinds, CrashKindTest,
    ::testing::Values(CKindCase{"SegvDumpTerminate",
                                "segv",
                                {{u"DumpOnException", 1}, {u"TerminateOnException", 1}},
                                true,
                                EXIT_TERMINATED,
                                "CrashBySegv",
                                "ExceptionHandler() : ExceptionCode = 11",
                                nullptr},
                      CKindCase{"SegvDumpChained",
                                "segv",
                                {{u"DumpOnException", 1}},
                                true,
                                KILLED_SIGSEGV,
                                "CrashBySegv",
                                "ExceptionHandler() : ExceptionCode = 11",
                                nullptr},
                      // Terminate without dump: the handler does nothing and the default action decides.
                      CKindCase{"SegvTerminateOnly",
                                "segv",
                                {{u"TerminateOnException", 1}},
                                false,
                                KILLED_SIGSEGV,
                                nullptr,
                                nullptr,
                                nullptr},
                      CKindCase{"SegvOff", "segv", NONE, false, KILLED_SIGSEGV, nullptr, nullptr, nullptr},
                      // On the thread that enabled the handler, which has a stack of its own to handle it on.
                      CKindCase{"StackOverflow",
                                "overflow",
                                {{u"DumpOnException", 1}, {u"TerminateOnException", 1}},
                                true,
                                EXIT_TERMINATED,
                                "OverflowStack",
                                "ExceptionHandler() : ExceptionCode = 11",
                                nullptr},
                      CKindCase{"ThrowDumpTerminate",
                                "throw",
                                {{u"DumpOnException", 1}, {u"TerminateOnException", 1}},
                                true,
                                EXIT_TERMINATED,
                                "CrashByThrow",
                                "ExceptionCode = 6",
                                nullptr},
                      CKindCase{"ThrowOff", "throw", NONE, false, KILLED_SIGABRT, nullptr, nullptr, nullptr},
                      CKindCase{"PurecallDumpTerminate",
                                "purecall",
                                {{u"DumpOnPurecall", 1}, {u"TerminateOnPurecall", 1}},
                                true,
                                EXIT_TERMINATED,
                                "CrashByPurecall",
                                "CPurecallCrashHandler::PurecallHandler()",
                                nullptr},
                      // The runtime's own handler aborts afterwards; that abort is not a second crash.
                      CKindCase{"PurecallDumpChained",
                                "purecall",
                                {{u"DumpOnPurecall", 1}, {u"DumpOnException", 1}},
                                true,
                                KILLED_SIGABRT,
                                "CrashByPurecall",
                                "CPurecallCrashHandler::PurecallHandler()",
                                "pure virtual method called"},
                      CKindCase{"PurecallOff", "purecall", NONE, false, KILLED_SIGABRT, nullptr, nullptr,
                                "pure virtual method called"},
                      CKindCase{"StackDumpTerminate",
                                "stack",
                                {{u"DumpOnSecurity", 1}, {u"TerminateOnSecurity", 1}},
                                true,
                                EXIT_TERMINATED,
                                "CrashByStackSmash",
                                "SecurityHandler() : nCode = 1",
                                nullptr},
                      CKindCase{"StackDumpChained",
                                "stack",
                                {{u"DumpOnSecurity", 1}, {u"DumpOnException", 1}},
                                true,
                                KILLED_SIGABRT,
                                "CrashByStackSmash",
                                "SecurityHandler() : nCode = 1",
                                "stack smashing detected"},
                      CKindCase{"StackOff", "stack", NONE, false, KILLED_SIGABRT, nullptr, nullptr,
                                "stack smashing detected"},
                      CKindCase{"NewThrowOnNew",
                                "new",
                                {{u"DumpOnNew", 1}, {u"ThrowOnNew", 1}},
                                true,
                                0,
                                "CrashByNew",
                                "CNewCrashHandler::NewHandler() : nSize = ",
                                "caught: bad allocation"},
                      CKindCase{"NewFailsNormally",
                                "new",
                                {{u"DumpOnNew", 1}},
                                true,
                                0,
                                "CrashByNew",
                                "CNewCrashHandler::NewHandler() : nSize = ",
                                "caught: std::bad_alloc"},
                      CKindCase{"NewDumpTerminate",
                                "new",
                                {{u"DumpOnNew", 1}, {u"TerminateOnNew", 1}},
                                true,
                                EXIT_TERMINATED,
                                "CrashByNew",
                                "CNewCrashHandler::NewHandler() : nSize = ",
                                nullptr},
                      CKindCase{"NewOff", "new", NONE, false, 0, nullptr,
                                "CNewCrashHandler::NewHandler() : nSize = ", "caught: std::bad_alloc"},
                      CKindCase{"SnapshotAlways", "snapshot", NONE, true, 0, "TakeSnapshot", nullptr,
                                "survived"}),
    [](const ::testing::TestParamInfo<CKindCase>& info) { return info.param.szName; });

TEST_F(CrashHandlerTest, WithoutOptionsOnlySnapshotsDumpBesideTheExecutable) {
    // A copy of the child in a folder of its own, so that its dump lands there.
    const std::string sFolder = krelltest::MakeTempDirectory("krell-crash-exe");
    const std::string sProgram = sFolder + "/krell_child_crasher";
    fs::copy_file(Child(), sProgram);
    EXPECT_EQ(RunChild("segv", sProgram).nExitCode, KILLED_SIGSEGV);
    EXPECT_TRUE(Dumps(sFolder).empty());
    EXPECT_EQ(RunChild("snapshot", sProgram).nExitCode, 0);
    const auto dumps = Dumps(sFolder);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0], sFolder + "/krell_child_crasher.dmp");
    EXPECT_NE(Backtrace(dumps[0], sProgram).find("TakeSnapshot"), std::string::npos);
    fs::remove_all(sFolder);
}

TEST_F(CrashHandlerTest, NameCarriesVersionAndLocalDateTime) {
    struct CCase {
        std::map<std::u16string, DWORD> options;
        std::string sPattern;
    };
    const CCase cases[] = {
        {{{u"AppendVersionToFile", 1}}, R"(krell_child_crasher-1\.0\.0\.0\.dmp)"},
        {{{u"AppendDateTimeToFile", 1}},
         R"(krell_child_crasher-(\d{4})-(\d\d)-(\d\d)-(\d\d)-(\d\d)-(\d\d)-\d{3}\.dmp)"},
        {{{u"AppendVersionToFile", 1}, {u"AppendDateTimeToFile", 1}},
         R"(krell_child_crasher-1\.0\.0\.0-(\d{4})-(\d\d)-(\d\d)-(\d\d)-(\d\d)-(\d\d)-\d{3}\.dmp)"},
    };
    for (const CCase& c : cases) {
        SetUp();
        SetOptions(c.options);
        const std::time_t before = std::time(nullptr);
        EXPECT_EQ(RunChild("snapshot").nExitCode, 0);
        const auto dumps = Dumps();
        ASSERT_EQ(dumps.size(), 1u) << c.sPattern;
        std::smatch match;
        const std::string sName = fs::path(dumps[0]).filename().string();
        ASSERT_TRUE(std::regex_match(sName, match, std::regex(c.sPattern))) << sName;
        if (match.size() == 7) {
            // The suffix is local time: it names the second the child ran in.
            std::tm local{};
            localtime_r(&before, &local);
            std::tm named{};
            named.tm_year = std::stoi(match[1]) - 1900;
            named.tm_mon = std::stoi(match[2]) - 1;
            named.tm_mday = std::stoi(match[3]);
            named.tm_hour = std::stoi(match[4]);
            named.tm_min = std::stoi(match[5]);
            named.tm_sec = std::stoi(match[6]);
            named.tm_isdst = -1;
            const std::time_t tNamed = std::mktime(&named);
            EXPECT_GE(tNamed, before) << sName;
            // time() reads the coarse clock, which can still show the last second when the child's
            // precise clock has passed into the next one.
            EXPECT_LE(tNamed, std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()))
                << sName;
        }
    }
}

TEST_F(CrashHandlerTest, BadDirectoriesCostTheDumpButNotTheTerminateDecision) {
    struct CCase {
        std::u16string sDirectory;
        const char* szDumpIn;  // the folder the dump must land in, or null for none
    };
    fs::create_directories(PosixOf(u"C:\\Trailing"));
    const CCase cases[] = {
        {u"C:\\Trailing\\\\\\", "C:\\Trailing"},  // backslashes trimmed to exactly one
        {u"C:\\NoSuchFolder", nullptr},
        {u"Z:\\proc\\self", nullptr},  // no file can be created there, not even by root
        {u"Dumps", nullptr},           // relative
    };
    for (const CCase& c : cases) {
        SetUp();
        SetOptions({{u"DumpOnException", 1}, {u"TerminateOnException", 1}}, c.sDirectory);
        const ToolResult result = RunChild("segv");
        EXPECT_EQ(result.nExitCode, EXIT_TERMINATED) << result.sOutput;
        const std::string sLog = Log();
        if (c.szDumpIn != nullptr) {
            const std::string sExpected =
                PosixOf(platform::FromUtf8(c.szDumpIn)) + "/krell_child_crasher.dmp";
            EXPECT_TRUE(fs::exists(sExpected)) << sExpected;
            EXPECT_EQ(sLog.find("dumpFile.Open() == FALSE"), std::string::npos) << sLog;
        } else {
            EXPECT_NE(sLog.find("CDebugHelp::Dump() : dumpFile.Open() == FALSE"), std::string::npos) << sLog;
            EXPECT_NE(sLog.find("CCrashHandler::Dump() : m_DebugHelp.Dump() == FALSE"), std::string::npos)
                << sLog;
        }
    }
}

TEST_F(CrashHandlerTest, DumpTypeChoosesTheMemory) {
    struct CCase {
        DWORD dwDumpType;
        bool bValid;
        bool bHeap;       // the child's heap marker is in the file
        int nData;        // its initialised data marker is in the file: 1, 0, or -1 for either
        bool bFullPaths;  // module names are full paths
    };
    const CCase cases[] = {
        {0x00000000, true, false, 0, true},   // MiniDumpNormal: stack only
        {0x00000040, true, true, -1, true},   // WithIndirectlyReferencedMemory: the stack points at it
        {0x00000001, true, false, 1, true},   // WithDataSegs
        {0x00000200, true, true, 0, true},    // WithPrivateReadWriteMemory
        {0x00000002, true, true, 1, true},    // WithFullMemory
        {0x00000080, true, false, 0, false},  // FilterModulePaths
        {0xFFFFFFFF, false, false, 0, true},  // garbage: the writer refuses it
    };
    for (const CCase& c : cases) {
        SetUp();
        SetOptions({{u"DumpOnException", 1}, {u"TerminateOnException", 1}, {u"DumpType", c.dwDumpType}});
        const ToolResult result = RunChild("heap-segv");
        EXPECT_EQ(result.nExitCode, EXIT_TERMINATED) << result.sOutput;
        const auto dumps = Dumps();
        ASSERT_EQ(dumps.size(), 1u);
        const CDumpReader reader(dumps[0]);
        if (!c.bValid) {
            EXPECT_FALSE(reader.Valid());
            EXPECT_NE(Log().find("CDebugHelp::Dump() : MiniDumpWriteDump() == FALSE, 0x80070057"),
                      std::string::npos)
                << Log();
            continue;
        }
        ASSERT_TRUE(reader.Valid()) << c.dwDumpType;
        for (std::uint32_t dwStream : {3u, 4u, 6u, 7u, 15u, 0x47670009u}) {
            EXPECT_TRUE(reader.Has(dwStream)) << std::hex << dwStream;
        }
        EXPECT_EQ(reader.Contains("KRELL-HEAP-MARKER"), c.bHeap) << std::hex << c.dwDumpType;
        if (c.nData >= 0) {
            EXPECT_EQ(reader.Contains("KRELL-DATA-MARKER"), c.nData == 1) << std::hex << c.dwDumpType;
        }
        const auto names = reader.ModuleNames();
        ASSERT_FALSE(names.empty());
        bool bChildListed = false;
        for (const std::string& sName : names) {
            EXPECT_EQ(sName.find('/') == 0, c.bFullPaths) << sName;
            bChildListed |= sName.ends_with("krell_child_crasher");
        }
        EXPECT_TRUE(bChildListed);
        if (c.dwDumpType == 0x00000002) {
            EXPECT_GE(reader.MemoryBytes(), 32u << 20);
        }
        EXPECT_NE(Backtrace(dumps[0]).find("CrashBySegv"), std::string::npos);
    }
}

TEST_F(CrashHandlerTest, TwoThreadsCrashingAtOnceLeaveOneCompleteDump) {
    for (const bool bTerminate : {true, false}) {
        SetUp();
        SetOptions({{u"DumpOnException", 1}, {u"TerminateOnException", bTerminate ? 1u : 0u}});
        const ToolResult result = RunChild("threads");
        EXPECT_EQ(result.nExitCode, bTerminate ? EXIT_TERMINATED : KILLED_SIGSEGV) << result.sOutput;
        const auto dumps = Dumps();
        ASSERT_EQ(dumps.size(), 1u);
        EXPECT_TRUE(CDumpReader(dumps[0]).Valid());
        const std::string sBacktrace = Backtrace(dumps[0]);
        EXPECT_NE(sBacktrace.find("CrashBySegv"), std::string::npos) << sBacktrace;
        EXPECT_NE(sBacktrace.find("CrashingThread"), std::string::npos) << sBacktrace;
    }
}

TEST_F(CrashHandlerTest, OtherThreadsAreInTheDumpUnlessTheyBlockSignals) {
    SetOptions({});
    const auto start = std::chrono::steady_clock::now();
    const ToolResult result = RunChild("workers-snapshot");
    EXPECT_EQ(result.nExitCode, 0) << result.sOutput;
    EXPECT_NE(result.sOutput.find("survived"), std::string::npos) << result.sOutput;
    // The deaf worker costs the writer its wait for an answer, and no more.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const auto dumps = Dumps();
    ASSERT_EQ(dumps.size(), 1u);
    const std::string sBacktrace = Backtrace(dumps[0]);
    EXPECT_NE(sBacktrace.find("TakeSnapshot"), std::string::npos) << sBacktrace;
    EXPECT_NE(sBacktrace.find("ParkedWorker"), std::string::npos) << sBacktrace;
    EXPECT_EQ(sBacktrace.find("DeafWorker"), std::string::npos) << sBacktrace;
    EXPECT_NE(sBacktrace.find("thread #2"), std::string::npos) << sBacktrace;
    EXPECT_EQ(sBacktrace.find("thread #3"), std::string::npos) << sBacktrace;
}

TEST_F(CrashHandlerTest, CrashInsideTheHandlerEndsTheProcess) {
    // The child's second thread faults it while its snapshot of a large heap is being written.
    SetOptions({{u"DumpOnException", 1}, {u"TerminateOnException", 1}, {u"DumpType", 0x2}});
    const auto start = std::chrono::steady_clock::now();
    const ToolResult result = RunTool({Child(), "nested", m_sDumps + "/krell_child_crasher.dmp"});
    EXPECT_EQ(result.nExitCode, EXIT_TERMINATED) << result.sOutput;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    const std::string sLog = Log();
    const std::size_t nSnapshot = sLog.find("CCrashHandler::Dump() : eCrashType = 1");
    const std::size_t nFault = sLog.find("ExceptionHandler() : ExceptionCode = 11");
    ASSERT_NE(nSnapshot, std::string::npos) << sLog;
    ASSERT_NE(nFault, std::string::npos) << sLog;
    EXPECT_LT(nSnapshot, nFault);
    EXPECT_EQ(sLog.find("eCrashType = 3"), std::string::npos) << sLog;
}

TEST_F(CrashHandlerTest, FullDiskFailsTheDumpAndStillTerminates) {
    SetOptions({{u"DumpOnException", 1}, {u"TerminateOnException", 1}, {u"DumpType", 0x2}});
    const ToolResult result = RunChild("small-disk");
    EXPECT_EQ(result.nExitCode, EXIT_TERMINATED) << result.sOutput;
    const std::string sLog = Log();
    EXPECT_NE(sLog.find("CDebugHelp::Dump() : MiniDumpWriteDump() == FALSE, 0x"), std::string::npos) << sLog;
    EXPECT_NE(sLog.find("CCrashHandler::Dump() : m_DebugHelp.Dump() == FALSE"), std::string::npos) << sLog;
}

}  // namespace
