// What a switched-off log call costs, against an empty call that the compiler may not inline. The
// goal is at most twice the empty call: the entry point must return before any formatting.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "diagnostics/user_debug_output.h"
#include "run_times_reporter.h"

namespace {

[[gnu::noinline]] void EmptyCall(int nValue, const char16_t* szText) {
    benchmark::DoNotOptimize(nValue);
    benchmark::DoNotOptimize(szText);
}

void BM_EmptyNonInlinedCall(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        EmptyCall(++n, u"text");
    }
}

// Verbosity 1: a level-3 message is switched off by its level.
void BM_DisabledByLevel(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        DebugOut3(DBG_CAT_MODULE, u"CKTUMSModule::Start() - detail %d, %s, 0x%08X\n", ++n, u"text",
                  0x80004005u);
    }
}

// Module category only: a compiler message is switched off by its category.
void BM_DisabledByCategory(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::UpdateConfig() - failed %d, %s\n", ++n,
                  u"text");
    }
}

BENCHMARK(BM_EmptyNonInlinedCall);
BENCHMARK(BM_DisabledByLevel);
BENCHMARK(BM_DisabledByCategory);

}  // namespace

int main(int argc, char** argv) {
    const std::string sRoot = (std::filesystem::temp_directory_path() / "krell-bench-log").string();
    std::filesystem::create_directories(sRoot);
    setenv("KRELL_ROOT", sRoot.c_str(), 1);
    setenv("KRELL_DEBUG_OUTPUT", "none", 1);
    g_DebugOutput.Construct(u"KRELLSvc", 0x00002001);  // level 1, module category

    benchmark::Initialize(&argc, argv);
    CRunTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double dBase = reporter.m_Times["BM_EmptyNonInlinedCall"];
    bool bMet = dBase > 0;
    for (const char* szName : {"BM_DisabledByLevel", "BM_DisabledByCategory"}) {
        if (dBase > 0 && reporter.m_Times.count(szName) != 0) {
            const double dRatio = reporter.m_Times[szName] / dBase;
            std::printf("ratio %s / BM_EmptyNonInlinedCall = %.2f (goal <= 2.00)\n", szName, dRatio);
            bMet = bMet && dRatio <= 2.0;
        }
    }
    std::printf("disabled log call goal %s\n", bMet ? "met" : "NOT met");
    std::error_code ec;
    std::filesystem::remove_all(sRoot, ec);
    return 0;
}
