#include "compiler/legacy_install_config_plugin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "plugin_store_test.h"
#include "support/debug_log.h"

namespace {

using krelltest::CDebugLog;
using Bytes = std::vector<BYTE>;

const std::u16string NON_MSI = CLegacyInstallConfigPlugin::NON_MSI_KEY;

class TestPlugin : public CLegacyInstallConfigPlugin {
public:
    using CLegacyInstallConfigPlugin::CLegacyInstallConfigPlugin;
    using CLegacyInstallConfigPlugin::PluginGetIC;
};

class LegacyInstallPluginTest : public compilertest::PluginStoreTest<TestPlugin> {
public:
    // Versions of one companion file: value name (the hash) and data (the file size).
    void PutCompanion(const std::u16string& sExe, const std::u16string& sCompanion,
                      const std::vector<std::pair<std::u16string, DWORD>>& versions) {
        Write(NON_MSI + u"\\" + sExe + u"\\" + sCompanion, [&](ISettings* pKey) {
            for (const auto& [sHash, dwSize] : versions) {
                EXPECT_EQ(pKey->PutDword(sHash.c_str(), dwSize), ZEL_SUCCESS);
            }
        });
    }

    // The block of section 0x401, or nothing when the plug-in gave no IC.
    std::optional<Bytes> Block(CErrorStack& errors) {
        const std::unique_ptr<CIntermediateConfiguration> pIC = m_Plugin->PluginGetIC(true, errors);
        if (!pIC) {
            return std::nullopt;
        }
        EXPECT_EQ(pIC->Nodes().size(), 1u);
        const auto it = pIC->Nodes().find(KTDATAFILE_LEGACY_INSTALL_ID);
        if (it == pIC->Nodes().end()) {
            ADD_FAILURE() << "no section 0x401";
            return std::nullopt;
        }
        EXPECT_EQ(it->second->GetType(), IC_NODE_DIRECT);
        const BYTE* pData = nullptr;
        DWORD cbData = 0;
        EXPECT_TRUE(it->second->GetData(pData, cbData, nullptr));
        return Bytes(pData, pData + cbData);
    }
};

// UTF-16LE with its terminator, preceded by its length in bytes.
Bytes Name(const std::string& s) {
    Bytes bytes = {static_cast<BYTE>(s.size() * 2 + 2), 0, 0, 0};
    for (const char ch : s) {
        bytes.insert(bytes.end(), {static_cast<BYTE>(ch), 0});
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct BlockCase {
    const char* szName;
    std::function<void(LegacyInstallPluginTest&)> fnSetUp;
    Bytes block;
    std::vector<std::string> logged;
};

class LegacyBlockTest : public LegacyInstallPluginTest, public ::testing::WithParamInterface<BlockCase> {};

const BlockCase BLOCKS[] = {
    {"NoKey",
     [](LegacyInstallPluginTest&) {},
     {0, 0, 0, 0},
     {"CLegacyNonMsiData::Init: LC key \"Gatewarden\\LegacyInstalls\\nonMsi\" not found"}},
    // The key is there but describes no executable (it holds a stray value only).
    {"EmptyKey",
     [](LegacyInstallPluginTest& t) { t.PutDword(NON_MSI, u"stray", 1); },
     {0, 0, 0, 0},
     {"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: Data formatted: 4 BYTEs long"}},
    {"OneExecutable",
     [](LegacyInstallPluginTest& t) {
         t.PutCompanion(u"setup.exe", u"C:/dir/a.dll", {{u"00112233445566778899aabbccddeeff", 4096}});
     },
     Join({{1, 0, 0, 0, 8, 0, 0, 0},
           {20, 0, 0, 0, 's', 0, 'e', 0, 't', 0, 'u', 0, 'p', 0, '.', 0, 'e', 0, 'x', 0, 'e', 0, 0, 0},
           {1, 0, 0, 0},
           {26, 0,    0, 0,   'C', 0,   ':', 0,   '\\', 0,   'd', 0,   'i', 0, 'r',
            0,  '\\', 0, 'a', 0,   '.', 0,   'd', 0,    'l', 0,   'l', 0,   0, 0},
           {1, 0, 0, 0},
           {0x00, 0x10, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
            0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}}),
     {"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: Data formatted: 90 BYTEs long"}},
    // Versions sorted by size, then by the hash read as little-endian words: 01000000… (word 1) comes
    // before 00000001… (word 0x01000000) although its bytes are larger.
    {"TwoExecutablesUnsortedVersions",
     [](LegacyInstallPluginTest& t) {
         t.PutCompanion(u"a.exe", u"x",
                        {{u"ffffffffffffffffffffffffffffffff", 200},
                         {u"00000001000000000000000000000000", 100},
                         {u"01000000000000000000000000000000", 100}});
         t.PutCompanion(u"a.exe", u"y", {});
         t.PutCompanion(u"b.exe", u"C:/z", {{u"0102030405060708090A0B0C0D0E0F10", 7}});
     },
     Join({{2, 0, 0, 0, 12, 0, 0, 0, 116, 0, 0, 0},
           // a.exe at 12: 4 + 12 + 4 + x (4 + 4 + 4 + 60) + y (4 + 4 + 4) = 104 bytes
           Name("a.exe"),
           {2, 0, 0, 0},
           Name("x"),
           {3, 0, 0, 0},
           {100, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
           {100, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
           {200,  0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
           Name("y"),
           {0, 0, 0, 0},
           // b.exe at 116
           Name("b.exe"),
           {1, 0, 0, 0},
           Name("C:\\z"),
           {1, 0, 0, 0},
           {7, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}),
     {}},
    {"HashNames",
     [](LegacyInstallPluginTest& t) {
         t.PutCompanion(u"s.exe", u"c",
                        {{u"0123456789abcdef0123456789abcde", 1},
                         {u"0123456789abcdef0123456789abcdef0", 2},
                         {u"0123456789abcdeg0123456789abcdef", 3},
                         {u"", 4},
                         {u"0123456789ABCDEF0123456789ABCDEF_old", 5}});
     },
     Join({{1, 0, 0, 0, 8, 0, 0, 0},
           Name("s.exe"),
           {1, 0, 0, 0},
           Name("c"),
           {1, 0, 0, 0},
           {5,    0,    0,    0,    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB,
            0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}}),
     {"CCompanionFile::Init: Hash = \"0123456789abcdef0123456789abcde\" INVALID. Evaluating next hash",
      "CCompanionFile::Init: Hash = \"0123456789abcdef0123456789abcdef0\" INVALID. Evaluating next hash",
      "CCompanionFile::Init: Hash = \"0123456789abcdeg0123456789abcdef\" INVALID. Evaluating next hash"}},
};

TEST_P(LegacyBlockTest, BlockMatchesHandComputedBytes) {
    const BlockCase& row = GetParam();
    row.fnSetUp(*this);
    const CDebugLog log;
    CErrorStack errors;
    const std::optional<Bytes> block = Block(errors);
    ASSERT_TRUE(block.has_value()) << log.Since();
    EXPECT_EQ(*block, row.block);
    EXPECT_TRUE(errors.Entries().empty());
    for (const std::string& sLine : row.logged) {
        EXPECT_TRUE(log.Has(sLine)) << sLine << "\n" << log.Since();
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, LegacyBlockTest, ::testing::ValuesIn(BLOCKS),
                         [](const auto& info) { return std::string(info.param.szName); });

TEST(LegacyHashNameTest, ExactlyThirtyTwoHexDigitsLead) {
    const std::u16string s32 = u"00112233445566778899aabbccddeeff";
    struct {
        std::u16string sName;
        bool bValid;
    } const rows[] = {
        {s32, true},
        {u"00112233445566778899AABBCCDDEEFF", true},
        {s32 + u"_backup", true},
        {s32 + u" ", true},
        {s32.substr(0, 31), false},
        {s32 + u"0", false},
        {s32 + u"F", false},
        {u"x" + s32.substr(1), false},
        {s32.substr(0, 31) + u"g", false},
        {u"", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CCompanionFile::IsValidHashName(row.sName), row.bValid) << platform::ToUtf8(row.sName);
    }
}

TEST_F(LegacyInstallPluginTest, LaterCompilationsReadNothing) {
    PutCompanion(u"setup.exe", u"a", {{u"00112233445566778899aabbccddeeff", 1}});
    const CDebugLog log;
    CErrorStack errors;
    EXPECT_EQ(m_Plugin->PluginGetIC(false, errors), nullptr);
    EXPECT_TRUE(log.Has("CLegacyInstallConfigPlugin::PluginGetIC: called"));
    EXPECT_TRUE(log.Has("CLegacyInstallConfigPlugin::PluginGetIC: No need to create IC"));
    EXPECT_FALSE(log.Has("CExeKey::Init"));
    EXPECT_TRUE(errors.Entries().empty());
}

TEST(LegacyObjectsTest, InitIsOneTimeAndFormattingNeedsIt) {
    const CDebugLog log;
    CCompanionFile companion;
    DWORD dwOffset = 0;
    BYTE block[64] = {};
    EXPECT_FALSE(companion.FormatData(block, &dwOffset));
    EXPECT_EQ(dwOffset, 0u);
    EXPECT_TRUE(log.Has("CCompanionFile::FormatData: Not Initialized!"));
    CExeKey exe;
    EXPECT_FALSE(exe.FormatData(block, &dwOffset));
    EXPECT_TRUE(log.Has("CExeKey::FormatData: Not Initialized!"));
    CLegacyNonMsiData data;
    std::unique_ptr<BYTE[]> pBlock;
    EXPECT_FALSE(data.FormatData(&pBlock));
    EXPECT_TRUE(log.Has("CLegacyNonMsiData::FormatData: Not Initialized!"));
    // Without a manager the key cannot be opened: a failure, not an empty description.
    EXPECT_FALSE(data.Init(NON_MSI, nullptr));
    EXPECT_FALSE(companion.Init(u"k", u"a/b", nullptr));
    EXPECT_EQ(companion.GetName(), u"a\\b");
}

TEST_F(LegacyInstallPluginTest, InitTwiceIsRefused) {
    PutCompanion(u"e.exe", u"c", {});
    CLegacyNonMsiData data;
    ASSERT_TRUE(data.Init(NON_MSI, Ref()));
    const CDebugLog log;
    EXPECT_FALSE(data.Init(NON_MSI, Ref()));
    EXPECT_TRUE(log.Has("CLegacyNonMsiData::Init: Already initialized!"));
    std::unique_ptr<BYTE[]> pBlock;
    ASSERT_TRUE(data.FormatData(&pBlock));
    // 4 + 4 + (4 + 12 + 4 + (4 + 4 + 4)) bytes
    EXPECT_EQ(data.GetDataSize(), 40u);
}

}  // namespace
