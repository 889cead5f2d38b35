#include "kcfile/kc_writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "crypto/sha1.h"
#include "kcfile/kc_format.h"
#include "kcfile/kc_reader.h"

namespace kcfile {

namespace {

// Below this a second thread costs more than it saves.
constexpr std::size_t PARALLEL_SEAL_MIN = 64 * 1024;
// A large record is enciphered in chunks of at least this size, at most MAX_CHUNKS of them.
constexpr std::size_t CHUNK_MIN = 32 * 1024;

}  // namespace

CRecordSealer::CRecordSealer() = default;

CRecordSealer::~CRecordSealer() {
    Finish();
    if (m_Helper.joinable()) {
        {
            std::lock_guard lock(m_Lock);
            m_bStop = true;
        }
        m_WorkReady.notify_one();
        m_Helper.join();
    }
}

bool CRecordSealer::EncipherNext(std::unique_lock<std::mutex>& lock) {
    if (m_Records.empty() || m_Records.back().nClaimed == m_Records.back().nChunks) {
        return false;
    }
    Record& record = m_Records.back();
    const std::size_t n = record.nClaimed++;
    const std::size_t cbChunk = std::min(record.cbChunk, record.cbWhole - n * record.cbChunk);
    lock.unlock();
    BYTE* pOut = record.pRecord + KC_RECORD_DATA;
    record.pCipher->EncipherEcb(record.pIn + n * record.cbChunk, pOut + n * record.cbChunk, cbChunk);
    lock.lock();
    record.bEnciphered[n] = true;
    if (++record.nEnciphered == record.nChunks) {
        ++m_nEnciphered;
        m_Progress.notify_one();
    }
    // The helper may be asleep with nothing to encipher, and this chunk may be the one its digest
    // waits for.
    m_WorkReady.notify_one();
    return true;
}

bool CRecordSealer::DigestReady(std::unique_lock<std::mutex>& lock) {
    if (m_Records.empty() || m_Records.front().bDigesting) {
        return false;
    }
    Record& record = m_Records.front();
    const std::size_t nBegin = record.nDigested;
    std::size_t nEnd = nBegin;
    while (nEnd < record.nChunks && record.bEnciphered[nEnd]) {
        ++nEnd;
    }
    if (nEnd == nBegin) {
        return false;
    }
    record.bDigesting = true;
    lock.unlock();
    BYTE* pOut = record.pRecord + KC_RECORD_DATA;
    const std::size_t cbEnd = std::min(record.cbWhole, nEnd * record.cbChunk);
    bool bOk = record.sha1.Update({pOut + nBegin * record.cbChunk, cbEnd - nBegin * record.cbChunk});
    const bool bLast = nEnd == record.nChunks;
    if (bLast) {
        crypto::Sha1Digest digest;
        bOk = record.sha1.Update({pOut + record.cbWhole, record.cbPadded - record.cbWhole}) &&
              record.sha1.Final(digest) && bOk;
        std::copy(digest.begin(), digest.end(), record.pRecord + KC_RECORD_DIGEST);
    }
    lock.lock();
    m_bOk = m_bOk && bOk;
    record.nDigested = nEnd;
    record.bDigesting = false;
    if (bLast) {
        m_Records.pop_front();
        m_Progress.notify_one();
    }
    return true;
}

void CRecordSealer::HelperLoop() {
    std::unique_lock lock(m_Lock);
    for (;;) {
        if (DigestReady(lock) || EncipherNext(lock)) {
            continue;
        }
        if (m_bStop) {
            return;
        }
        m_WorkReady.wait(lock);
    }
}

void CRecordSealer::Seal(BYTE* pRecord, DWORD dwId, std::span<const BYTE> data,
                         const crypto::CBlowfish& cipher) {
    const std::size_t cbWhole = data.size() / KC_CIPHER_BLOCK * KC_CIPHER_BLOCK;
    const std::size_t cbPadded = PaddedLength(data.size());
    BYTE* pOut = pRecord + KC_RECORD_DATA;
    WriteLE32(pRecord + KC_RECORD_ID, dwId);
    WriteLE32(pRecord + KC_RECORD_DATA_LENGTH, static_cast<DWORD>(data.size()));
    std::memset(pRecord + KC_RECORD_DIGEST, 0, KC_DIGEST_SIZE);
    // The last block with its zero pad bytes, which carry no data but keep the file reproducible.
    if (cbPadded != cbWhole) {
        std::memset(pOut + cbWhole, 0, KC_CIPHER_BLOCK);
        std::memcpy(pOut + cbWhole, data.data() + cbWhole, data.size() - cbWhole);
        cipher.EncipherEcb(pOut + cbWhole, KC_CIPHER_BLOCK);
    }
    std::unique_lock lock(m_Lock);
    Record* pQueued = nullptr;
    if (cbWhole >= PARALLEL_SEAL_MIN) {
        try {
            pQueued = &m_Records.emplace_back();
        } catch (const std::bad_alloc&) {
            // Sealed here alone, as a small record is.
        }
    }
    if (pQueued == nullptr) {
        lock.unlock();
        cipher.EncipherEcb(data.data(), pOut, cbWhole);
        crypto::Sha1Digest digest;
        const bool bOk = crypto::Sha1({pRecord, KC_RECORD_HEADER_SIZE + cbPadded}, digest);
        std::copy(digest.begin(), digest.end(), pRecord + KC_RECORD_DIGEST);
        lock.lock();
        m_bOk = m_bOk && bOk;
        return;
    }

    Record& record = *pQueued;
    const std::size_t cbEven = (cbWhole + MAX_CHUNKS - 1) / MAX_CHUNKS;
    record.cbChunk = std::max(CHUNK_MIN, (cbEven + KC_CIPHER_BLOCK - 1) / KC_CIPHER_BLOCK * KC_CIPHER_BLOCK);
    record.pRecord = pRecord;
    record.pIn = data.data();
    record.cbWhole = cbWhole;
    record.cbPadded = cbPadded;
    record.nChunks = (cbWhole + record.cbChunk - 1) / record.cbChunk;
    record.pCipher = &cipher;
    m_bOk = record.sha1.Update({pRecord, KC_RECORD_HEADER_SIZE}) && m_bOk;
    const std::uint64_t nRecord = ++m_nSealed;
    if (!m_bHelperTried) {
        m_bHelperTried = true;
        try {
            m_Helper = std::thread([this] { HelperLoop(); });
        } catch (const std::system_error&) {
            // No thread to be had: this one does it all, the digests in Finish.
        }
    }
    m_WorkReady.notify_one();
    while (EncipherNext(lock)) {
    }
    m_Progress.wait(lock, [&] { return m_nEnciphered >= nRecord; });
}

bool CRecordSealer::Finish() {
    std::unique_lock lock(m_Lock);
    while (!m_Records.empty()) {
        if (!DigestReady(lock)) {
            m_Progress.wait(lock);
        }
    }
    const bool bOk = m_bOk;
    m_bOk = true;
    return bOk;
}

bool SealHeader(BYTE* pHeader, std::size_t cbHeaderAndTable) {
    std::memset(pHeader + KC_HEADER_DIGEST, 0, KC_DIGEST_SIZE);
    crypto::Sha1Digest digest;
    if (!crypto::Sha1({pHeader, cbHeaderAndTable}, digest)) {
        return false;
    }
    std::copy(digest.begin(), digest.end(), pHeader + KC_HEADER_DIGEST);
    return true;
}

std::vector<BYTE> BuildKCImage(std::span<const KCSectionInput> sections) {
    std::vector<KCSectionInput> sorted(sections.begin(), sections.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const KCSectionInput& a, const KCSectionInput& b) { return a.dwId < b.dwId; });

