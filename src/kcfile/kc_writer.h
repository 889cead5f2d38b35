// The writer's half of the format: sealing a record and the header in place. CKTDataFile builds
// files on disk from these; BuildKCImage builds a whole file in memory for tests, fuzz seeds and
// tools.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "platform/types.h"

namespace kcfile {

// Seals records. A large record is enciphered in chunks that the sealing thread and a helper thread
// take in turn. Its digest is left to the helper, which digests each record's chunks in order as
// they become ready, before it takes chunks to encipher: so Seal returns as soon as its record is
// enciphered, the next record's enciphering overlaps the last one's digest, and the work balances
// itself between the two threads. Finish waits for the digests. The helper is started at the first
// large record and lives as long as the sealer. One thread calls Seal and Finish.
class CRecordSealer {
public:
    CRecordSealer();
    // Finishes the records still being digested first.
    ~CRecordSealer();
    CRecordSealer(const CRecordSealer&) = delete;
    CRecordSealer& operator=(const CRecordSealer&) = delete;

    // pRecord holds 28 + PaddedLength(data.size()) bytes and must not overlap data. Writes id and
    // length and enciphers the data and the zero pad bytes into the record; data may go once Seal
    // returns. The record's digest is stored by the time Finish returns, and pRecord must stay
    // valid until then.
    void Seal(BYTE* pRecord, DWORD dwId, std::span<const BYTE> data, const crypto::CBlowfish& cipher);
    // Waits until every record sealed so far holds its digest. False if SHA-1 failed for any of
    // them since the last Finish.
    bool Finish();

    static constexpr std::size_t MAX_CHUNKS = 64;

private:
    // A large record from Seal until its digest is stored. Guarded by m_Lock, except the bytes a
    // thread has claimed and sha1 while bDigesting.
    struct Record {
        BYTE* pRecord;
        const BYTE* pIn;
        std::size_t cbWhole;
        std::size_t cbPadded;
        std::size_t cbChunk;
        std::size_t nChunks;
        const crypto::CBlowfish* pCipher;
        std::size_t nClaimed = 0;
        std::size_t nEnciphered = 0;
        bool bEnciphered[MAX_CHUNKS] = {};
        std::size_t nDigested = 0;
        bool bDigesting = false;
        crypto::CSha1 sha1;
    };

    // Each takes one piece of work under the lock, does it without, and is false when there was none.
    bool EncipherNext(std::unique_lock<std::mutex>& lock);
    bool DigestReady(std::unique_lock<std::mutex>& lock);
    void HelperLoop();

    std::mutex m_Lock;
    std::condition_variable m_WorkReady;  // the helper waits for work
    std::condition_variable m_Progress;   // the sealing thread waits for a record's chunks or digests
    // Oldest first: records are digested from the front and enciphered at the back.
    std::deque<Record> m_Records;
    std::uint64_t m_nSealed = 0;      // large records given to Seal
    std::uint64_t m_nEnciphered = 0;  // of those, wholly enciphered
    bool m_bOk = true;
    bool m_bStop = false;
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
