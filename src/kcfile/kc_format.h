// The byte layout of a KC file, shared by the writer (the compiler's CKTDataFile) and the readers
// (kctool and the stand-in driver). docs/kcfile.md describes the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/types.h"

namespace kcfile {

inline constexpr BYTE KC_MAGIC[4] = {'Z', 'E', 'L', 'B'};
constexpr DWORD KC_FORMAT_VERSION = 1;

constexpr std::size_t KC_HEADER_SIZE = 32;
constexpr std::size_t KC_HEADER_MAGIC = 0;
constexpr std::size_t KC_HEADER_VERSION = 4;
constexpr std::size_t KC_HEADER_DIGEST = 8;
constexpr std::size_t KC_HEADER_COUNT = 28;

constexpr std::size_t KC_ENTRY_SIZE = 32;
constexpr std::size_t KC_ENTRY_ID = 0;
constexpr std::size_t KC_ENTRY_OFFSET = 4;
constexpr std::size_t KC_ENTRY_LENGTH = 8;
constexpr std::size_t KC_ENTRY_DIGEST = 12;

constexpr std::size_t KC_RECORD_HEADER_SIZE = 28;
constexpr std::size_t KC_RECORD_ID = 0;
constexpr std::size_t KC_RECORD_DATA_LENGTH = 4;
constexpr std::size_t KC_RECORD_DIGEST = 8;
constexpr std::size_t KC_RECORD_DATA = 28;

constexpr std::size_t KC_DIGEST_SIZE = 20;
constexpr std::size_t KC_CIPHER_BLOCK = 8;

// The section cipher's key, in stored order. The driver holds the same bytes.
inline constexpr BYTE KC_SECTION_KEY[8] = {0x4F, 0x1A, 0x9C, 0x27, 0xE3, 0x58, 0xB6, 0x0D};

// Section ids whose content the tools decode.
constexpr DWORD KC_SECTION_PROTECTION_STATE = 0x102;
constexpr DWORD KC_SECTION_GATEWARDEN_RULES = 0x201;
constexpr DWORD KC_SECTION_AUTHORIZATION_RULES = 0x202;
constexpr DWORD KC_SECTION_LEGACY_INSTALL = 0x401;

// Data length rounded up to whole cipher blocks. 64-bit so that no 32-bit length can overflow.
constexpr std::uint64_t PaddedLength(std::uint64_t cbData) {
    return (cbData + KC_CIPHER_BLOCK - 1) / KC_CIPHER_BLOCK * KC_CIPHER_BLOCK;
}

// Size of header plus section table for n sections.
constexpr std::uint64_t TableEnd(std::uint64_t nSections) {
    return KC_HEADER_SIZE + KC_ENTRY_SIZE * nSections;
}

inline DWORD ReadLE32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

inline void WriteLE32(BYTE* p, DWORD dw) {
    p[0] = static_cast<BYTE>(dw);
    p[1] = static_cast<BYTE>(dw >> 8);
    p[2] = static_cast<BYTE>(dw >> 16);
    p[3] = static_cast<BYTE>(dw >> 24);
}

}  // namespace kcfile
