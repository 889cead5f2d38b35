// The crash handler's POSIX half: fatal signals, the runtime's pure-virtual and stack-protector
// hooks, and the thread and clock primitives of the crash path as raw system calls.
#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "diagnostics/crash_handler.h"
#include "diagnostics/crash_handler_platform.h"

namespace crash_platform {

DWORD CurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

void PauseOneMillisecond() {
    timespec pause{0, 1000000};
    syscall(SYS_nanosleep, &pause, nullptr);
}

}  // namespace crash_platform

struct CCrashHandler::CExceptionCrashHandler::CPlatform {
    static constexpr int SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

    static void ExceptionHandler(int nSignal, siginfo_t* pInfo, void* pContext);
    // Hands the signal to the handler installed before, or to the default action.
    static void Chain(int nSignal, siginfo_t* pInfo, void* pContext);
    static bool PreviousIsDefault(int nSignal);

    static struct sigaction s_Previous[std::size(SIGNALS)];
    static char* s_pAlternateStack;
};

struct sigaction CCrashHandler::CExceptionCrashHandler::CPlatform::s_Previous[std::size(SIGNALS)] = {};
char* CCrashHandler::CExceptionCrashHandler::CPlatform::s_pAlternateStack = nullptr;

namespace {

using crash_platform::CurrentThreadId;
using crash_platform::Log;

constexpr int SECURITY_CODE_BUFFER_OVERRUN = 1;
constexpr std::size_t ALTERNATE_STACK_SIZE = 64 * 1024;

// The thread that is handing a failure to the runtime's own handler, whose abort() must not count as
// a second crash.
std::atomic<DWORD> g_dwChainingThread{0};
// Depth of the exception handler on this thread: a fault inside it must not recurse forever.
thread_local int t_nHandlerDepth = 0;

// The runtime's own definitions of the hooks this file overrides.
using PFN_HOOK = void (*)();
PFN_HOOK RuntimeHook(const char* szName) {
    return reinterpret_cast<PFN_HOOK>(dlsym(RTLD_NEXT, szName));
}
PFN_HOOK g_pfnRuntimePurecall = RuntimeHook("__cxa_pure_virtual");
PFN_HOOK g_pfnRuntimeStackChkFail = RuntimeHook("__stack_chk_fail");

[[noreturn]] void AbortWithMessage(const char* szMessage) {
    syscall(SYS_write, 2, szMessage, std::strlen(szMessage));
    abort();
}

[[noreturn]] void CallRuntimeHook(PFN_HOOK pfnHook, const char* szFallbackMessage) {
    g_dwChainingThread.store(CurrentThreadId());
    if (pfnHook != nullptr) {
        pfnHook();
    }
    AbortWithMessage(szFallbackMessage);
}

}  // namespace

// The runtime calls these by name; a program's own definitions take their place.
extern "C" void __cxa_pure_virtual() {
    if (g_CrashHandler.IsEnabled()) {
        CCrashHandler::CPurecallCrashHandler::PurecallHandler();
    }
    CallRuntimeHook(g_pfnRuntimePurecall, "pure virtual method called\n");
}

extern "C" __attribute__((noreturn, no_stack_protector)) void __stack_chk_fail() {
    if (g_CrashHandler.IsEnabled()) {
        CCrashHandler::CSecurityCrashHandler::SecurityHandler(SECURITY_CODE_BUFFER_OVERRUN);
    }
    CallRuntimeHook(g_pfnRuntimeStackChkFail, "*** stack smashing detected ***: terminated\n");
}

bool CCrashHandler::CExceptionCrashHandler::Enable() {
    if (m_bEnabled) {
        return true;
    }
    // Room to run on when the fault is a stack overflow of the thread that enables the handler. A
    // stack someone else gave the thread stays: its owner may free it when the thread ends
    // (AddressSanitizer does).
    stack_t current{};
    if (CPlatform::s_pAlternateStack == nullptr && sigaltstack(nullptr, &current) == 0 &&
        (current.ss_flags & SS_DISABLE) != 0) {
        void* pStack =
            mmap(nullptr, ALTERNATE_STACK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pStack != MAP_FAILED) {
            CPlatform::s_pAlternateStack = static_cast<char*>(pStack);
            stack_t stack{};
            stack.ss_sp = CPlatform::s_pAlternateStack;
            stack.ss_size = ALTERNATE_STACK_SIZE;
            sigaltstack(&stack, nullptr);
        }
    }
    struct sigaction action {};
    action.sa_sigaction = &CPlatform::ExceptionHandler;
    // SA_NODEFER lets a fault inside the handler reach it again, where it is recognised; with the
    // signal blocked the kernel would kill the process without a word.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    std::size_t nInstalled = 0;
    for (; nInstalled < std::size(CPlatform::SIGNALS); ++nInstalled) {
        if (sigaction(CPlatform::SIGNALS[nInstalled], &action, &CPlatform::s_Previous[nInstalled]) != 0) {
            break;
        }
    }
    if (nInstalled < std::size(CPlatform::SIGNALS)) {
        while (nInstalled > 0) {
            --nInstalled;
            sigaction(CPlatform::SIGNALS[nInstalled], &CPlatform::s_Previous[nInstalled], nullptr);
        }
        return false;
    }
    m_bEnabled = true;
    return true;
}

void CCrashHandler::CExceptionCrashHandler::Disable() {
    if (m_bEnabled) {
        for (std::size_t i = 0; i < std::size(CPlatform::SIGNALS); ++i) {
            sigaction(CPlatform::SIGNALS[i], &CPlatform::s_Previous[i], nullptr);
        }
        m_bEnabled = false;
    }
}

