#include "manifest/manifest_cipher.h"

#include "crypto/blowfish.h"

namespace {

const crypto::CBlowfish& ManifestCipher() {
    static const crypto::CBlowfish cipher(crypto::BLOWFISH_ZERO_P_LE, MANIFEST_CIPHER_KEY);
    return cipher;
}

}  // namespace

void EncipherManifest(BYTE* pData, std::size_t cbData) {
    ManifestCipher().EncipherEcb(pData, cbData);
}

void DecipherManifest(BYTE* pData, std::size_t cbData) {
    ManifestCipher().DecipherEcb(pData, cbData);
}
