// kctool driven as a real program: build, verify and dump, and the verdicts on damaged files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kcfile/kc_format.h"
#include "srtc/srtc.h"
#include "support/test_root.h"

namespace {

using krelltest::ToolResult;

class KCToolTest : public testing::Test {
protected:
    void SetUp() override { m_sDir = krelltest::MakeTempDirectory("kctool-test"); }
    void TearDown() override { std::filesystem::remove_all(m_sDir); }

    std::string Path(const std::string& sName) const { return m_sDir + "/" + sName; }

    void WriteBytes(const std::string& sName, const std::vector<BYTE>& bytes) const {
        std::ofstream out(Path(sName), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    std::vector<BYTE> ReadBytes(const std::string& sName) const {
        std::ifstream in(Path(sName), std::ios::binary);
        return std::vector<BYTE>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    static ToolResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), KRELL_KCTOOL);
        return krelltest::RunTool(args);
    }

    // Three sections: protection state, rules, and a legacy install block with one executable.
    std::vector<std::string> BuildArgs(const std::string& sOut) {
        std::vector<BYTE> state(16, 0);
        kcfile::WriteLE32(&state[0], 1);
        kcfile::WriteLE32(&state[8], 1);
        kcfile::WriteLE32(&state[12], 0x203);
        WriteBytes("state.bin", state);
        WriteBytes("rules.bin", std::vector<BYTE>(13, 0x5A));
        std::vector<BYTE> legacy;
        auto put = [&](DWORD dw) {
            legacy.resize(legacy.size() + 4);
            kcfile::WriteLE32(&legacy[legacy.size() - 4], dw);
        };
        auto str = [&](const std::string& s) {
            put(static_cast<DWORD>(s.size() * 2 + 2));
            for (char ch : s) {
                legacy.push_back(static_cast<BYTE>(ch));
                legacy.push_back(0);
            }
            legacy.push_back(0);
            legacy.push_back(0);
        };
        put(1);
        put(8);
        str("setup.exe");
        put(1);
        str("C:\\dir\\a.dll");
        put(1);
        put(4096);
        for (int i = 0; i < 16; ++i) {
            legacy.push_back(static_cast<BYTE>(i * 0x11));
        }
        WriteBytes("legacy.bin", legacy);
        return {"build",     sOut,
                "--section", "401=" + Path("legacy.bin"),
                "--section", "0x102=" + Path("state.bin"),
                "--section", "201=" + Path("rules.bin")};
    }

