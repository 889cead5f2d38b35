// Replays the signature check's fuzz corpus through the target's own entry point; seeds named valid_
// are accepted by a build that trusts the development root, the others are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "signature/guard_verifier.h"
#include "signature/signature_errors.h"
#include "signature_check.h"
#include "support/test_pki.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData);

namespace {

TEST(SignatureCheckFuzzCorpus, SeedsReplayWithExpectedVerdicts) {
    const bool bDevRoot = krelltest::BuildTrustsDevRoot();
    const std::vector<BYTE> guard(FUZZ_SIGNED_GUARD.begin(), FUZZ_SIGNED_GUARD.end());
    std::size_t nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_SIGNATURE_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string sName = entry.path().filename().string();
        SCOPED_TRACE(sName);
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        signature::CGuardVerifier verifier(signature::CompiledInTrustAnchors());
        bool bAccepted = true;
        try {
            verifier.Verify(guard, bytes);
        } catch (const signature::error&) {
            bAccepted = false;
        }
        EXPECT_EQ(bAccepted, bDevRoot && sName.starts_with("valid_"));
        ++nFiles;
    }
    EXPECT_GE(nFiles, 5u);
}

}  // namespace
