// Every test process runs in a machine root of its own, so tests never see each other's registry,
// named objects or files, and ctest can run them in parallel.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string_view>

#ifndef KRELL_TEST_WITHOUT_SERVICES
#include "support/protection_root.h"
#endif
#include "support/test_root.h"

int main(int argc, char** argv) {
    // A death test run in a process of its own (ThreadSanitizer builds run them so) is this test
    // process again: it stays in the root it inherits, which its parent removes, rather than making
    // one that its abort would leave behind.
    const bool bDeathTestChild = std::any_of(argv, argv + argc, [](const char* szArg) {
        return std::string_view(szArg).starts_with("--gtest_internal_run_death_test");
    });
    testing::InitGoogleTest(&argc, argv);
    const bool bListing = testing::GTEST_FLAG(list_tests);
    std::string sRoot;
    if (!bListing && !bDeathTestChild && getenv("KRELL_TEST_KEEP_ROOT") == nullptr) {
        sRoot = krelltest::MakeTempDirectory("krell-root");
        setenv("KRELL_ROOT", sRoot.c_str(), 1);
    }
    // Installer packages are read by the reader program of the build.
    setenv("KRELL_MSI_READER", KRELL_PROGRAM_DIR "/krellmsiread", 0);
    const int nResult = RUN_ALL_TESTS();
    if (!sRoot.empty()) {
#ifndef KRELL_TEST_WITHOUT_SERVICES
        // Whatever services a test left running in its root end with it.
        if (std::filesystem::exists(sRoot + "/run")) {
            krelltest::ShutdownProtectionRoot();
        }
#endif
        std::error_code ec;
        std::filesystem::remove_all(sRoot, ec);
    }
    return nResult;
}
