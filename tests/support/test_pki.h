// Certificates, keys and CMS signatures made in the test run with OpenSSL's API, independent of the
// signature library under test: the development root from certs/dev, and any roots and signers a test
// needs beside it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"
#include "support/files.h"

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace krelltest {

struct CertAndKey {
    std::shared_ptr<X509> pCert;
    std::shared_ptr<EVP_PKEY> pKey;

    std::vector<BYTE> CertDer() const;
    std::string CertPem() const;
    std::string KeyPem() const;
};

// The repository's development root and signer (certs/dev).
std::string DevCertPath(const char* szName);
CertAndKey DevRoot();
CertAndKey DevSigner();

struct CertOptions {
    std::string sCommonName = "Test Signer";
    std::string sOrganizationalUnit = "Product Group - Fetchwell";  // empty: none
    long lNotBeforeSeconds = -3600;                                 // relative to now
    long lNotAfterSeconds = 30 * 86400;
    bool bCa = false;
};

// A new self-signed CA.
CertAndKey MakeRoot(const std::string& sCommonName);
// A new key and certificate issued by issuer.
CertAndKey IssueCert(const CertAndKey& issuer, const CertOptions& options);

// A detached DER CMS signature of data by signer, carrying signer's certificate and extra ones.
std::vector<BYTE> SignCms(const std::vector<BYTE>& data, const CertAndKey& signer,
                          const std::vector<CertAndKey>& extra = {});

}  // namespace krelltest

namespace krelltest {
// Whether the build embeds the development root; tests that sign with certs/dev skip themselves
// otherwise.
bool BuildTrustsDevRoot();
}  // namespace krelltest
