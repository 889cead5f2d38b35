// Detached CMS (PKCS #7) signatures of guard files, checked against one trusted root and the
// organisational unit its manifest signers carry, and the digests of the guard files so accepted.
// The check is OpenSSL's on Linux (posix/) and the platform's certificate functions on Windows
// (win32/); the verdicts are the same.
#pragma once

#include <cstddef>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/sha1.h"
#include "platform/types.h"
#include "signature/guard_file.h"

namespace signature {

constexpr std::string_view TRUSTED_SIGNER_OU = "Product Group - Fetchwell";

struct TrustAnchors {
    std::span<const BYTE> rootDer;  // one X.509 certificate, DER
    std::string_view sOrganizationalUnit;
};

// The root certificate compiled into this build and the trusted organisational unit.
TrustAnchors CompiledInTrustAnchors();

// One verification context: the anchors loaded and the digests accepted so far. Not shared between
// threads; each check makes its own.
class CGuardVerifier {
public:
    // Throws error when the root certificate does not load.
    explicit CGuardVerifier(const TrustAnchors& anchors);
    ~CGuardVerifier();
    CGuardVerifier(const CGuardVerifier&) = delete;
    CGuardVerifier& operator=(const CGuardVerifier&) = delete;

    // Checks that signatureDer is a detached signature of guardData by a signer under the root with
    // the trusted unit. Throws bad_data_error, bad_sig_error, bad_cert_error, bad_chain_error or
    // error; nothing is accepted.
    void Verify(std::span<const BYTE> guardData, std::span<const BYTE> signatureDer) const;
    // Verify, then parse the guard file and accept its digests. Returns the parsed file.
    GuardFile AddGuardFile(std::span<const BYTE> guardData, std::span<const BYTE> signatureDer);

    bool IsListed(const crypto::Sha1Digest& digest) const { return m_accepted.contains(digest); }
    // Throws not_listed_error unless the digest is listed.
    void CheckTrusted(const crypto::Sha1Digest& digest) const;
    std::size_t AcceptedCount() const { return m_accepted.size(); }

private:
    // The trusted root as the platform's library holds it.
    struct RootStore;
    RootStore* m_pStore = nullptr;
    std::string m_sOrganizationalUnit;
    std::set<crypto::Sha1Digest> m_accepted;
};

// A detached, DER-encoded CMS signature of data (SHA-256, the signer's certificate and the chain's
// certificates included). The certificate, key and chain are PEM texts; chain may be empty. Throws
// error with OpenSSL's reason when something does not load or the signing fails. Signing is the
// developers' tools' work: the Windows build has only the check.
std::vector<BYTE> SignDetached(std::span<const BYTE> data, std::string_view sCertPem,
                               std::string_view sKeyPem, std::string_view sChainPem);

}  // namespace signature
