// From a fault to the closed dump file, for a process with 50 MiB of heap, against writing 50 MiB with
// write() in the same run. A crash dump must never take longer than the service's stop wait (10 s);
// the ratio says how far the writer is from the disk's own speed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "diagnostics/debug_options.h"
#include "platform/minidump.h"
#include "platform/paths.h"
#include "run_times_reporter.h"
#include "service/registry_key.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t HEAP_BYTES = 50u << 20;
std::string g_sFolder;  // POSIX folder of the dumps and the baseline file

void SetDumpType(DWORD dwDumpType) {
    CRegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, (std::u16string(CDebugOptions::BASE_KEY) + u"\\CrashHandler").c_str());
    key.SetDword(u"DumpOnException", 1);
    key.SetDword(u"TerminateOnException", 1);
    key.SetDword(u"DumpType", dwDumpType);
    key.SetString(u"Directory", u"C:\\Dumps");
}

// A child with 50 MiB of touched heap faults; the parent's clock stops when the child is gone, which
// is right after the dump was closed (the handler ends the process then).
void BM_FaultToDumpClosed(benchmark::State& state) {
    SetDumpType(static_cast<DWORD>(state.range(0)));
    auto* pFaultTime = static_cast<std::atomic<std::int64_t>*>(
        mmap(nullptr, sizeof(std::atomic<std::int64_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
             -1, 0));
    std::uint64_t cbDump = 0;
    for (auto _ : state) {
        pFaultTime->store(0);
        const pid_t pid = fork();
        if (pid == 0) {
            g_CrashHandler.LoadOptions();
            std::vector<char> heap(HEAP_BYTES, 'h');
            benchmark::DoNotOptimize(heap.data());
            pFaultTime->store(Clock::now().time_since_epoch().count());
            *static_cast<volatile int*>(nullptr) = 1;
            _exit(1);
        }
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        const auto end = Clock::now().time_since_epoch().count();
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 255 || pFaultTime->load() == 0) {
            state.SkipWithError("the child did not end through the crash handler");
            break;
        }
        state.SetIterationTime(static_cast<double>(end - pFaultTime->load()) * 1e-9);
        std::error_code ec;
        cbDump = fs::file_size(g_sFolder + "/" + "krell_crash_bench.dmp", ec);
    }
    state.counters["dump_MiB"] = static_cast<double>(cbDump) / (1 << 20);
    munmap(pFaultTime, sizeof(std::atomic<std::int64_t>));
}

// The baseline: 50 MiB from the heap into a new file with write(), until it is closed.
void BM_Write50MiB(benchmark::State& state) {
    std::vector<char> heap(HEAP_BYTES, 'h');
    const std::string sFile = g_sFolder + "/baseline.bin";
    for (auto _ : state) {
        const auto start = Clock::now();
        const int nFd = open(sFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::size_t cbDone = 0;
        while (nFd >= 0 && cbDone < heap.size()) {
            const ssize_t n = write(nFd, heap.data() + cbDone, heap.size() - cbDone);
            if (n <= 0) {
                break;
            }
            cbDone += static_cast<std::size_t>(n);
        }
        close(nFd);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (cbDone != heap.size()) {
            state.SkipWithError("the baseline file could not be written");
            break;
        }
    }
}

BENCHMARK(BM_Write50MiB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FaultToDumpClosed)
    ->Arg(platform::MiniDumpNormal)
    ->Arg(platform::MiniDumpWithFullMemory)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    const std::string sRoot =
        (fs::temp_directory_path() / ("krell-bench-crash-" + std::to_string(getpid()))).string();
    fs::create_directories(sRoot);
    setenv("KRELL_ROOT", sRoot.c_str(), 1);
    setenv("KRELL_DEBUG_OUTPUT", "none", 1);
    platform::MapPath(u"C:\\Dumps", &g_sFolder);
    fs::create_directories(g_sFolder);

    benchmark::Initialize(&argc, argv);
    CRunTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double dBase = reporter.m_Times["BM_Write50MiB/manual_time"];
    for (const char* szName : {"BM_FaultToDumpClosed/0/manual_time", "BM_FaultToDumpClosed/2/manual_time"}) {
        if (dBase > 0 && reporter.m_Times.count(szName) != 0) {
            std::printf("ratio %s / BM_Write50MiB = %.2f (a dump must stay below the 10 s stop wait)\n",
                        szName, reporter.m_Times[szName] / dBase);
        }
    }
    std::error_code ec;
    fs::remove_all(sRoot, ec);
    return 0;
}
