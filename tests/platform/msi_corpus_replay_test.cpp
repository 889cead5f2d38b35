// Every input of the package reader's fuzz corpus goes through the reader the fuzz target drives; the
// packages among them are read whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "msi_reader.h"

namespace {

struct Expected {
    DWORD dwOpenDatabase;
    bool bCodesRead;
};

TEST(MsiCorpusReplay, EveryInputPassesThePackageReader) {
    const std::map<std::string, Expected> expected = {
        {"listed.msi", {ERROR_SUCCESS, true}},
        {"noupgrade.msi", {ERROR_SUCCESS, false}},
        {"text", {ERROR_OPEN_FAILED, false}},
        {"truncated", {ERROR_OPEN_FAILED, false}},
        // A package on which libmsi dereferences a null pointer: only the reader program ends.
        {"crashes-libmsi", {ERROR_OPEN_FAILED, false}},
    };
    size_t nInputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_MSI_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        const krellfuzz::PackageReading reading = krellfuzz::ReadPackage(data.data(), data.size());
        const std::string sName = entry.path().filename().string();
        ++nInputs;
        const auto it = expected.find(sName);
        if (it == expected.end()) {
            continue;  // an input the fuzzer found: it only has to pass
        }
        EXPECT_EQ(reading.dwOpenDatabase, it->second.dwOpenDatabase) << sName;
        EXPECT_EQ(reading.bCodesRead, it->second.bCodesRead) << sName;
        if (reading.dwOpenDatabase == ERROR_SUCCESS) {
            EXPECT_EQ(reading.dwOpenPackage, ERROR_SUCCESS) << sName;
        }
    }
    EXPECT_GE(nInputs, expected.size());
}

}  // namespace
