// The signature check against signers, chains and signature bytes made in the test run with OpenSSL's
// API: each case must end in its own kind of refusal, and only a good one accepts digests.
#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/cms.h>

#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "signature/guard_file.h"
#include "signature/guard_verifier.h"
#include "signature/signature_errors.h"
#include "signature/trusted_root.h"
#include "support/files.h"
#include "support/test_pki.h"

namespace {

using krelltest::Bytes;
using krelltest::CertAndKey;
using krelltest::CertOptions;

enum class EOutcome { eAccepted, eBadData, eBadSig, eBadCert, eBadChain };

const char* Name(EOutcome e) {
    switch (e) {
        case EOutcome::eAccepted:
            return "accepted";
        case EOutcome::eBadData:
            return "bad data";
        case EOutcome::eBadSig:
            return "bad signature";
        case EOutcome::eBadCert:
            return "bad certificate";
        case EOutcome::eBadChain:
            return "bad chain";
    }
    return "?";
}

EOutcome Check(signature::CGuardVerifier& verifier, const std::vector<BYTE>& guard,
               const std::vector<BYTE>& sig) {
    try {
        verifier.AddGuardFile(guard, sig);
        return EOutcome::eAccepted;
    } catch (const signature::bad_data_error&) {
        return EOutcome::eBadData;
    } catch (const signature::bad_sig_error&) {
        return EOutcome::eBadSig;
    } catch (const signature::bad_cert_error&) {
        return EOutcome::eBadCert;
    } catch (const signature::bad_chain_error&) {
        return EOutcome::eBadChain;
    }
}

std::string GuardText(const std::string& sContent) {
    crypto::Sha1Digest digest;
    crypto::Sha1(Bytes(sContent), digest);
    return "KRELLGUARD 1\nguards test\n" + signature::DigestHex(digest) + " test.gwm\n";
}

// A non-detached signature: the content travels inside.
std::vector<BYTE> SignAttached(const std::vector<BYTE>& data, const CertAndKey& signer) {
    BIO* pData = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    CMS_ContentInfo* pCms = CMS_sign(signer.pCert.get(), signer.pKey.get(), nullptr, pData, CMS_BINARY);
    BIO_free(pData);
    unsigned char* pDer = nullptr;
    const int nLength = i2d_CMS_ContentInfo(pCms, &pDer);
    std::vector<BYTE> der(pDer, pDer + nLength);
    OPENSSL_free(pDer);
    CMS_ContentInfo_free(pCms);
    return der;
}

class GuardVerifier : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = krelltest::DevRoot();
        m_rootDer = m_root.CertDer();
        m_anchors = {m_rootDer, signature::TRUSTED_SIGNER_OU};
    }
    CertAndKey m_root;
    std::vector<BYTE> m_rootDer;
    signature::TrustAnchors m_anchors;
};

TEST_F(GuardVerifier, EachSignerAndSignatureEndsInItsKind) {
    const std::vector<BYTE> guard = Bytes(GuardText("manifest bytes"));
    const CertAndKey signer = krelltest::IssueCert(m_root, {});
    const CertAndKey untrustedRoot = krelltest::MakeRoot("Untrusted Root");
    const CertAndKey untrustedSigner = krelltest::IssueCert(untrustedRoot, {});
    CertOptions noUnit;
    noUnit.sOrganizationalUnit.clear();
    CertOptions otherUnit;
    otherUnit.sOrganizationalUnit = "Product Group - Elsewhere";
    CertOptions expired;
    expired.lNotBeforeSeconds = -30 * 86400;
    expired.lNotAfterSeconds = -86400;
    CertOptions future;
    future.lNotBeforeSeconds = 86400;
    CertOptions intermediateOptions;
    intermediateOptions.sCommonName = "Test Intermediate";
    intermediateOptions.bCa = true;
    const CertAndKey intermediate = krelltest::IssueCert(m_root, intermediateOptions);
    const CertAndKey underIntermediate = krelltest::IssueCert(intermediate, {});
    // A signer that claims the dev root's name but is issued by another key.
    const CertAndKey forgedRoot = krelltest::MakeRoot("KRELL Development Root CA");

    const std::vector<BYTE> good = krelltest::SignCms(guard, signer);
    std::vector<BYTE> flipped = good;
    flipped.back() ^= 0x01;
    std::vector<BYTE> trailing = good;
    trailing.push_back(0);
    std::vector<BYTE> tamperedGuard = guard;
    tamperedGuard[tamperedGuard.size() - 3] ^= 0x01;

    const struct {
        const char* szCase;
        std::vector<BYTE> guardData;
        std::vector<BYTE> sig;
        EOutcome eExpected;
    } cases[] = {
        {"the repository's development signer", guard, krelltest::SignCms(guard, krelltest::DevSigner()),
         EOutcome::eAccepted},
        {"a signer issued in this run by the development root", guard, good, EOutcome::eAccepted},
        {"a signer under an intermediate carried in the signature", guard,
         krelltest::SignCms(guard, underIntermediate, {intermediate}), EOutcome::eAccepted},
        {"a signer under an intermediate missing from the signature", guard,
         krelltest::SignCms(guard, underIntermediate), EOutcome::eBadChain},
        {"a signer of another root", guard, krelltest::SignCms(guard, untrustedSigner), EOutcome::eBadChain},
        {"a signer of another root that brings its root", guard,
         krelltest::SignCms(guard, untrustedSigner, {untrustedRoot}), EOutcome::eBadChain},
        {"another root signing by itself", guard, krelltest::SignCms(guard, forgedRoot), EOutcome::eBadChain},
        {"a signer without an organisational unit", guard,
         krelltest::SignCms(guard, krelltest::IssueCert(m_root, noUnit)), EOutcome::eBadCert},
        {"a signer of another organisational unit", guard,
         krelltest::SignCms(guard, krelltest::IssueCert(m_root, otherUnit)), EOutcome::eBadCert},
        {"an expired signer", guard, krelltest::SignCms(guard, krelltest::IssueCert(m_root, expired)),
         EOutcome::eBadCert},
        {"a signer not yet valid", guard, krelltest::SignCms(guard, krelltest::IssueCert(m_root, future)),
         EOutcome::eBadCert},
        {"a guard file changed after signing", tamperedGuard, good, EOutcome::eBadSig},
        {"a signature value changed", guard, flipped, EOutcome::eBadSig},
        {"an empty signature file", guard, {}, EOutcome::eBadData},
        {"a truncated signature", guard, std::vector<BYTE>(good.begin(), good.begin() + good.size() / 2),
         EOutcome::eBadData},
        {"a signature cut by one byte", guard, std::vector<BYTE>(good.begin(), good.end() - 1),
         EOutcome::eBadData},
        {"garbage", guard, Bytes("this is not a signature at all"), EOutcome::eBadData},
        {"bytes after the signature", guard, trailing, EOutcome::eBadData},
        {"a signature that carries its content", guard, SignAttached(guard, signer), EOutcome::eBadData},
        {"a good signature of a guard file that does not parse", Bytes("not a guard file\n"),
         krelltest::SignCms(Bytes("not a guard file\n"), signer), EOutcome::eBadData},
    };
    for (const auto& c : cases) {
        signature::CGuardVerifier verifier(m_anchors);
        const EOutcome eOutcome = Check(verifier, c.guardData, c.sig);
        EXPECT_EQ(Name(eOutcome), Name(c.eExpected)) << c.szCase;
        EXPECT_EQ(verifier.AcceptedCount(), eOutcome == EOutcome::eAccepted ? 1u : 0u) << c.szCase;
    }
}

