// The signature check over signatures the openssl command line made at build time
// (make_signature_files.sh): both builds must give each file the same verdict.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "signature/guard_verifier.h"
#include "signature/signature_errors.h"
#include "support/files.h"

namespace {

enum class EOutcome { eAccepted, eBadData, eBadSig, eBadCert, eBadChain, eOther };

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
        case EOutcome::eOther:
            return "error of no kind";
    }
    return "?";
}

std::vector<BYTE> FileBytes(const std::string& sName) {
    const std::string sText = krelltest::ReadText(std::string(KRELL_SIGNATURE_FILES_DIR) + "/" + sName);
    EXPECT_FALSE(sText.empty()) << sName << " was not made";
    return std::vector<BYTE>(sText.begin(), sText.end());
}

EOutcome Check(const std::vector<BYTE>& guard, const std::vector<BYTE>& sig, std::size_t* pnAccepted,
               std::string* psWhy) {
    const std::string sRoot = krelltest::ReadText(std::string(KRELL_DEV_CERT_DIR) + "/dev-root.der");
    const std::vector<BYTE> root(sRoot.begin(), sRoot.end());
    signature::CGuardVerifier verifier({root, signature::TRUSTED_SIGNER_OU});
    EOutcome eOutcome = EOutcome::eAccepted;
    try {
        verifier.AddGuardFile(guard, sig);
    } catch (const signature::bad_data_error& e) {
        eOutcome = EOutcome::eBadData, *psWhy = e.what();
    } catch (const signature::bad_sig_error& e) {
        eOutcome = EOutcome::eBadSig, *psWhy = e.what();
    } catch (const signature::bad_cert_error& e) {
        eOutcome = EOutcome::eBadCert, *psWhy = e.what();
    } catch (const signature::bad_chain_error& e) {
        eOutcome = EOutcome::eBadChain, *psWhy = e.what();
    } catch (const signature::error& e) {
        eOutcome = EOutcome::eOther, *psWhy = e.what();
    }
    *pnAccepted = verifier.AcceptedCount();
    return eOutcome;
}

TEST(SignatureFiles, EachSignerAndSignatureEndsInItsKind) {
    const std::vector<BYTE> guard = FileBytes("guard");
    const std::vector<BYTE> good = FileBytes("signer.sig");
    ASSERT_GT(good.size(), 100u);
    std::vector<BYTE> flipped = good;
    flipped[good.size() - 1] ^= 0x01;
    std::vector<BYTE> trailing = good;
    trailing.push_back(0);
    const std::string sGarbage = "this is not a signature at all";
    const struct {
        const char* szCase;
        std::vector<BYTE> guardData;
        std::vector<BYTE> sig;
        EOutcome eExpected;
    } cases[] = {
        {"the repository's development signer", guard, FileBytes("dev_signer.sig"), EOutcome::eAccepted},
        {"a signer issued by the development root", guard, good, EOutcome::eAccepted},
        {"a signer under an intermediate carried in the signature", guard,
         FileBytes("under_intermediate.sig"), EOutcome::eAccepted},
        {"a signer under an intermediate missing from the signature", guard,
         FileBytes("intermediate_missing.sig"), EOutcome::eBadChain},
        {"a signer of another root", guard, FileBytes("other_root.sig"), EOutcome::eBadChain},
        {"a signer of another root that brings its root", guard, FileBytes("other_root_with_root.sig"),
         EOutcome::eBadChain},
        {"another root of the development root's name", guard, FileBytes("forged_root.sig"),
         EOutcome::eBadChain},
        {"a signer without an organisational unit", guard, FileBytes("no_unit.sig"), EOutcome::eBadCert},
        {"a signer of another organisational unit", guard, FileBytes("other_unit.sig"), EOutcome::eBadCert},
        {"an expired signer", guard, FileBytes("expired.sig"), EOutcome::eBadCert},
        {"a signer not yet valid", guard, FileBytes("not_yet_valid.sig"), EOutcome::eBadCert},
        {"a guard file changed after signing", FileBytes("guard_changed"), good, EOutcome::eBadSig},
        {"a signature value changed", guard, flipped, EOutcome::eBadSig},
        {"an empty signature file", guard, {}, EOutcome::eBadData},
        {"a truncated signature", guard, std::vector<BYTE>(good.begin(), good.begin() + good.size() / 2),
         EOutcome::eBadData},
        {"a signature cut by one byte", guard, std::vector<BYTE>(good.begin(), good.end() - 1),
         EOutcome::eBadData},
        {"garbage", guard, std::vector<BYTE>(sGarbage.begin(), sGarbage.end()), EOutcome::eBadData},
        {"bytes after the signature", guard, trailing, EOutcome::eBadData},
        {"a signature that carries its content", guard, FileBytes("attached.sig"), EOutcome::eBadData},
        {"a good signature of a file that is no guard file", FileBytes("not_a_guard"),
         FileBytes("not_a_guard.sig"), EOutcome::eBadData},
    };
    for (const auto& c : cases) {
        std::size_t nAccepted = 0;
        std::string sWhy;
        const EOutcome eOutcome = Check(c.guardData, c.sig, &nAccepted, &sWhy);
        EXPECT_STREQ(Name(eOutcome), Name(c.eExpected)) << c.szCase << ": " << sWhy;
        EXPECT_EQ(nAccepted, eOutcome == EOutcome::eAccepted ? 1u : 0u) << c.szCase;
    }
}

TEST(SignatureFiles, ARootThatDoesNotLoadIsAnErrorOfNoKind) {
    const std::string sRoot = krelltest::ReadText(std::string(KRELL_DEV_CERT_DIR) + "/dev-root.der");
    const std::vector<std::vector<BYTE>> roots = {
        {},
        {'n', 'o', 't', ' ', 'D', 'E', 'R'},
        std::vector<BYTE>(sRoot.begin(), sRoot.begin() + sRoot.size() / 2),
        [&] {
            std::vector<BYTE> v(sRoot.begin(), sRoot.end());
            v.push_back(0);
            return v;
        }(),
    };
    for (std::size_t i = 0; i < roots.size(); ++i) {
        try {
            signature::CGuardVerifier verifier({roots[i], signature::TRUSTED_SIGNER_OU});
            ADD_FAILURE() << "root " << i << " loaded";
        } catch (const signature::bad_data_error&) {
            ADD_FAILURE() << "root " << i << ": a kind";
        } catch (const signature::error&) {
        }
    }
}

}  // namespace
