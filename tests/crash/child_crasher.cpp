// A program that fails in the way its argument names, with the crash handler enabled as the service
// enables it: the debug log first, then the "CrashHandler" options of the root's registry.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "diagnostics/user_debug_output.h"

// External linkage: inside an anonymous namespace the compiler sees every override and calls the
// derived one directly.
struct CBase;
extern CBase* volatile g_pUnderConstruction;
__attribute__((noipa)) void CallPureOf(CBase* pObject);
// A base whose constructor reaches its own pure virtual function through a pointer the compiler
// cannot see through: the vtable in force is the base's, whose entry is the runtime's hook.
struct CBase {
    CBase() {
        g_pUnderConstruction = this;
        CallPureOf(g_pUnderConstruction);
    }
    virtual ~CBase() = default;
    virtual void Pure() = 0;
};
__attribute__((noipa)) void CallPureOf(CBase* pObject) {
    pObject->Pure();
}
struct CDerived : CBase {
    void Pure() override {}
};
CBase* volatile g_pUnderConstruction = nullptr;
// Found in a dump only when the dump type takes in the modules' data (external linkage keeps it
// writable data); the heap marker only when it takes in the heap.
extern char g_DataMarker[];
char g_DataMarker[] = "KRELL-DATA-MARKER";
__attribute__((noipa)) void CrashByPurecall() {
    CDerived derived;
}

namespace {

volatile int* g_pNull = nullptr;
volatile std::size_t g_cbHuge = ~std::size_t{0} / 2;

__attribute__((noinline)) void CrashBySegv() {
    *g_pNull = 1;
}

__attribute__((noinline)) void CrashByThrow() {
    throw std::runtime_error("nobody catches this");
}

}  // namespace

// Outside the anonymous namespace: LLDB prints such a frame's name without its arguments' values.
__attribute__((noinline)) void CrashByStackSmash(std::size_t cbWrite);

namespace {

__attribute__((noinline)) int CrashByNew() {
    try {
        char* volatile p = new char[g_cbHuge];
        delete[] p;
        std::puts("allocated");
    } catch (const std::bad_alloc& e) {
        std::printf("caught: %s\n", e.what());
    }
    return 0;
}

volatile int g_nSnapshots = 0;
// The count after the call keeps the call from becoming a jump, so the snapshot shows this frame.
__attribute__((noinline)) void TakeSnapshot() {
    g_CrashHandler.Dump(CRASH_TYPE_SNAPSHOT, nullptr);
    g_nSnapshots = g_nSnapshots + 1;
}

std::atomic<int> g_nReady{0};
void* CrashingThread(void*) {
    g_nReady.fetch_add(1);
    while (g_nReady.load() < 2) {
    }
    CrashBySegv();
    return nullptr;
}

const char* g_pszDumpPath = nullptr;
pthread_t g_MainThread;
void* FaultMainWhenDumping(void*) {
    // Deaf to every signal, the writer's too: it cannot be parked before it has struck.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    struct stat st {};
    while (stat(g_pszDumpPath, &st) != 0) {
        usleep(100);
    }
    pthread_kill(g_MainThread, SIGSEGV);
    return nullptr;
}

constexpr char HEAP_MARKER[] = "KRELL-HEAP-MARKER";

// Each level keeps a buffer and works after the call, so the recursion can neither be folded nor
// become a loop.
volatile int g_nOverflowLimit = -1;  // never reached: the stack ends first
__attribute__((noinline)) int OverflowStack(int nDepth) {
    if (nDepth == g_nOverflowLimit) {
        return 0;
    }
    volatile char buffer[1024];
    buffer[0] = static_cast<char>(nDepth);
    return OverflowStack(nDepth + 1) + buffer[0];
}

std::atomic<bool> g_bWorkersGo{false};
std::atomic<int> g_nWorkersReady{0};

__attribute__((noinline)) void* ParkedWorker(void*) {
    g_nWorkersReady.fetch_add(1);
    while (!g_bWorkersGo.load()) {
        usleep(1000);
    }
    return nullptr;
}

__attribute__((noinline)) void* DeafWorker(void*) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    g_nWorkersReady.fetch_add(1);
    while (!g_bWorkersGo.load()) {
        usleep(1000);
    }
    return nullptr;
}

}  // namespace