TEST_F(GuardVerifier, AcceptedDigestsAreListedAndOthersAreNot) {
    signature::CGuardVerifier verifier(m_anchors);
    const std::vector<BYTE> guard = Bytes(GuardText("manifest bytes"));
    verifier.AddGuardFile(guard, krelltest::SignCms(guard, krelltest::IssueCert(m_root, {})));
    crypto::Sha1Digest listed, other;
    crypto::Sha1(Bytes("manifest bytes"), listed);
    crypto::Sha1(Bytes("manifest bytes!"), other);
    EXPECT_NO_THROW(verifier.CheckTrusted(listed));
    EXPECT_THROW(verifier.CheckTrusted(other), signature::not_listed_error);
    // A fresh context knows nothing of the other's guard files.
    signature::CGuardVerifier fresh(m_anchors);
    EXPECT_THROW(fresh.CheckTrusted(listed), signature::not_listed_error);
}

TEST_F(GuardVerifier, ARootThatDoesNotLoadIsAnErrorOfNoKind) {
    const std::vector<BYTE> garbage = Bytes("not DER");
    try {
        signature::CGuardVerifier verifier({garbage, signature::TRUSTED_SIGNER_OU});
        FAIL() << "constructed";
    } catch (const signature::bad_data_error&) {
        FAIL() << "a kind";
    } catch (const signature::error&) {
    }
}

TEST_F(GuardVerifier, SignDetachedMakesWhatTheCheckAcceptsAndRefusesBadInput) {
    const CertAndKey signer = krelltest::IssueCert(m_root, {});
    const std::vector<BYTE> guard = Bytes(GuardText("x"));
    signature::CGuardVerifier verifier(m_anchors);
    EXPECT_NO_THROW(
        verifier.AddGuardFile(guard, signature::SignDetached(guard, signer.CertPem(), signer.KeyPem(), "")));
    const CertAndKey other = krelltest::IssueCert(m_root, {});
    EXPECT_THROW(signature::SignDetached(guard, signer.CertPem(), other.KeyPem(), ""), signature::error);
    EXPECT_THROW(signature::SignDetached(guard, "junk", signer.KeyPem(), ""), signature::error);
    EXPECT_THROW(signature::SignDetached(guard, signer.CertPem(), "junk", ""), signature::error);
    EXPECT_THROW(signature::SignDetached(guard, signer.CertPem(), signer.KeyPem(), "junk"), signature::error);
}

TEST(CompiledInRoot, IsTheConfiguredFile) {
    const std::string sConfigured = krelltest::ReadText(KRELL_TRUSTED_ROOT_DER);
    const std::span<const BYTE> embedded = signature::CompiledInRootCertificate();
    EXPECT_EQ(std::string(embedded.begin(), embedded.end()), sConfigured);
    EXPECT_EQ(signature::CompiledInTrustAnchors().sOrganizationalUnit, "Product Group - Fetchwell");
}

}  // namespace
