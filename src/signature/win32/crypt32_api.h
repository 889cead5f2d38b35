// The certificate and message functions of crypt32.dll the signature check calls, declared here rather
// than through <windows.h>, whose names clash with the seam's types. Layouts are the platform's for a
// 32-bit process.
#pragma once

#include "platform/types.h"

namespace signature::crypt32 {

using BOOL = int;
using HCRYPTMSG = void*;
using HCERTSTORE = void*;
using HCERTCHAINENGINE = void*;

struct BLOB {
    DWORD cbData;
    BYTE* pbData;
};
struct ALGORITHM_IDENTIFIER {
    char* pszObjId;
    BLOB Parameters;
};
struct BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};
struct CERT_INFO {
    DWORD dwVersion;
    BLOB SerialNumber;
    ALGORITHM_IDENTIFIER SignatureAlgorithm;
    BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    BLOB Subject;
    ALGORITHM_IDENTIFIER PublicKeyAlgorithm;
    BIT_BLOB PublicKey;
    BIT_BLOB IssuerUniqueId;
    BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    void* rgExtension;
};
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    CERT_INFO* pCertInfo;
    HCERTSTORE hCertStore;
};
// With X509_UNICODE_NAME, an attribute's value is a wide text of cbData bytes.
struct CERT_RDN_ATTR {
    char* pszObjId;
    DWORD dwValueType;
    BLOB Value;
};
struct CERT_RDN {
    DWORD cRDNAttr;
    CERT_RDN_ATTR* rgRDNAttr;
};
struct CERT_NAME_INFO {
    DWORD cRDN;
    CERT_RDN* rgRDN;
};
struct CRYPT_ATTRIBUTE {
    char* pszObjId;
    DWORD cValue;
    BLOB* rgValue;
};
struct CRYPT_ATTRIBUTES {
    DWORD cAttr;
    CRYPT_ATTRIBUTE* rgAttr;
};
// The form with the exclusive root (Windows 7 and later).
struct CERT_CHAIN_ENGINE_CONFIG {
    DWORD cbSize;
    HCERTSTORE hRestrictedRoot;
    HCERTSTORE hRestrictedTrust;
    HCERTSTORE hRestrictedOther;
    DWORD cAdditionalStore;
    HCERTSTORE* rghAdditionalStore;
    DWORD dwFlags;
    DWORD dwUrlRetrievalTimeout;
    DWORD MaximumCachedCertificates;
    DWORD CycleDetectionModulus;
    HCERTSTORE hExclusiveRoot;
    HCERTSTORE hExclusiveTrustedPeople;
    DWORD dwExclusiveFlags;
};
struct CERT_CHAIN_PARA {
    DWORD cbSize;
    DWORD dwUsageType;
    DWORD cUsageIdentifier;
    char** rgpszUsageIdentifier;
};
struct CERT_TRUST_STATUS {
    DWORD dwErrorStatus;
    DWORD dwInfoStatus;
};
struct CERT_CHAIN_ELEMENT {
    DWORD cbSize;
    const CERT_CONTEXT* pCertContext;
    CERT_TRUST_STATUS TrustStatus;
};
struct CERT_SIMPLE_CHAIN {
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
    DWORD cElement;
    CERT_CHAIN_ELEMENT** rgpElement;
};
struct CERT_CHAIN_CONTEXT {
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
    DWORD cChain;
    CERT_SIMPLE_CHAIN** rgpChain;
};

