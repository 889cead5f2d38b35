#include "crypto/blowfish.h"

#include "crypto/blowfish_kernels.h"

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

// ECB blocks are independent, so a kernel runs groups of them through the rounds side by side; the
// single-block rounds finish the blocks left over.
template <bool bEncipher>
void CBlowfish::RunEcb(const BYTE* pIn, BYTE* pOut, std::size_t cbData) const {
    const EBlockOrder eOrder = m_eBlockOrder;
    std::size_t nBlocks = cbData / BLOWFISH_BLOCK_SIZE;
    detail::RoundKeys keys;
    for (std::size_t i = 0; i < BLOWFISH_P_WORDS; ++i) {
        keys[i] = bEncipher ? m_P[i] : m_P[BLOWFISH_P_WORDS - 1 - i];
    }
    const std::size_t nDone =
        detail::RunEcbKernel(detail::ChosenKernel(), keys, m_S, eOrder, pIn, pOut, nBlocks);
    nBlocks -= nDone;
    pIn += nDone * BLOWFISH_BLOCK_SIZE;
    pOut += nDone * BLOWFISH_BLOCK_SIZE;
    for (; nBlocks != 0; --nBlocks, pIn += BLOWFISH_BLOCK_SIZE, pOut += BLOWFISH_BLOCK_SIZE) {
        DWORD dwLeft = LoadWord(pIn, eOrder);
        DWORD dwRight = LoadWord(pIn + 4, eOrder);
        if (bEncipher) {
            EncipherBlock(dwLeft, dwRight);
        } else {
            DecipherBlock(dwLeft, dwRight);
        }
        StoreWord(pOut, dwLeft, eOrder);
        StoreWord(pOut + 4, dwRight, eOrder);
    }
    if (pIn != pOut && cbData % BLOWFISH_BLOCK_SIZE != 0) {
        std::memcpy(pOut, pIn, cbData % BLOWFISH_BLOCK_SIZE);
    }
}

void CBlowfish::EncipherEcb(BYTE* pData, std::size_t cbData) const {
    RunEcb<true>(pData, pData, cbData);
}

void CBlowfish::DecipherEcb(BYTE* pData, std::size_t cbData) const {
    RunEcb<false>(pData, pData, cbData);
}

void CBlowfish::EncipherEcb(const BYTE* pIn, BYTE* pOut, std::size_t cbData) const {
    RunEcb<true>(pIn, pOut, cbData);
}

}  // namespace crypto
