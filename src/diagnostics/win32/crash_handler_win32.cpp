// The crash handler's Windows half: the unhandled-exception filter for faults (access violation,
// illegal instruction, division by zero, stack overflow), the C runtime's SIGABRT for abort() and
// the uncaught C++ exception that ends in it, the runtime's pure-virtual hook with the C runtime's
// pure-call handler, and the stack protector's failure hook. The two hooks are taken over at link
// time with --wrap, which keeps the runtime's own definitions callable (__real_*).
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdint>

#include "diagnostics/crash_handler.h"
#include "diagnostics/crash_handler_platform.h"
#include "platform/win32/win32_api.h"

namespace crash_platform {

DWORD CurrentThreadId() {
    return win32::GetCurrentThreadId();
}

void PauseOneMillisecond() {
    win32::Sleep(1);
}

}  // namespace crash_platform

struct CCrashHandler::CExceptionCrashHandler::CPlatform {
    using PFN_SIGNAL = void (*)(int);

    static LONG __stdcall Filter(win32::EXCEPTION_POINTERS32* pNative);
    static void Handle(void* pNative);
    static void AbortHandler(int nSignal);
    // Logs and dumps an exception; bDies keeps the lock, since the process ends right after.
    static void Report(win32::EXCEPTION_POINTERS32* pNative, bool bDies);
    static win32::TOP_LEVEL_EXCEPTION_FILTER32 s_pfnPrevious;
    static PFN_SIGNAL s_pfnPreviousAbort;
};

win32::TOP_LEVEL_EXCEPTION_FILTER32 CCrashHandler::CExceptionCrashHandler::CPlatform::s_pfnPrevious = nullptr;
CCrashHandler::CExceptionCrashHandler::CPlatform::PFN_SIGNAL
    CCrashHandler::CExceptionCrashHandler::CPlatform::s_pfnPreviousAbort = SIG_DFL;

extern "C" [[noreturn]] void __real___cxa_pure_virtual();
extern "C" [[noreturn]] void __real___stack_chk_fail();

namespace {

using crash_platform::CurrentThreadId;
using crash_platform::Log;

constexpr LONG EXCEPTION_CONTINUE_SEARCH = 0;
constexpr int SECURITY_CODE_BUFFER_OVERRUN = 1;
constexpr DWORD EXCEPTION_STACK_OVERFLOW = 0xC00000FD;
// abort() raises no exception with this runtime. Its dump carries the code that the platform's own
// C runtimes report abort() with (STATUS_FATAL_APP_EXIT); this runtime's std::terminate, the end of
// an uncaught C++ exception, comes here through abort() too.
constexpr DWORD EXCEPTION_FATAL_APP_EXIT = 0x40000015;
constexpr DWORD EXCEPTION_NONCONTINUABLE = 0x1;
// A thread whose stack overflowed keeps one page, too little for the log line and dbghelp: the
// handler then runs on this stack.
alignas(16) unsigned char g_OverflowStack[128 * 1024];
std::atomic<DWORD> g_dwOverflowStackOwner{0};
// The x86 CONTEXT: 716 bytes, its instruction pointer (Eip) at offset 184.
constexpr std::size_t CONTEXT_SIZE = 716;
constexpr std::size_t CONTEXT_EIP = 184;

// The thread that is handing a failure to the runtime's own handler: libssp's ends in a trap
// (an illegal instruction) that must not count as a second crash.
std::atomic<DWORD> g_dwChainingThread{0};

// Calls pfn(pArg) with the stack pointer at pStackTop, and comes back to the caller's stack. Every
// operand is in a register: nothing may be addressed through the stack pointer once it moved.
__attribute__((noinline)) void CallOnStack(void (*pfn)(void*), void* pArg, void* pStackTop) {
    int nEax = 0;
    int nEdx = 0;
    asm volatile(
        "movl %%esp, %%ebx\n\t"
        "movl %%ecx, %%esp\n\t"
        "pushl %%edi\n\t"
        "call *%%esi\n\t"
        "movl %%ebx, %%esp\n\t"
        : "+c"(pStackTop), "=a"(nEax), "=d"(nEdx)
        : "S"(pfn), "D"(pArg)
        : "ebx", "memory", "cc");
}

[[noreturn]] void CallRuntimeHook(void (*pfnHook)()) {
    g_dwChainingThread.store(CurrentThreadId());
    pfnHook();
    abort();
}

}  // namespace

