#include "diagnostics/crash_handler.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>

#include "diagnostics/fixed_text.h"
#include "diagnostics/user_debug_output.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/system.h"

#ifndef KRELL_FILE_VERSION
#define KRELL_FILE_VERSION "1.0.0.0"
#endif

CCrashHandler g_CrashHandler;

namespace {

constexpr DWORD LOCK_WAIT_LIMIT_MS = 10000;
constexpr int SECURITY_CODE_BUFFER_OVERRUN = 1;
constexpr std::size_t ALTERNATE_STACK_SIZE = 64 * 1024;

DWORD CurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

void Log(DWORD dwLevel, const CFixedText& text) {
    g_DebugOutput.TraceFixed(dwLevel, text);
}
void Log(DWORD dwLevel, const char16_t* szText) {
    CFixedText text;
    text.Add(szText);
    Log(dwLevel, text);
}

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

// The allocation exception that "ThrowOnNew" raises, with the platform's text.
class CBadAllocation : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "bad allocation"; }
};

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

// ---- the four handlers ----

bool CCrashHandler::CNewCrashHandler::Enable() {
    if (!m_bEnabled) {
        m_pfnPrevious = std::set_new_handler(&NewHandler);
        m_bEnabled = true;
    }
    return true;
}

void CCrashHandler::CNewCrashHandler::Disable() {
    if (m_bEnabled) {
        std::set_new_handler(m_pfnPrevious);
        m_bEnabled = false;
    }
}

void CCrashHandler::CNewCrashHandler::NewHandler() {
    // A C++ new-handler is not told the size that failed.
    CFixedText text;
    text.Add(u"CNewCrashHandler::NewHandler() : nSize = ").AddDecimal(0).Add(u"\n");
    Log(1, text);
    g_CrashHandler.Dump(CRASH_TYPE_NEW, nullptr);
    if (g_CrashHandler.m_bThrowOnNew) {
        throw CBadAllocation();
    }
    // Returning would make operator new try again forever; this is its own failure.
    throw std::bad_alloc();
}

bool CCrashHandler::CExceptionCrashHandler::Enable() {
    if (m_bEnabled) {
        return true;
    }
    // Room to run on when the fault is a stack overflow of the thread that enables the handler. A
    // stack someone else gave the thread stays: its owner may free it when the thread ends
    // (AddressSanitizer does).
    stack_t current{};
    if (m_pAlternateStack == nullptr && sigaltstack(nullptr, &current) == 0 &&
        (current.ss_flags & SS_DISABLE) != 0) {
        void* pStack =
            mmap(nullptr, ALTERNATE_STACK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pStack != MAP_FAILED) {
            m_pAlternateStack = static_cast<char*>(pStack);
            stack_t stack{};
            stack.ss_sp = m_pAlternateStack;
            stack.ss_size = ALTERNATE_STACK_SIZE;
            sigaltstack(&stack, nullptr);
        }
    }
    struct sigaction action {};
    action.sa_sigaction = &ExceptionHandler;
    // SA_NODEFER lets a fault inside the handler reach it again, where it is recognised; with the
    // signal blocked the kernel would kill the process without a word.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    std::size_t nInstalled = 0;
    for (; nInstalled < std::size(SIGNALS); ++nInstalled) {
        if (sigaction(SIGNALS[nInstalled], &action, &m_Previous[nInstalled]) != 0) {
            break;
        }
    }
    if (nInstalled < std::size(SIGNALS)) {
        while (nInstalled > 0) {
            --nInstalled;
            sigaction(SIGNALS[nInstalled], &m_Previous[nInstalled], nullptr);
        }
        return false;
    }
    m_bEnabled = true;
    return true;
}

void CCrashHandler::CExceptionCrashHandler::Disable() {
    if (m_bEnabled) {
        for (std::size_t i = 0; i < std::size(SIGNALS); ++i) {
            sigaction(SIGNALS[i], &m_Previous[i], nullptr);
        }
        m_bEnabled = false;
    }
}

bool CCrashHandler::CExceptionCrashHandler::PreviousIsDefault(int nSignal) const {
    for (std::size_t i = 0; i < std::size(SIGNALS); ++i) {
        if (SIGNALS[i] == nSignal) {
            const struct sigaction& previous = m_Previous[i];
            return (previous.sa_flags & SA_SIGINFO) == 0 &&
                   (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN);
        }
    }
    return true;
}

