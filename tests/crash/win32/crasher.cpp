// The Windows crash child: fails in the way its argument names, with the crash handler enabled as the
// service enables it (the debug log first, then the "CrashHandler" options of the registry).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "diagnostics/crash_handler.h"
#include "diagnostics/user_debug_output.h"
#include "platform/sync.h"
#include "platform/thread.h"

// External linkage and an opaque call: the compiler must reach the base's vtable entry, the
// runtime's hook, while the base is under construction.
struct CBase;
extern CBase* volatile g_pUnderConstruction;
__attribute__((noipa)) void CallPureOf(CBase* pObject);
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

__attribute__((noinline)) void CrashByStackSmash(std::size_t cbWrite) {
    char buffer[16];
    volatile char* p = buffer;
    for (std::size_t i = 0; i < cbWrite; ++i) {
        p[i] = 'A';
    }
}

namespace {

volatile int* g_pNull = nullptr;
volatile int g_nZero = 0;
volatile std::size_t g_cbHuge = ~std::size_t{0} / 2;
volatile int g_nOverflowLimit = -1;  // never reached: the stack ends first

__attribute__((noinline)) void CrashByAccess() {
    *g_pNull = 1;
}
__attribute__((noinline)) void CrashByIllegal() {
    __builtin_trap();
}
__attribute__((noinline)) int CrashByDivide() {
    return 7 / g_nZero;
}
__attribute__((noinline)) int OverflowStack(int nDepth) {
    if (nDepth == g_nOverflowLimit) {
        return 0;
    }
    volatile char buffer[1024];
    buffer[0] = static_cast<char>(nDepth);
    return OverflowStack(nDepth + 1) + buffer[0];
}
DWORD OverflowingThread(void*) {
    return static_cast<DWORD>(OverflowStack(0));
}
__attribute__((noinline)) void CrashByThrow() {
    throw std::runtime_error("nobody catches this");
}
DWORD ThrowingThread(void*) {
    CrashByThrow();
    return 0;
}
// Installed before the crash handler, which must hand abort() on to it.
void PreviousAbortHandler(int) {
    std::puts("previous abort handler");
    std::fflush(stdout);
}
bool RunOnThread(DWORD (*pfnThread)(void*)) {
    HANDLE hThread = platform::CreateThread(0, pfnThread, nullptr, 0, nullptr);
    if (hThread == nullptr) {
        return false;
    }
    platform::WaitForSingleObject(hThread, INFINITE);
    return true;
}
__attribute__((noipa)) void CrashByPurecall() {
    CDerived derived;
}
__attribute__((noinline)) void CrashByNew() {
    try {
        char* volatile p = new char[g_cbHuge];
        delete[] p;
        std::puts("allocated");
    } catch (const std::bad_alloc& e) {
        std::printf("caught: %s\n", e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(
            stderr,
            "usage: %s access|illegal|divide|overflow|overflow-thread|throw|throw-thread|abort|abort-chained|"
            "purecall|stack|new|snapshot [OUTPUT]\n",
            argv[0]);
        return 2;
    }
    // The test reads what the child printed from this file: a spawned child shares its console.
    if (argc == 3 && std::freopen(argv[2], "w", stdout) == nullptr) {
        return 3;
    }
    const std::string sKind = argv[1];
    if (sKind == "abort-chained") {
        signal(SIGABRT, &PreviousAbortHandler);
    }
    g_DebugOutput.Construct(u"KRELLSvc", std::nullopt);
    std::printf("enabled %d\n", g_CrashHandler.LoadOptions() ? 1 : 0);
    std::fflush(stdout);
    if (sKind == "access") {
        CrashByAccess();
    } else if (sKind == "illegal") {
        CrashByIllegal();
    } else if (sKind == "divide") {
        std::printf("%d\n", CrashByDivide());
    } else if (sKind == "overflow") {
        std::printf("%d\n", OverflowStack(0));
    } else if (sKind == "overflow-thread") {
        // Not the thread that enabled the handler.
        if (!RunOnThread(OverflowingThread)) {
            return 4;
        }
    } else if (sKind == "throw") {
        CrashByThrow();
    } else if (sKind == "throw-thread") {
        if (!RunOnThread(ThrowingThread)) {
            return 4;
        }
    } else if (sKind == "abort" || sKind == "abort-chained") {
        std::abort();
    } else if (sKind == "purecall") {
        CrashByPurecall();
    } else if (sKind == "stack") {
        CrashByStackSmash(64);
    } else if (sKind == "new") {
        CrashByNew();
    } else if (sKind == "snapshot") {
        g_CrashHandler.Dump(CRASH_TYPE_SNAPSHOT, nullptr);
    } else {
        std::fprintf(stderr, "unknown kind %s\n", argv[1]);
        return 2;
    }
    std::puts("survived");
    std::fflush(stdout);
    return 0;
}
