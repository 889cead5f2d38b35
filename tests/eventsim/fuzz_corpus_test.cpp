// Replays the transported-form fuzz corpus through the fuzz target's own entry point, so the seeds and
// the target's invariants run in every test build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "event_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData);

namespace {

TEST(EventTransportFuzzCorpus, SeedsReplayWithExpectedVerdicts) {
    std::size_t nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_EVENT_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string sName = entry.path().filename().string();
        SCOPED_TRACE(sName);
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        // Seeds are named for the verdict they must get.
        krellevt::CEventRecord record;
        EXPECT_EQ(krellevt::DecodeEvent(bytes.data(), bytes.size(), &record), sName.rfind("valid_", 0) == 0);
        ++nFiles;
    }
    EXPECT_GE(nFiles, 4u);
}

}  // namespace
