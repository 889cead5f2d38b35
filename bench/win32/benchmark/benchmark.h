// The part of Google Benchmark's interface the Windows build's benchmarks use, timed the same way: a
// benchmark's iteration count grows until one run lasts --benchmark_min_time (0.5 s unless given),
// every repetition runs that many iterations, and the aggregates are over the repetitions' real time
// per iteration. Debian ships the library only for Linux, not its sources to cross-build. No CPU time
// is measured: the reports' CPU column repeats real time, and the ratios use real time on both builds.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace benchmark {

enum TimeUnit { kNanosecond, kMicrosecond, kMillisecond, kSecond };

template <typename T>
inline void DoNotOptimize(T const& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}
inline void ClobberMemory() {
    asm volatile("" : : : "memory");
}

class State {
public:
    explicit State(int64_t nIterations) : m_nMax(nIterations) {}

    // Marked unused, as the loop variable never is.
    struct [[gnu::unused]] Value {};
    class Iterator {
    public:
        Iterator(State* pState, int64_t nLeft) : m_pState(pState), m_nLeft(nLeft) {}
        Value operator*() const { return {}; }
        Iterator& operator++() {
            --m_nLeft;
            return *this;
        }
        bool operator!=(const Iterator&) {
            if (m_nLeft > 0 && !m_pState->m_bError) {
                return true;
            }
            m_pState->m_end = std::chrono::steady_clock::now();
            m_pState->m_nDone = m_pState->m_nMax - m_nLeft;
            return false;
        }

    private:
        State* m_pState;
        int64_t m_nLeft;
    };
    Iterator begin() {
        m_start = std::chrono::steady_clock::now();
        return {this, m_nMax};
    }
    Iterator end() { return {this, 0}; }

    int64_t iterations() const { return m_nDone; }
    void SetBytesProcessed(int64_t cb) { m_cbProcessed = cb; }
    void SkipWithError(const char* szMessage) {
        m_bError = true;
        m_sError = szMessage;
    }

    double Seconds() const { return std::chrono::duration<double>(m_end - m_start).count(); }

    int64_t m_nMax;
    int64_t m_nDone = 0;
    int64_t m_cbProcessed = 0;
    bool m_bError = false;
    std::string m_sError;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_end;
};

class BenchmarkReporter {
public:
    struct Run {
        enum RunType { RT_Iteration, RT_Aggregate };
        struct Name {
            std::string function_name;
        };
        Name run_name;
        RunType run_type = RT_Iteration;
        std::string aggregate_name;
        int64_t iterations = 0;
        double real_accumulated_time = 0;  // seconds
        double bytes_per_second = 0;
        TimeUnit time_unit = kNanosecond;
        bool error_occurred = false;
        std::string error_message;

        // Per iteration, in the run's unit.
        double GetAdjustedRealTime() const {
            static const double MULTIPLIERS[] = {1e9, 1e6, 1e3, 1};
            return iterations == 0 ? 0 : real_accumulated_time * MULTIPLIERS[time_unit] / double(iterations);
        }
    };
    virtual ~BenchmarkReporter() = default;
    virtual void ReportRuns(const std::vector<Run>& runs) = 0;
};

class ConsoleReporter : public BenchmarkReporter {
public:
    enum OutputOptions { OO_None = 0 };
    explicit ConsoleReporter(OutputOptions = OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        static const char* const UNITS[] = {"ns", "us", "ms", "s"};
        if (!m_bHeader) {
            m_bHeader = true;
            std::printf("%-36s %15s %15s %12s\n", "Benchmark", "Time", "CPU", "Iterations");
            std::printf("%s\n", std::string(81, '-').c_str());
        }
        for (const Run& run : runs) {
            std::string sName = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                sName += "_" + run.aggregate_name;
            }
            if (run.error_occurred) {
                std::printf("%-36s ERROR OCCURRED: '%s'\n", sName.c_str(), run.error_message.c_str());
                continue;
            }
            const double dTime = run.GetAdjustedRealTime();
            const int nDecimals = dTime >= 100 ? 0 : (dTime >= 10 ? 1 : 2);
            std::printf("%-36s %12.*f %s %12.*f %s %12lld", sName.c_str(), nDecimals, dTime,
                        UNITS[run.time_unit], nDecimals, dTime, UNITS[run.time_unit],
                        static_cast<long long>(run.iterations));
            if (run.bytes_per_second > 0) {
                std::printf(" bytes_per_second=%.4gMi/s", run.bytes_per_second / (1024.0 * 1024.0));
            }
            std::printf("\n");
        }
        std::fflush(stdout);
    }

private:
    bool m_bHeader = false;
};

namespace internal {

struct Settings {
    double dMinTime = 0.5;
    std::string sFilter = ".";
};
inline Settings& TheSettings() {
    static Settings settings;
    return settings;
}

class Benchmark {
public:
    Benchmark(const char* szName, void (*pfn)(State&)) : m_sName(szName), m_pfn(pfn) {}
    Benchmark* Unit(TimeUnit eUnit) {
        m_eUnit = eUnit;
        return this;
    }
    Benchmark* Repetitions(int n) {
        m_nRepetitions = n;
        return this;
    }
    Benchmark* ReportAggregatesOnly(bool b = true) {
        m_bAggregatesOnly = b;
        return this;
    }