// The program's references to these two runtime hooks are linked to the wrappers.
extern "C" [[noreturn]] void __wrap___cxa_pure_virtual() {
    if (g_CrashHandler.IsEnabled()) {
        CCrashHandler::CPurecallCrashHandler::PurecallHandler();
    }
    CallRuntimeHook(&__real___cxa_pure_virtual);
}

extern "C" [[noreturn]] __attribute__((no_stack_protector)) void __wrap___stack_chk_fail() {
    if (g_CrashHandler.IsEnabled()) {
        CCrashHandler::CSecurityCrashHandler::SecurityHandler(SECURITY_CODE_BUFFER_OVERRUN);
    }
    CallRuntimeHook(&__real___stack_chk_fail);
}

bool CCrashHandler::CExceptionCrashHandler::Enable() {
    if (!m_bEnabled) {
        const CPlatform::PFN_SIGNAL pfnPreviousAbort = signal(SIGABRT, &CPlatform::AbortHandler);
        if (pfnPreviousAbort == SIG_ERR) {
            return false;
        }
        CPlatform::s_pfnPreviousAbort = pfnPreviousAbort;
        CPlatform::s_pfnPrevious = win32::SetUnhandledExceptionFilter(&CPlatform::Filter);
        m_bEnabled = true;
    }
    return true;
}

void CCrashHandler::CExceptionCrashHandler::Disable() {
    if (m_bEnabled) {
        win32::SetUnhandledExceptionFilter(CPlatform::s_pfnPrevious);
        signal(SIGABRT, CPlatform::s_pfnPreviousAbort);
        m_bEnabled = false;
    }
}

// Small on purpose: after a stack overflow it runs in what is left of the stack.
LONG __stdcall CCrashHandler::CExceptionCrashHandler::CPlatform::Filter(
    win32::EXCEPTION_POINTERS32* pNative) {
    if (g_dwChainingThread.load() != CurrentThreadId()) {
        if (pNative->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
            // A second thread that overflows meanwhile waits for the stack, as it would for the
            // handler's lock.
            const DWORD dwSelf = CurrentThreadId();
            DWORD dwFree = 0;
            while (!g_dwOverflowStackOwner.compare_exchange_strong(dwFree, dwSelf)) {
                dwFree = 0;
                crash_platform::PauseOneMillisecond();
            }
            CallOnStack(&Handle, pNative, g_OverflowStack + sizeof(g_OverflowStack));
            g_dwOverflowStackOwner.store(0);
        } else {
            Handle(pNative);
        }
    }
    return s_pfnPrevious != nullptr ? s_pfnPrevious(pNative) : EXCEPTION_CONTINUE_SEARCH;
}

void CCrashHandler::CExceptionCrashHandler::CPlatform::Handle(void* pArg) {
    // Without a filter before this one the search ends here and the process dies.
    Report(static_cast<win32::EXCEPTION_POINTERS32*>(pArg), s_pfnPrevious == nullptr);
}

void CCrashHandler::CExceptionCrashHandler::CPlatform::AbortHandler(int nSignal) {
    // The C runtime puts the default back before it calls a handler, and the default ends the process
    // at once: another thread's abort() meanwhile would cut the dump short.
    signal(SIGABRT, &AbortHandler);
    const PFN_SIGNAL pfnPrevious = s_pfnPreviousAbort;
    const bool bChains = pfnPrevious != SIG_DFL && pfnPrevious != SIG_IGN;
    // The runtime's own handler of an earlier failure is ending the process: not a new crash.
    if (g_dwChainingThread.load() != CurrentThreadId()) {
        alignas(16) unsigned char context[CONTEXT_SIZE];
        win32::RtlCaptureContext(context);
        std::uint32_t dwEip = 0;
        __builtin_memcpy(&dwEip, context + CONTEXT_EIP, sizeof(dwEip));
        win32::EXCEPTION_RECORD32 record{};
        record.ExceptionCode = EXCEPTION_FATAL_APP_EXIT;
        record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        record.ExceptionAddress = reinterpret_cast<void*>(dwEip);
        win32::EXCEPTION_POINTERS32 pointers{&record, context};
        // abort() ends the process once the handlers return; a previous handler may not return.
        Report(&pointers, !bChains);
    }
    if (bChains) {
        pfnPrevious(nSignal);
    }
}

