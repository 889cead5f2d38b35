// libFuzzer target: arbitrary bytes as an installer package file, read through the seam (its reader
// program runs libmsi) and the install authorization's code reader. Corpus: fuzz/corpus/msi_reader.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "msi_reader.h"

namespace {

std::string g_sRoot;

void RemoveRoot() {
    std::error_code ec;
    std::filesystem::remove_all(g_sRoot, ec);
}

}  // namespace

// A machine root of the fuzzer's own unless KRELL_ROOT names one, and the reader program of this build.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("KRELL_MSI_READER", KRELL_MSI_READER_PATH, 0);
    if (getenv("KRELL_ROOT") == nullptr) {
        std::string sTemplate = (std::filesystem::temp_directory_path() / "krell-msi-fuzz-XXXXXX").string();
        if (mkdtemp(sTemplate.data()) == nullptr) {
            abort();
        }
        g_sRoot = sTemplate;
        setenv("KRELL_ROOT", g_sRoot.c_str(), 1);
        atexit(RemoveRoot);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    krellfuzz::ReadPackage(pData, nSize);
    return 0;
}
