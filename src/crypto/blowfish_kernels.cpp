#include "crypto/blowfish_kernels.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined vector.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace crypto::detail {

namespace {

inline DWORD LoadHalf(const BYTE* p, bool bSwap) {
    DWORD dw;
    std::memcpy(&dw, p, sizeof(dw));
    return bSwap ? __builtin_bswap32(dw) : dw;
}

inline void StoreHalf(BYTE* p, DWORD dw, bool bSwap) {
    dw = bSwap ? __builtin_bswap32(dw) : dw;
    std::memcpy(p, &dw, sizeof(dw));
}

inline DWORD F(const DWORD (&s)[4][BLOWFISH_S_WORDS], DWORD x) {
    return ((s[0][x >> 24] + s[1][(x >> 16) & 0xFF]) ^ s[2][(x >> 8) & 0xFF]) + s[3][x & 0xFF];
}

// The lanes are expanded at compile time, so every half stays in a register: eight blocks keep the
// load ports busy while each block waits on its own lookups.
template <bool bSwap, std::size_t... n>
std::size_t RunScalar(const RoundKeys& k, const DWORD (&s)[4][BLOWFISH_S_WORDS], const BYTE* pIn, BYTE* pOut,
                      std::size_t nBlocks, std::index_sequence<n...>) {
    constexpr std::size_t LANES = sizeof...(n);
    std::size_t nDone = 0;
    for (; nBlocks - nDone >= LANES; nDone += LANES) {
        const BYTE* pi = pIn + nDone * BLOWFISH_BLOCK_SIZE;
        BYTE* po = pOut + nDone * BLOWFISH_BLOCK_SIZE;
        DWORD l[LANES] = {LoadHalf(pi + n * BLOWFISH_BLOCK_SIZE, bSwap)...};
        DWORD r[LANES] = {LoadHalf(pi + n * BLOWFISH_BLOCK_SIZE + 4, bSwap)...};
#pragma GCC unroll 8
        for (std::size_t i = 0; i < BLOWFISH_ROUNDS; i += 2) {
            const DWORD k0 = k[i];
            const DWORD k1 = k[i + 1];
            ((l[n] ^= k0, r[n] ^= F(s, l[n])), ...);
            ((r[n] ^= k1, l[n] ^= F(s, r[n])), ...);
        }
        (StoreHalf(po + n * BLOWFISH_BLOCK_SIZE, r[n] ^ k[BLOWFISH_ROUNDS + 1], bSwap), ...);
        (StoreHalf(po + n * BLOWFISH_BLOCK_SIZE + 4, l[n] ^ k[BLOWFISH_ROUNDS], bSwap), ...);
    }
    return nDone;
}

constexpr std::size_t SCALAR_LANES = 8;

std::size_t RunScalar(const RoundKeys& k, const DWORD (&s)[4][BLOWFISH_S_WORDS], bool bSwap, const BYTE* pIn,
                      BYTE* pOut, std::size_t nBlocks) {
    return bSwap ? RunScalar<true>(k, s, pIn, pOut, nBlocks, std::make_index_sequence<SCALAR_LANES>())
                 : RunScalar<false>(k, s, pIn, pOut, nBlocks, std::make_index_sequence<SCALAR_LANES>());
}

}  // namespace