void CCrashHandler::CExceptionCrashHandler::CPlatform::Report(win32::EXCEPTION_POINTERS32* pNative,
                                                              bool bDies) {
    const win32::EXCEPTION_RECORD32& native = *pNative->ExceptionRecord;
    CFixedText text;
    text.Add(u"CExceptionCrashHandler::ExceptionHandler() : ExceptionCode = ")
        .AddDecimal(native.ExceptionCode)
        .Add(u"\n");
    Log(1, text);
    platform::EXCEPTION_RECORD record{};
    record.ExceptionCode = native.ExceptionCode;
    record.ExceptionFlags = native.ExceptionFlags;
    record.ExceptionAddress = reinterpret_cast<std::uintptr_t>(native.ExceptionAddress);
    record.NumberParameters = native.NumberParameters < platform::EXCEPTION_MAXIMUM_PARAMETERS
                                  ? native.NumberParameters
                                  : platform::EXCEPTION_MAXIMUM_PARAMETERS;
    for (DWORD i = 0; i < record.NumberParameters; ++i) {
        record.ExceptionInformation[i] = native.ExceptionInformation[i];
    }
    platform::EXCEPTION_POINTERS pointers{&record, pNative->ContextRecord};
    // When the process dies the lock stays taken, so that a second crashing thread does not write
    // over the finished dump.
    g_CrashHandler.DumpLocked(CRASH_TYPE_EXCEPTION, &pointers, bDies);
}

bool CCrashHandler::CPurecallCrashHandler::Enable() {
    if (!m_bEnabled) {
        // Code built by the platform's own compiler calls the C runtime's handler; ours calls the
        // wrapped hook above. Both end here.
        m_pfnPrevious = _set_purecall_handler(&PurecallHandler);
        m_bEnabled = true;
    }
    return true;
}

void CCrashHandler::CPurecallCrashHandler::Disable() {
    if (m_bEnabled) {
        _set_purecall_handler(m_pfnPrevious);
        m_bEnabled = false;
    }
}

void CCrashHandler::CPurecallCrashHandler::PurecallHandler() {
    Log(1, u"CPurecallCrashHandler::PurecallHandler()\n");
    g_CrashHandler.Dump(CRASH_TYPE_PURECALL, nullptr);
    const PFN pfnPrevious = g_CrashHandler.m_PurecallHandler.m_pfnPrevious;
    CallRuntimeHook(pfnPrevious != nullptr ? pfnPrevious : &__real___cxa_pure_virtual);
}

bool CCrashHandler::CSecurityCrashHandler::Enable() {
    m_pfnPrevious = &__real___stack_chk_fail;
    m_bEnabled = true;
    return true;
}

void CCrashHandler::CSecurityCrashHandler::SecurityHandler(int nCode) {
    CFixedText text;
    text.Add(u"CSecurityCrashHandler::SecurityHandler() : nCode = ").AddDecimal(nCode).Add(u"\n");
    Log(1, text);
    g_CrashHandler.Dump(CRASH_TYPE_SECURITY, nullptr);
    CallRuntimeHook(g_CrashHandler.m_SecurityHandler.m_pfnPrevious);
}

bool CCrashHandler::CDebugHelp::Snap(const char* szFile, DWORD dwDumpType, eCrashType eType) {
    // The lock is held: one static context serves every snapshot.
    alignas(16) static unsigned char s_Context[CONTEXT_SIZE];
    win32::RtlCaptureContext(s_Context);
    std::uint32_t dwEip = 0;
    __builtin_memcpy(&dwEip, s_Context + CONTEXT_EIP, sizeof(dwEip));
    platform::EXCEPTION_RECORD record{0, 0, dwEip, 0, {}};
    platform::EXCEPTION_POINTERS pointers{&record, s_Context};
    return Dump(szFile, dwDumpType, &pointers, eType);
}

void CCrashHandler::TerminateProcess() {
    win32::TerminateProcess(win32::GetCurrentProcess(), TERMINATE_EXIT_CODE);
    __builtin_unreachable();
}
