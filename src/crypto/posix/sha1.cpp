#include "crypto/sha1.h"

#include <openssl/evp.h>

#include "platform/foreign_code.h"

namespace crypto {
namespace {

EVP_MD_CTX* Ctx(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
}

}  // namespace

using platform::CForeignCall;

CSha1::CSha1() : m_pCtx(nullptr), m_bReady(false) {
    {
        const CForeignCall call;
        m_pCtx = EVP_MD_CTX_new();
    }
    Reset();
}

CSha1::~CSha1() {
    const CForeignCall call;
    EVP_MD_CTX_free(Ctx(m_pCtx));
}

bool CSha1::Reset() {
    const CForeignCall call;
    m_bReady = m_pCtx != nullptr && EVP_DigestInit_ex(Ctx(m_pCtx), EVP_sha1(), nullptr) == 1;
    return m_bReady;
}

bool CSha1::Update(std::span<const BYTE> data) {
    if (!m_bReady) {
        return false;
    }
    CForeignCall::HandOver(data.data(), data.size());
    const CForeignCall call;
    if (!data.empty() && EVP_DigestUpdate(Ctx(m_pCtx), data.data(), data.size()) != 1) {
        m_bReady = false;
    }
    return m_bReady;
}

bool CSha1::Final(Sha1Digest& digest) {
    if (!m_bReady) {
        return false;
    }
    m_bReady = false;
    unsigned int cbDigest = 0;
    const CForeignCall call;
    const bool bDone = EVP_DigestFinal_ex(Ctx(m_pCtx), digest.data(), &cbDigest) == 1;
    CForeignCall::Written(digest.data(), digest.size());
    CForeignCall::Written(&cbDigest, sizeof(cbDigest));
    return bDone && cbDigest == SHA1_DIGEST_SIZE;
}

bool Sha1(std::span<const BYTE> data, Sha1Digest& digest) {
    CForeignCall::HandOver(data.data(), data.size());
    unsigned int cbDigest = 0;
    const CForeignCall call;
    const bool bDone =
        EVP_Digest(data.data(), data.size(), digest.data(), &cbDigest, EVP_sha1(), nullptr) == 1;
    CForeignCall::Written(digest.data(), digest.size());
    CForeignCall::Written(&cbDigest, sizeof(cbDigest));
    return bDone && cbDigest == SHA1_DIGEST_SIZE;
}

}  // namespace crypto