constexpr DWORD ENCODING = 0x00000001 | 0x00010000;  // X509_ASN_ENCODING | PKCS_7_ASN_ENCODING
constexpr DWORD CMSG_DETACHED_FLAG = 0x4;
constexpr DWORD CMSG_SIGNED = 2;
constexpr DWORD CMSG_TYPE_PARAM = 1;
constexpr DWORD CMSG_SIGNER_COUNT_PARAM = 5;
constexpr DWORD CMSG_SIGNER_CERT_INFO_PARAM = 7;
constexpr DWORD CMSG_SIGNER_AUTH_ATTR_PARAM = 9;
constexpr DWORD CMSG_COMPUTED_HASH_PARAM = 22;
constexpr DWORD CMSG_CTRL_VERIFY_SIGNATURE = 1;
inline const char* const CERT_STORE_PROV_MSG = reinterpret_cast<const char*>(1);
inline const char* const CERT_STORE_PROV_MEMORY = reinterpret_cast<const char*>(2);
inline const char* const X509_UNICODE_NAME = reinterpret_cast<const char*>(20);
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CRYPT_DECODE_ALLOC_FLAG = 0x8000;

constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x00000001;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_NESTED = 0x00000002;
constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x00000010;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x00000020;
constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x00000040;
constexpr DWORD CERT_TRUST_INVALID_EXTENSION = 0x00000100;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x00010000;
constexpr DWORD CERT_TRUST_IS_OFFLINE_REVOCATION = 0x01000000;
constexpr DWORD CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT = 0x08000000;

constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002;
constexpr DWORD E_OUTOFMEMORY = 0x8007000E;
constexpr DWORD ERROR_OUTOFMEMORY = 14;

extern "C" {
__declspec(dllimport) HCRYPTMSG __stdcall CryptMsgOpenToDecode(DWORD, DWORD, DWORD, ULONG_PTR, void*, void*);
__declspec(dllimport) BOOL __stdcall CryptMsgUpdate(HCRYPTMSG, const BYTE*, DWORD, BOOL);
__declspec(dllimport) BOOL __stdcall CryptMsgGetParam(HCRYPTMSG, DWORD, DWORD, void*, DWORD*);
__declspec(dllimport) BOOL __stdcall CryptMsgControl(HCRYPTMSG, DWORD, DWORD, const void*);
__declspec(dllimport) BOOL __stdcall CryptMsgClose(HCRYPTMSG);
__declspec(dllimport) HCERTSTORE __stdcall CertOpenStore(const char*, DWORD, ULONG_PTR, DWORD, const void*);
__declspec(dllimport) BOOL __stdcall CertCloseStore(HCERTSTORE, DWORD);
__declspec(dllimport) const CERT_CONTEXT* __stdcall CertCreateCertificateContext(DWORD, const BYTE*, DWORD);
__declspec(dllimport) BOOL __stdcall CertFreeCertificateContext(const CERT_CONTEXT*);
__declspec(dllimport) BOOL
    __stdcall CertAddCertificateContextToStore(HCERTSTORE, const CERT_CONTEXT*, DWORD, const CERT_CONTEXT**);
__declspec(dllimport) const CERT_CONTEXT* __stdcall CertGetSubjectCertificateFromStore(HCERTSTORE, DWORD,
                                                                                       const CERT_INFO*);
__declspec(dllimport) BOOL
    __stdcall CertCreateCertificateChainEngine(CERT_CHAIN_ENGINE_CONFIG*, HCERTCHAINENGINE*);
__declspec(dllimport) void __stdcall CertFreeCertificateChainEngine(HCERTCHAINENGINE);
__declspec(dllimport) BOOL
    __stdcall CertGetCertificateChain(HCERTCHAINENGINE, const CERT_CONTEXT*, FILETIME*, HCERTSTORE,
                                      CERT_CHAIN_PARA*, DWORD, void*, const CERT_CHAIN_CONTEXT**);
__declspec(dllimport) void __stdcall CertFreeCertificateChain(const CERT_CHAIN_CONTEXT*);
__declspec(dllimport) BOOL
    __stdcall CryptDecodeObjectEx(DWORD, const char*, const BYTE*, DWORD, DWORD, void*, void*, DWORD*);
__declspec(dllimport) void* __stdcall LocalFree(void*);
__declspec(dllimport) DWORD __stdcall GetLastError();
}

}  // namespace signature::crypt32
