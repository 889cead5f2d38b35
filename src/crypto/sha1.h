// SHA-1 (OpenSSL on POSIX, CNG on Windows), for the digests that protect KC files and guard files.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "platform/types.h"

namespace crypto {

constexpr std::size_t SHA1_DIGEST_SIZE = 20;
using Sha1Digest = std::array<BYTE, SHA1_DIGEST_SIZE>;

// Incremental digest; Final ends it, and Reset makes the object usable again. Every operation
// reports failure (out of memory inside the provider) by returning false; the digest is then undefined.
class CSha1 {
public:
    CSha1();
    ~CSha1();
    CSha1(const CSha1&) = delete;
    CSha1& operator=(const CSha1&) = delete;

    bool Reset();
    bool Update(std::span<const BYTE> data);
    bool Final(Sha1Digest& digest);

private:
    // The provider's digest state.
    void* m_pCtx;
    bool m_bReady;
};

bool Sha1(std::span<const BYTE> data, Sha1Digest& digest);

}  // namespace crypto
