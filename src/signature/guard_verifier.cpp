#include "signature/guard_verifier.h"

#include "signature/signature_errors.h"
#include "signature/trusted_root.h"

namespace signature {

TrustAnchors CompiledInTrustAnchors() {
    return {CompiledInRootCertificate(), TRUSTED_SIGNER_OU};
}

GuardFile CGuardVerifier::AddGuardFile(std::span<const BYTE> guardData, std::span<const BYTE> signatureDer) {
    Verify(guardData, signatureDer);
    GuardFile guard = ParseGuardFile(guardData);
    for (const GuardEntry& entry : guard.entries) {
        m_accepted.insert(entry.digest);
    }
    return guard;
}

void CGuardVerifier::CheckTrusted(const crypto::Sha1Digest& digest) const {
    if (!IsListed(digest)) {
        throw not_listed_error("digest " + DigestHex(digest) + " is in no accepted guard file");
    }
}

}  // namespace signature
