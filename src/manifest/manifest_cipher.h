// The manifest cipher: the system's Blowfish variant in ECB with a fixed key, over the whole 8-byte
// blocks of a file; the last (size mod 8) bytes stay plain. The manifest loader and gwmtool share it.
#pragma once

#include <cstddef>

#include "platform/types.h"

// The key, in stored order. Whoever produces manifests must hold the same bytes.
inline constexpr BYTE MANIFEST_CIPHER_KEY[8] = {0x6B, 0x3D, 0xA2, 0x19, 0xF4, 0x70, 0xC5, 0x8E};

void EncipherManifest(BYTE* pData, std::size_t cbData);
void DecipherManifest(BYTE* pData, std::size_t cbData);
