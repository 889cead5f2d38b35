// Compiling protected-resource documents of 100, 10,000 and 100,000 paths through ktRGen.dll's
// interface, loaded by the object loader from a product directory as the rule converter loads it:
// document text in, serialized rules out. Prints t(100,000) / t(10,000) (goal: at most 12, i.e. close
// to linear), from the medians of five repetitions.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "bench_root.h"
#include "compiler/rule_preprocessor.h"
#include "compiler/xml_text.h"
#include "events/object_loader.h"
#include "platform/strings.h"
#include "run_times_reporter.h"

namespace {

CObjectLoader* g_pLoader = nullptr;

// Paths in no particular order, a tenth of them folder trees, a few repeated, as plug-ins deliver them.
std::u16string ProtectedResourcesDocument(int nPaths) {
    std::mt19937 rng(static_cast<unsigned>(nPaths));
    std::string sItems;
    for (int i = 0; i < nPaths; ++i) {
        const unsigned n = rng() % static_cast<unsigned>(nPaths);
        const std::string sPath = "C:\\Data\\Dept" + std::to_string(n % 97) + "\\Project" +
                                  std::to_string(n) + (i % 10 == 0 ? "\\" : "\\report.doc");
        sItems += i % 10 == 0 ? "<prefixStr>" + sPath + "</prefixStr>" : "<exactStr>" + sPath + "</exactStr>";
    }
    const std::string sXml =
        R"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="protected-resources" defaultEffect="allow">)"
        R"(<definitions><setLiteralDef setLiteralId="protected-files">)" +
        sItems +
        R"(</setLiteralDef><singleLiteralDef literalId="is-file-protection-enabled"><bool>true</bool></singleLiteralDef></definitions>)"
        R"(<rules><rule ruleId="deny-protected-file" effect="deny"><and><literalRef literalId="is-file-protection-enabled"/>)"
        R"(<funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="protected-files"/></funEval>)"
        R"(</and></rule></rules></ruleModule>)";
    return platform::FromUtf8(sXml);
}

void BM_CompileProtectedResources(benchmark::State& state) {
    const int nPaths = static_cast<int>(state.range(0));
    const CComPtr<IUnknown> pDocument = CXmlText::Create(ProtectedResourcesDocument(nPaths));
    CComPtr<IKTRulePreprocessor> pPreproc;
    if (g_pLoader->CreateObject(CLSID_KTRulePreprocessor, IID_IKTRulePreprocessor,
                                reinterpret_cast<void**>(&pPreproc)) != ZEL_SUCCESS) {
        state.SkipWithError("cannot create the preprocessor");
        return;
    }
    std::vector<BYTE> rules;
    for (auto _ : state) {
        ULONG cb = 0;
        if (pPreproc->LoadXMLObject(pDocument.Get()) != S_OK || pPreproc->ProcessRules() != S_OK ||
            pPreproc->GetSerializedRulesLength(&cb) != S_OK) {
            state.SkipWithError("compilation failed");
            return;
        }
        rules.resize(cb);
        if (pPreproc->GetSerializedRules(rules.data(), &cb) != S_OK) {
            state.SkipWithError("GetSerializedRules failed");
            return;
        }
        benchmark::DoNotOptimize(rules.data());
    }
    state.counters["bytes"] = static_cast<double>(rules.size());
}
// Medians of several repetitions: the machine is shared, and single runs of the largest size are few.
BENCHMARK(BM_CompileProtectedResources)
    ->Arg(100)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    CBenchRoot root("krell-bench-rules", "ktRGen.dll");
    g_pLoader = root.Loader();
    if (g_pLoader == nullptr) {
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    CRunTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double d10k = reporter.m_Times["BM_CompileProtectedResources/10000/repeats:5_median"];
    const double d100k = reporter.m_Times["BM_CompileProtectedResources/100000/repeats:5_median"];
    if (d10k > 0 && d100k > 0) {
        std::printf("t(100,000 paths) / t(10,000 paths) = %.2f (goal <= 12)\n", d100k / d10k);
    }
    return 0;
}
