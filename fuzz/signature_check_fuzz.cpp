// libFuzzer target for the signature check: arbitrary bytes as the detached signature of a fixed guard
// file, judged against the root compiled into the build. Every refusal must be one of the library's
// errors; a signature that is accepted must have put the guard's digests in the context.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "signature/guard_verifier.h"
#include "signature/signature_errors.h"
#include "signature_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::span<const BYTE> guard(reinterpret_cast<const BYTE*>(FUZZ_SIGNED_GUARD.data()),
                                      FUZZ_SIGNED_GUARD.size());
    signature::CGuardVerifier verifier(signature::CompiledInTrustAnchors());
    try {
        verifier.AddGuardFile(guard, std::span<const BYTE>(pData, cbData));
    } catch (const signature::error&) {
        if (verifier.AcceptedCount() != 0) {
            std::abort();
        }
        return 0;
    }
    if (verifier.AcceptedCount() != 1) {
        std::abort();
    }
    return 0;
}