bool CCrashHandler::CExceptionCrashHandler::CPlatform::PreviousIsDefault(int nSignal) {
    for (std::size_t i = 0; i < std::size(CPlatform::SIGNALS); ++i) {
        if (SIGNALS[i] == nSignal) {
            const struct sigaction& previous = s_Previous[i];
            return (previous.sa_flags & SA_SIGINFO) == 0 &&
                   (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN);
        }
    }
    return true;
}

void CCrashHandler::CExceptionCrashHandler::CPlatform::Chain(int nSignal, siginfo_t* pInfo, void* pContext) {
    for (std::size_t i = 0; i < std::size(CPlatform::SIGNALS); ++i) {
        if (SIGNALS[i] != nSignal) {
            continue;
        }
        const struct sigaction previous = s_Previous[i];
        if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
            previous.sa_sigaction(nSignal, pInfo, pContext);
            return;
        }
        if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
            previous.sa_handler(nSignal);
            return;
        }
        break;
    }
    // No handler before this one: the default action ends the process. A fault repeats when the
    // handler returns; a signal that was sent is sent again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(nSignal, &fallback, nullptr);
    if (pInfo == nullptr || pInfo->si_code <= 0 || nSignal == SIGABRT) {
        syscall(SYS_tgkill, syscall(SYS_getpid), syscall(SYS_gettid), nSignal);
    }
}

void CCrashHandler::CExceptionCrashHandler::CPlatform::ExceptionHandler(int nSignal, siginfo_t* pInfo,
                                                                        void* pContext) {
    const int nSavedErrno = errno;
    ++t_nHandlerDepth;
    const DWORD dwThread = CurrentThreadId();
    if (nSignal == SIGABRT && g_dwChainingThread.load() == dwThread) {
        // The runtime's own handler of an earlier failure is ending the process: not a new crash.
        Chain(nSignal, pInfo, pContext);
    } else if (t_nHandlerDepth > 2) {
        // Faulting while handling a fault inside the handler: only the default action is left.
        Chain(nSignal, nullptr, pContext);
    } else {
        CFixedText text;
        text.Add(u"CExceptionCrashHandler::ExceptionHandler() : ExceptionCode = ")
            .AddDecimal(nSignal)
            .Add(u"\n");
        Log(1, text);
        platform::EXCEPTION_RECORD record{
            static_cast<DWORD>(nSignal), static_cast<DWORD>(pInfo->si_code), 0, 0, {}};
        const auto* pUc = static_cast<const ucontext_t*>(pContext);
        const bool bFault = nSignal != SIGABRT && pInfo->si_code > 0;
        record.ExceptionAddress = bFault ? reinterpret_cast<ULONGLONG>(pInfo->si_addr)
                                         : static_cast<ULONGLONG>(pUc->uc_mcontext.gregs[REG_RIP]);
        platform::EXCEPTION_POINTERS pointers{&record, pContext};
        const bool bDies = PreviousIsDefault(nSignal);
        g_CrashHandler.DumpLocked(CRASH_TYPE_EXCEPTION, &pointers, bDies);
        Chain(nSignal, pInfo, pContext);
    }
    --t_nHandlerDepth;
    errno = nSavedErrno;
}

bool CCrashHandler::CPurecallCrashHandler::Enable() {
    m_pfnPrevious = g_pfnRuntimePurecall;
    m_bEnabled = true;
    return true;
}

void CCrashHandler::CPurecallCrashHandler::Disable() {
    m_bEnabled = false;
}

void CCrashHandler::CPurecallCrashHandler::PurecallHandler() {
    Log(1, u"CPurecallCrashHandler::PurecallHandler()\n");
    g_CrashHandler.Dump(CRASH_TYPE_PURECALL, nullptr);
    CallRuntimeHook(g_CrashHandler.m_PurecallHandler.m_pfnPrevious, "pure virtual method called\n");
}

bool CCrashHandler::CSecurityCrashHandler::Enable() {
    m_pfnPrevious = g_pfnRuntimeStackChkFail;
    m_bEnabled = true;
    return true;
}

void CCrashHandler::CSecurityCrashHandler::SecurityHandler(int nCode) {
    CFixedText text;
    text.Add(u"CSecurityCrashHandler::SecurityHandler() : nCode = ").AddDecimal(nCode).Add(u"\n");
    Log(1, text);
    g_CrashHandler.Dump(CRASH_TYPE_SECURITY, nullptr);
    CallRuntimeHook(g_CrashHandler.m_SecurityHandler.m_pfnPrevious,
                    "*** stack smashing detected ***: terminated\n");
}
bool CCrashHandler::CDebugHelp::Snap(const char* szFile, DWORD dwDumpType, eCrashType eType) {
    // The lock is held: one static context serves every snapshot.
    static ucontext_t s_Context;
    getcontext(&s_Context);
    platform::EXCEPTION_RECORD record{
        0, 0, static_cast<ULONGLONG>(s_Context.uc_mcontext.gregs[REG_RIP]), 0, {}};
    platform::EXCEPTION_POINTERS pointers{&record, &s_Context};
    return Dump(szFile, dwDumpType, &pointers, eType);
}

void CCrashHandler::TerminateProcess() {
    syscall(SYS_exit_group, static_cast<int>(TERMINATE_EXIT_CODE));
    __builtin_unreachable();
}
