// Replays the guard-file parser's fuzz corpus through the target's own entry point; seeds are named
// for the verdict they must get.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "signature/guard_file.h"
#include "signature/signature_errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData);

namespace {

TEST(GuardFileFuzzCorpus, SeedsReplayWithExpectedVerdicts) {
    std::size_t nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_GUARD_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string sName = entry.path().filename().string();
        SCOPED_TRACE(sName);
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        bool bParsed = true;
        try {
            signature::ParseGuardFile(bytes);
        } catch (const signature::bad_data_error&) {
            bParsed = false;
        }
        EXPECT_EQ(bParsed, sName.starts_with("valid_"));
        ++nFiles;
    }
    EXPECT_GE(nFiles, 5u);
}

}  // namespace
