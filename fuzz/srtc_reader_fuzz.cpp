// libFuzzer target for the SRTC reader and the evaluator. Besides crashes and over-reads it checks what
// an accepted blob promises: written again and re-read it is the same rule set, and it can be evaluated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "srtc/srtc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    srtc::RuleSet ruleSet;
    std::string sError;
    if (!srtc::Read(std::span<const std::uint8_t>(pData, cbData), ruleSet, sError)) {
        if (sError.empty() || !ruleSet.rules.empty()) {
            std::abort();
        }
        return 0;
    }
    srtc::RuleSet again;
    if (!srtc::Read(srtc::Write(ruleSet), again, sError) || !(again == ruleSet)) {
        std::abort();
    }
    // Accesses made of the blob's own strings reach the set lookups and comparisons.
    for (std::size_t i = 0; i < ruleSet.sets.size() && i < 4; ++i) {
        for (const auto* pItems : {&ruleSet.sets[i].exact, &ruleSet.sets[i].prefix}) {
            if (pItems->empty()) {
                continue;
            }
            srtc::Access access;
            access.sActorPath = access.sTargetPath = access.sActorSid = pItems->front() + u"\\x";
            access.dwDesiredAccess = 0xFFFFFFFF;
            access.qwTime = cbData;
            const srtc::Verdict verdict = srtc::Evaluate(ruleSet, access);
            if (verdict.nRule >= static_cast<std::int32_t>(ruleSet.rules.size())) {
                std::abort();
            }
        }
    }
    const srtc::Verdict verdict = srtc::Evaluate(ruleSet, srtc::Access{});
    if (verdict.nRule == srtc::SRTC_NO_RULE && verdict.effect != ruleSet.defaultEffect) {
        std::abort();
    }
    return 0;
}
