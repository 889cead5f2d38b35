#include "diagnostics/crash_handler.h"

#include <cstring>
#include <ctime>
#include <iterator>

#include "diagnostics/crash_handler_platform.h"
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

namespace crash_platform {

void Log(DWORD dwLevel, const CFixedText& text) {
    g_DebugOutput.TraceFixed(dwLevel, text);
}
void Log(DWORD dwLevel, const char16_t* szText) {
    CFixedText text;
    text.Add(szText);
    Log(dwLevel, text);
}

}  // namespace crash_platform

namespace {

using crash_platform::CurrentThreadId;
using crash_platform::Log;

constexpr DWORD LOCK_WAIT_LIMIT_MS = 10000;

// The allocation exception that "ThrowOnNew" raises, with the platform's text.
class CBadAllocation : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "bad allocation"; }
};

}  // namespace

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

void CCrashHandler::CSecurityCrashHandler::Disable() {
    m_bEnabled = false;
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
    // The image's file version is the build's version, on both platforms: ELF images carry no
    // version resource, and one number for both keeps dump names comparable.
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
    // A POSIX path on Linux, the Windows path itself on Windows.
    const std::size_t nSlash = sPlain.find_last_of("/\\");
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
    for (DWORD dwWaited = 0; dwWaited <= LOCK_WAIT_LIMIT_MS; ++dwWaited) {
        DWORD dwExpected = 0;
        if (m_dwLockOwner.compare_exchange_strong(dwExpected, dwSelf, std::memory_order_acquire)) {
            return ELock::kTaken;
        }
        if (dwExpected == dwSelf) {
            return ELock::kOwnThread;
        }
        crash_platform::PauseOneMillisecond();
    }
    return ELock::kTimedOut;
}

void CCrashHandler::Unlock() {
    m_dwLockOwner.store(0, std::memory_order_release);
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
