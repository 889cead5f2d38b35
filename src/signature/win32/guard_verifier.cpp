// The check over the platform's certificate functions (crypt32): the CMS message decoded and its
// signatures verified by CryptMsg, each signer's chain built by an engine whose only root is the
// embedded one. The refusals are of the same kinds, in the same order, as OpenSSL's check.
#include "signature/guard_verifier.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/strings.h"
#include "signature/signature_errors.h"
#include "signature/win32/crypt32_api.h"

namespace signature {

namespace {

namespace api = crypt32;

std::string Hex(DWORD dwCode) {
    char szText[16];
    std::snprintf(szText, sizeof(szText), "0x%08X", static_cast<unsigned>(dwCode));
    return szText;
}

std::string WithCode(const std::string& sWhat) {
    return sWhat + ": " + Hex(api::GetLastError());
}

bool IsOutOfMemory(DWORD dwCode) {
    return dwCode == api::E_OUTOFMEMORY || dwCode == ERROR_NOT_ENOUGH_MEMORY ||
           dwCode == api::ERROR_OUTOFMEMORY;
}

// One DER element: its tag and contents. Only definite lengths: the signature is DER by contract.
struct Element {
    BYTE bTag = 0;
    std::span<const BYTE> contents;
};

bool ReadElement(std::span<const BYTE>* pRest, Element* pElement) {
    std::span<const BYTE> s = *pRest;
    if (s.size() < 2) {
        return false;
    }
    pElement->bTag = s[0];
    std::size_t cbLength = s[1];
    std::size_t cbHeader = 2;
    if (cbLength & 0x80) {
        const std::size_t cbBytes = cbLength & 0x7F;
        if (cbBytes == 0 || cbBytes > 4 || s.size() < 2 + cbBytes) {
            return false;
        }
        cbLength = 0;
        for (std::size_t i = 0; i < cbBytes; ++i) {
            cbLength = (cbLength << 8) | s[2 + i];
        }
        cbHeader += cbBytes;
    }
    if (cbLength > s.size() - cbHeader) {
        return false;
    }
    pElement->contents = s.subspan(cbHeader, cbLength);
    *pRest = s.subspan(cbHeader + cbLength);
    return true;
}

// id-signedData, 1.2.840.113549.1.7.2, as DER contents.
constexpr BYTE SIGNED_DATA_OID[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// What crypt32 does not tell: bytes after the structure, another content type, content carried inside.
void CheckOuterForm(std::span<const BYTE> der) {
    Element contentInfo, contentType, explicitContent, signedData, version, digestAlgorithms, encapsulated;
    std::span<const BYTE> rest = der;
    if (!ReadElement(&rest, &contentInfo) || contentInfo.bTag != 0x30) {
        throw bad_data_error("not a DER CMS structure");
    }
    if (!rest.empty()) {
        throw bad_data_error("bytes after the CMS structure");
    }
    std::span<const BYTE> inner = contentInfo.contents;
    if (!ReadElement(&inner, &contentType) || contentType.bTag != 0x06) {
        throw bad_data_error("not a DER CMS structure");
    }
    if (!std::equal(contentType.contents.begin(), contentType.contents.end(), std::begin(SIGNED_DATA_OID),
                    std::end(SIGNED_DATA_OID))) {
        throw bad_data_error("not signed-data");
    }
    if (!ReadElement(&inner, &explicitContent) || explicitContent.bTag != 0xA0) {
        throw bad_data_error("not a DER CMS structure");
    }
    std::span<const BYTE> content = explicitContent.contents;
    if (!ReadElement(&content, &signedData) || signedData.bTag != 0x30) {
        throw bad_data_error("not a DER CMS structure");
    }
    std::span<const BYTE> fields = signedData.contents;
    if (!ReadElement(&fields, &version) || !ReadElement(&fields, &digestAlgorithms) ||
        !ReadElement(&fields, &encapsulated) || encapsulated.bTag != 0x30) {
        throw bad_data_error("not a DER CMS structure");
    }
    std::span<const BYTE> encapsulatedFields = encapsulated.contents;
    Element encapsulatedType;
    if (!ReadElement(&encapsulatedFields, &encapsulatedType)) {
        throw bad_data_error("not a DER CMS structure");
    }
    if (!encapsulatedFields.empty()) {
        throw bad_data_error("the signature carries its content; a detached one is expected");
    }
}

struct MsgCloser {
    void operator()(void* h) const { api::CryptMsgClose(h); }
};
struct StoreCloser {
    void operator()(void* h) const { api::CertCloseStore(h, 0); }
};
struct CertFreer {
    void operator()(const api::CERT_CONTEXT* p) const { api::CertFreeCertificateContext(p); }
};
struct ChainFreer {
    void operator()(const api::CERT_CHAIN_CONTEXT* p) const { api::CertFreeCertificateChain(p); }
};
using MsgPtr = std::unique_ptr<void, MsgCloser>;
using StorePtr = std::unique_ptr<void, StoreCloser>;
using CertPtr = std::unique_ptr<const api::CERT_CONTEXT, CertFreer>;
using ChainPtr = std::unique_ptr<const api::CERT_CHAIN_CONTEXT, ChainFreer>;

// A parameter of variable size, in a buffer aligned for the structure it holds.
struct MsgParamValue {
    std::vector<ULONG_PTR> buffer;
    DWORD cb = 0;
    const void* Data() const { return buffer.data(); }
};

MsgParamValue MsgParam(void* hMsg, DWORD dwParam, DWORD dwIndex) {
    MsgParamValue value;
    if (!api::CryptMsgGetParam(hMsg, dwParam, dwIndex, nullptr, &value.cb)) {
        throw bad_data_error(WithCode("the signer's information does not read"));
    }
    value.buffer.resize(value.cb / sizeof(ULONG_PTR) + 1);
    if (!api::CryptMsgGetParam(hMsg, dwParam, dwIndex, value.buffer.data(), &value.cb)) {
        throw bad_data_error(WithCode("the signer's information does not read"));
    }
    return value;
}

DWORD MsgDword(void* hMsg, DWORD dwParam) {
    DWORD dwValue = 0;
    DWORD cb = sizeof(dwValue);
    if (!api::CryptMsgGetParam(hMsg, dwParam, 0, &dwValue, &cb)) {
        throw bad_data_error(WithCode("signed-data does not read"));
    }
    return dwValue;
}

bool HasOrganizationalUnit(const api::CERT_CONTEXT* pCert, std::string_view sUnit) {
    const api::BLOB& subject = pCert->pCertInfo->Subject;
    api::CERT_NAME_INFO* pName = nullptr;
    DWORD cb = 0;
    if (!api::CryptDecodeObjectEx(api::ENCODING, api::X509_UNICODE_NAME, subject.pbData, subject.cbData,
                                  api::CRYPT_DECODE_ALLOC_FLAG, nullptr, &pName, &cb)) {
        return false;
    }
    bool bMatch = false;
    for (DWORD i = 0; i < pName->cRDN && !bMatch; ++i) {
        const api::CERT_RDN& rdn = pName->rgRDN[i];
        for (DWORD j = 0; j < rdn.cRDNAttr && !bMatch; ++j) {
            const api::CERT_RDN_ATTR& attr = rdn.rgRDNAttr[j];
            if (std::string_view(attr.pszObjId) == "2.5.4.11") {
                std::u16string_view sValue(reinterpret_cast<const char16_t*>(attr.Value.pbData),
                                           attr.Value.cbData / sizeof(char16_t));
                // Wine counts the terminator in cbData.
                if (sValue.ends_with(u'\0')) {
                    sValue.remove_suffix(1);
                }
                bMatch = platform::ToUtf8(sValue) == sUnit;
            }
        }
    }
    api::LocalFree(pName);
    return bMatch;
}

// With signed attributes the signature covers them, not the content; the content's digest must be
// the one they carry (Wine's CryptMsgControl does not compare them).
void CheckSignedDigest(void* hMsg, DWORD dwSigner) {
    DWORD cb = 0;
    if (!api::CryptMsgGetParam(hMsg, api::CMSG_SIGNER_AUTH_ATTR_PARAM, dwSigner, nullptr, &cb)) {
        return;  // none: the signature is over the content's digest itself
    }
    const MsgParamValue attributes = MsgParam(hMsg, api::CMSG_SIGNER_AUTH_ATTR_PARAM, dwSigner);
    const auto* pAttributes = static_cast<const api::CRYPT_ATTRIBUTES*>(attributes.Data());
    const MsgParamValue computed = MsgParam(hMsg, api::CMSG_COMPUTED_HASH_PARAM, dwSigner);
    const std::span<const BYTE> digest(static_cast<const BYTE*>(computed.Data()), computed.cb);
    for (DWORD i = 0; i < pAttributes->cAttr; ++i) {
        const api::CRYPT_ATTRIBUTE& attribute = pAttributes->rgAttr[i];
        if (std::string_view(attribute.pszObjId) != "1.2.840.113549.1.9.4") {
            continue;
        }
        Element octets;
        std::span<const BYTE> value;
        if (attribute.cValue == 1) {
            value = std::span<const BYTE>(attribute.rgValue[0].pbData, attribute.rgValue[0].cbData);
        }
        if (!ReadElement(&value, &octets) || octets.bTag != 0x04 || !value.empty()) {
            throw bad_data_error("the signed digest is not one octet string");
        }
        if (!std::equal(octets.contents.begin(), octets.contents.end(), digest.begin(), digest.end())) {
            throw bad_sig_error("the signature does not verify: the content's digest is not the signed one");
        }
        return;
    }
    throw bad_data_error("signed attributes without the content's digest");
}

std::string StatusText(std::size_t nDepth, DWORD dwStatus) {
    return "certificate at depth " + std::to_string(nDepth) + ": trust status " + Hex(dwStatus);
}

}  // namespace

// The embedded root alone in a store, and the chain engine that trusts only it.
struct CGuardVerifier::RootStore {
    StorePtr pRoots;
    CertPtr pRoot;
    api::HCERTCHAINENGINE hEngine = nullptr;
    ~RootStore() {
        if (hEngine != nullptr) {
            api::CertFreeCertificateChainEngine(hEngine);
        }
    }
};

CGuardVerifier::CGuardVerifier(const TrustAnchors& anchors)
    : m_sOrganizationalUnit(anchors.sOrganizationalUnit) {
    std::span<const BYTE> rest = anchors.rootDer;
    Element certificate;
    if (!ReadElement(&rest, &certificate) || !rest.empty()) {
        throw error("the trusted root certificate does not load: not one DER element");
    }
    auto pStore = std::make_unique<RootStore>();
    pStore->pRoot.reset(api::CertCreateCertificateContext(api::ENCODING, anchors.rootDer.data(),
                                                          static_cast<DWORD>(anchors.rootDer.size())));
    if (!pStore->pRoot) {
        throw error(WithCode("the trusted root certificate does not load"));
    }
    pStore->pRoots.reset(api::CertOpenStore(api::CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!pStore->pRoots || !api::CertAddCertificateContextToStore(pStore->pRoots.get(), pStore->pRoot.get(),
                                                                  api::CERT_STORE_ADD_ALWAYS, nullptr)) {
        throw error(WithCode("the trusted root's store"));
    }
    // The exclusive root came with Windows 7, whose record lacks the last field of Windows 8's (Wine
    // knows only the shorter one).
    api::CERT_CHAIN_ENGINE_CONFIG config{};
    config.hExclusiveRoot = pStore->pRoots.get();
    bool bCreated = false;
    for (const DWORD cbConfig : {sizeof(config), sizeof(config) - sizeof(DWORD)}) {
        config.cbSize = cbConfig;
        bCreated = bCreated || api::CertCreateCertificateChainEngine(&config, &pStore->hEngine);
    }
    if (!bCreated) {
        throw error(WithCode("CertCreateCertificateChainEngine"));
    }
    m_pStore = pStore.release();
}

CGuardVerifier::~CGuardVerifier() {
    delete m_pStore;
}

void CGuardVerifier::Verify(std::span<const BYTE> guardData, std::span<const BYTE> signatureDer) const {
    CheckOuterForm(signatureDer);
    MsgPtr pMsg(api::CryptMsgOpenToDecode(api::ENCODING, api::CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
    if (!pMsg) {
        throw error(WithCode("CryptMsgOpenToDecode"));
    }
    if (!api::CryptMsgUpdate(pMsg.get(), signatureDer.data(), static_cast<DWORD>(signatureDer.size()), 1)) {
        const DWORD dwCode = api::GetLastError();
        if (IsOutOfMemory(dwCode)) {
            throw error("CryptMsgUpdate: " + Hex(dwCode));
        }
        throw bad_data_error("signed-data does not decode: " + Hex(dwCode));
    }
    if (MsgDword(pMsg.get(), api::CMSG_TYPE_PARAM) != api::CMSG_SIGNED) {
        throw bad_data_error("not signed-data");
    }
    // The detached content is hashed as it comes in: an unknown digest algorithm fails here.
    static const BYTE NO_BYTES[1] = {};
    if (!api::CryptMsgUpdate(pMsg.get(), guardData.empty() ? NO_BYTES : guardData.data(),
                             static_cast<DWORD>(guardData.size()), 1)) {
        const DWORD dwCode = api::GetLastError();
        if (IsOutOfMemory(dwCode)) {
            throw error("CryptMsgUpdate: " + Hex(dwCode));
        }
        throw bad_data_error("signature not usable: " + Hex(dwCode));
    }
    const DWORD cSigners = MsgDword(pMsg.get(), api::CMSG_SIGNER_COUNT_PARAM);
    if (cSigners == 0) {
        throw bad_data_error("signed-data without a signer");
    }
    StorePtr pCerts(api::CertOpenStore(api::CERT_STORE_PROV_MSG, api::ENCODING, 0, 0, pMsg.get()));
    if (!pCerts) {
        throw error(WithCode("the signature's certificates"));
    }

    // Every signature over the content first, then each signer's certificate, as OpenSSL's check does.
    std::vector<CertPtr> signers;
    for (DWORD i = 0; i < cSigners; ++i) {
        const MsgParamValue info = MsgParam(pMsg.get(), api::CMSG_SIGNER_CERT_INFO_PARAM, i);
        const auto* pSignerId = static_cast<const api::CERT_INFO*>(info.Data());
        CertPtr pSigner(api::CertGetSubjectCertificateFromStore(pCerts.get(), api::ENCODING, pSignerId));
        if (!pSigner) {
            throw bad_cert_error(WithCode("the signer's certificate is not in the signature"));
        }
        if (!api::CryptMsgControl(pMsg.get(), 0, api::CMSG_CTRL_VERIFY_SIGNATURE, pSigner->pCertInfo)) {
            const DWORD dwCode = api::GetLastError();
            if (IsOutOfMemory(dwCode)) {
                throw error("CryptMsgControl: " + Hex(dwCode));
            }
            if (dwCode == api::CRYPT_E_UNKNOWN_ALGO) {
                throw bad_data_error("signature not usable: " + Hex(dwCode));
            }
            throw bad_sig_error("the signature does not verify: " + Hex(dwCode));
        }
        CheckSignedDigest(pMsg.get(), i);
        signers.push_back(std::move(pSigner));
    }

    for (const CertPtr& pSigner : signers) {
        api::CERT_CHAIN_PARA para{};
        para.cbSize = sizeof(para);
        const api::CERT_CHAIN_CONTEXT* pRawChain = nullptr;
        if (!api::CertGetCertificateChain(m_pStore->hEngine, pSigner.get(), nullptr, pCerts.get(), &para, 0,
                                          nullptr, &pRawChain)) {
            throw error(WithCode("CertGetCertificateChain"));
        }
        const ChainPtr pChain(pRawChain);
        if (pChain->cChain == 0 || pChain->rgpChain[0]->cElement == 0) {
            throw bad_chain_error("no chain to the trusted root");
        }
        const api::CERT_SIMPLE_CHAIN& chain = *pChain->rgpChain[0];
        const api::CERT_CONTEXT* pTop = chain.rgpElement[chain.cElement - 1]->pCertContext;
        const api::CERT_CONTEXT* pRoot = m_pStore->pRoot.get();
        const bool bEndsAtRoot =
            pTop->cbCertEncoded == pRoot->cbCertEncoded &&
            std::equal(pTop->pbCertEncoded, pTop->pbCertEncoded + pTop->cbCertEncoded, pRoot->pbCertEncoded);
        if (!bEndsAtRoot || (chain.TrustStatus.dwErrorStatus & api::CERT_TRUST_IS_PARTIAL_CHAIN)) {
            throw bad_chain_error(StatusText(chain.cElement - 1, chain.TrustStatus.dwErrorStatus) +
                                  ", the chain does not end at the trusted root");
        }
        // Revocation is not asked for; the root is trusted by being the embedded one.
        constexpr DWORD IGNORED = api::CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                  api::CERT_TRUST_IS_OFFLINE_REVOCATION | api::CERT_TRUST_IS_NOT_TIME_NESTED |
                                  api::CERT_TRUST_IS_UNTRUSTED_ROOT;
        constexpr DWORD SIGNER_FAULTS =
            api::CERT_TRUST_IS_NOT_TIME_VALID | api::CERT_TRUST_INVALID_EXTENSION |
            api::CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT | api::CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        for (DWORD i = chain.cElement; i-- > 0;) {
            const DWORD dwStatus = chain.rgpElement[i]->TrustStatus.dwErrorStatus & ~IGNORED;
            const DWORD dwChainFaults = i == 0 ? dwStatus & ~SIGNER_FAULTS : dwStatus;
            if (dwChainFaults != 0) {
                throw bad_chain_error(StatusText(i, dwStatus));
            }
        }
        if (const DWORD dwStatus = chain.rgpElement[0]->TrustStatus.dwErrorStatus & ~IGNORED; dwStatus != 0) {
            throw bad_cert_error(StatusText(0, dwStatus));
        }
        if (!HasOrganizationalUnit(pSigner.get(), m_sOrganizationalUnit)) {
            throw bad_cert_error("the signer is not of the organisational unit \"" + m_sOrganizationalUnit +
                                 "\"");
        }
    }
}

}  // namespace signature