#if defined(__x86_64__)
namespace {

#define KRELL_AVX512 __attribute__((target("avx512f")))
#define KRELL_AVX2 __attribute__((target("avx2")))

// Two 512-bit vectors of blocks each pass, so the gathers of one hide the latency of the other.
constexpr std::size_t AVX512_LANES = 16;
constexpr std::size_t AVX512_VECTORS = 2;
constexpr std::size_t AVX2_LANES = 8;
constexpr std::size_t AVX2_VECTORS = 4;

KRELL_AVX512 inline __m512i Swap512(__m512i x) {
    const __m512i lo = _mm512_set1_epi32(0x00FF00FF);
    return _mm512_or_si512(_mm512_and_si512(_mm512_rol_epi32(x, 8), lo),
                           _mm512_andnot_si512(lo, _mm512_rol_epi32(x, 24)));
}

KRELL_AVX512 inline __m512i F512(const DWORD (&s)[4][BLOWFISH_S_WORDS], __m512i x) {
    const __m512i m = _mm512_set1_epi32(0xFF);
    const __m512i a = _mm512_i32gather_epi32(_mm512_srli_epi32(x, 24), s[0], 4);
    const __m512i b = _mm512_i32gather_epi32(_mm512_and_si512(_mm512_srli_epi32(x, 16), m), s[1], 4);
    const __m512i c = _mm512_i32gather_epi32(_mm512_and_si512(_mm512_srli_epi32(x, 8), m), s[2], 4);
    const __m512i d = _mm512_i32gather_epi32(_mm512_and_si512(x, m), s[3], 4);
    return _mm512_add_epi32(_mm512_xor_si512(_mm512_add_epi32(a, b), c), d);
}

KRELL_AVX512 std::size_t RunAvx512(const RoundKeys& k, const DWORD (&s)[4][BLOWFISH_S_WORDS], bool bSwap,
                                   const BYTE* pIn, BYTE* pOut, std::size_t nBlocks) {
    constexpr std::size_t GROUP = AVX512_LANES * AVX512_VECTORS;
    const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    const __m512i low = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i high = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    std::size_t nDone = 0;
    for (; nBlocks - nDone >= GROUP; nDone += GROUP) {
        const BYTE* pi = pIn + nDone * BLOWFISH_BLOCK_SIZE;
        BYTE* po = pOut + nDone * BLOWFISH_BLOCK_SIZE;
        __m512i l[AVX512_VECTORS];
        __m512i r[AVX512_VECTORS];
        for (std::size_t v = 0; v < AVX512_VECTORS; ++v) {
            __m512i a = _mm512_loadu_si512(pi + v * 128);
            __m512i b = _mm512_loadu_si512(pi + v * 128 + 64);
            if (bSwap) {
                a = Swap512(a);
                b = Swap512(b);
            }
            l[v] = _mm512_permutex2var_epi32(a, even, b);
            r[v] = _mm512_permutex2var_epi32(a, odd, b);
        }
        for (std::size_t i = 0; i < BLOWFISH_ROUNDS; i += 2) {
            const __m512i k0 = _mm512_set1_epi32(static_cast<int>(k[i]));
            const __m512i k1 = _mm512_set1_epi32(static_cast<int>(k[i + 1]));
            for (std::size_t v = 0; v < AVX512_VECTORS; ++v) {
                l[v] = _mm512_xor_si512(l[v], k0);
                r[v] = _mm512_xor_si512(r[v], F512(s, l[v]));
            }
            for (std::size_t v = 0; v < AVX512_VECTORS; ++v) {
                r[v] = _mm512_xor_si512(r[v], k1);
                l[v] = _mm512_xor_si512(l[v], F512(s, r[v]));
            }
        }
        const __m512i kLeft = _mm512_set1_epi32(static_cast<int>(k[BLOWFISH_ROUNDS + 1]));
        const __m512i kRight = _mm512_set1_epi32(static_cast<int>(k[BLOWFISH_ROUNDS]));
        for (std::size_t v = 0; v < AVX512_VECTORS; ++v) {
            const __m512i outLeft = _mm512_xor_si512(r[v], kLeft);
            const __m512i outRight = _mm512_xor_si512(l[v], kRight);
            __m512i a = _mm512_permutex2var_epi32(outLeft, low, outRight);
            __m512i b = _mm512_permutex2var_epi32(outLeft, high, outRight);
            if (bSwap) {
                a = Swap512(a);
                b = Swap512(b);
            }
            _mm512_storeu_si512(po + v * 128, a);
            _mm512_storeu_si512(po + v * 128 + 64, b);
        }
    }
    return nDone;
}

KRELL_AVX2 inline __m256i F256(const DWORD (&s)[4][BLOWFISH_S_WORDS], __m256i x) {
    const __m256i m = _mm256_set1_epi32(0xFF);
    const auto* s0 = reinterpret_cast<const int*>(s[0]);
    const auto* s1 = reinterpret_cast<const int*>(s[1]);
    const auto* s2 = reinterpret_cast<const int*>(s[2]);
    const auto* s3 = reinterpret_cast<const int*>(s[3]);
    const __m256i a = _mm256_i32gather_epi32(s0, _mm256_srli_epi32(x, 24), 4);
    const __m256i b = _mm256_i32gather_epi32(s1, _mm256_and_si256(_mm256_srli_epi32(x, 16), m), 4);
    const __m256i c = _mm256_i32gather_epi32(s2, _mm256_and_si256(_mm256_srli_epi32(x, 8), m), 4);
    const __m256i d = _mm256_i32gather_epi32(s3, _mm256_and_si256(x, m), 4);
    return _mm256_add_epi32(_mm256_xor_si256(_mm256_add_epi32(a, b), c), d);
}

KRELL_AVX2 std::size_t RunAvx2(const RoundKeys& k, const DWORD (&s)[4][BLOWFISH_S_WORDS], bool bSwap,
                               const BYTE* pIn, BYTE* pOut, std::size_t nBlocks) {
    constexpr std::size_t GROUP = AVX2_LANES * AVX2_VECTORS;
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7,
                                          6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    std::size_t nDone = 0;
    for (; nBlocks - nDone >= GROUP; nDone += GROUP) {
        const BYTE* pi = pIn + nDone * BLOWFISH_BLOCK_SIZE;
        BYTE* po = pOut + nDone * BLOWFISH_BLOCK_SIZE;
        __m256i l[AVX2_VECTORS];
        __m256i r[AVX2_VECTORS];
        for (std::size_t v = 0; v < AVX2_VECTORS; ++v) {
            __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pi + v * 64));
            __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pi + v * 64 + 32));
            if (bSwap) {
                a = _mm256_shuffle_epi8(a, swap);
                b = _mm256_shuffle_epi8(b, swap);
            }
            // Each vector becomes four left halves, then four right halves.
            a = _mm256_permutevar8x32_epi32(a, split);
            b = _mm256_permutevar8x32_epi32(b, split);
            l[v] = _mm256_permute2x128_si256(a, b, 0x20);
            r[v] = _mm256_permute2x128_si256(a, b, 0x31);
        }
        for (std::size_t i = 0; i < BLOWFISH_ROUNDS; i += 2) {
            const __m256i k0 = _mm256_set1_epi32(static_cast<int>(k[i]));
            const __m256i k1 = _mm256_set1_epi32(static_cast<int>(k[i + 1]));
            for (std::size_t v = 0; v < AVX2_VECTORS; ++v) {
                l[v] = _mm256_xor_si256(l[v], k0);
                r[v] = _mm256_xor_si256(r[v], F256(s, l[v]));
            }
            for (std::size_t v = 0; v < AVX2_VECTORS; ++v) {
                r[v] = _mm256_xor_si256(r[v], k1);
                l[v] = _mm256_xor_si256(l[v], F256(s, r[v]));
            }
        }
        const __m256i kLeft = _mm256_set1_epi32(static_cast<int>(k[BLOWFISH_ROUNDS + 1]));
        const __m256i kRight = _mm256_set1_epi32(static_cast<int>(k[BLOWFISH_ROUNDS]));
        for (std::size_t v = 0; v < AVX2_VECTORS; ++v) {
            const __m256i outLeft = _mm256_xor_si256(r[v], kLeft);
            const __m256i outRight = _mm256_xor_si256(l[v], kRight);
            // Interleaving pairs blocks 0,1 | 4,5 and 2,3 | 6,7; the lane swap puts them in order.
            const __m256i pairsLow = _mm256_unpacklo_epi32(outLeft, outRight);
            const __m256i pairsHigh = _mm256_unpackhi_epi32(outLeft, outRight);
            __m256i a = _mm256_permute2x128_si256(pairsLow, pairsHigh, 0x20);
            __m256i b = _mm256_permute2x128_si256(pairsLow, pairsHigh, 0x31);
            if (bSwap) {
                a = _mm256_shuffle_epi8(a, swap);
                b = _mm256_shuffle_epi8(b, swap);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(po + v * 64), a);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(po + v * 64 + 32), b);
        }
    }
    return nDone;
}

}  // namespace
#endif

