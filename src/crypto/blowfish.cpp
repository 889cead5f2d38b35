#include "crypto/blowfish.h"

#include "crypto/blowfish_simd.h"

#include <bit>
#include <cstring>

namespace crypto {

namespace {

inline DWORD LoadWord(const BYTE* p, EBlockOrder eOrder) {
    DWORD dw;
    std::memcpy(&dw, p, sizeof(dw));
    if constexpr (std::endian::native == std::endian::little) {
        return eOrder == EBlockOrder::eBigEndian ? __builtin_bswap32(dw) : dw;
    } else {
        return eOrder == EBlockOrder::eLittleEndian ? __builtin_bswap32(dw) : dw;
    }
}

inline void StoreWord(BYTE* p, DWORD dw, EBlockOrder eOrder) {
    if constexpr (std::endian::native == std::endian::little) {
        dw = eOrder == EBlockOrder::eBigEndian ? __builtin_bswap32(dw) : dw;
    } else {
        dw = eOrder == EBlockOrder::eLittleEndian ? __builtin_bswap32(dw) : dw;
    }
    std::memcpy(p, &dw, sizeof(dw));
}

}  // namespace

CBlowfish::CBlowfish(const BlowfishVariant& variant, std::span<const BYTE> key)
    : m_eBlockOrder(variant.eBlockOrder) {
    std::memcpy(m_P, variant.pInitialP, sizeof(m_P));
    std::memcpy(m_S, BLOWFISH_PI_S_BOXES, sizeof(m_S));

    if (!key.empty()) {
        std::size_t nKeyPos = 0;
        for (DWORD& dwSubkey : m_P) {
            DWORD dwKeyWord = 0;
            for (int i = 0; i < 4; ++i) {
                dwKeyWord = (dwKeyWord << 8) | key[nKeyPos];
                nKeyPos = (nKeyPos + 1) % key.size();
            }
            dwSubkey ^= dwKeyWord;
        }
    }

    DWORD dwLeft = 0;
    DWORD dwRight = 0;
    for (std::size_t i = 0; i < BLOWFISH_P_WORDS; i += 2) {
        EncipherBlock(dwLeft, dwRight);
        m_P[i] = dwLeft;
        m_P[i + 1] = dwRight;
    }
    for (auto& box : m_S) {
        for (std::size_t i = 0; i < BLOWFISH_S_WORDS; i += 2) {
            EncipherBlock(dwLeft, dwRight);
            box[i] = dwLeft;
            box[i + 1] = dwRight;
        }
    }
}

void CBlowfish::EncipherBlock(DWORD& dwLeft, DWORD& dwRight) const {
    DWORD l = dwLeft;
    DWORD r = dwRight;
    // Two rounds per step, so the halves never need swapping.
    for (std::size_t i = 0; i < BLOWFISH_ROUNDS; i += 2) {
        l ^= m_P[i];
        r ^= F(l);
        r ^= m_P[i + 1];
        l ^= F(r);
    }
    dwLeft = r ^ m_P[BLOWFISH_ROUNDS + 1];
    dwRight = l ^ m_P[BLOWFISH_ROUNDS];
}

void CBlowfish::DecipherBlock(DWORD& dwLeft, DWORD& dwRight) const {
    DWORD l = dwLeft;
    DWORD r = dwRight;
    for (std::size_t i = BLOWFISH_ROUNDS + 1; i > 1; i -= 2) {
        l ^= m_P[i];
        r ^= F(l);
        r ^= m_P[i - 1];
        l ^= F(r);
    }
    dwLeft = r ^ m_P[0];
    dwRight = l ^ m_P[1];
}

// ECB blocks are independent, so several are run through the rounds side by side: the rounds of one
// block are a chain of dependent table lookups, and interleaving lets the processor overlap them.
// Vector kernels take the bulk where the processor has them; the interleaved scalar loop the rest.
template <bool bEncipher>
void CBlowfish::RunEcb(BYTE* pData, std::size_t cbData) const {
    constexpr std::size_t LANES = 8;
    const EBlockOrder eOrder = m_eBlockOrder;
    std::size_t nBlocks = cbData / BLOWFISH_BLOCK_SIZE;
    if (const detail::EVectorKernel eKernel = detail::BestVectorKernel();
        eKernel != detail::EVectorKernel::eNone) {
        detail::RoundKeys keys;
        for (std::size_t i = 0; i < BLOWFISH_P_WORDS; ++i) {
            keys[i] = bEncipher ? m_P[i] : m_P[BLOWFISH_P_WORDS - 1 - i];
        }
        const std::size_t nDone = detail::RunEcbVector(eKernel, keys, m_S, eOrder, pData, nBlocks);
        nBlocks -= nDone;
        pData += nDone * BLOWFISH_BLOCK_SIZE;
    }
    for (; nBlocks >= LANES; nBlocks -= LANES, pData += LANES * BLOWFISH_BLOCK_SIZE) {
        DWORD l[LANES];
        DWORD r[LANES];
        for (std::size_t n = 0; n < LANES; ++n) {
            l[n] = LoadWord(pData + n * BLOWFISH_BLOCK_SIZE, eOrder);
            r[n] = LoadWord(pData + n * BLOWFISH_BLOCK_SIZE + 4, eOrder);
        }
        for (std::size_t i = 0; i < BLOWFISH_ROUNDS; i += 2) {
            const DWORD p0 = bEncipher ? m_P[i] : m_P[BLOWFISH_ROUNDS + 1 - i];
            const DWORD p1 = bEncipher ? m_P[i + 1] : m_P[BLOWFISH_ROUNDS - i];
            for (std::size_t n = 0; n < LANES; ++n) {
                l[n] ^= p0;
                r[n] ^= F(l[n]);
            }
            for (std::size_t n = 0; n < LANES; ++n) {
                r[n] ^= p1;
                l[n] ^= F(r[n]);
            }
        }
        const DWORD pl = bEncipher ? m_P[BLOWFISH_ROUNDS + 1] : m_P[0];
        const DWORD pr = bEncipher ? m_P[BLOWFISH_ROUNDS] : m_P[1];
        for (std::size_t n = 0; n < LANES; ++n) {
            StoreWord(pData + n * BLOWFISH_BLOCK_SIZE, r[n] ^ pl, eOrder);
            StoreWord(pData + n * BLOWFISH_BLOCK_SIZE + 4, l[n] ^ pr, eOrder);
        }
    }
    for (; nBlocks != 0; --nBlocks, pData += BLOWFISH_BLOCK_SIZE) {
        DWORD dwLeft = LoadWord(pData, eOrder);
        DWORD dwRight = LoadWord(pData + 4, eOrder);
        if (bEncipher) {
            EncipherBlock(dwLeft, dwRight);
        } else {
            DecipherBlock(dwLeft, dwRight);
        }
        StoreWord(pData, dwLeft, eOrder);
        StoreWord(pData + 4, dwRight, eOrder);
    }
}

void CBlowfish::EncipherEcb(BYTE* pData, std::size_t cbData) const {
    RunEcb<true>(pData, cbData);
}

void CBlowfish::DecipherEcb(BYTE* pData, std::size_t cbData) const {
    RunEcb<false>(pData, cbData);
}

}  // namespace crypto
