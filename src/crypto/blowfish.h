// Blowfish (16 rounds) with a choice of initial subkeys and of the byte order of a block's halves.
//
// The system enciphers KC file sections, rule templates and manifests with a Blowfish variant that
// differs from the published cipher in two points: the eighteen subkeys start as zero instead of the
// digits of pi (the S-boxes keep their standard values), and each 8-byte block is read as two
// little-endian words. Both points are parameters here, so the published test vectors check the very
// code that the variant runs. Each use holds its own keyed object; the keys belong to the users.
#pragma once

#include <cstddef>
#include <span>

#include "platform/types.h"

namespace crypto {

constexpr std::size_t BLOWFISH_ROUNDS = 16;
constexpr std::size_t BLOWFISH_P_WORDS = BLOWFISH_ROUNDS + 2;
constexpr std::size_t BLOWFISH_S_WORDS = 256;
constexpr std::size_t BLOWFISH_BLOCK_SIZE = 8;

extern const DWORD BLOWFISH_PI_P_ARRAY[BLOWFISH_P_WORDS];
extern const DWORD BLOWFISH_ZERO_P_ARRAY[BLOWFISH_P_WORDS];
extern const DWORD BLOWFISH_PI_S_BOXES[4][BLOWFISH_S_WORDS];

enum class EBlockOrder {
    eBigEndian,     // published Blowfish: byte 0 is the most significant byte of the left half
    eLittleEndian,  // the system's variant: byte 0 is the least significant byte of the left half
};

struct BlowfishVariant {
    const DWORD* pInitialP;  // BLOWFISH_P_WORDS words
    EBlockOrder eBlockOrder;
};

inline constexpr BlowfishVariant BLOWFISH_PUBLISHED{BLOWFISH_PI_P_ARRAY, EBlockOrder::eBigEndian};
inline constexpr BlowfishVariant BLOWFISH_ZERO_P_LE{BLOWFISH_ZERO_P_ARRAY, EBlockOrder::eLittleEndian};

class CBlowfish {
public:
    // Runs the key schedule. The key bytes are cycled over the subkeys, so any length works; the
    // published cipher allows 4 to 56 bytes, and an empty key leaves the initial subkeys unmixed.
    CBlowfish(const BlowfishVariant& variant, std::span<const BYTE> key);

    void EncipherBlock(DWORD& dwLeft, DWORD& dwRight) const;
    void DecipherBlock(DWORD& dwLeft, DWORD& dwRight) const;

    // ECB in place over the whole 8-byte blocks of the buffer; a trailing partial block (cbData mod
    // 8 bytes) is left as it is.
    void EncipherEcb(BYTE* pData, std::size_t cbData) const;
    void DecipherEcb(BYTE* pData, std::size_t cbData) const;
    // The same from one buffer into another of cbData bytes, which saves a copy when the plain text
    // must be kept; the partial block is copied as it is.
    void EncipherEcb(const BYTE* pIn, BYTE* pOut, std::size_t cbData) const;

private:
    template <bool bEncipher>
    void RunEcb(const BYTE* pIn, BYTE* pOut, std::size_t cbData) const;

    DWORD F(DWORD x) const {
        return ((m_S[0][x >> 24] + m_S[1][(x >> 16) & 0xFF]) ^ m_S[2][(x >> 8) & 0xFF]) + m_S[3][x & 0xFF];
    }

    DWORD m_P[BLOWFISH_P_WORDS];
    DWORD m_S[4][BLOWFISH_S_WORDS];
    EBlockOrder m_eBlockOrder;
};

}  // namespace crypto
