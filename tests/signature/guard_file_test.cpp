// Guard files: what the parser refuses, and that what FormatGuardFile writes reads back the same.
#include <gtest/gtest.h>

#include <string>

#include "signature/guard_file.h"
#include "signature/signature_errors.h"
#include "support/files.h"

namespace {

using krelltest::Bytes;
using signature::ParseGuardFile;

const std::string DIGEST_A = "a9993e364706816aba3e25717850c26c9cd0d89d";  // SHA-1 of "abc"
const std::string DIGEST_B = "da39a3ee5e6b4b0d3255bfef95601890afd80709";  // SHA-1 of ""

TEST(GuardFile, ReadsHeaderAndEntries) {
    const signature::GuardFile guard = ParseGuardFile(
        Bytes("KRELLGUARD 1\nguards sample\n" + DIGEST_A + " a.gwm\n" + DIGEST_B + " empty name.txt\n"));
    EXPECT_EQ(guard.sGuards, "sample");
    ASSERT_EQ(guard.entries.size(), 2u);
    EXPECT_EQ(signature::DigestHex(guard.entries[0].digest), DIGEST_A);
    EXPECT_EQ(guard.entries[0].sName, "a.gwm");
    EXPECT_EQ(guard.entries[1].sName, "empty name.txt");
    EXPECT_TRUE(ParseGuardFile(Bytes("KRELLGUARD 1\nguards nothing yet\n")).entries.empty());
}

TEST(GuardFile, RefusesEveryMalformedFile) {
    const std::string sHead = "KRELLGUARD 1\nguards g\n";
    const struct {
        const char* szWhy;
        std::string sText;
    } cases[] = {
        {"empty", ""},
        {"no final line break", sHead + DIGEST_A + " a"},
        {"other magic", "KRELLGUARX 1\nguards g\n"},
        {"unknown version", "KRELLGUARD 2\nguards g\n"},
        {"version with a leading zero", "KRELLGUARD 01\nguards g\n"},
        {"version not a number", "KRELLGUARD one\nguards g\n"},
        {"no guards line", "KRELLGUARD 1\n"},
        {"empty guards text", "KRELLGUARD 1\nguards \n"},
        {"guards line misspelt", "KRELLGUARD 1\nguard g\n"},
        {"carriage return", "KRELLGUARD 1\r\nguards g\r\n"},
        {"upper-case digest", sHead + "A9993E364706816ABA3E25717850C26C9CD0D89D a\n"},
        {"short digest", sHead + DIGEST_A.substr(1) + " a\n"},
        {"no name", sHead + DIGEST_A + " \n"},
        {"no separator", sHead + DIGEST_A + "a\n"},
        {"tab in name", sHead + DIGEST_A + " a\tb\n"},
        {"empty line", sHead + "\n"},
        {"over-long name", sHead + DIGEST_A + " " + std::string(256, 'n') + "\n"},
        {"NUL in name", sHead + DIGEST_A + " a" + std::string(1, '\0') + "b\n"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(ParseGuardFile(Bytes(c.sText)), signature::bad_data_error) << c.szWhy;
    }
    std::string sHuge = sHead;
    while (sHuge.size() <= signature::GUARD_MAX_BYTES) {
        sHuge += DIGEST_A + " a\n";
    }
    EXPECT_THROW(ParseGuardFile(Bytes(sHuge)), signature::bad_data_error);
}

TEST(GuardFile, WritesWhatItReads) {
    signature::GuardFile guard{"Mäanifest", {}};
    for (int i = 0; i < 3; ++i) {
        signature::GuardEntry entry;
        for (std::size_t j = 0; j < entry.digest.size(); ++j) {
            entry.digest[j] = static_cast<BYTE>(i * 31 + j * 7);
        }
        entry.sName = "file " + std::to_string(i) + ".gwm";
        guard.entries.push_back(entry);
    }
    const std::string sText = signature::FormatGuardFile(guard);
    const signature::GuardFile back = ParseGuardFile(Bytes(sText));
    EXPECT_EQ(back.sGuards, guard.sGuards);
    ASSERT_EQ(back.entries.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(back.entries[i].digest, guard.entries[i].digest);
        EXPECT_EQ(back.entries[i].sName, guard.entries[i].sName);
    }
    guard.entries[1].sName = "line\nbreak";
    EXPECT_THROW(signature::FormatGuardFile(guard), signature::bad_data_error);
}

}  // namespace
