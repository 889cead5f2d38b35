#include "kcfile/kc_writer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
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
constexpr std::uint64_t CHUNK_MASK = 0xFFFFFFFF;

}  // namespace

CRecordSealer::CRecordSealer() = default;

CRecordSealer::~CRecordSealer() {
    if (m_Helper.joinable()) {
        m_bStop.store(true);
        m_nClaim.fetch_add(CHUNK_MASK + 1);
        m_nClaim.notify_all();
        m_Helper.join();
    }
}

bool CRecordSealer::EncipherNext() {
    std::uint64_t nClaim = m_nClaim.load();
    do {
        // m_nChunks may already be the next record's; then the exchange fails.
        if ((nClaim & CHUNK_MASK) >= m_nChunks.load()) {
            return false;
        }
    } while (!m_nClaim.compare_exchange_weak(nClaim, nClaim + 1));
    const std::size_t n = nClaim & CHUNK_MASK;
    const std::size_t cbChunk = std::min(m_cbChunk, m_cbWhole - n * m_cbChunk);
    m_pCipher->EncipherEcb(m_pIn + n * m_cbChunk, m_pOut + n * m_cbChunk, cbChunk);
    m_Done[n].store(true);
    m_Done[n].notify_one();
    return true;
}

void CRecordSealer::HelperLoop() {
    while (!m_bStop.load()) {
        const std::uint64_t nClaim = m_nClaim.load();
        if (!EncipherNext()) {
            m_nClaim.wait(nClaim);
        }
    }
}

bool CRecordSealer::Seal(BYTE* pRecord, DWORD dwId, std::span<const BYTE> data,
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
    crypto::CSha1 sha1;
    bool bOk = sha1.Update({pRecord, KC_RECORD_HEADER_SIZE});
    if (cbWhole < PARALLEL_SEAL_MIN) {
        cipher.EncipherEcb(data.data(), pOut, cbWhole);
        bOk = sha1.Update({pOut, cbWhole}) && bOk;
    } else {
        // A new record number with no chunk to claim first: a claim the helper still means for the
        // previous record then fails, and it cannot see these fields half written.
        const std::uint64_t nRecord = (m_nClaim.load() >> 32) + 1;
        m_nClaim.store(nRecord << 32 | CHUNK_MASK);
        const std::size_t cbEven = (cbWhole + MAX_CHUNKS - 1) / MAX_CHUNKS;
        m_cbChunk = std::max(CHUNK_MIN, (cbEven + KC_CIPHER_BLOCK - 1) / KC_CIPHER_BLOCK * KC_CIPHER_BLOCK);
        m_pIn = data.data();
        m_pOut = pOut;
        m_cbWhole = cbWhole;
        m_pCipher = &cipher;
        const std::size_t nChunks = (cbWhole + m_cbChunk - 1) / m_cbChunk;
        for (std::size_t n = 0; n < nChunks; ++n) {
            m_Done[n].store(false);
        }
        m_nChunks.store(nChunks);
        m_nClaim.store(nRecord << 32);
        if (!m_bHelperTried) {
            m_bHelperTried = true;
            try {
                m_Helper = std::thread([this] { HelperLoop(); });
            } catch (const std::system_error&) {
                // No thread to be had: this one does it all.
            }
        }
        m_nClaim.notify_one();

        std::size_t nDigested = 0;
        const auto digestReady = [&](bool bWait) {
            for (; nDigested < nChunks; ++nDigested) {
                if (!m_Done[nDigested].load()) {
                    if (!bWait) {
                        return;
                    }
                    m_Done[nDigested].wait(false);
                }
                const std::size_t cbChunk = std::min(m_cbChunk, cbWhole - nDigested * m_cbChunk);
                bOk = sha1.Update({pOut + nDigested * m_cbChunk, cbChunk}) && bOk;
            }
        };
        while (EncipherNext()) {
            digestReady(false);
        }
        digestReady(true);
    }
    crypto::Sha1Digest digest;
    if (!bOk || !sha1.Update({pOut + cbWhole, cbPadded - cbWhole}) || !sha1.Final(digest)) {
        return false;
    }
    std::copy(digest.begin(), digest.end(), pRecord + KC_RECORD_DIGEST);
    return true;
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
    std::size_t nOffset = cbTable;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const std::size_t cbPadded = PaddedLength(sorted[i].data.size());
        BYTE* pRecord = &image[nOffset];
        if (!sealer.Seal(pRecord, sorted[i].dwId, sorted[i].data, SectionCipher())) {
            return {};
        }
        BYTE* pEntry = &image[KC_HEADER_SIZE + i * KC_ENTRY_SIZE];
        WriteLE32(pEntry + KC_ENTRY_ID, sorted[i].dwId);
        WriteLE32(pEntry + KC_ENTRY_OFFSET, static_cast<DWORD>(nOffset));
        WriteLE32(pEntry + KC_ENTRY_LENGTH, static_cast<DWORD>(KC_RECORD_HEADER_SIZE + cbPadded));
        std::copy(pRecord + KC_RECORD_DIGEST, pRecord + KC_RECORD_DIGEST + KC_DIGEST_SIZE,
                  pEntry + KC_ENTRY_DIGEST);
        nOffset += KC_RECORD_HEADER_SIZE + cbPadded;
    }
    if (!SealHeader(image.data(), cbTable)) {
        return {};
    }
    return image;
}

}  // namespace kcfile