    // False when the filter leaves it out.
    bool Run(BenchmarkReporter* pReporter) const {
        if (!std::regex_search(m_sName, std::regex(TheSettings().sFilter))) {
            return false;
        }
        // One run of the benchmark; false after reporting its error.
        const auto runOnce = [&](State& state) {
            m_pfn(state);
            if (!state.m_bError) {
                return true;
            }
            BenchmarkReporter::Run error = Base();
            error.error_occurred = true;
            error.error_message = state.m_sError;
            pReporter->ReportRuns({error});
            return false;
        };
        // Grows the count as Google Benchmark does: by the factor the last run fell short, at most ten.
        int64_t nIterations = 1;
        std::vector<State> done;
        for (;;) {
            State state(nIterations);
            if (!runOnce(state)) {
                return true;
            }
            const double dSeconds = state.Seconds();
            if (dSeconds >= TheSettings().dMinTime || nIterations >= 1000000000) {
                done.push_back(state);
                break;
            }
            const double dFactor =
                dSeconds <= 0 ? 10 : std::min(10.0, TheSettings().dMinTime * 1.4 / dSeconds);
            nIterations =
                std::max<int64_t>(nIterations + 1, static_cast<int64_t>(double(nIterations) * dFactor));
        }
        while (static_cast<int>(done.size()) < m_nRepetitions) {
            State state(nIterations);
            if (!runOnce(state)) {
                return true;
            }
            done.push_back(state);
        }
        std::vector<BenchmarkReporter::Run> runs;
        std::vector<double> perIteration;
        for (const State& state : done) {
            BenchmarkReporter::Run run = Base();
            run.iterations = state.iterations();
            run.real_accumulated_time = state.Seconds();
            run.bytes_per_second = state.Seconds() > 0 ? double(state.m_cbProcessed) / state.Seconds() : 0;
            perIteration.push_back(run.GetAdjustedRealTime());
            if (!m_bAggregatesOnly || m_nRepetitions == 1) {
                runs.push_back(run);
            }
        }
        if (m_nRepetitions > 1) {
            std::vector<double> sorted = perIteration;
            std::sort(sorted.begin(), sorted.end());
            const std::size_t n = sorted.size();
            const double dMedian = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
            double dMean = 0;
            for (const double d : sorted) {
                dMean += d / double(n);
            }
            double dSquares = 0;
            for (const double d : sorted) {
                dSquares += (d - dMean) * (d - dMean);
            }
            const double dStddev = std::sqrt(dSquares / double(n - 1));
            const double cbPerIteration =
                double(done.front().m_cbProcessed) / double(done.front().iterations());
            for (const auto& [szName, dValue] :
                 {std::pair<const char*, double>{"mean", dMean}, {"median", dMedian}, {"stddev", dStddev}}) {
                BenchmarkReporter::Run run = Base();
                run.run_type = BenchmarkReporter::Run::RT_Aggregate;
                run.aggregate_name = szName;
                run.iterations = static_cast<int64_t>(n);
                // Stored so that GetAdjustedRealTime gives the aggregate back.
                static const double MULTIPLIERS[] = {1e9, 1e6, 1e3, 1};
                run.real_accumulated_time = dValue * double(n) / MULTIPLIERS[m_eUnit];
                if (std::strcmp(szName, "stddev") != 0 && dValue > 0) {
                    run.bytes_per_second = cbPerIteration / (dValue / MULTIPLIERS[m_eUnit]);
                }
                runs.push_back(run);
            }
        }
        pReporter->ReportRuns(runs);
        return true;
    }

private:
    BenchmarkReporter::Run Base() const {
        BenchmarkReporter::Run run;
        run.run_name.function_name = m_sName;
        run.time_unit = m_eUnit;
        return run;
    }

    std::string m_sName;
    void (*m_pfn)(State&);
    TimeUnit m_eUnit = kNanosecond;
    int m_nRepetitions = 1;
    bool m_bAggregatesOnly = false;
};

inline std::vector<Benchmark*>& Registered() {
    static std::vector<Benchmark*> benchmarks;
    return benchmarks;
}
inline Benchmark* Register(Benchmark* pBenchmark) {
    Registered().push_back(pBenchmark);
    return pBenchmark;
}

}  // namespace internal

// Takes --benchmark_min_time=<seconds> and --benchmark_filter=<regex>; other --benchmark_ options are
// accepted and ignored.
inline void Initialize(int* pArgc, char** argv) {
    int nKept = 1;
    for (int i = 1; i < *pArgc; ++i) {
        const std::string sArg = argv[i];
        if (sArg.rfind("--benchmark_min_time=", 0) == 0) {
            internal::TheSettings().dMinTime = std::atof(sArg.c_str() + std::strlen("--benchmark_min_time="));
        } else if (sArg.rfind("--benchmark_filter=", 0) == 0) {
            internal::TheSettings().sFilter = sArg.substr(std::strlen("--benchmark_filter="));
        } else if (sArg.rfind("--benchmark_", 0) != 0) {
            argv[nKept++] = argv[i];
        }
    }
    *pArgc = nKept;
}

inline std::size_t RunSpecifiedBenchmarks(BenchmarkReporter* pReporter) {
    std::size_t nRun = 0;
    for (const internal::Benchmark* pBenchmark : internal::Registered()) {
        nRun += pBenchmark->Run(pReporter) ? 1 : 0;
    }
    if (nRun == 0) {
        std::fprintf(stderr, "Failed to match any benchmarks against regex: %s\n",
                     internal::TheSettings().sFilter.c_str());
    }
    return nRun;
}

}  // namespace benchmark

#define KRELL_BENCHMARK_CONCAT2(a, b) a##b
#define KRELL_BENCHMARK_CONCAT(a, b) KRELL_BENCHMARK_CONCAT2(a, b)
#define BENCHMARK(fn)                                                                                        \
    static ::benchmark::internal::Benchmark* KRELL_BENCHMARK_CONCAT(benchmark_, __LINE__) [[maybe_unused]] = \
        ::benchmark::internal::Register(new ::benchmark::internal::Benchmark(#fn, fn))
