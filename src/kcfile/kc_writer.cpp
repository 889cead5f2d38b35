#include "kcfile/kc_writer.h"

#include <algorithm>
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

// Enciphers the data and digests the record. A large record's second half is enciphered on another
// thread while this one enciphers and digests the first half, so the cipher's cost is shared by two
// cores and overlaps the digest.
bool EncipherAndDigest(BYTE* pRecord, std::size_t cbPadded, const crypto::CBlowfish& cipher,
                       crypto::Sha1Digest& digest) {
    BYTE* pData = pRecord + KC_RECORD_DATA;
    crypto::CSha1 sha1;
    const std::size_t cbFirst = cbPadded / 2 / KC_CIPHER_BLOCK * KC_CIPHER_BLOCK;
    std::thread second;
    if (cbPadded >= PARALLEL_SEAL_MIN) {
        try {
            second = std::thread([&cipher, pData, cbFirst, cbPadded] {
                cipher.EncipherEcb(pData + cbFirst, cbPadded - cbFirst);
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one does it all.
        }
    }
    if (!second.joinable()) {
        cipher.EncipherEcb(pData, cbPadded);
        return sha1.Update({pRecord, KC_RECORD_HEADER_SIZE + cbPadded}) && sha1.Final(digest);
    }
    cipher.EncipherEcb(pData, cbFirst);
    const bool bFirst = sha1.Update({pRecord, KC_RECORD_HEADER_SIZE + cbFirst});
    second.join();
    return bFirst && sha1.Update({pData + cbFirst, cbPadded - cbFirst}) && sha1.Final(digest);
}

}  // namespace

bool SealRecord(BYTE* pRecord, DWORD dwId, DWORD dwDataLength, std::size_t cbPadded,
                const crypto::CBlowfish& cipher) {
    WriteLE32(pRecord + KC_RECORD_ID, dwId);
    WriteLE32(pRecord + KC_RECORD_DATA_LENGTH, dwDataLength);
    std::memset(pRecord + KC_RECORD_DIGEST, 0, KC_DIGEST_SIZE);
    crypto::Sha1Digest digest;
    if (!EncipherAndDigest(pRecord, cbPadded, cipher, digest)) {
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
        std::copy(sorted[i].data.begin(), sorted[i].data.end(), pRecord + KC_RECORD_DATA);
        if (!SealRecord(pRecord, sorted[i].dwId, static_cast<DWORD>(sorted[i].data.size()), cbPadded,
                        SectionCipher())) {
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
