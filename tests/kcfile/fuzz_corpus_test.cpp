// Replays the fuzz corpus through the fuzz target's own entry point, so the seeds and the target's
// invariants are exercised by every test run, including the sanitizer builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "kcfile/kc_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData);

namespace {

TEST(KCFuzzCorpusTest, SeedsReplayWithExpectedVerdicts) {
    std::size_t nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_KC_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string sName = entry.path().filename().string();
        SCOPED_TRACE(sName);
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        // Seeds are named for the verdict they must get.
        EXPECT_EQ(kcfile::ReadKCFile(bytes).IsValid(), sName.rfind("valid_", 0) == 0);
        ++nFiles;
    }
    EXPECT_GE(nFiles, 4u);
}

}  // namespace
