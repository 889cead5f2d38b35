// The check and the signing over OpenSSL.
#include "signature/guard_verifier.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

#include "signature/signature_errors.h"
#include "signature/trusted_root.h"

namespace signature {

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
struct CertStackDeleter {
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackDeleter>;
// A stack of certificates owned elsewhere (CMS_get0_signers): only the stack is freed.
struct BorrowedCertStackDeleter {
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};
using BorrowedCertStackPtr = std::unique_ptr<STACK_OF(X509), BorrowedCertStackDeleter>;

// OpenSSL's queued reasons as one text, the queue emptied so the next call starts clean.
std::string TakeOpenSslErrors(const char* szWhat) {
    std::string sText = szWhat;
    while (const unsigned long ulError = ERR_get_error()) {
        char szBuffer[256];
        ERR_error_string_n(ulError, szBuffer, sizeof(szBuffer));
        sText += sText == szWhat ? ": " : "; ";
        sText += szBuffer;
    }
    return sText;
}

BioPtr MemoryBio(std::span<const BYTE> data) {
    BioPtr pBio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (!pBio) {
        throw error(TakeOpenSslErrors("BIO_new_mem_buf"));
    }
    return pBio;
}

// Why CMS_verify refused, by the reasons OpenSSL queued.
[[noreturn]] void ThrowCmsVerifyError() {
    bool bSignerMissing = false, bBadData = false, bNoMemory = false;
    std::string sReasons;
    while (const unsigned long ulError = ERR_get_error()) {
        const int nReason = ERR_GET_REASON(ulError);
        if (ERR_GET_LIB(ulError) == ERR_LIB_CMS) {
            bSignerMissing |= nReason == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND;
            bBadData |= nReason == CMS_R_UNKNOWN_DIGEST_ALGORITHM || nReason == CMS_R_NO_CONTENT ||
                        nReason == CMS_R_UNKNOWN_ID || nReason == CMS_R_UNSUPPORTED_CONTENT_TYPE;
        }
        bNoMemory |= nReason == ERR_R_MALLOC_FAILURE;
        char szBuffer[256];
        ERR_error_string_n(ulError, szBuffer, sizeof(szBuffer));
        sReasons += sReasons.empty() ? ": " : "; ";
        sReasons += szBuffer;
    }
    if (bNoMemory) {
        throw error("CMS_verify" + sReasons);
    }
    if (bSignerMissing) {
        throw bad_cert_error("the signer's certificate is not in the signature" + sReasons);
    }
    if (bBadData) {
        throw bad_data_error("signature not usable" + sReasons);
    }
    throw bad_sig_error("the signature does not verify" + sReasons);
}

bool HasOrganizationalUnit(X509* pCert, std::string_view sUnit) {
    const X509_NAME* pName = X509_get_subject_name(pCert);
    for (int i = X509_NAME_get_index_by_NID(pName, NID_organizationalUnitName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(pName, NID_organizationalUnitName, i)) {
        const ASN1_STRING* pValue = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(pName, i));
        unsigned char* pUtf8 = nullptr;
        const int nLength = ASN1_STRING_to_UTF8(&pUtf8, pValue);
        if (nLength < 0) {
            continue;
        }
        const bool bMatch = std::string_view(reinterpret_cast<const char*>(pUtf8), nLength) == sUnit;
        OPENSSL_free(pUtf8);
        if (bMatch) {
            return true;
        }
    }
    return false;
}

// Faults of the signer's own certificate; the rest concern the path to the root.
bool IsSignerCertificateFault(int nError, int nDepth) {
    if (nDepth != 0) {
        return false;
    }
    switch (nError) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        case X509_V_ERR_INVALID_PURPOSE:
        case X509_V_ERR_INVALID_EXTENSION:
        case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct CGuardVerifier::RootStore {
    X509_STORE* pX509 = X509_STORE_new();
    ~RootStore() { X509_STORE_free(pX509); }
};

CGuardVerifier::CGuardVerifier(const TrustAnchors& anchors)
    : m_sOrganizationalUnit(anchors.sOrganizationalUnit) {
    const unsigned char* p = anchors.rootDer.data();
    X509Ptr pRoot(d2i_X509(nullptr, &p, static_cast<long>(anchors.rootDer.size())));
    if (!pRoot || p != anchors.rootDer.data() + anchors.rootDer.size()) {
        throw error(TakeOpenSslErrors("the trusted root certificate does not load"));
    }
    auto pStore = std::make_unique<RootStore>();
    if (!pStore->pX509 || X509_STORE_add_cert(pStore->pX509, pRoot.get()) != 1) {
        throw error(TakeOpenSslErrors("X509_STORE"));
    }
    m_pStore = pStore.release();
}

CGuardVerifier::~CGuardVerifier() {
    delete m_pStore;
}

void CGuardVerifier::Verify(std::span<const BYTE> guardData, std::span<const BYTE> signatureDer) const {
    ERR_clear_error();
    const unsigned char* p = signatureDer.data();
    CmsPtr pCms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(signatureDer.size())));
    if (!pCms) {
        throw bad_data_error(TakeOpenSslErrors("not a DER CMS structure"));
    }
    if (p != signatureDer.data() + signatureDer.size()) {
        throw bad_data_error("bytes after the CMS structure");
    }
    if (OBJ_obj2nid(CMS_get0_type(pCms.get())) != NID_pkcs7_signed) {
        throw bad_data_error("not signed-data");
    }
    if (CMS_is_detached(pCms.get()) != 1) {
        throw bad_data_error("the signature carries its content; a detached one is expected");
    }
    STACK_OF(CMS_SignerInfo)* pSignerInfos = CMS_get0_SignerInfos(pCms.get());
    if (!pSignerInfos || sk_CMS_SignerInfo_num(pSignerInfos) == 0) {
        throw bad_data_error("signed-data without a signer");
    }

