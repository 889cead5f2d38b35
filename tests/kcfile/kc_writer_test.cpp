#include "kcfile/kc_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/sha1.h"
#include "kcfile/kc_format.h"
#include "kcfile/kc_reader.h"

namespace {

using namespace kcfile;

// A record built the slow way: padded plain text, one block at a time through the single-block
// rounds, then one digest over the whole record.
std::vector<BYTE> ModelRecord(DWORD dwId, const std::vector<BYTE>& data) {
    const std::size_t cbPadded = PaddedLength(data.size());
    std::vector<BYTE> record(KC_RECORD_HEADER_SIZE + cbPadded, 0);
    WriteLE32(&record[KC_RECORD_ID], dwId);
    WriteLE32(&record[KC_RECORD_DATA_LENGTH], static_cast<DWORD>(data.size()));
    std::copy(data.begin(), data.end(), record.begin() + KC_RECORD_DATA);
    for (std::size_t i = KC_RECORD_DATA; i < record.size(); i += KC_CIPHER_BLOCK) {
        DWORD dwLeft = ReadLE32(&record[i]);
        DWORD dwRight = ReadLE32(&record[i + 4]);
        SectionCipher().EncipherBlock(dwLeft, dwRight);
        WriteLE32(&record[i], dwLeft);
        WriteLE32(&record[i + 4], dwRight);
    }
    crypto::Sha1Digest digest;
    EXPECT_TRUE(crypto::Sha1(record, digest));
    std::copy(digest.begin(), digest.end(), record.begin() + KC_RECORD_DIGEST);
    return record;
}

// Sizes on both sides of the point where a record is enciphered in chunks on two threads, of the
// chunk size, and beyond the size where chunks grow; with and without pad bytes.
const std::size_t SEAL_SIZES[] = {0u,     5u,       8u,       65535u,   65536u,         65541u,
                                  98304u, 0x80000u, 0x80003u, 0x81237u, 0x200000u + 8u, 0x300000u + 1u};

std::vector<BYTE> RandomData(std::size_t cb, std::mt19937& rng) {
    std::vector<BYTE> data(cb);
    for (BYTE& b : data) {
        b = static_cast<BYTE>(rng());
    }
    return data;
}

// Records sealed one at a time, each finished before the next: each must be whole whatever the
// sealer did before.
TEST(KCWriterTest, SealedRecordMatchesTheBlockByBlockModel) {
    std::mt19937 rng(99);
    CRecordSealer sealer;
    for (std::size_t cb : SEAL_SIZES) {
        SCOPED_TRACE(cb);
        const std::vector<BYTE> data = RandomData(cb, rng);
        const std::vector<BYTE> expected = ModelRecord(0x1234, data);
        // Garbage where the record goes: nothing of it may survive.
        std::vector<BYTE> record(expected.size(), 0xCC);
        sealer.Seal(record.data(), 0x1234, data, SectionCipher());
        ASSERT_TRUE(sealer.Finish());
        EXPECT_TRUE(record == expected);
    }
}

// Records sealed back to back and finished together, as a file's are: the digests of earlier records
// trail the enciphering of later ones, and each caller's buffer is gone as soon as Seal returns.
TEST(KCWriterTest, RecordsSealedTogetherMatchTheModel) {
    std::mt19937 rng(7);
    CRecordSealer sealer;
    for (int nRound = 0; nRound < 3; ++nRound) {
        std::vector<std::vector<BYTE>> expected;
        std::vector<std::vector<BYTE>> records;
        for (std::size_t cb : SEAL_SIZES) {
            std::vector<BYTE> data = RandomData(cb, rng);
            expected.push_back(ModelRecord(static_cast<DWORD>(cb), data));
            records.emplace_back(expected.back().size(), 0xCC);
            sealer.Seal(records.back().data(), static_cast<DWORD>(cb), data, SectionCipher());
            std::fill(data.begin(), data.end(), BYTE{0x55});
        }
        ASSERT_TRUE(sealer.Finish());
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_TRUE(records[i] == expected[i]) << "round " << nRound << ", record of " << SEAL_SIZES[i];
        }
    }
}

// A whole image of large sections reads back valid, with the plain text restored.
TEST(KCWriterTest, LargeSectionsReadBack) {
    std::mt19937 rng(5);
    std::vector<std::vector<BYTE>> datas;
    for (std::size_t cb : {0x80000u, 0x12345u, 3u}) {
        datas.emplace_back(cb);
        for (BYTE& b : datas.back()) {
            b = static_cast<BYTE>(rng());
        }
    }
    const std::vector<KCSectionInput> sections{{0x300, datas[0]}, {0x100, datas[1]}, {0x200, datas[2]}};
    const KCFileInfo info = ReadKCFile(BuildKCImage(sections));
    ASSERT_TRUE(info.IsValid());
    ASSERT_EQ(info.sections.size(), 3u);
    EXPECT_EQ(info.sections[0].data, datas[1]);
    EXPECT_EQ(info.sections[1].data, datas[2]);
    EXPECT_EQ(info.sections[2].data, datas[0]);
}

}  // namespace