namespace {

bool Runs(EEcbKernel eKernel) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (eKernel) {
        case EEcbKernel::eAvx512:
            return __builtin_cpu_supports("avx512f");
        case EEcbKernel::eAvx2:
            return __builtin_cpu_supports("avx2");
        case EEcbKernel::eScalar:
            break;
    }
#endif
    return eKernel == EEcbKernel::eScalar;
}

// Interleaved rounds of a few kernel calls on a buffer that stays in the first-level cache; the best
// time of each counts, so a preempted run does not decide. About a tenth of a millisecond, once.
EEcbKernel MeasureFastest() {
    const std::vector<EEcbKernel>& kernels = AvailableKernels();
    if (kernels.size() == 1) {
        return kernels.front();
    }
    constexpr std::size_t BLOCKS = 512;
    constexpr int TRIALS = 5;
    RoundKeys keys;
    std::memcpy(keys, BLOWFISH_PI_P_ARRAY, sizeof(keys));
    BYTE buffer[BLOCKS * BLOWFISH_BLOCK_SIZE] = {};
    std::vector<std::chrono::steady_clock::duration> best(kernels.size(),
                                                          std::chrono::steady_clock::duration::max());
    for (int nTrial = 0; nTrial < TRIALS; ++nTrial) {
        for (std::size_t i = 0; i < kernels.size(); ++i) {
            const auto start = std::chrono::steady_clock::now();
            RunEcbKernel(kernels[i], keys, BLOWFISH_PI_S_BOXES, EBlockOrder::eLittleEndian, buffer, buffer,
                         BLOCKS);
            best[i] = std::min(best[i], std::chrono::steady_clock::now() - start);
        }
    }
    return kernels[std::min_element(best.begin(), best.end()) - best.begin()];
}

