// Replays the SRTC reader's fuzz corpus through the target's entry point; seeds are named for the
// verdict they must get (valid_*, bad_*). With KRELL_WRITE_GOLDEN set the seeds are made anew from
// the test documents first.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "rule_documents.h"
#include "srtc/srtc_layout.h"
#include "srtc_test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData);

namespace {

void WriteSeed(const char* szName, const std::vector<std::uint8_t>& blob) {
    std::ofstream(std::string(KRELL_SRTC_CORPUS_DIR) + "/" + szName, std::ios::binary)
        .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
}

void WriteSeeds() {
    const std::vector<std::uint8_t> authorization = srtctest::CompileToBlob(srtctest::AUTHORIZATION_DOCUMENT);
    const std::vector<std::uint8_t> protectedResources =
        srtctest::CompileToBlob(srtctest::PROTECTED_RESOURCES_DOCUMENT);
    WriteSeed("valid_authorization", authorization);
    WriteSeed("valid_exclusion", srtctest::CompileToBlob(srtctest::EXCLUSION_DOCUMENT));
    WriteSeed("valid_protected_resources", protectedResources);
    WriteSeed("valid_empty", srtc::Write(srtc::RuleSet{}));
    WriteSeed("bad_truncated", {protectedResources.begin(), protectedResources.end() - 4});
    std::vector<std::uint8_t> bad = authorization;
    bad[4] = 1;  // the version before set items were front-coded
    WriteSeed("bad_version", bad);
    bad = protectedResources;
    bad[16] ^= 4;  // total length
    WriteSeed("bad_total_length", bad);
    // An expression whose root is the expression's own reference.
    srtc::RuleSet cycle;
    cycle.nodes.push_back({srtc::NodeKind::ExprRef, {}, {}, {}, 0, {}});
    cycle.expressions.push_back({u"e", 0});
    cycle.rules.push_back({u"r", srtc::Effect::Deny, 0});
    WriteSeed("bad_cycle", srtc::Write(cycle));
    // Front-coded items of every varint width: shared parts, units past a byte, a lone surrogate.
    srtc::RuleSet items;
    items.sets.push_back({u"s", {u"C:\\A", u"C:\\A\u0416", u"C:\\B\xD800"}, {u"D:\\", u"E:\\\u3042\\"}});
    items.nodes.push_back({srtc::NodeKind::FunEval,
                           srtc::Function::InSet,
                           srtc::Attribute::ActorPath,
                           srtc::OperandKind::Set,
                           0,
                           {}});
    items.rules.push_back({u"r", srtc::Effect::Deny, 0});
    const std::vector<std::uint8_t> valid = srtc::Write(items);
    WriteSeed("valid_front_coded_items", valid);
    // The second item claims more shared units than the first has.
    bad = valid;
    bad[static_cast<std::size_t>(srtctest::LayoutOfBlob(bad).qwItemData) + 6] = 0x7F;
    WriteSeed("bad_shared_prefix", bad);
}

TEST(SrtcFuzzCorpus, SeedsReplayWithExpectedVerdicts) {
    if (std::getenv("KRELL_WRITE_GOLDEN") != nullptr) {
        WriteSeeds();
    }
    std::size_t nSeeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_SRTC_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                              std::istreambuf_iterator<char>());
        const std::string sName = entry.path().filename().string();
        SCOPED_TRACE(sName);
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        const bool bValid = sName.starts_with("valid_");
        if (bValid || sName.starts_with("bad_")) {
            srtc::RuleSet ruleSet;
            std::string sError;
            EXPECT_EQ(srtc::Read(bytes, ruleSet, sError), bValid) << sError;
            ++nSeeds;
        }
    }
    EXPECT_GE(nSeeds, 10u);
}

}  // namespace
