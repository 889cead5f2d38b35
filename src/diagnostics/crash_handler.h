// The process-wide crash handler: on an allocation failure, a fatal signal (on Windows an unhandled
// exception), a pure virtual call or a stack-protector failure it writes a mini-dump and, when
// configured, ends the process. Options come from the "CrashHandler" debug options; docs/crash.md
// maps the four kinds to each platform.
#pragma once

#include <atomic>
#include <new>
#include <string>

#include "diagnostics/debug_options.h"
#include "platform/minidump.h"
#include "platform/types.h"

enum eCrashType : LONG {
    CRASH_TYPE_SNAPSHOT = 1,
    CRASH_TYPE_NEW = 2,
    CRASH_TYPE_EXCEPTION = 3,
    CRASH_TYPE_PURECALL = 4,
    CRASH_TYPE_SECURITY = 5,
};

class CCrashHandler {
public:
    static constexpr const char16_t* OPTIONS_SUB_KEY = u"CrashHandler";
    static constexpr DWORD TERMINATE_EXIT_CODE = 0xFFFFFFFF;
    static constexpr int CRASH_TYPE_COUNT = 6;  // indexed by eCrashType

    class CNewCrashHandler {
    public:
        bool Enable();
        void Disable();

    private:
        static void NewHandler();
        std::new_handler m_pfnPrevious = nullptr;
        bool m_bEnabled = false;
    };

    // Fatal signals on POSIX, the unhandled-exception filter and SIGABRT on Windows: each platform's half
    // (posix/crash_handler_posix.cpp, win32/crash_handler_win32.cpp) keeps what it replaced in CPlatform.
    class CExceptionCrashHandler {
    public:
        bool Enable();
        void Disable();

    private:
        struct CPlatform;
        bool m_bEnabled = false;
    };

    // The runtime's pure-virtual hook and the stack protector's failure hook are link-time symbols
    // that the platform's half takes over; "installing" them switches those to the handler.
    class CPurecallCrashHandler {
    public:
        bool Enable();
        void Disable();
        [[noreturn]] static void PurecallHandler();

    private:
        using PFN = void (*)();
        PFN m_pfnPrevious = nullptr;
        std::atomic<bool> m_bEnabled{false};
        friend class CCrashHandler;
    };

    class CSecurityCrashHandler {
    public:
        bool Enable();
        void Disable();
        [[noreturn]] static void SecurityHandler(int nCode);

    private:
        using PFN = void (*)();
        PFN m_pfnPrevious = nullptr;
        std::atomic<bool> m_bEnabled{false};
        friend class CCrashHandler;
    };

    // The dump writer's entry point, looked up once.
    class CDebugHelp {
    public:
        bool Create();
        bool Dump(const char* szFile, DWORD dwDumpType, const platform::EXCEPTION_POINTERS* pExceptionInfo,
                  eCrashType eType);
        bool Snap(const char* szFile, DWORD dwDumpType, eCrashType eType);

    private:
        decltype(&platform::MiniDumpWriteDump) m_pfnMiniDumpWriteDump = nullptr;
    };

    CCrashHandler() = default;
    CCrashHandler(const CCrashHandler&) = delete;
    CCrashHandler& operator=(const CCrashHandler&) = delete;

    // Reads the "CrashHandler" options, applies them and enables the handler.
    bool LoadOptions();
    bool SetOptions(const CDebugOptions& options);
    bool Enable();
    // Restores the handlers that were installed before.
    void Disable();
    bool IsEnabled() const { return m_bEnabled.load(std::memory_order_acquire); }
    // Writes a dump of the given kind if its switch says so (snapshots always), then ends the process
    // if that kind's terminate switch is set. Safe in a signal handler.
    void Dump(eCrashType eType, const platform::EXCEPTION_POINTERS* pExceptionInfo);
    bool SetDumpFileName(const char16_t* szName);

private:
    enum class ELock { kTaken, kOwnThread, kTimedOut };
    ELock Lock();
    void Unlock();
    // Dump with the lock kept afterwards when bKeepLocked: the process is about to die, and a second
    // crashing thread must not start a dump of the same name over the finished one.
    void DumpLocked(eCrashType eType, const platform::EXCEPTION_POINTERS* pExceptionInfo, bool bKeepLocked);
    // Maps the dump file name into the paths the crash path writes to.
    void PrepareDumpPaths();
    [[noreturn]] static void TerminateProcess();

    CNewCrashHandler m_NewHandler;
    CExceptionCrashHandler m_ExceptionHandler;
    CPurecallCrashHandler m_PurecallHandler;
    CSecurityCrashHandler m_SecurityHandler;
    std::atomic<bool> m_bEnabled{false};
    std::u16string m_sDumpFileName;
    std::u16string m_sFileVersion;
    bool m_bAppendDateTimeToFile = false;
    bool m_bAppendVersionToFile = false;
    DWORD m_dwDumpType = platform::MiniDumpNormal;
    bool m_bDump[CRASH_TYPE_COUNT] = {};
    bool m_bTerminate[CRASH_TYPE_COUNT] = {};
    bool m_bThrowOnNew = false;
    CDebugHelp m_DebugHelp;
    // A spin lock with its owner's thread id: a signal handler can take it, and a crash on the thread
    // that holds it is recognised instead of waiting for itself.
    std::atomic<DWORD> m_dwLockOwner{0};
    eCrashType m_eDumping = CRASH_TYPE_SNAPSHOT;
    bool m_bDumping = false;
    // Ready-made paths: the plain name, and the stem and extension that a date-time suffix goes
    // between. Empty when the name could not be mapped.
    char m_szPlainPath[4096] = {};
    char m_szStem[4096] = {};
    char m_szExtension[256] = {};
    bool m_bSplitOk = false;
    long m_nUtcOffset = 0;
};

// The process's one crash handler.
extern CCrashHandler g_CrashHandler;