// -1 for the measured choice, else the forced kernel.
std::atomic<int> g_nForced{-1};

}  // namespace

const std::vector<EEcbKernel>& AvailableKernels() {
    static const std::vector<EEcbKernel> kernels = [] {
        std::vector<EEcbKernel> v;
        for (EEcbKernel e : {EEcbKernel::eScalar, EEcbKernel::eAvx2, EEcbKernel::eAvx512}) {
            if (Runs(e)) {
                v.push_back(e);
            }
        }
        return v;
    }();
    return kernels;
}

EEcbKernel ChosenKernel() {
    const int nForced = g_nForced.load(std::memory_order_relaxed);
    if (nForced >= 0) {
        return static_cast<EEcbKernel>(nForced);
    }
    static const EEcbKernel eFastest = MeasureFastest();
    return eFastest;
}

void ForceKernel(std::optional<EEcbKernel> eKernel) {
    g_nForced.store(eKernel ? static_cast<int>(*eKernel) : -1, std::memory_order_relaxed);
}

std::size_t RunEcbKernel(EEcbKernel eKernel, const RoundKeys& keys,
                         const DWORD (&sBoxes)[4][BLOWFISH_S_WORDS], EBlockOrder eOrder, const BYTE* pIn,
                         BYTE* pOut, std::size_t nBlocks) {
    // The kernels load words in the processor's order; a block order that differs swaps bytes.
    const bool bSwap = (eOrder == EBlockOrder::eLittleEndian) != (std::endian::native == std::endian::little);
    switch (eKernel) {
#if defined(__x86_64__)
        case EEcbKernel::eAvx512:
            return RunAvx512(keys, sBoxes, bSwap, pIn, pOut, nBlocks);
        case EEcbKernel::eAvx2:
            return RunAvx2(keys, sBoxes, bSwap, pIn, pOut, nBlocks);
#else
        case EEcbKernel::eAvx512:
        case EEcbKernel::eAvx2:
            break;
#endif
        case EEcbKernel::eScalar:
            return RunScalar(keys, sBoxes, bSwap, pIn, pOut, nBlocks);
    }
    return 0;
}

}  // namespace crypto::detail