    const std::size_t cbTable = TableEnd(sorted.size());
    std::size_t cbFile = cbTable;
    for (const KCSectionInput& section : sorted) {
        cbFile += KC_RECORD_HEADER_SIZE + PaddedLength(section.data.size());
    }
    std::vector<BYTE> image(cbFile, 0);
    std::copy(std::begin(KC_MAGIC), std::end(KC_MAGIC), image.begin());
    WriteLE32(&image[KC_HEADER_VERSION], KC_FORMAT_VERSION);
    WriteLE32(&image[KC_HEADER_COUNT], static_cast<DWORD>(sorted.size()));

    CRecordSealer sealer;
    std::vector<std::size_t> offsets;
    std::size_t nOffset = cbTable;
    for (const KCSectionInput& section : sorted) {
        sealer.Seal(&image[nOffset], section.dwId, section.data, SectionCipher());
        offsets.push_back(nOffset);
        nOffset += KC_RECORD_HEADER_SIZE + PaddedLength(section.data.size());
    }
    if (!sealer.Finish()) {
        return {};
    }
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const BYTE* pRecord = &image[offsets[i]];
        BYTE* pEntry = &image[KC_HEADER_SIZE + i * KC_ENTRY_SIZE];
        WriteLE32(pEntry + KC_ENTRY_ID, sorted[i].dwId);
        WriteLE32(pEntry + KC_ENTRY_OFFSET, static_cast<DWORD>(offsets[i]));
        WriteLE32(pEntry + KC_ENTRY_LENGTH,
                  static_cast<DWORD>(KC_RECORD_HEADER_SIZE + PaddedLength(sorted[i].data.size())));
        std::copy(pRecord + KC_RECORD_DIGEST, pRecord + KC_RECORD_DIGEST + KC_DIGEST_SIZE,
                  pEntry + KC_ENTRY_DIGEST);
    }
    if (!SealHeader(image.data(), cbTable)) {
        return {};
    }
    return image;
}

}  // namespace kcfile
