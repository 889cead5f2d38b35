// Vector kernels of the ECB loop: sixteen (AVX-512) or eight (AVX2) blocks go through the rounds side
// by side, with the S-box lookups done as gathers. Chosen at run time by what the processor offers.
#pragma once

#include <cstddef>

#include "crypto/blowfish.h"

namespace crypto::detail {

// Subkeys in the order the rounds use them: 16 round keys, then the key of the right half's output
// and the key of the left half's output (for deciphering, the subkeys reversed).
using RoundKeys = DWORD[BLOWFISH_P_WORDS];

enum class EVectorKernel { eNone, eAvx2, eAvx512 };

// The widest kernel the processor runs, within the limit.
EVectorKernel BestVectorKernel();
// Caps the kernels the cipher uses (eAvx512 by default), so tests and benchmarks can run each one
// the processor has against the others. Not for use while other threads encipher.
void LimitVectorKernel(EVectorKernel eLimit);

// Runs as many whole groups of blocks as the kernel takes; answers the number of blocks done (0 for
// eNone). The kernel must be one the processor runs.
std::size_t RunEcbVector(EVectorKernel eKernel, const RoundKeys& keys,
                         const DWORD (&sBoxes)[4][BLOWFISH_S_WORDS], EBlockOrder eOrder, BYTE* pData,
                         std::size_t nBlocks);

}  // namespace crypto::detail
