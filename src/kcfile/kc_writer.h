// The writer's half of the format: sealing a record and the header in place. CKTDataFile builds
// files on disk from these; BuildKCImage builds a whole file in memory for tests, fuzz seeds and
// tools.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "crypto/blowfish.h"
#include "platform/types.h"

namespace kcfile {

// Seals records. A large record is enciphered in chunks that the sealing thread and a helper thread
// take in turn; the sealing thread digests each chunk as soon as it and all before it are enciphered,
// between chunks of its own, so both cores encipher and the digest trails just behind. The helper
// is started at the first large record and lives as long as the sealer, so a file of many records
// does not pay for a thread per record, nor wait for one to end. One thread seals at a time.
class CRecordSealer {
public:
    CRecordSealer();
    ~CRecordSealer();
    CRecordSealer(const CRecordSealer&) = delete;
    CRecordSealer& operator=(const CRecordSealer&) = delete;

    // pRecord holds 28 + PaddedLength(data.size()) bytes and must not overlap data. Writes id and
    // length, enciphers the data and the zero pad bytes into the record, and stores the record's
    // digest. False if SHA-1 failed.
    bool Seal(BYTE* pRecord, DWORD dwId, std::span<const BYTE> data, const crypto::CBlowfish& cipher);

    static constexpr std::size_t MAX_CHUNKS = 64;

private:
    // Claims the next chunk of the current record and enciphers it; false when none is left.
    bool EncipherNext();
    void HelperLoop();

    // The record being sealed; written only while no chunk of it can be claimed.
    const BYTE* m_pIn = nullptr;
    BYTE* m_pOut = nullptr;
    std::size_t m_cbWhole = 0;
    std::size_t m_cbChunk = 0;
    const crypto::CBlowfish* m_pCipher = nullptr;
    std::atomic<std::size_t> m_nChunks{0};
    // The record's number in the high half and the next chunk to claim in the low half, so a claim
    // meant for a record that is done cannot take a chunk of the next one.
    std::atomic<std::uint64_t> m_nClaim{0};
    std::atomic<bool> m_Done[MAX_CHUNKS] = {};
    std::atomic<bool> m_bStop{false};
    std::thread m_Helper;
    bool m_bHelperTried = false;
};

// pHeader holds header and table (32·(n+1) bytes) with every field but the digest filled in.
// Computes the digest with its field zero and stores it. False if SHA-1 failed.
bool SealHeader(BYTE* pHeader, std::size_t cbHeaderAndTable);

struct KCSectionInput {
    DWORD dwId;
    std::span<const BYTE> data;
};

// A complete KC file: sections sorted by id, pad bytes zero. Empty on a SHA-1 failure.
std::vector<BYTE> BuildKCImage(std::span<const KCSectionInput> sections);

}  // namespace kcfile
