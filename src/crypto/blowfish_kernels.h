// The ECB kernels: each runs a group of blocks through the rounds side by side, since the rounds of
// one block are a chain of dependent table lookups. The scalar kernel interleaves eight blocks in
// general registers; the vector kernels take sixteen (AVX-512) or eight (AVX2) blocks per vector and
// do the S-box lookups as gathers. Which is fastest depends on the processor's load ports and gather
// unit, so the cipher times them once and keeps the fastest.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "crypto/blowfish.h"

namespace crypto::detail {

// Subkeys in the order the rounds use them: 16 round keys, then the key of the right half's output
// and the key of the left half's output (for deciphering, the subkeys reversed).
using RoundKeys = DWORD[BLOWFISH_P_WORDS];

enum class EEcbKernel { eScalar, eAvx2, eAvx512 };

// The kernels this processor runs; eScalar always.
const std::vector<EEcbKernel>& AvailableKernels();
// The kernel the cipher uses: the forced one if any, else the fastest measured at first use.
EEcbKernel ChosenKernel();
// Makes the cipher use one kernel (which must be available), or with nullopt the measured choice
// again, so tests and benchmarks can run each one. Not for use while other threads encipher.
void ForceKernel(std::optional<EEcbKernel> eKernel);

// Runs as many whole groups of blocks as the kernel takes, reading pIn and writing pOut (which may
// be the same buffer); answers the number of blocks done. The kernel must be available.
std::size_t RunEcbKernel(EEcbKernel eKernel, const RoundKeys& keys,
                         const DWORD (&sBoxes)[4][BLOWFISH_S_WORDS], EBlockOrder eOrder, const BYTE* pIn,
                         BYTE* pOut, std::size_t nBlocks);

}  // namespace crypto::detail
