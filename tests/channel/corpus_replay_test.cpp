// Every input of the fuzz corpus goes through the receive path the fuzz target drives; the valid
// messages of the corpus come out whole, and a "bad_" seed's broken message is refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "channel_receive.h"

namespace {

TEST(CorpusReplay, EveryInputPassesTheReceivePath) {
    size_t nInputs = 0;
    int nMessages = 0;
    int nExpected = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_CHANNEL_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Exactly the input's bytes, so an overread shows under the sanitizers.
        std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        const int n = krellfuzz::FeedChunks(data.data(), data.size());
        // The other seeds are valid messages (the interleaved one holds two).
        const std::string sName = entry.path().filename().string();
        const int nWhole = sName.starts_with("bad_") ? 0 : sName == "interleaved" ? 2 : 1;
        EXPECT_EQ(n, nWhole) << sName;
        nMessages += n;
        nExpected += nWhole;
        ++nInputs;
    }
    EXPECT_GE(nInputs, 19u);
    EXPECT_EQ(nMessages, nExpected);
}

}  // namespace
