#include "kcfile/kc_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "kcfile/kc_writer.h"

namespace {

using namespace kcfile;

std::vector<BYTE> Bytes(const std::string& s) {
    return std::vector<BYTE>(s.begin(), s.end());
}

std::vector<BYTE> FromHex(const std::string& s) {
    std::vector<BYTE> bytes;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::set<EKCProblem> Kinds(const KCFileInfo& info) {
    std::set<EKCProblem> kinds;
    for (const KCProblem& problem : info.problems) {
        kinds.insert(problem.eKind);
    }
    return kinds;
}

std::string Describe(const KCFileInfo& info) {
    std::string s;
    for (const KCProblem& problem : info.problems) {
        s += problem.sText + "\n";
    }
    return s;
}

// Three sections, one with pad bytes, added out of order.
std::vector<BYTE> SampleFile() {
    static const std::vector<BYTE> STATE = FromHex("01000000010000000000000003020000");
    static const std::vector<BYTE> RULES = Bytes("rules payload");
    static const std::vector<BYTE> LEGACY = FromHex("0000000000000000");
    const KCSectionInput sections[] = {{0x401, LEGACY}, {0x102, STATE}, {0x201, RULES}};
    return BuildKCImage(sections);
}

// Recomputes the digests of entry nEntry's record, its table copy and the header, so that a
// deliberately broken field is the only fault left.
void Reseal(std::vector<BYTE>& file, std::size_t nEntry) {
    BYTE* pEntry = &file[KC_HEADER_SIZE + nEntry * KC_ENTRY_SIZE];
    const DWORD dwOffset = ReadLE32(pEntry + KC_ENTRY_OFFSET);
    const DWORD dwLength = ReadLE32(pEntry + KC_ENTRY_LENGTH);
    BYTE* pRecord = &file[dwOffset];
    std::fill(pRecord + KC_RECORD_DIGEST, pRecord + KC_RECORD_DATA, 0);
    crypto::Sha1Digest digest;
    ASSERT_TRUE(crypto::Sha1({pRecord, dwLength}, digest));
    std::copy(digest.begin(), digest.end(), pRecord + KC_RECORD_DIGEST);
    std::copy(digest.begin(), digest.end(), pEntry + KC_ENTRY_DIGEST);
}

void ResealHeader(std::vector<BYTE>& file) {
    const std::uint64_t cbTable = TableEnd(ReadLE32(&file[KC_HEADER_COUNT]));
    ASSERT_TRUE(SealHeader(file.data(), std::min<std::uint64_t>(cbTable, file.size())));
}

TEST(KCReaderTest, GoldenFileOfOneFiveByteSection) {
    // Built by an independent model of the format and cipher.
    const std::vector<BYTE> golden = FromHex(
        "5A454C42010000001B12FE3FEE066A6984D7CD49E9CEC007DFAE681101000000"
        "02010000400000002400000"
        "06B0598B787E9362C7A7667E4569E92064904E347"
        "02010000050000006B0598B787E9362C7A7667E4569E92064904E3475B7854A273AA8CA1");
    ASSERT_EQ(golden.size(), 100u);
    const std::vector<BYTE> data = Bytes("ABCDE");
    const KCSectionInput sections[] = {{0x102, data}};
    EXPECT_EQ(BuildKCImage(sections), golden);

    const KCFileInfo info = ReadKCFile(golden);
    ASSERT_TRUE(info.IsValid()) << Describe(info);
    ASSERT_EQ(info.sections.size(), 1u);
    const KCSection& section = info.sections[0];
    EXPECT_EQ(section.dwId, 0x102u);
    EXPECT_EQ(section.dwOffset, 64u);
    EXPECT_EQ(section.dwRecordLength, 36u);
    EXPECT_EQ(section.dwDataLength, 5u);
    EXPECT_TRUE(section.bDigestValid);
    EXPECT_EQ(section.data, data);
}

TEST(KCReaderTest, EightByteSectionHasNoPadding) {
    const std::vector<BYTE> golden = FromHex(
        "5A454C4201000000AC47A1EC6381096DEB974AEC8278340E81E522F601000000"
        "0102000040000000240000009899E96DA2D44E70BDE5F7B12BD93A323E9BE12D"
        "01020000080000009899E96DA2D44E70BDE5F7B12BD93A323E9BE12D872DD96A89F2E52F");
    const std::vector<BYTE> data = Bytes("12345678");
    const KCSectionInput sections[] = {{0x201, data}};
    EXPECT_EQ(BuildKCImage(sections), golden);
    const KCFileInfo info = ReadKCFile(golden);
    ASSERT_TRUE(info.IsValid()) << Describe(info);
    EXPECT_EQ(info.sections[0].data, data);
}

TEST(KCReaderTest, SectionsAreOrderedByIdAndPacked) {
    const std::vector<BYTE> file = SampleFile();
    const KCFileInfo info = ReadKCFile(file);
    ASSERT_TRUE(info.IsValid()) << Describe(info);
    ASSERT_EQ(info.sections.size(), 3u);
    const DWORD IDS[] = {0x102, 0x201, 0x401};
    const DWORD LENGTHS[] = {28 + 16, 28 + 16, 28 + 8};
    DWORD dwOffset = 32 * 4;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(info.sections[i].dwId, IDS[i]);
        EXPECT_EQ(info.sections[i].dwOffset, dwOffset);
        EXPECT_EQ(info.sections[i].dwRecordLength, LENGTHS[i]);
        dwOffset += LENGTHS[i];
    }
    EXPECT_EQ(file.size(), dwOffset);
    EXPECT_EQ(info.FindSection(0x201)->data, Bytes("rules payload"));
}

// Any single changed byte, pad bytes included, must be caught, and the problem must point at the
// part of the file that changed.
TEST(KCReaderTest, EverySingleByteChangeIsDetected) {
    const std::vector<BYTE> original = SampleFile();
    const KCFileInfo clean = ReadKCFile(original);
    ASSERT_TRUE(clean.IsValid());
    const std::size_t cbTable = TableEnd(3);
    for (std::size_t nPos = 0; nPos < original.size(); ++nPos) {
        for (BYTE mask : {0x01, 0x80, 0xFF}) {
            std::vector<BYTE> file = original;
            file[nPos] ^= mask;
            const KCFileInfo info = ReadKCFile(file);
            SCOPED_TRACE("byte " + std::to_string(nPos) + " mask " + std::to_string(mask) + "\n" +
                         Describe(info));
            ASSERT_FALSE(info.IsValid());
            const std::set<EKCProblem> kinds = Kinds(info);
            if (nPos < 4) {
                EXPECT_TRUE(kinds.count(EKCProblem::eBadMagic));
            } else if (nPos < 8) {
                EXPECT_TRUE(kinds.count(EKCProblem::eBadVersion));
            } else if (nPos < KC_HEADER_COUNT || (nPos >= KC_HEADER_SIZE && nPos < cbTable)) {
                EXPECT_TRUE(kinds.count(EKCProblem::eHeaderDigest));
            } else if (nPos >= cbTable) {
                const auto it =
                    std::find_if(clean.sections.begin(), clean.sections.end(), [&](const KCSection& s) {
                        return nPos >= s.dwOffset && nPos < s.dwOffset + s.dwRecordLength;
                    });
                ASSERT_NE(it, clean.sections.end());
                const bool bNamed =
                    std::any_of(info.problems.begin(), info.problems.end(), [&](const KCProblem& p) {
                        return p.eKind == EKCProblem::eRecordDigest && p.bHasSection &&
                               p.nEntry == it->nEntry;
                    });
                EXPECT_TRUE(bNamed);
                EXPECT_FALSE(kinds.count(EKCProblem::eHeaderDigest));
            }
        }
    }
}

TEST(KCReaderTest, EveryTruncationIsReportedWithoutOverRead) {
    const std::vector<BYTE> original = SampleFile();
    const std::size_t cbTable = TableEnd(3);
    for (std::size_t cb = 0; cb < original.size(); ++cb) {
        // An exactly sized heap copy, so that the sanitizers see any read past the end.
        const std::vector<BYTE> prefix(original.begin(), original.begin() + cb);
        const KCFileInfo info = ReadKCFile(prefix);
        const std::set<EKCProblem> kinds = Kinds(info);
        SCOPED_TRACE("length " + std::to_string(cb) + "\n" + Describe(info));
        EXPECT_FALSE(info.IsValid());
        if (cb < KC_HEADER_SIZE) {
            EXPECT_EQ(kinds, std::set<EKCProblem>{EKCProblem::eFileTooShort});
        } else if (cb < cbTable) {
            EXPECT_TRUE(kinds.count(EKCProblem::eTableTruncated));
        } else {
            EXPECT_EQ(kinds, std::set<EKCProblem>{EKCProblem::eRecordPastEnd});
        }
    }
}

struct Corruption {
    const char* szName;
    void (*pApply)(std::vector<BYTE>& file);
    std::set<EKCProblem> expected;
    const char* szTextFragment;
};

void SetEntry(std::vector<BYTE>& file, std::size_t nEntry, std::size_t nField, DWORD dwValue) {
    WriteLE32(&file[KC_HEADER_SIZE + nEntry * KC_ENTRY_SIZE + nField], dwValue);
}

DWORD Entry(const std::vector<BYTE>& file, std::size_t nEntry, std::size_t nField) {
    return ReadLE32(&file[KC_HEADER_SIZE + nEntry * KC_ENTRY_SIZE + nField]);
}

// Each corruption is made consistent in every other respect (digests resealed) so that exactly the
// named check has to catch it.
TEST(KCReaderTest, StructuralFaultsAreNamedPrecisely) {
    const Corruption CASES[] = {
        {"count zero",
         [](std::vector<BYTE>& f) {
             WriteLE32(&f[KC_HEADER_COUNT], 0);
             ResealHeader(f);
         },
         {EKCProblem::eNoSections, EKCProblem::eTrailingBytes},
         "section count is 0"},
        {"count all ones",
         [](std::vector<BYTE>& f) { WriteLE32(&f[KC_HEADER_COUNT], 0xFFFFFFFF); },
         {EKCProblem::eTableTruncated},
         "section count 4294967295 needs 137438953472 bytes"},
        {"offset past the end",
         [](std::vector<BYTE>& f) {
             SetEntry(f, 2, KC_ENTRY_OFFSET, 0xFFFFFFF0);
             ResealHeader(f);
         },
         {EKCProblem::eRecordOffset, EKCProblem::eRecordPastEnd},
         "section 0x401 (entry 2): table offset is 4294967280, expected 216"},
        {"overlapping offsets",
         [](std::vector<BYTE>& f) {
             SetEntry(f, 1, KC_ENTRY_OFFSET, Entry(f, 0, KC_ENTRY_OFFSET));
             ResealHeader(f);
         },
         {EKCProblem::eRecordOffset, EKCProblem::eRecordId, EKCProblem::eTableDigest},
         "section 0x201 (entry 1): table offset is 128, expected 172"},
        {"record length not 28 + 8k",
         [](std::vector<BYTE>& f) {
             SetEntry(f, 2, KC_ENTRY_LENGTH, 35);
             ResealHeader(f);
         },
         {EKCProblem::eRecordLength, EKCProblem::eTrailingBytes},
         "table record length is 35, expected 28 + a multiple of 8"},
        {"record length below the record header",
         [](std::vector<BYTE>& f) {
             SetEntry(f, 2, KC_ENTRY_LENGTH, 4);
             ResealHeader(f);
         },
         {EKCProblem::eRecordLength, EKCProblem::eTrailingBytes},
         "table record length is 4"},
        {"data length beyond the padded length",
         [](std::vector<BYTE>& f) {
             WriteLE32(&f[Entry(f, 2, KC_ENTRY_OFFSET) + KC_RECORD_DATA_LENGTH], 9);
             Reseal(f, 2);
             ResealHeader(f);
         },
         {EKCProblem::eDataLength},
         "record data length 9 needs a padded length of 16, the record holds 8"},
        {"data length leaves a whole pad block",
         [](std::vector<BYTE>& f) {
             WriteLE32(&f[Entry(f, 1, KC_ENTRY_OFFSET) + KC_RECORD_DATA_LENGTH], 5);
             Reseal(f, 1);
             ResealHeader(f);
         },
         {EKCProblem::eDataLength},
         "section 0x201 (entry 1): record data length 5"},
        {"record id differs from the table",
         [](std::vector<BYTE>& f) {
             WriteLE32(&f[Entry(f, 0, KC_ENTRY_OFFSET) + KC_RECORD_ID], 0x103);
             Reseal(f, 0);
             ResealHeader(f);
         },
         {EKCProblem::eRecordId},
         "record id is 0x103, expected 0x102"},
        {"ids out of order",
         [](std::vector<BYTE>& f) {
             SetEntry(f, 1, KC_ENTRY_ID, 0x101);
             WriteLE32(&f[Entry(f, 1, KC_ENTRY_OFFSET) + KC_RECORD_ID], 0x101);
             Reseal(f, 1);
             ResealHeader(f);
         },
         {EKCProblem::eSectionOrder},
         "id 0x101 follows 0x102"},
        {"repeated id",
         [](std::vector<BYTE>& f) {
             SetEntry(f, 1, KC_ENTRY_ID, 0x102);
             WriteLE32(&f[Entry(f, 1, KC_ENTRY_OFFSET) + KC_RECORD_ID], 0x102);
             Reseal(f, 1);
             ResealHeader(f);
         },
         {EKCProblem::eSectionOrder},
         "id 0x102 follows 0x102"},
        {"trailing bytes",
         [](std::vector<BYTE>& f) {
             f.insert(f.end(), {1, 2, 3});
         },
         {EKCProblem::eTrailingBytes},
         "size is 255 bytes, expected 252"},
        {"table copy of the digest",
         [](std::vector<BYTE>& f) {
             f[KC_HEADER_SIZE + KC_ENTRY_SIZE + KC_ENTRY_DIGEST + 19] ^= 0x40;
             ResealHeader(f);
         },
         {EKCProblem::eTableDigest},
         "section 0x201 (entry 1): table digest is"},
    };
    for (const Corruption& c : CASES) {
        std::vector<BYTE> file = SampleFile();
        c.pApply(file);
        const KCFileInfo info = ReadKCFile(file);
        SCOPED_TRACE(std::string(c.szName) + "\n" + Describe(info));
        EXPECT_EQ(Kinds(info), c.expected);
        EXPECT_NE(Describe(info).find(c.szTextFragment), std::string::npos);
    }
}

TEST(KCReaderTest, CheckingAloneLeavesDataEmpty) {
    const KCFileInfo info = ReadKCFile(SampleFile(), false);
    ASSERT_TRUE(info.IsValid());
    for (const KCSection& section : info.sections) {
        EXPECT_FALSE(section.bDataValid);
        EXPECT_TRUE(section.data.empty());
    }
}

}  // namespace