    std::string m_sDir;
};

TEST_F(KCToolTest, BuildVerifyDump) {
    const std::string sFile = Path("out.kc");
    const ToolResult build = Run(BuildArgs(sFile));
    ASSERT_EQ(build.nExitCode, 0) << build.sOutput;
    EXPECT_EQ(build.sOutput, sFile + ": 3 section(s), 340 bytes\n");

    const ToolResult verify = Run({"verify", sFile});
    EXPECT_EQ(verify.nExitCode, 0) << verify.sOutput;
    EXPECT_EQ(verify.sOutput, sFile + ": valid, 3 section(s)\n");

    const ToolResult dump = Run({"dump", sFile});
    EXPECT_EQ(dump.nExitCode, 0) << dump.sOutput;
    for (const char* szExpected :
         {"header: magic \"ZELB\", version 1, 3 section(s)",
          "section 0x102: offset 128, record length 44, data length 16",
          "file protection 1, registry protection 0, process protection 1, debug log mask 0x203",
          "section 0x201: offset 172, record length 44, data length 13",
          "executable \"setup.exe\": 1 companion file(s)", "companion \"C:\\dir\\a.dll\": 1 version(s)",
          "size 4096, hash 00112233445566778899aabbccddeeff"}) {
        EXPECT_NE(dump.sOutput.find(szExpected), std::string::npos) << szExpected << "\n" << dump.sOutput;
    }

    const ToolResult hex = Run({"dump", sFile, "--hex", "--json"});
    EXPECT_EQ(hex.nExitCode, 0) << hex.sOutput;
    EXPECT_EQ(hex.sOutput.rfind("{\"file\":", 0), 0u) << hex.sOutput;
    EXPECT_NE(hex.sOutput.find("\"valid\":true"), std::string::npos);
    EXPECT_NE(hex.sOutput.find("\"data\":\"5a5a5a5a5a5a5a5a5a5a5a5a5a\""), std::string::npos) << hex.sOutput;
}

TEST_F(KCToolTest, DamagedFilesFailWithANamedProblem) {
    const std::string sFile = Path("out.kc");
    ASSERT_EQ(Run(BuildArgs(sFile)).nExitCode, 0);
    const std::vector<BYTE> good = ReadBytes("out.kc");

    struct Case {
        const char* szName;
        std::size_t nFlip;  // byte to flip, or npos to truncate at nTruncate
        std::size_t nTruncate;
        const char* szExpected;
    };
    const Case CASES[] = {
        {"data byte of the rules", 172 + 28 + 2, 0, "section 0x201 (entry 1): record digest is"},
        {"pad byte of the rules", 172 + 28 + 14, 0, "section 0x201 (entry 1): record digest is"},
        {"table offset", 32 + 32 + 4, 0, "section 0x201 (entry 1): table offset is"},
        {"magic", 0, 0, "header: magic is"},
        {"truncated in the table", std::string::npos, 100, "header: section count 3 needs 128 bytes"},
        {"truncated in a record", std::string::npos, 250, "section 0x401 (entry 2): record at offset 216"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.szName);
        std::vector<BYTE> bad = good;
        if (c.nFlip != std::string::npos) {
            bad[c.nFlip] ^= 0x10;
        } else {
            bad.resize(c.nTruncate);
        }
        WriteBytes("bad.kc", bad);
        const ToolResult verify = Run({"verify", Path("bad.kc")});
        EXPECT_EQ(verify.nExitCode, 1);
        EXPECT_NE(verify.sOutput.find(Path("bad.kc") + ": " + c.szExpected), std::string::npos)
            << verify.sOutput;
        const ToolResult dump = Run({"dump", Path("bad.kc")});
        EXPECT_EQ(dump.nExitCode, 1);
        EXPECT_NE(dump.sOutput.find(std::string("problem: ") + c.szExpected), std::string::npos)
            << dump.sOutput;
    }
}

TEST_F(KCToolTest, RootPathsGoThroughTheMachineRoot) {
    const ToolResult build = Run(BuildArgs("C:\\tool.kc"));
    ASSERT_EQ(build.nExitCode, 0) << build.sOutput;
    const ToolResult verify = Run({"verify", "C:\\tool.kc"});
    EXPECT_EQ(verify.nExitCode, 0) << verify.sOutput;
    EXPECT_EQ(Run({"verify", "C:\\missing.kc"}).nExitCode, 2);
}

TEST_F(KCToolTest, UsageErrorsExitWithTwo) {
    WriteBytes("data.bin", {1, 2, 3});
    const std::vector<std::vector<std::string>> CASES = {
        {},
        {"frobnicate"},
        {"build", Path("x.kc"), "--section", "zz=" + Path("data.bin")},
        {"build", Path("x.kc"), "--section", "102"},
        {"build", Path("x.kc"), "--section", "102=" + Path("data.bin"), "--section",
         "0x102=" + Path("data.bin")},
        {"build", Path("x.kc"), "--section", "102=" + Path("missing.bin")},
        {"verify"},
        {"verify", Path("missing.kc")},
        {"dump", Path("x.kc"), "--bogus"},
    };
    for (const auto& args : CASES) {
        EXPECT_EQ(Run(args).nExitCode, 2) << testing::PrintToString(args);
    }
    EXPECT_FALSE(std::filesystem::exists(Path("x.kc")));
}

TEST_F(KCToolTest, BuildWithoutSectionsFails) {
    const ToolResult build = Run({"build", Path("none.kc")});
    EXPECT_EQ(build.nExitCode, 1);
    EXPECT_NE(build.sOutput.find("CKTDataFile::Close failed (0x8001FFFF)"), std::string::npos)
        << build.sOutput;
}

// Deny a protected file unless the access only reads attributes, while enabled.
srtc::RuleSet SmallRuleSet() {
    srtc::RuleSet rules;
    rules.kind = srtc::RuleSetKind::ProtectedResources;
    rules.sets.push_back(
        {u"protected-files", {u"c:\\data\\b.txt", u"C:\\Data\\A.txt"}, {u"C:\\Protected\\"}});
    rules.literals.push_back({u"enabled", srtc::LiteralType::Bool, 1, {}});
    rules.literals.push_back({u"", srtc::LiteralType::Hex32, 0x10006, {}});
    rules.literals.push_back({u"until", srtc::LiteralType::Date, 0, {}});
    EXPECT_TRUE(srtc::ParseDate("2024-01-31T08:05:09Z", rules.literals[2].qwValue));
    using srtc::NodeKind;
    rules.nodes = {
        {NodeKind::FunEval,
         srtc::Function::InSet,
         srtc::Attribute::TargetPath,
         srtc::OperandKind::Set,
         0,
         {}},
        {NodeKind::LiteralRef, {}, {}, {}, 0, {}},
        {NodeKind::FunEval,
         srtc::Function::BinaryAnd,
         srtc::Attribute::ActionDesiredAccess,
         srtc::OperandKind::Literal,
         1,
         {}},
        {NodeKind::Not, {}, {}, {}, 2, {}},
        {NodeKind::ExprRef, {}, {}, {}, 0, {}},
        {NodeKind::And, {}, {}, {}, 0, {1, 4, 3}},
    };
    rules.expressions.push_back({u"is-protected", 0});
    rules.rules.push_back({u"deny-file", srtc::Effect::Deny, 5});
    return rules;
}

// A rule section decoded: sets with their items, named literals, expressions and rules; a broken one
// names the reader's reason.
TEST_F(KCToolTest, DumpsRuleSections) {
    const srtc::RuleSet rules = SmallRuleSet();
    const std::vector<std::uint8_t> blob = srtc::Write(rules);
    WriteBytes("rules.srtc", blob);
    std::vector<std::uint8_t> broken = blob;
    broken[4] = 9;
    WriteBytes("broken.srtc", broken);
    const std::string sFile = Path("rules.kc");
    const ToolResult build = Run({"build", sFile, "--section", "201=" + Path("rules.srtc"), "--section",
                                  "202=" + Path("broken.srtc")});
    ASSERT_EQ(build.nExitCode, 0) << build.sOutput;

    const ToolResult dump = Run({"dump", sFile});
    EXPECT_EQ(dump.nExitCode, 0) << dump.sOutput;
    for (const char* szExpected : {
             "serialized rules: protected-resources, default allow, 1 set(s), 3 literal(s), 1 expression(s), "
             "1 rule(s)",
             "set \"protected-files\": 2 exact, 1 prefix\n    exact \"C:\\DATA\\A.TXT\"\n    exact "
             "\"C:\\DATA\\B.TXT\"\n"
             "    prefix \"C:\\PROTECTED\\\"\n",
             "literal \"enabled\": bool true",
             "literal \"until\": date 2024-01-31T08:05:09Z",
             "expression \"is-protected\": in-set(target/path, set \"protected-files\")",
             "rule \"deny-file\" deny: and(literal \"enabled\", expr \"is-protected\", "
             "not(binary-and(action/desired-access, hex32 0x00010006)))",
             "serialized rules not decodable: header: version is 9, expected 2",
         }) {
        EXPECT_NE(dump.sOutput.find(szExpected), std::string::npos) << szExpected << "\n" << dump.sOutput;
    }

    const ToolResult json = Run({"dump", sFile, "--json"});
    EXPECT_EQ(json.nExitCode, 0) << json.sOutput;
    for (
        const char* szExpected : {
            R"("sets":[{"id":"protected-files","exact":["C:\\DATA\\A.TXT","C:\\DATA\\B.TXT"],"prefix":["C:\\PROTECTED\\"]}])",
            R"({"id":null,"type":"hex32","value":"0x00010006"})",
            R"({"kind":"and","children":[1,4,3]})",
            R"("rules":[{"id":"deny-file","effect":"deny","root":5,)",
            R"("decoded":{"error":"header: version is 9, expected 2"})",
        }) {
        EXPECT_NE(json.sOutput.find(szExpected), std::string::npos) << szExpected << "\n" << json.sOutput;
    }
}

// eval decides an access as the driver would and names the rule; bad input and missing or broken
// sections fail with their codes.
TEST_F(KCToolTest, EvaluatesAccessesAgainstARuleSection) {
    const std::vector<std::uint8_t> blob = srtc::Write(SmallRuleSet());
    WriteBytes("rules.srtc", blob);
    WriteBytes("junk.bin", std::vector<BYTE>(8, 1));
    const std::string sFile = Path("rules.kc");
    ASSERT_EQ(Run({"build", sFile, "--section", "201=" + Path("rules.srtc"), "--section",
                   "202=" + Path("junk.bin")})
                  .nExitCode,
              0);
    const struct {
        std::vector<std::string> options;
        int nExit;
        const char* szOutput;
    } cases[] = {
        {{"--section", "201", "--target-path", "c:\\data\\a.txt", "--access", "0x1"},
         0,
         "deny (rule \"deny-file\": and(literal \"enabled\", expr \"is-protected\", "
         "not(binary-and(action/desired-access, "
         "hex32 0x00010006))))\n"},
        {{"--section", "0x201", "--target-path", "C:\\Protected\\x\\y", "--access", "8", "--kind", "file"},
         0,
         "deny (rule"},
        {{"--section", "201", "--target-path", "C:\\Data\\A.txt", "--access", "0x10000"},
         0,
         "allow (default effect)\n"},
        {{"--section", "201", "--target-path", "C:\\Data\\C.txt", "--access", "0x1"},
         0,
         "allow (default effect)\n"},
        {{"--section", "202", "--target-path", "C:\\x"},
         1,
         "section 0x202: header: blob length is 8, expected at least 56\n"},
        {{"--section", "203"}, 1, "section 0x203: not in the file\n"},
        {{"--section", "201", "--kind", "socket"}, 2, "kctool: --kind \"socket\": not understood\n"},
        {{"--section", "201", "--time", "yesterday"}, 2, "kctool: --time \"yesterday\": not understood\n"},
        {{"--target-path", "C:\\x"}, 2, "usage:"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"eval", sFile};
        args.insert(args.end(), c.options.begin(), c.options.end());
        SCOPED_TRACE(testing::PrintToString(args));
        const ToolResult result = Run(args);
        EXPECT_EQ(result.nExitCode, c.nExit) << result.sOutput;
        EXPECT_EQ(result.sOutput.substr(0, std::strlen(c.szOutput)), c.szOutput);
    }
}

}  // namespace
