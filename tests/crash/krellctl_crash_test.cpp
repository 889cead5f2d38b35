// krellctl crash-handler and krellctl dumps, run as an operator runs them, against dumps the crash
// child really wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/sanitizers.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;
using krelltest::RunTool;
using krelltest::ToolResult;

const std::u16string CRASH_KEY = std::u16string(CDebugOptions::BASE_KEY) + u"\\CrashHandler";

ToolResult Krellctl(std::vector<std::string> args) {
    args.insert(args.begin(), krelltest::ProgramPath("krellctl"));
    return RunTool(args);
}

std::string PosixOf(const std::u16string& sWindows) {
    std::string sPath;
    EXPECT_TRUE(platform::MapPath(sWindows, &sPath));
    return sPath;
}

// The value column of one option in "crash-handler show".
std::string Shown(const std::string& sOutput, const std::string& sName) {
    std::smatch match;
    if (std::regex_search(sOutput, match, std::regex("(^|\n)" + sName + " +([^\n]*)"))) {
        return match[2];
    }
    return "(not listed)";
}

class KrellctlCrashTest : public ::testing::Test {
protected:
    void SetUp() override { platform::RegDeleteTree(HKEY_LOCAL_MACHINE, CRASH_KEY.c_str()); }
};

TEST_F(KrellctlCrashTest, SetWritesWhatShowAndTheHandlerRead) {
    ToolResult result = Krellctl({"crash-handler", "show"});
    ASSERT_EQ(result.nExitCode, 0) << result.sOutput;
    EXPECT_EQ(Shown(result.sOutput, "DumpOnException"), "(absent)");

    result =
        Krellctl({"crash-handler", "set", "dumponexception=1", "DumpType=0x12", "Directory=C:\\Dumps\\"});
    ASSERT_EQ(result.nExitCode, 0) << result.sOutput;
    result = Krellctl({"crash-handler", "show"});
    EXPECT_EQ(Shown(result.sOutput, "DumpOnException"), "1");
    EXPECT_EQ(Shown(result.sOutput, "DumpType"), "0x00000012");
    EXPECT_EQ(Shown(result.sOutput, "Directory"), "C:\\Dumps\\");
    CDebugOptions options;
    ASSERT_TRUE(options.Load(u"CrashHandler"));
    EXPECT_EQ(options.GetDword(u"DumpType").value_or(0), 0x12u);

    // An empty value removes the option.
    ASSERT_EQ(Krellctl({"crash-handler", "set", "DumpType="}).nExitCode, 0);
    EXPECT_EQ(Shown(Krellctl({"crash-handler", "show"}).sOutput, "DumpType"), "(absent)");
}

TEST_F(KrellctlCrashTest, BadAssignmentsChangeNothing) {
    const std::vector<std::vector<std::string>> bad = {
        {"crash-handler", "set", "DumpOnNew=1", "NoSuchOption=1"},
        {"crash-handler", "set", "DumpOnNew=1", "DumpType=0x100000000"},
        {"crash-handler", "set", "DumpOnNew=1", "TerminateOnNew=yes"},
        {"crash-handler", "set", "DumpOnNew"},
        {"crash-handler", "set"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(Krellctl(args).nExitCode, 2) << args.back();
    }
    EXPECT_EQ(Shown(Krellctl({"crash-handler", "show"}).sOutput, "DumpOnNew"), "(absent)");
}

TEST_F(KrellctlCrashTest, DumpsListNamesSizeKindAndTime) {
    if (ADDRESS_SANITIZER || THREAD_SANITIZER) {
        GTEST_SKIP() << "the sanitizer owns the fatal signals and the allocator";
    }
    fs::remove_all(PosixOf(u"C:\\Dumps"));
    fs::create_directories(PosixOf(u"C:\\Dumps"));
    ASSERT_EQ(Krellctl({"crash-handler", "set", "Directory=C:\\Dumps", "AppendDateTimeToFile=1",
                        "DumpOnException=1", "DumpOnNew=1", "DumpOnPurecall=1", "TerminateOnPurecall=1"})
                  .nExitCode,
              0);
    const std::string sChild = krelltest::TestBinary("krell_child_crasher");
    for (const char* szKind : {"segv", "snapshot", "new", "purecall"}) {
        RunTool({sChild, szKind});
    }
    const ToolResult result = Krellctl({"dumps", "list"});
    ASSERT_EQ(result.nExitCode, 0) << result.sOutput;
    const auto lines = krelltest::NonEmptyLines(result.sOutput);
    ASSERT_EQ(lines.size(), 5u) << result.sOutput;
    EXPECT_EQ(lines[0], "C:\\Dumps");
    std::vector<std::string> kinds;
    const std::regex line(
        R"((krell_child_crasher-[-0-9]+\.dmp) (\d+) (\S+) (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d))");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, line)) << lines[i];
        EXPECT_EQ(std::stoull(match[2]), fs::file_size(PosixOf(u"C:\\Dumps") + "/" + match[1].str()));
        kinds.push_back(match[3]);
    }
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ(kinds, (std::vector<std::string>{"allocation-failure", "exception:SIGSEGV", "pure-virtual-call",
                                               "snapshot"}));
}

TEST_F(KrellctlCrashTest, DumpsListFallsBackToTheServiceFolder) {
    CRegistryKey service;
    ASSERT_TRUE(service.Create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc"));
    ASSERT_TRUE(service.SetString(u"ImagePath", u"\"C:\\Svc Folder\\krellsvc.exe\" -Service"));
    fs::create_directories(PosixOf(u"C:\\Svc Folder"));
    std::ofstream(PosixOf(u"C:\\Svc Folder") + "/krellsvc.dmp") << "not a dump";
    const ToolResult result = Krellctl({"dumps", "list"});
    ASSERT_EQ(result.nExitCode, 0) << result.sOutput;
    EXPECT_EQ(krelltest::NonEmptyLines(result.sOutput),
              (std::vector<std::string>{"C:\\Svc Folder", "krellsvc.dmp 10 not a dump -"}));
}

}  // namespace
