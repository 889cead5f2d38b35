// libFuzzer target for what the settings store reads (settings_values.h).
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "settings_values.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A root of its own, so that the store's file is never one a user or a test relies on.
    static std::string s_sRoot =
        (std::filesystem::temp_directory_path() / "krell-fuzz-settings-XXXXXX").string();
    if (mkdtemp(s_sRoot.data()) == nullptr) {
        std::abort();
    }
    setenv("KRELL_ROOT", s_sRoot.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(s_sRoot, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    krellfuzz::FeedSettingsValues(pData, cbData);
    return 0;
}