void CCrashHandler::CExceptionCrashHandler::Chain(int nSignal, siginfo_t* pInfo, void* pContext) {
    for (std::size_t i = 0; i < std::size(SIGNALS); ++i) {
        if (SIGNALS[i] != nSignal) {
            continue;
        }
        const struct sigaction previous = m_Previous[i];
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

void CCrashHandler::CExceptionCrashHandler::ExceptionHandler(int nSignal, siginfo_t* pInfo, void* pContext) {
    const int nSavedErrno = errno;
    CExceptionCrashHandler& self = g_CrashHandler.m_ExceptionHandler;
    ++t_nHandlerDepth;
    const DWORD dwThread = CurrentThreadId();
    if (nSignal == SIGABRT && g_dwChainingThread.load() == dwThread) {
        // The runtime's own handler of an earlier failure is ending the process: not a new crash.
        self.Chain(nSignal, pInfo, pContext);
    } else if (t_nHandlerDepth > 2) {
        // Faulting while handling a fault inside the handler: only the default action is left.
        self.Chain(nSignal, nullptr, pContext);
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
        const bool bDies = self.PreviousIsDefault(nSignal);
        g_CrashHandler.DumpLocked(CRASH_TYPE_EXCEPTION, &pointers, bDies);
        self.Chain(nSignal, pInfo, pContext);
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

void CCrashHandler::CSecurityCrashHandler::Disable() {
    m_bEnabled = false;
}

void CCrashHandler::CSecurityCrashHandler::SecurityHandler(int nCode) {
    CFixedText text;
    text.Add(u"CSecurityCrashHandler::SecurityHandler() : nCode = ").AddDecimal(nCode).Add(u"\n");
    Log(1, text);
    g_CrashHandler.Dump(CRASH_TYPE_SECURITY, nullptr);
    CallRuntimeHook(g_CrashHandler.m_SecurityHandler.m_pfnPrevious,
                    "*** stack smashing detected ***: terminated\n");
}

// ---- the dump writer's entry point ----

bool CCrashHandler::CDebugHelp::Create() {
    m_pfnMiniDumpWriteDump = &platform::MiniDumpWriteDump;
    return m_pfnMiniDumpWriteDump != nullptr;
}

bool CCrashHandler::CDebugHelp::Dump(const char* szFile, DWORD dwDumpType,
                                     const platform::EXCEPTION_POINTERS* pExceptionInfo, eCrashType eType) {
    if (m_pfnMiniDumpWriteDump == nullptr) {
        Log(1, u"CDebugHelp::Dump() : MiniDumpWriteDump == NULL\n");
        return false;
    }
    const int nFile = szFile[0] == '\0' ? -1 : platform::CreateDumpFile(szFile);
    if (nFile < 0) {
        Log(1, u"CDebugHelp::Dump() : dumpFile.Open() == FALSE\n");
        return false;
    }
    // The record goes out with the crash type as its first parameter, which readers of the dump
    // (krellctl dumps list) show as its kind.
    platform::EXCEPTION_RECORD record{};
    if (pExceptionInfo->ExceptionRecord != nullptr) {
        record = *pExceptionInfo->ExceptionRecord;
    }
    record.NumberParameters = 1;
    record.ExceptionInformation[0] = static_cast<ULONGLONG>(eType);
    platform::EXCEPTION_POINTERS pointers{&record, pExceptionInfo->ContextRecord};
    platform::MINIDUMP_EXCEPTION_INFORMATION info{CurrentThreadId(), &pointers, false};
    const bool bWritten = m_pfnMiniDumpWriteDump(nFile, dwDumpType, &info);
    if (!bWritten) {
        CFixedText text;
        text.Add(u"CDebugHelp::Dump() : MiniDumpWriteDump() == FALSE, 0x")
            .AddHex(platform::GetLastError(), 8)
            .Add(u"\n");
        Log(1, text);
    }
    platform::CloseDumpFile(nFile);
    return bWritten;
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

// ---- the handler ----

bool CCrashHandler::LoadOptions() {
    CDebugOptions debugOptions;
    if (!debugOptions.Load(OPTIONS_SUB_KEY)) {
        // An absent key means every option is absent: snapshots still work.
        TraceOut1(u"CCrashHandler::LoadOptions() : debugOptions.Load() == FALSE\n");
    }
    if (!SetOptions(debugOptions)) {
        TraceOut1(u"CCrashHandler::LoadOptions() : SetOptions() == FALSE\n");
        return false;
    }
    if (!Enable()) {
        TraceOut1(u"CCrashHandler::LoadOptions() : Enable() == FALSE\n");
        return false;
    }
    return true;
}

bool CCrashHandler::SetOptions(const CDebugOptions& options) {
    static constexpr const char16_t* DUMP_NAMES[CRASH_TYPE_COUNT] = {
        nullptr, nullptr, u"DumpOnNew", u"DumpOnException", u"DumpOnPurecall", u"DumpOnSecurity"};
    static constexpr const char16_t* TERMINATE_NAMES[CRASH_TYPE_COUNT] = {nullptr,
                                                                          nullptr,
                                                                          u"TerminateOnNew",
                                                                          u"TerminateOnException",
                                                                          u"TerminateOnPurecall",
                                                                          u"TerminateOnSecurity"};
    auto flag = [&options](const char16_t* szName) { return options.GetDword(szName).value_or(0) != 0; };
    std::u16string sDumpFileName;
    try {
        std::u16string sDirectory = options.GetString(u"Directory");
        if (!sDirectory.empty()) {
            while (!sDirectory.empty() && sDirectory.back() == u'\\') {
                sDirectory.pop_back();
            }
            std::u16string sExecutable;
            if (!platform::GetModuleFileName(&sExecutable)) {
                return false;
            }
            std::u16string sName = sExecutable.substr(sExecutable.rfind(u'\\') + 1);
            sName = sName.substr(0, sName.rfind(u'.'));
            sDumpFileName = sDirectory + platform::Format(u"\\%s.dmp", sName.c_str());
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (Lock() != ELock::kTaken) {
        return false;
    }
    for (int i = CRASH_TYPE_NEW; i < CRASH_TYPE_COUNT; ++i) {
        m_bDump[i] = flag(DUMP_NAMES[i]);
        m_bTerminate[i] = flag(TERMINATE_NAMES[i]);
    }
    m_bThrowOnNew = flag(u"ThrowOnNew");
    m_bAppendDateTimeToFile = flag(u"AppendDateTimeToFile");
    m_bAppendVersionToFile = flag(u"AppendVersionToFile");
    m_dwDumpType = options.GetDword(u"DumpType").value_or(platform::MiniDumpNormal);
    if (!sDumpFileName.empty()) {
        m_sDumpFileName = std::move(sDumpFileName);
    }
    PrepareDumpPaths();
    Unlock();
    return true;
}

bool CCrashHandler::Enable() {
    if (Lock() != ELock::kTaken) {
        return false;
    }
    struct CUnlock {
        CCrashHandler* p;
        ~CUnlock() { p->Unlock(); }
    } unlock{this};
    m_bEnabled = false;
    m_SecurityHandler.Disable();
    m_ExceptionHandler.Disable();
    m_PurecallHandler.Disable();
    m_NewHandler.Disable();
    if (!m_DebugHelp.Create()) {
        TraceOut1(u"CCrashHandler::Enable() : m_DebugHelp.Create() == FALSE\n");
    }
    std::u16string sExecutable;
    if (!platform::GetModuleFileName(&sExecutable) || sExecutable.rfind(u'\\') == std::u16string::npos) {
        TraceOut1(u"CCrashHandler::Enable() : path.SplitPath() == false\n");
        return false;
    }
    try {
        if (m_sDumpFileName.empty()) {
            const std::size_t nSlash = sExecutable.rfind(u'\\');
            std::u16string sName = sExecutable.substr(nSlash + 1);
            sName = sName.substr(0, sName.rfind(u'.'));
            m_sDumpFileName =
                platform::Format(u"%s%s.dmp", sExecutable.substr(0, nSlash + 1).c_str(), sName.c_str());
        }
    } catch (const std::bad_alloc&) {
        TraceOut1(u"CCrashHandler::Enable() : path.SplitPath() == false\n");
        return false;
    }
    // The image's file version is the build's version: this platform's images carry no version
    // resource.
    try {
        m_sFileVersion = platform::FromUtf8(KRELL_FILE_VERSION);
    } catch (const std::bad_alloc&) {
        TraceOut1(u"CCrashHandler::Enable() : CStringConvert::Copy() == false\n");
        return false;
    }
    m_nUtcOffset = CurrentUtcOffset();
    PrepareDumpPaths();
    bool bAll = m_NewHandler.Enable();
    if (!bAll) {
        TraceOut1(u"CCrashHandler::Enable() : m_NewHandler.Enable() == FALSE\n");
    } else if (!(bAll = m_PurecallHandler.Enable())) {
        TraceOut1(u"CCrashHandler::Enable() : m_PurecallHandler.Enable() == FALSE\n");
    } else if (!(bAll = m_ExceptionHandler.Enable())) {
        TraceOut1(u"CCrashHandler::Enable() : m_ExceptionHandler.Enable() == FALSE\n");
    } else if (!(bAll = m_SecurityHandler.Enable())) {
        TraceOut1(u"CCrashHandler::Enable() : m_SecurityHandler.Enable() == FALSE\n");
    }
    if (!bAll) {
        m_SecurityHandler.Disable();
        m_ExceptionHandler.Disable();
        m_PurecallHandler.Disable();
        m_NewHandler.Disable();
    }
    m_bEnabled = bAll;
    return bAll;
}

void CCrashHandler::Disable() {
    if (Lock() != ELock::kTaken) {
        return;
    }
    m_bEnabled = false;
    m_SecurityHandler.Disable();
    m_ExceptionHandler.Disable();
    m_PurecallHandler.Disable();
    m_NewHandler.Disable();
    Unlock();
}

bool CCrashHandler::SetDumpFileName(const char16_t* szName) {
    if (szName == nullptr || Lock() != ELock::kTaken) {
        return false;
    }
    bool bSet = true;
    try {
        m_sDumpFileName = szName;
        PrepareDumpPaths();
    } catch (const std::bad_alloc&) {
        bSet = false;
    }
    Unlock();
    return bSet;
}

void CCrashHandler::PrepareDumpPaths() {
    m_szPlainPath[0] = m_szStem[0] = m_szExtension[0] = '\0';
    m_bSplitOk = false;
    std::string sPlain;
    if (m_sDumpFileName.empty() || !platform::MapDumpPath(m_sDumpFileName, &sPlain) ||
        sPlain.size() >= sizeof(m_szPlainPath)) {
        return;
    }
    std::memcpy(m_szPlainPath, sPlain.c_str(), sPlain.size() + 1);
    const std::size_t nSlash = sPlain.rfind('/');
    if (nSlash == std::string::npos || m_sDumpFileName.find(u'\\') == std::u16string::npos) {
        return;
    }
    std::size_t nDot = sPlain.rfind('.');
    if (nDot == std::string::npos || nDot < nSlash) {
        nDot = sPlain.size();
    }
    std::string sStem = sPlain.substr(0, nDot);
    if (m_bAppendVersionToFile && !m_sFileVersion.empty()) {
        sStem += "-" + platform::ToUtf8(m_sFileVersion);
    }
    const std::string sExtension = sPlain.substr(nDot);
    if (sStem.size() + 32 >= sizeof(m_szStem) || sExtension.size() >= sizeof(m_szExtension)) {
        return;
    }
    std::memcpy(m_szStem, sStem.c_str(), sStem.size() + 1);
    std::memcpy(m_szExtension, sExtension.c_str(), sExtension.size() + 1);
    m_bSplitOk = true;
}

CCrashHandler::ELock CCrashHandler::Lock() {
    const DWORD dwSelf = CurrentThreadId();
    timespec pause{0, 1000000};
    for (DWORD dwWaited = 0; dwWaited <= LOCK_WAIT_LIMIT_MS; ++dwWaited) {
        DWORD dwExpected = 0;
        if (m_dwLockOwner.compare_exchange_strong(dwExpected, dwSelf, std::memory_order_acquire)) {
            return ELock::kTaken;
        }
        if (dwExpected == dwSelf) {
            return ELock::kOwnThread;
        }
        syscall(SYS_nanosleep, &pause, nullptr);
    }
    return ELock::kTimedOut;
}

void CCrashHandler::Unlock() {
    m_dwLockOwner.store(0, std::memory_order_release);
}

void CCrashHandler::TerminateProcess() {
    syscall(SYS_exit_group, static_cast<int>(TERMINATE_EXIT_CODE));
    __builtin_unreachable();
}

void CCrashHandler::Dump(eCrashType eType, const platform::EXCEPTION_POINTERS* pExceptionInfo) {
    DumpLocked(eType, pExceptionInfo, false);
}

void CCrashHandler::DumpLocked(eCrashType eType, const platform::EXCEPTION_POINTERS* pExceptionInfo,
                               bool bKeepLocked) {
    if (eType < CRASH_TYPE_SNAPSHOT || eType >= CRASH_TYPE_COUNT) {
        return;
    }
    if (eType != CRASH_TYPE_SNAPSHOT && !m_bDump[eType]) {
        return;
    }
    const ELock eLock = Lock();
    if (eLock == ELock::kOwnThread) {
        // A crash while this thread writes a dump (or changes the options): no second dump, but
        // the terminate decision of either failure still holds.
        if (m_bTerminate[eType] || (m_bDumping && m_bTerminate[m_eDumping])) {
            TerminateProcess();
        }
        return;
    }
    const bool bLocked = eLock == ELock::kTaken;
    if (bLocked) {
        m_bDumping = true;
        m_eDumping = eType;
        CFixedText text;
        text.Add(u"CCrashHandler::Dump() : eCrashType = ")
            .AddDecimal(eType)
            .Add(u", pExceptionInfo = ")
            .AddHex(reinterpret_cast<std::uintptr_t>(pExceptionInfo), 2 * sizeof(void*))
            .Add(u"\n");
        Log(1, text);
        char szPath[sizeof(m_szStem) + sizeof(m_szExtension)];
        const char* pszPath = m_szPlainPath;
        if (m_bAppendDateTimeToFile || m_bAppendVersionToFile) {
            if (!m_bSplitOk) {
                Log(1, u"CCrashHandler::Dump() : path.SplitPath() == false\n");
            } else {
                std::size_t n = 0;
                auto add = [&](const char* psz) {
                    while (*psz != '\0' && n + 1 < sizeof(szPath)) {
                        szPath[n++] = *psz++;
                    }
                };
                add(m_szStem);
                if (m_bAppendDateTimeToFile) {
                    SYSTEMTIME st{};
                    GetLocalTimeAt(m_nUtcOffset, &st);
                    CFixedText suffix;
                    suffix.AddChar(u'-').AddDecimal(st.wYear, 4).AddChar(u'-').AddDecimal(st.wMonth, 2);
                    suffix.AddChar(u'-').AddDecimal(st.wDay, 2).AddChar(u'-').AddDecimal(st.wHour, 2);
                    suffix.AddChar(u'-').AddDecimal(st.wMinute, 2).AddChar(u'-').AddDecimal(st.wSecond, 2);
                    suffix.AddChar(u'-').AddDecimal(st.wMilliseconds, 3);
                    for (std::size_t i = 0; i < suffix.Length() && n + 1 < sizeof(szPath); ++i) {
                        szPath[n++] = static_cast<char>(suffix.Data()[i]);
                    }
                }
                add(m_szExtension);
                szPath[n] = '\0';
                pszPath = szPath;
            }
        }
        if (pExceptionInfo != nullptr) {
            if (!m_DebugHelp.Dump(pszPath, m_dwDumpType, pExceptionInfo, eType)) {
                Log(1, u"CCrashHandler::Dump() : m_DebugHelp.Dump() == FALSE\n");
            }
        } else if (!m_DebugHelp.Snap(pszPath, m_dwDumpType, eType)) {
            Log(1, u"CCrashHandler::Dump() : m_DebugHelp.Snap() == FALSE\n");
        }
        m_bDumping = false;
    }
    if (eType != CRASH_TYPE_SNAPSHOT && m_bTerminate[eType]) {
        TerminateProcess();
    }
    if (bLocked && !bKeepLocked) {
        Unlock();
    }
}
