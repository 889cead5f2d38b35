// Replays a fuzz corpus whose file names carry the verdict: "ok_..." inputs must be accepted,
// "bad_..." inputs refused, anything else only has to pass without a crash.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace krelltest {

// Returns how many inputs carried a verdict.
inline std::size_t ReplayCorpus(const std::string& sDirectory,
                                const std::function<bool(const std::uint8_t*, std::size_t)>& fnFeed) {
    std::size_t nJudged = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sDirectory)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Exactly the input's bytes, so an overread shows under the sanitizers.
        const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        const std::string sName = entry.path().filename().string();
        const bool bAccepted = fnFeed(data.data(), data.size());
        if (sName.starts_with("ok_") || sName.starts_with("bad_")) {
            EXPECT_EQ(bAccepted, sName.starts_with("ok_")) << sName;
            ++nJudged;
        }
    }
    return nJudged;
}

}  // namespace krelltest