    // The signature over the content first; the signers' certificates are judged below, one by one,
    // so that the kind of a refusal is known.
    // The content goes in behind a pass-through filter: given a memory BIO, CMS_verify copies it into
    // one of its own, which OpenSSL 3.0 never frees when the digests cannot be set up (an unknown
    // digest algorithm leaked it on every call).
    BioPtr pContent = MemoryBio(guardData);
    BioPtr pPassThrough(BIO_new(BIO_f_null()));
    if (!pPassThrough) {
        throw error(TakeOpenSslErrors("BIO_f_null"));
    }
    BIO_push(pPassThrough.get(), pContent.get());
    if (CMS_verify(pCms.get(), nullptr, nullptr, pPassThrough.get(), nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        ThrowCmsVerifyError();
    }

    const BorrowedCertStackPtr pOwnedSigners(CMS_get0_signers(pCms.get()));
    STACK_OF(X509)* pSigners = pOwnedSigners.get();
    CertStackPtr pCerts(CMS_get1_certs(pCms.get()));
    if (!pSigners || sk_X509_num(pSigners) == 0) {
        throw bad_cert_error(TakeOpenSslErrors("no signer certificate"));
    }
    for (int i = 0; i < sk_X509_num(pSigners); ++i) {
        X509* pSigner = sk_X509_value(pSigners, i);
        StoreCtxPtr pCtx(X509_STORE_CTX_new());
        if (!pCtx || X509_STORE_CTX_init(pCtx.get(), m_pStore->pX509, pSigner, pCerts.get()) != 1) {
            throw error(TakeOpenSslErrors("X509_STORE_CTX_init"));
        }
        if (X509_verify_cert(pCtx.get()) != 1) {
            const int nError = X509_STORE_CTX_get_error(pCtx.get());
            const int nDepth = X509_STORE_CTX_get_error_depth(pCtx.get());
            ERR_clear_error();
            const std::string sText = std::string("certificate at depth ") + std::to_string(nDepth) + ": " +
                                      X509_verify_cert_error_string(nError);
            if (IsSignerCertificateFault(nError, nDepth)) {
                throw bad_cert_error(sText);
            }
            throw bad_chain_error(sText);
        }
        if (!HasOrganizationalUnit(pSigner, m_sOrganizationalUnit)) {
            throw bad_cert_error("the signer is not of the organisational unit \"" + m_sOrganizationalUnit +
                                 "\"");
        }
    }
}

std::vector<BYTE> SignDetached(std::span<const BYTE> data, std::string_view sCertPem,
                               std::string_view sKeyPem, std::string_view sChainPem) {
    ERR_clear_error();
    const auto PemBio = [](std::string_view s) {
        return MemoryBio(std::span(reinterpret_cast<const BYTE*>(s.data()), s.size()));
    };
    BioPtr pCertBio = PemBio(sCertPem);
    X509Ptr pCert(PEM_read_bio_X509(pCertBio.get(), nullptr, nullptr, nullptr));
    if (!pCert) {
        throw error(TakeOpenSslErrors("the certificate does not load"));
    }
    BioPtr pKeyBio = PemBio(sKeyPem);
    KeyPtr pKey(PEM_read_bio_PrivateKey(pKeyBio.get(), nullptr, nullptr, nullptr));
    if (!pKey) {
        throw error(TakeOpenSslErrors("the private key does not load"));
    }
    if (X509_check_private_key(pCert.get(), pKey.get()) != 1) {
        throw error(TakeOpenSslErrors("the private key does not belong to the certificate"));
    }
    CertStackPtr pChain(sk_X509_new_null());
    if (!pChain) {
        throw error(TakeOpenSslErrors("sk_X509_new_null"));
    }
    if (!sChainPem.empty()) {
        BioPtr pChainBio = PemBio(sChainPem);
        while (X509* pExtra = PEM_read_bio_X509(pChainBio.get(), nullptr, nullptr, nullptr)) {
            sk_X509_push(pChain.get(), pExtra);
        }
        ERR_clear_error();  // the end of the PEM text
        if (sk_X509_num(pChain.get()) == 0) {
            throw error("the chain holds no certificate");
        }
    }
    BioPtr pData = MemoryBio(data);
    CmsPtr pCms(CMS_sign(pCert.get(), pKey.get(), pChain.get(), pData.get(), CMS_DETACHED | CMS_BINARY));
    if (!pCms) {
        throw error(TakeOpenSslErrors("CMS_sign"));
    }
    unsigned char* pDer = nullptr;
    const int nLength = i2d_CMS_ContentInfo(pCms.get(), &pDer);
    if (nLength <= 0) {
        throw error(TakeOpenSslErrors("i2d_CMS_ContentInfo"));
    }
    std::vector<BYTE> der(pDer, pDer + nLength);
    OPENSSL_free(pDer);
    return der;
}

}  // namespace signature
