// KC file costs against baselines measured in the same run:
// - the section cipher against OpenSSL's Blowfish ECB on the same buffer (goal: at least 0.8 of its
//   throughput);
// - writing a 50-section file of 512 KiB sections through CKTDataFile against SHA-1 of the same
//   bytes plus a plain write and flush of them (goal: at most 1.5 times the baseline).
// Prints both ratios after the benchmark table. The Windows build has no OpenSSL, and so no cipher
// baseline: it prints the write ratio and the cipher's throughput only.
#include <benchmark/benchmark.h>

#if __has_include(<openssl/blowfish.h>)
#define KRELL_BENCH_OPENSSL 1
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#endif

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "compiler/kt_data_file.h"
#include "crypto/blowfish.h"
#include "crypto/blowfish_kernels.h"
#include "crypto/sha1.h"
#include "kcfile/kc_format.h"
#include "platform/file.h"
#include "platform/sync.h"

namespace {

constexpr std::size_t CIPHER_BUFFER = 1 << 20;
constexpr std::size_t SECTION_COUNT = 50;
constexpr std::size_t SECTION_SIZE = 0x80000;
const char16_t* const KC_PATH = u"C:\\kcfile_bench.kc";
const char16_t* const BASELINE_PATH = u"C:\\kcfile_bench.raw";

std::vector<BYTE> RandomBytes(std::size_t cb, unsigned nSeed) {
    std::mt19937 rng(nSeed);
    std::vector<BYTE> bytes(cb);
    for (BYTE& b : bytes) {
        b = static_cast<BYTE>(rng());
    }
    return bytes;
}

void BM_SectionCipher(benchmark::State& state) {
    std::vector<BYTE> buffer = RandomBytes(CIPHER_BUFFER, 1);
    const crypto::CBlowfish cipher(crypto::BLOWFISH_ZERO_P_LE, kcfile::KC_SECTION_KEY);
    for (auto _ : state) {
        cipher.EncipherEcb(buffer.data(), buffer.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

#ifdef KRELL_BENCH_OPENSSL
void BM_OpenSslBlowfishEcb(benchmark::State& state) {
    std::vector<BYTE> buffer = RandomBytes(CIPHER_BUFFER, 1);
    BF_KEY key;
    BF_set_key(&key, sizeof(kcfile::KC_SECTION_KEY), kcfile::KC_SECTION_KEY);
    for (auto _ : state) {
        for (std::size_t i = 0; i < buffer.size(); i += 8) {
            BF_ecb_encrypt(&buffer[i], &buffer[i], &key, BF_ENCRYPT);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}
#endif

const std::vector<std::vector<BYTE>>& Sections() {
    static const std::vector<std::vector<BYTE>> sections = [] {
        std::vector<std::vector<BYTE>> v;
        for (std::size_t i = 0; i < SECTION_COUNT; ++i) {
            v.push_back(RandomBytes(SECTION_SIZE, static_cast<unsigned>(i + 2)));
        }
        return v;
    }();
    return sections;
}

void BM_WriteKCFile(benchmark::State& state) {
    const auto& sections = Sections();
    for (auto _ : state) {
        CKTDataFile file;
        if (file.Open(KC_PATH, platform::CREATE_ALWAYS) < 0) {
            state.SkipWithError("Open failed");
            break;
        }
        for (std::size_t i = 0; i < sections.size(); ++i) {
            file.AddSection(static_cast<DWORD>(0x1000 + i), sections[i].data(),
                            static_cast<DWORD>(sections[i].size()));
        }
        if (file.Close() < 0) {
            state.SkipWithError("Close failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SECTION_COUNT * SECTION_SIZE));
}

// What writing the same bytes costs without the cipher and the format: a digest per section and one
// write per section, flushed like the KC file is.
void BM_Sha1AndPlainWrite(benchmark::State& state) {
    const auto& sections = Sections();
    for (auto _ : state) {
        HANDLE hFile = platform::CreateFile(BASELINE_PATH, GENERIC_WRITE, 0, platform::CREATE_ALWAYS,
                                            platform::FILE_ATTRIBUTE_NORMAL);
        if (hFile == INVALID_HANDLE_VALUE) {
            state.SkipWithError("CreateFile failed");
            break;
        }
        for (const auto& section : sections) {
            crypto::Sha1Digest digest;
            crypto::Sha1(section, digest);
            benchmark::DoNotOptimize(digest);
            DWORD cbWritten = 0;
            platform::WriteFile(hFile, section.data(), static_cast<DWORD>(section.size()), &cbWritten);
        }
        platform::FlushFileBuffers(hFile);
        platform::CloseHandle(hFile);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SECTION_COUNT * SECTION_SIZE));
}

BENCHMARK(BM_SectionCipher)->Repetitions(5)->ReportAggregatesOnly(true);
#ifdef KRELL_BENCH_OPENSSL
BENCHMARK(BM_OpenSslBlowfishEcb)->Repetitions(5)->ReportAggregatesOnly(true);
#endif
BENCHMARK(BM_WriteKCFile)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Sha1AndPlainWrite)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// Keeps the median time per iteration of every benchmark while printing as usual.
class CMedianReporter : public benchmark::ConsoleReporter {
public:
    CMedianReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_Medians[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Median(const std::string& sName) const {
        const auto it = m_Medians.find(sName);
        return it == m_Medians.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> m_Medians;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CMedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    platform::DeleteFile(KC_PATH);
    platform::DeleteFile(BASELINE_PATH);

    const double dOurs = reporter.Median("BM_SectionCipher");
    const double dOpenSsl = reporter.Median("BM_OpenSslBlowfishEcb");
    const double dWrite = reporter.Median("BM_WriteKCFile");
    const double dBaseline = reporter.Median("BM_Sha1AndPlainWrite");
    const char* const KERNEL_NAMES[] = {"scalar", "AVX2", "AVX-512"};
    std::printf("section cipher kernel: %s\n",
                KERNEL_NAMES[static_cast<int>(crypto::detail::ChosenKernel())]);
    if (dOurs > 0) {
        std::printf("section cipher throughput: %.1f MiB/s\n",
                    CIPHER_BUFFER / (1024.0 * 1024.0) / (dOurs * 1e-9));
    }
    if (dOurs > 0 && dOpenSsl > 0) {
        std::printf("cipher throughput, section cipher / OpenSSL Blowfish ECB: %.2f (goal >= 0.80)\n",
                    dOpenSsl / dOurs);
    }
    if (dWrite > 0 && dBaseline > 0) {
        std::printf("50 x 512 KiB KC file, CKTDataFile / (SHA-1 + plain write): %.2f (goal <= 1.50)\n",
                    dWrite / dBaseline);
    }
    return 0;
}
