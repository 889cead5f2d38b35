#include "kcfile/kc_sections.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kcfile/kc_format.h"

namespace {

using namespace kcfile;

void PutDword(std::vector<BYTE>& v, DWORD dw) {
    v.resize(v.size() + 4);
    WriteLE32(&v[v.size() - 4], dw);
}

void PutString(std::vector<BYTE>& v, const std::u16string& s) {
    PutDword(v, static_cast<DWORD>(s.size() * 2 + 2));
    for (char16_t ch : s) {
        v.push_back(static_cast<BYTE>(ch));
        v.push_back(static_cast<BYTE>(ch >> 8));
    }
    v.push_back(0);
    v.push_back(0);
}

// One executable with one companion of one version: 90 bytes.
std::vector<BYTE> LegacyBlock() {
    std::vector<BYTE> v;
    PutDword(v, 1);
    PutDword(v, 8);
    PutString(v, u"setup.exe");
    PutDword(v, 1);
    PutString(v, u"C:\\dir\\a.dll");
    PutDword(v, 1);
    PutDword(v, 4096);
    for (int i = 0; i < 16; ++i) {
        v.push_back(static_cast<BYTE>(i * 0x11));
    }
    return v;
}

TEST(KCSectionsTest, DecodesLegacyInstallBlock) {
    const std::vector<BYTE> block = LegacyBlock();
    ASSERT_EQ(block.size(), 90u);
    std::vector<LegacyExecutable> exes;
    std::string sError;
    ASSERT_TRUE(DecodeLegacyInstall(block, exes, sError)) << sError;
    ASSERT_EQ(exes.size(), 1u);
    EXPECT_EQ(exes[0].sName, u"setup.exe");
    ASSERT_EQ(exes[0].companions.size(), 1u);
    EXPECT_EQ(exes[0].companions[0].sPath, u"C:\\dir\\a.dll");
    ASSERT_EQ(exes[0].companions[0].versions.size(), 1u);
    EXPECT_EQ(exes[0].companions[0].versions[0].dwFileSize, 4096u);
    EXPECT_EQ(exes[0].companions[0].versions[0].hash[15], 0xFF);

    const std::vector<BYTE> empty(4, 0);
    ASSERT_TRUE(DecodeLegacyInstall(empty, exes, sError)) << sError;
    EXPECT_TRUE(exes.empty());
}

TEST(KCSectionsTest, RejectsMalformedLegacyBlocks) {
    const std::vector<BYTE> block = LegacyBlock();
    std::vector<LegacyExecutable> exes;
    std::string sError;
    for (std::size_t cb = 0; cb < block.size(); ++cb) {
        const std::vector<BYTE> prefix(block.begin(), block.begin() + cb);
        EXPECT_FALSE(DecodeLegacyInstall(prefix, exes, sError)) << "length " << cb;
    }
    struct Case {
        const char* szName;
        std::size_t nOffset;  // where a 32-bit value is replaced
        DWORD dwValue;
        const char* szFragment;
    };
    const Case CASES[] = {
        {"huge executable count", 0, 0x40000000, "executable count"},
        {"offset not at the record", 4, 12, "offset is 12, expected 8"},
        {"odd name length", 8, 19, "executable name: length 19"},
        {"huge companion count", 32, 0xFFFFFFFF, "companion count"},
        {"huge version count", 66, 0x10000000, "version records"},
        {"unterminated path", 62, 0x0041006C, "not terminated"},
    };
    for (const Case& c : CASES) {
        std::vector<BYTE> bad = block;
        WriteLE32(&bad[c.nOffset], c.dwValue);
        sError.clear();
        EXPECT_FALSE(DecodeLegacyInstall(bad, exes, sError)) << c.szName;
        EXPECT_NE(sError.find(c.szFragment), std::string::npos) << c.szName << ": " << sError;
    }
    std::vector<BYTE> longer = block;
    longer.push_back(0);
    EXPECT_FALSE(DecodeLegacyInstall(longer, exes, sError));
    EXPECT_NE(sError.find("1 bytes follow"), std::string::npos) << sError;
}

TEST(KCSectionsTest, ProtectionStateIsFourWords) {
    std::vector<BYTE> data;
    for (DWORD dw : {1u, 0u, 1u, 0x203u}) {
        PutDword(data, dw);
    }
    ProtectionStateData state{};
    std::string sError;
    ASSERT_TRUE(DecodeProtectionState(data, state, sError));
    EXPECT_EQ(state.dwFileProtectState, 1u);
    EXPECT_EQ(state.dwRegProtectState, 0u);
    EXPECT_EQ(state.dwProcessProtectState, 1u);
    EXPECT_EQ(state.dwDebugLogMask, 0x203u);
    data.pop_back();
    EXPECT_FALSE(DecodeProtectionState(data, state, sError));
    EXPECT_EQ(sError, "length is 15 bytes, expected 16");
}

}  // namespace
