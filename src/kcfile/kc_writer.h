// The writer's half of the format: sealing a record and the header in place. CKTDataFile builds
// files on disk from these; BuildKCImage builds a whole file in memory for tests, fuzz seeds and
// tools.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "crypto/blowfish.h"
#include "platform/types.h"

namespace kcfile {

// pRecord holds 28 + PaddedLength(data.size()) bytes and must not overlap data. Writes id and
// length, enciphers the data and the zero pad bytes into the record, and stores the record's digest.
// False if SHA-1 failed.
bool SealRecord(BYTE* pRecord, DWORD dwId, std::span<const BYTE> data, const crypto::CBlowfish& cipher);

// pHeader holds header and table (32·(n+1) bytes) with every field but the digest filled in.
// Computes the digest with its field zero and stores it. False if SHA-1 failed.
bool SealHeader(BYTE* pHeader, std::size_t cbHeaderAndTable);

struct KCSectionInput {
    DWORD dwId;
    std::span<const BYTE> data;
};

// A complete KC file: sections sorted by id, pad bytes zero. Empty on a SHA-1 failure.
std::vector<BYTE> BuildKCImage(std::span<const KCSectionInput> sections);

}  // namespace kcfile
