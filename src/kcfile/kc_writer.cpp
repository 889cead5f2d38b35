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
constexpr std::size_t MAX_CHUNKS = 64;

// Enciphers the whole blocks of a large record in chunks, taken in turn by this thread and a helper;
// this thread digests each chunk as soon as it and those before it are enciphered, between chunks of
// its own. So both cores encipher and the digest trails just behind, instead of waiting for the end.
class CChunkedSeal {
public:
    CChunkedSeal(const BYTE* pIn, BYTE* pOut, std::size_t cbWhole, const crypto::CBlowfish& cipher)
        : m_pIn(pIn), m_pOut(pOut), m_cbWhole(cbWhole), m_Cipher(cipher) {
        const std::size_t cbEven = (cbWhole + MAX_CHUNKS - 1) / MAX_CHUNKS;
        m_cbChunk = std::max(CHUNK_MIN, (cbEven + KC_CIPHER_BLOCK - 1) / KC_CIPHER_BLOCK * KC_CIPHER_BLOCK);
        m_nChunks = (cbWhole + m_cbChunk - 1) / m_cbChunk;
    }

    // Digests the ciphertext into sha1 in order; false if SHA-1 failed.
    bool Run(crypto::CSha1& sha1) {
        std::thread helper;
        try {
            helper = std::thread([this] {
                while (EncipherNext()) {
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one does it all.
        }
        bool bOk = true;
        std::size_t nDigested = 0;
        const auto digestReady = [&](bool bWait) {
            while (nDigested < m_nChunks) {
                std::atomic<bool>& done = m_Done[nDigested];
                if (!done.load(std::memory_order_acquire)) {
                    if (!bWait) {
                        return;
                    }
                    done.wait(false, std::memory_order_acquire);
                }
                bOk = sha1.Update({m_pOut + nDigested * m_cbChunk, ChunkSize(nDigested)}) && bOk;
                ++nDigested;
            }
        };
        while (EncipherNext()) {
            digestReady(false);
        }
        digestReady(true);
        if (helper.joinable()) {
            helper.join();
        }
        return bOk;
    }

private:
    std::size_t ChunkSize(std::size_t n) const { return std::min(m_cbChunk, m_cbWhole - n * m_cbChunk); }

    bool EncipherNext() {
        const std::size_t n = m_nNext.fetch_add(1, std::memory_order_relaxed);
        if (n >= m_nChunks) {
            return false;
        }
        m_Cipher.EncipherEcb(m_pIn + n * m_cbChunk, m_pOut + n * m_cbChunk, ChunkSize(n));
        m_Done[n].store(true, std::memory_order_release);
        m_Done[n].notify_one();
        return true;
    }

    const BYTE* m_pIn;
    BYTE* m_pOut;
    std::size_t m_cbWhole;
    const crypto::CBlowfish& m_Cipher;
    std::size_t m_cbChunk;
    std::size_t m_nChunks;
    std::atomic<std::size_t> m_nNext{0};
    std::atomic<bool> m_Done[MAX_CHUNKS] = {};
};

}  // namespace

bool SealRecord(BYTE* pRecord, DWORD dwId, std::span<const BYTE> data, const crypto::CBlowfish& cipher) {
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
    if (cbWhole >= PARALLEL_SEAL_MIN) {
        bOk = CChunkedSeal(data.data(), pOut, cbWhole, cipher).Run(sha1) && bOk;
    } else {
        cipher.EncipherEcb(data.data(), pOut, cbWhole);
        bOk = sha1.Update({pOut, cbWhole}) && bOk;
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

    std::size_t nOffset = cbTable;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const std::size_t cbPadded = PaddedLength(sorted[i].data.size());
        BYTE* pRecord = &image[nOffset];
        if (!SealRecord(pRecord, sorted[i].dwId, sorted[i].data, SectionCipher())) {
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
