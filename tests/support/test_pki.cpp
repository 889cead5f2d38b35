#include "support/test_pki.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

#include "support/files.h"

namespace krelltest {

namespace {

[[noreturn]] void Fail(const char* szWhat) {
    throw std::runtime_error(std::string("test PKI: ") + szWhat);
}

std::shared_ptr<X509> OwnCert(X509* p) {
    if (!p) {
        Fail("certificate");
    }
    return std::shared_ptr<X509>(p, X509_free);
}
std::shared_ptr<EVP_PKEY> OwnKey(EVP_PKEY* p) {
    if (!p) {
        Fail("key");
    }
    return std::shared_ptr<EVP_PKEY>(p, EVP_PKEY_free);
}

std::string BioText(BIO* pBio) {
    char* pData = nullptr;
    const long lLength = BIO_get_mem_data(pBio, &pData);
    std::string s(pData, static_cast<std::size_t>(lLength));
    BIO_free(pBio);
    return s;
}

std::shared_ptr<EVP_PKEY> NewKey() {
    // 1024-bit keys keep the tests quick; the library does not judge key sizes.
    return OwnKey(EVP_RSA_gen(1024));
}

void AddExtension(X509* pCert, X509* pIssuer, int nNid, const char* szValue) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, pIssuer, pCert, nullptr, nullptr, 0);
    X509_EXTENSION* pExtension = X509V3_EXT_conf_nid(nullptr, &ctx, nNid, szValue);
    if (!pExtension || X509_add_ext(pCert, pExtension, -1) != 1) {
        Fail("extension");
    }
    X509_EXTENSION_free(pExtension);
}

long NextSerial() {
    static std::atomic<long> lSerial{1000};
    return ++lSerial;
}

CertAndKey MakeCert(const CertAndKey* pIssuer, const CertOptions& options) {
    CertAndKey result{OwnCert(X509_new()), NewKey()};
    X509* pCert = result.pCert.get();
    X509_set_version(pCert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(pCert), NextSerial());
    X509_gmtime_adj(X509_getm_notBefore(pCert), options.lNotBeforeSeconds);
    X509_gmtime_adj(X509_getm_notAfter(pCert), options.lNotAfterSeconds);
    X509_NAME* pName = X509_get_subject_name(pCert);
    X509_NAME_add_entry_by_txt(pName, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Test"), -1,
                               -1, 0);
    if (!options.sOrganizationalUnit.empty()) {
        X509_NAME_add_entry_by_txt(
            pName, "OU", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(options.sOrganizationalUnit.c_str()), -1, -1, 0);
    }
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(options.sCommonName.c_str()), -1, -1,
                               0);
    X509* pIssuerCert = pIssuer ? pIssuer->pCert.get() : pCert;
    X509_set_issuer_name(pCert, X509_get_subject_name(pIssuerCert));
    X509_set_pubkey(pCert, result.pKey.get());
    AddExtension(pCert, pIssuerCert, NID_basic_constraints,
                 options.bCa ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExtension(pCert, pIssuerCert, NID_key_usage,
                 options.bCa ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    EVP_PKEY* pSigningKey = pIssuer ? pIssuer->pKey.get() : result.pKey.get();
    if (X509_sign(pCert, pSigningKey, EVP_sha256()) <= 0) {
        Fail("X509_sign");
    }
    return result;
}

}  // namespace

std::vector<BYTE> CertAndKey::CertDer() const {
    unsigned char* pDer = nullptr;
    const int nLength = i2d_X509(pCert.get(), &pDer);
    std::vector<BYTE> der(pDer, pDer + nLength);
    OPENSSL_free(pDer);
    return der;
}

std::string CertAndKey::CertPem() const {
    BIO* pBio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(pBio, pCert.get());
    return BioText(pBio);
}

std::string CertAndKey::KeyPem() const {
    BIO* pBio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(pBio, pKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return BioText(pBio);
}

std::string DevCertPath(const char* szName) {
    return std::string(KRELL_DEV_CERT_DIR) + "/" + szName;
}

namespace {
CertAndKey LoadPair(const char* szCert, const char* szKey) {
    const std::string sCert = ReadText(DevCertPath(szCert));
    const std::string sKey = ReadText(DevCertPath(szKey));
    BIO* pCertBio = BIO_new_mem_buf(sCert.data(), static_cast<int>(sCert.size()));
    BIO* pKeyBio = BIO_new_mem_buf(sKey.data(), static_cast<int>(sKey.size()));
    CertAndKey pair{OwnCert(PEM_read_bio_X509(pCertBio, nullptr, nullptr, nullptr)),
                    OwnKey(PEM_read_bio_PrivateKey(pKeyBio, nullptr, nullptr, nullptr))};
    BIO_free(pCertBio);
    BIO_free(pKeyBio);
    return pair;
}
}  // namespace

CertAndKey DevRoot() {
    return LoadPair("dev-root.pem", "dev-root.key");
}

CertAndKey DevSigner() {
    return LoadPair("dev-signer.pem", "dev-signer.key");
}

CertAndKey MakeRoot(const std::string& sCommonName) {
    CertOptions options;
    options.sCommonName = sCommonName;
    options.sOrganizationalUnit.clear();
    options.bCa = true;
    return MakeCert(nullptr, options);
}

CertAndKey IssueCert(const CertAndKey& issuer, const CertOptions& options) {
    return MakeCert(&issuer, options);
}

std::vector<BYTE> SignCms(const std::vector<BYTE>& data, const CertAndKey& signer,
                          const std::vector<CertAndKey>& extra) {
    STACK_OF(X509)* pExtra = sk_X509_new_null();
    for (const CertAndKey& cert : extra) {
        sk_X509_push(pExtra, cert.pCert.get());
    }
    BIO* pData = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    CMS_ContentInfo* pCms =
        CMS_sign(signer.pCert.get(), signer.pKey.get(), pExtra, pData, CMS_DETACHED | CMS_BINARY);
    BIO_free(pData);
    sk_X509_free(pExtra);
    if (!pCms) {
        Fail("CMS_sign");
    }
    unsigned char* pDer = nullptr;
    const int nLength = i2d_CMS_ContentInfo(pCms, &pDer);
    CMS_ContentInfo_free(pCms);
    std::vector<BYTE> der(pDer, pDer + nLength);
    OPENSSL_free(pDer);
    return der;
}

}  // namespace krelltest