void CrashByStackSmash(std::size_t cbWrite) {
    char buffer[16];
    volatile char* p = buffer;
    for (std::size_t i = 0; i < cbWrite; ++i) {
        p[i] = 'A';
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s "
                     "segv|throw|purecall|stack|new|snapshot|threads|overflow|workers-snapshot|heap-segv|"
                     "small-disk|nested "
                     "DUMP_PATH\n",
                     argv[0]);
        return 2;
    }
    g_DebugOutput.Construct(u"KRELLSvc", std::nullopt);
    const bool bEnabled = g_CrashHandler.LoadOptions();
    std::printf("enabled %d\n", bEnabled ? 1 : 0);
    std::fflush(stdout);
    const std::string sKind = argv[1];
    if (sKind == "segv") {
        CrashBySegv();
    } else if (sKind == "throw") {
        CrashByThrow();
    } else if (sKind == "purecall") {
        CrashByPurecall();
    } else if (sKind == "stack") {
        CrashByStackSmash(64);
    } else if (sKind == "new") {
        return CrashByNew();
    } else if (sKind == "snapshot") {
        TakeSnapshot();
    } else if (sKind == "threads") {
        pthread_t threads[2];
        for (pthread_t& thread : threads) {
            pthread_create(&thread, nullptr, &CrashingThread, nullptr);
        }
        for (pthread_t thread : threads) {
            pthread_join(thread, nullptr);
        }
    } else if (sKind == "overflow") {
        std::printf("%d\n", OverflowStack(0));
    } else if (sKind == "workers-snapshot") {
        // One worker answers the writer's signal, the other blocks every signal.
        pthread_t workers[2];
        pthread_create(&workers[0], nullptr, &ParkedWorker, nullptr);
        pthread_create(&workers[1], nullptr, &DeafWorker, nullptr);
        while (g_nWorkersReady.load() < 2) {
            usleep(1000);
        }
        TakeSnapshot();
        g_bWorkersGo.store(true);
        for (pthread_t worker : workers) {
            pthread_join(worker, nullptr);
        }
    } else if (sKind == "heap-segv") {
        std::vector<char> heap(32u << 20, 'x');
        std::memcpy(heap.data() + heap.size() / 2, HEAP_MARKER, sizeof(HEAP_MARKER));
        // A pointer to the marker on this frame: memory the stack refers to.
        const char* volatile pHeapMarker = heap.data() + heap.size() / 2;
        std::printf("data %p heap %p\n", static_cast<void*>(g_DataMarker),
                    static_cast<const void*>(pHeapMarker));
        CrashBySegv();
    } else if (sKind == "small-disk") {
        // No file may grow past 256 KiB: a dump meets a full disk.
        const rlimit limit{256 << 10, 256 << 10};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
        CrashBySegv();
    } else if (sKind == "nested" && argc == 3) {
        // A second thread faults this one as soon as the snapshot's file exists, that is while the
        // handler holds its lock and writes; the large heap keeps it writing long enough.
        std::vector<char> heap(128u << 20, 'x');
        g_pszDumpPath = argv[2];
        g_MainThread = pthread_self();
        pthread_t watcher;
        pthread_create(&watcher, nullptr, &FaultMainWhenDumping, nullptr);
        TakeSnapshot();
        std::printf("heap %zu\n", heap.size());
    } else {
        std::fprintf(stderr, "unknown kind %s\n", argv[1]);
        return 2;
    }
    std::puts("survived");
    return 0;
}
