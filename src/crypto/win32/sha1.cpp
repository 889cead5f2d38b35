#include "crypto/sha1.h"

#include <algorithm>

namespace crypto {
namespace {

// CNG (bcrypt.dll). Declared here rather than through <windows.h>, whose names clash with the
// seam's types.
using NTSTATUS = LONG;
using BCRYPT_HANDLE = void*;

extern "C" {
__declspec(dllimport) NTSTATUS
    __stdcall BCryptOpenAlgorithmProvider(BCRYPT_HANDLE*, const wchar_t*, const wchar_t*, ULONG);
__declspec(dllimport) NTSTATUS
    __stdcall BCryptCreateHash(BCRYPT_HANDLE, BCRYPT_HANDLE*, BYTE*, ULONG, BYTE*, ULONG, ULONG);
__declspec(dllimport) NTSTATUS __stdcall BCryptHashData(BCRYPT_HANDLE, const BYTE*, ULONG, ULONG);
__declspec(dllimport) NTSTATUS __stdcall BCryptFinishHash(BCRYPT_HANDLE, BYTE*, ULONG, ULONG);
__declspec(dllimport) NTSTATUS __stdcall BCryptDestroyHash(BCRYPT_HANDLE);
}

// One provider for the process; it is thread-safe and never closed.
BCRYPT_HANDLE Provider() {
    static const BCRYPT_HANDLE hAlgorithm = [] {
        BCRYPT_HANDLE h = nullptr;
        return BCryptOpenAlgorithmProvider(&h, L"SHA1", nullptr, 0) >= 0 ? h : nullptr;
    }();
    return hAlgorithm;
}

}  // namespace

CSha1::CSha1() : m_pCtx(nullptr), m_bReady(false) {
    Reset();
}

CSha1::~CSha1() {
    if (m_pCtx != nullptr) {
        BCryptDestroyHash(m_pCtx);
    }
}

bool CSha1::Reset() {
    if (m_pCtx != nullptr) {
        BCryptDestroyHash(m_pCtx);
        m_pCtx = nullptr;
    }
    m_bReady = Provider() != nullptr && BCryptCreateHash(Provider(), &m_pCtx, nullptr, 0, nullptr, 0, 0) >= 0;
    return m_bReady;
}

bool CSha1::Update(std::span<const BYTE> data) {
    if (!m_bReady) {
        return false;
    }
    // A span longer than a ULONG cannot reach a 32-bit process, but the count is checked all the same.
    for (std::size_t nDone = 0; nDone < data.size();) {
        const ULONG cb = static_cast<ULONG>(std::min<std::size_t>(data.size() - nDone, 0x40000000));
        if (BCryptHashData(m_pCtx, data.data() + nDone, cb, 0) < 0) {
            m_bReady = false;
            break;
        }
        nDone += cb;
    }
    return m_bReady;
}

bool CSha1::Final(Sha1Digest& digest) {
    if (!m_bReady) {
        return false;
    }
    m_bReady = false;
    return BCryptFinishHash(m_pCtx, digest.data(), static_cast<ULONG>(digest.size()), 0) >= 0;
}

bool Sha1(std::span<const BYTE> data, Sha1Digest& digest) {
    CSha1 sha1;
    return sha1.Update(data) && sha1.Final(digest);
}

}  // namespace crypto
