// Replays the manifest pipeline's fuzz corpus through the target's own pipeline: every seed keeps the
// entry rules, and the named seeds give the entries their XML holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "manifest_pipeline.h"

namespace {

TEST(ManifestPipelineFuzzCorpus, SeedsReplayWithTheirEntryCounts) {
    const std::map<std::string, std::size_t> expected = {
        {"all_kinds", 13}, {"variables", 6},   {"utf16_bom", 1}, {"latin1_declared", 1},
        {"long_path", 1},  {"parse_error", 0}, {"short", 0},
    };
    std::size_t nNamed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_MANIFEST_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                              std::istreambuf_iterator<char>());
        const std::string sName = entry.path().filename().string();
        SCOPED_TRACE(sName);
        const std::size_t nEntries = fuzzmanifest::RunPipeline(bytes.data(), bytes.size());
        if (const auto it = expected.find(sName); it != expected.end()) {
            EXPECT_EQ(nEntries, it->second);
            ++nNamed;
        }
    }
    EXPECT_EQ(nNamed, expected.size());
}

}  // namespace
