// The mini-dump writer, run by the crashing process itself: raw system calls, static buffers, no
// allocation and no locks, so it is safe in a signal handler (docs/crash.md says why it does not use a
// helper process). Memory is copied into the file with pwrite straight from the process's own pages:
// the kernel answers EFAULT for a page that cannot be read, where a plain copy would fault again.
#include "platform/minidump.h"

#include <cpuid.h>
#include <elf.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "platform/paths.h"
#include "platform/posix/minidump_format.h"
#include "platform/system.h"
#include "platform/utf8_units.h"

namespace platform {

namespace {

using namespace posix::mdmp;

constexpr std::size_t MAX_MAPS_TEXT = 1 << 20;
constexpr std::size_t MAX_MAPPINGS = 8192;
constexpr std::size_t MAX_MODULES = 1024;
constexpr std::size_t MAX_RANGES = 4096;
constexpr std::uint64_t STACK_LIMIT = 8 << 20;
constexpr std::uint64_t RED_ZONE = 128;
constexpr std::uint32_t STREAM_COUNT = 7;

struct Mapping {
    std::uint64_t qwStart;
    std::uint64_t qwEnd;
    std::uint64_t qwOffset;
    bool bRead, bWrite, bExec;
    const char* pszPath;  // points into the maps text, NUL-terminated there
};

struct ModuleSpan {
    std::uint64_t qwBase;
    std::uint64_t qwEnd;
    const char* pszPath;
};

struct Range {
    std::uint64_t qwStart;
    std::uint64_t qwSize;
    std::uint32_t dwRva;
};

// One dump at a time: the crash handler serialises its callers.
char g_MapsText[MAX_MAPS_TEXT];
std::size_t g_cbMapsText;
Mapping g_Mappings[MAX_MAPPINGS];
std::size_t g_cMappings;
ModuleSpan g_Modules[MAX_MODULES];
std::size_t g_cModules;
Range g_Ranges[MAX_RANGES];
std::size_t g_cRanges;
posix::mdmp::Module g_RawModules[MAX_MODULES];
const char g_Zeros[4096] = {};

long RawSyscall(long nNumber, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0) {
    long nResult = syscall(nNumber, a, b, c, d, e, f);
    return nResult == -1 ? -errno : nResult;
}

class CDumpFile {
public:
    explicit CDumpFile(int nFd) : m_nFd(nFd) {}

    std::uint64_t Position() const { return m_qwPosition; }
    bool Failed() const { return m_nError != 0; }
    int Error() const { return m_nError; }

    // Appends bytes of this process's own memory; unreadable pages are written as zeros.
    std::uint32_t Append(const void* pData, std::uint64_t cbData) {
        const std::uint64_t qwRva = m_qwPosition;
        auto qwAddress = reinterpret_cast<std::uint64_t>(pData);
        while (cbData > 0 && !Failed()) {
            const std::uint64_t cbChunk = ChunkAt(qwAddress, cbData);
            const long n = RawSyscall(SYS_pwrite64, m_nFd, static_cast<long>(qwAddress),
                                      static_cast<long>(cbChunk), static_cast<long>(m_qwPosition));
            if (n == -EINTR) {
                continue;
            }
            if (n == -EFAULT || n == 0) {
                // The first page of the chunk cannot be read: zeros for that page alone.
                const std::uint64_t cbPage = PageRest(qwAddress, cbData);
                WriteZeros(cbPage);
                qwAddress += cbPage;
                cbData -= cbPage;
                continue;
            }
            if (n < 0) {
                m_nError = static_cast<int>(-n);
                break;
            }
            m_qwPosition += static_cast<std::uint64_t>(n);
            qwAddress += static_cast<std::uint64_t>(n);
            cbData -= static_cast<std::uint64_t>(n);
        }
        return static_cast<std::uint32_t>(qwRva);
    }
    template <typename T>
    std::uint32_t AppendValue(const T& value) {
        return Append(&value, sizeof(T));
    }
    void WriteAt(std::uint64_t qwOffset, const void* pData, std::size_t cbData) {
        const auto* pBytes = static_cast<const char*>(pData);
        while (cbData > 0 && !Failed()) {
            const long n = RawSyscall(SYS_pwrite64, m_nFd, reinterpret_cast<long>(pBytes),
                                      static_cast<long>(cbData), static_cast<long>(qwOffset));
            if (n == -EINTR) {
                continue;
            }
            if (n <= 0) {
                m_nError = n == 0 ? ENOSPC : static_cast<int>(-n);
                break;
            }
            pBytes += n;
            qwOffset += static_cast<std::uint64_t>(n);
            cbData -= static_cast<std::size_t>(n);
        }
    }
    void Align(std::uint64_t nAlignment) {
        const std::uint64_t cbPad = (nAlignment - m_qwPosition % nAlignment) % nAlignment;
        WriteZeros(cbPad);
    }

private:
    // Large chunks: the kernel stops a write at the first page it cannot read, and only that page is
    // then replaced by zeros.
    static std::uint64_t ChunkAt(std::uint64_t qwAddress, std::uint64_t cbLeft) {
        constexpr std::uint64_t CHUNK = 1 << 20;
        return cbLeft < CHUNK ? cbLeft : CHUNK;
    }
    static std::uint64_t PageRest(std::uint64_t qwAddress, std::uint64_t cbLeft) {
        const std::uint64_t cbToPageEnd = 4096 - qwAddress % 4096;
        return cbLeft < cbToPageEnd ? cbLeft : cbToPageEnd;
    }
    void WriteZeros(std::uint64_t cbZeros) {
        while (cbZeros > 0 && !Failed()) {
            const std::size_t cb = cbZeros < sizeof(g_Zeros) ? cbZeros : sizeof(g_Zeros);
            WriteAt(m_qwPosition, g_Zeros, cb);
            m_qwPosition += cb;
            cbZeros -= cb;
        }
    }

    int m_nFd;
    std::uint64_t m_qwPosition = 0;
    int m_nError = 0;
};

// Reads this process's memory without faulting; false when any of it cannot be read.
bool SafeRead(std::uint64_t qwAddress, void* pBuffer, std::size_t cbBuffer) {
    iovec local{pBuffer, cbBuffer};
    iovec remote{reinterpret_cast<void*>(qwAddress), cbBuffer};
    const long n = RawSyscall(SYS_process_vm_readv, RawSyscall(SYS_getpid), reinterpret_cast<long>(&local), 1,
                              reinterpret_cast<long>(&remote), 1, 0);
    return n == static_cast<long>(cbBuffer);
}

std::uint64_t ParseHex(const char*& p) {
    std::uint64_t qwValue = 0;
    for (;; ++p) {
        const char ch = *p;
        if (ch >= '0' && ch <= '9') {
            qwValue = qwValue * 16 + static_cast<std::uint64_t>(ch - '0');
        } else if (ch >= 'a' && ch <= 'f') {
            qwValue = qwValue * 16 + static_cast<std::uint64_t>(ch - 'a' + 10);
        } else {
            return qwValue;
        }
    }
}

void SkipField(const char*& p) {
    while (*p != ' ' && *p != '\0') {
        ++p;
    }
    while (*p == ' ') {
        ++p;
    }
}

bool ReadMaps() {
    g_cbMapsText = 0;
    g_cMappings = 0;
    const long nFd = RawSyscall(SYS_open, reinterpret_cast<long>("/proc/self/maps"), O_RDONLY | O_CLOEXEC);
    if (nFd < 0) {
        return false;
    }
    while (g_cbMapsText < MAX_MAPS_TEXT - 1) {
        const long n = RawSyscall(SYS_read, nFd, reinterpret_cast<long>(g_MapsText + g_cbMapsText),
                                  static_cast<long>(MAX_MAPS_TEXT - 1 - g_cbMapsText));
        if (n == -EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        g_cbMapsText += static_cast<std::size_t>(n);
    }
    RawSyscall(SYS_close, nFd);
    // The parsed table points into a copy whose line ends are NULs; the stream keeps the text.
    static char s_Lines[MAX_MAPS_TEXT];
    std::memcpy(s_Lines, g_MapsText, g_cbMapsText);
    s_Lines[g_cbMapsText] = '\0';
    char* pLine = s_Lines;
    while (*pLine != '\0' && g_cMappings < MAX_MAPPINGS) {
        char* pEnd = pLine;
        while (*pEnd != '\n' && *pEnd != '\0') {
            ++pEnd;
        }
        const bool bLast = *pEnd == '\0';
        *pEnd = '\0';
        Mapping& m = g_Mappings[g_cMappings];
        const char* p = pLine;
        m.qwStart = ParseHex(p);
        ++p;
        m.qwEnd = ParseHex(p);
        ++p;
        m.bRead = p[0] == 'r';
        m.bWrite = p[1] == 'w';
        m.bExec = p[2] == 'x';
        SkipField(p);
        m.qwOffset = ParseHex(p);
        SkipField(p);  // to the device
        SkipField(p);  // to the inode
        SkipField(p);  // to the path
        m.pszPath = p;
        if (m.qwEnd > m.qwStart) {
            ++g_cMappings;
        }
        if (bLast) {
            break;
        }
        pLine = pEnd + 1;
    }
    return g_cMappings > 0;
}

const Mapping* MappingOf(std::uint64_t qwAddress) {
    for (std::size_t i = 0; i < g_cMappings; ++i) {
        if (qwAddress >= g_Mappings[i].qwStart && qwAddress < g_Mappings[i].qwEnd) {
            return &g_Mappings[i];
        }
    }
    return nullptr;
}

bool SamePath(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

bool IsElfAt(std::uint64_t qwAddress) {
    unsigned char ident[SELFMAG];
    return SafeRead(qwAddress, ident, sizeof(ident)) && std::memcmp(ident, ELFMAG, SELFMAG) == 0;
}

// Modules are the ELF files mapped from offset 0; their later mappings of the same file follow.
void FindModules() {
    g_cModules = 0;
    for (std::size_t i = 0; i < g_cMappings && g_cModules < MAX_MODULES; ++i) {
        const Mapping& m = g_Mappings[i];
        if (m.pszPath[0] != '/' || m.qwOffset != 0 || !m.bRead || !IsElfAt(m.qwStart)) {
            continue;
        }
        std::size_t nLast = i;
        while (nLast + 1 < g_cMappings && SamePath(g_Mappings[nLast + 1].pszPath, m.pszPath) &&
               g_Mappings[nLast + 1].qwOffset != 0) {
            ++nLast;
        }
        g_Modules[g_cModules++] = ModuleSpan{m.qwStart, g_Mappings[nLast].qwEnd, m.pszPath};
        i = nLast;
    }
}

// The GNU build id of the module mapped at qwBase; its length, 0 when it has none.
std::size_t ReadBuildId(std::uint64_t qwBase, unsigned char* pId, std::size_t cbMax) {
    Elf64_Ehdr ehdr;
    if (!SafeRead(qwBase, &ehdr, sizeof(ehdr)) || ehdr.e_ident[EI_CLASS] != ELFCLASS64 || ehdr.e_phnum > 64) {
        return 0;
    }
    Elf64_Phdr phdrs[64];
    if (!SafeRead(qwBase + ehdr.e_phoff, phdrs, ehdr.e_phnum * sizeof(Elf64_Phdr))) {
        return 0;
    }
    std::uint64_t qwBias = qwBase;
    for (std::size_t i = 0; i < ehdr.e_phnum; ++i) {
        if (phdrs[i].p_type == PT_LOAD) {
            qwBias = qwBase - (phdrs[i].p_vaddr - phdrs[i].p_offset);
            break;
        }
    }
    for (std::size_t i = 0; i < ehdr.e_phnum; ++i) {
        if (phdrs[i].p_type != PT_NOTE || phdrs[i].p_memsz > 4096) {
            continue;
        }
        unsigned char notes[4096];
        const std::size_t cbNotes = phdrs[i].p_memsz;
        if (!SafeRead(qwBias + phdrs[i].p_vaddr, notes, cbNotes)) {
            continue;
        }
        std::size_t nOffset = 0;
        while (nOffset + sizeof(Elf64_Nhdr) <= cbNotes) {
            Elf64_Nhdr nhdr;
            std::memcpy(&nhdr, notes + nOffset, sizeof(nhdr));
            const std::size_t nName = nOffset + sizeof(nhdr);
            const std::size_t nDesc = nName + ((nhdr.n_namesz + 3) & ~3u);
            const std::size_t nNext = nDesc + ((nhdr.n_descsz + 3) & ~3u);
            if (nNext > cbNotes) {
                break;
            }
            if (nhdr.n_type == NT_GNU_BUILD_ID && nhdr.n_namesz == 4 &&
                std::memcmp(notes + nName, "GNU", 4) == 0) {
                const std::size_t cb = nhdr.n_descsz < cbMax ? nhdr.n_descsz : cbMax;
                std::memcpy(pId, notes + nDesc, cb);
                return cb;
            }
            nOffset = nNext;
        }
    }
    return 0;
}

// A MINIDUMP_STRING (byte length, UTF-16, NUL) of UTF-8 text.
std::uint32_t AppendString(CDumpFile& file, const char* pszText) {
    char16_t text[1024];
    std::size_t cch = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(pszText);
    while (*p != 0 && cch + 2 < sizeof(text) / sizeof(text[0])) {
        cch += static_cast<std::size_t>(platform::NextUtf16Units(&p, text + cch));
    }
    text[cch] = u'\0';
    file.Align(4);
    const std::uint32_t cbText = static_cast<std::uint32_t>(cch * sizeof(char16_t));
    const std::uint32_t dwRva = file.AppendValue(cbText);
    file.Append(text, cbText + sizeof(char16_t));
    return dwRva;
}

void FillContext(const ucontext_t& uc, ContextAmd64* pContext) {
    std::memset(pContext, 0, sizeof(*pContext));
    const greg_t* g = uc.uc_mcontext.gregs;
    pContext->ContextFlags = CONTEXT_AMD64_FULL;
    pContext->SegCs = static_cast<std::uint16_t>(g[REG_CSGSFS] & 0xFFFF);
    pContext->SegGs = static_cast<std::uint16_t>((g[REG_CSGSFS] >> 16) & 0xFFFF);
    pContext->SegFs = static_cast<std::uint16_t>((g[REG_CSGSFS] >> 32) & 0xFFFF);
    pContext->EFlags = static_cast<std::uint32_t>(g[REG_EFL]);
    pContext->Rax = static_cast<std::uint64_t>(g[REG_RAX]);
    pContext->Rcx = static_cast<std::uint64_t>(g[REG_RCX]);
    pContext->Rdx = static_cast<std::uint64_t>(g[REG_RDX]);
    pContext->Rbx = static_cast<std::uint64_t>(g[REG_RBX]);
    pContext->Rsp = static_cast<std::uint64_t>(g[REG_RSP]);
    pContext->Rbp = static_cast<std::uint64_t>(g[REG_RBP]);
    pContext->Rsi = static_cast<std::uint64_t>(g[REG_RSI]);
    pContext->Rdi = static_cast<std::uint64_t>(g[REG_RDI]);
    pContext->R8 = static_cast<std::uint64_t>(g[REG_R8]);
    pContext->R9 = static_cast<std::uint64_t>(g[REG_R9]);
    pContext->R10 = static_cast<std::uint64_t>(g[REG_R10]);
    pContext->R11 = static_cast<std::uint64_t>(g[REG_R11]);
    pContext->R12 = static_cast<std::uint64_t>(g[REG_R12]);
    pContext->R13 = static_cast<std::uint64_t>(g[REG_R13]);
    pContext->R14 = static_cast<std::uint64_t>(g[REG_R14]);
    pContext->R15 = static_cast<std::uint64_t>(g[REG_R15]);
    pContext->Rip = static_cast<std::uint64_t>(g[REG_RIP]);
    if (uc.uc_mcontext.fpregs != nullptr) {
        static_assert(sizeof(*uc.uc_mcontext.fpregs) == sizeof(pContext->FltSave));
        std::memcpy(pContext->FltSave, uc.uc_mcontext.fpregs, sizeof(pContext->FltSave));
        pContext->MxCsr = uc.uc_mcontext.fpregs->mxcsr;
    }
}

void FillSystemInfo(SystemInfo* pInfo) {
    std::memset(pInfo, 0, sizeof(*pInfo));
    pInfo->ProcessorArchitecture = ARCH_AMD64;
    pInfo->PlatformId = PLATFORM_LINUX;
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
        pInfo->VendorId[0] = ebx;
        pInfo->VendorId[1] = edx;
        pInfo->VendorId[2] = ecx;
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
        pInfo->VersionInformation = eax;
        pInfo->FeatureInformation = edx;
        const unsigned int nFamily = (eax >> 8) & 0xF;
        const unsigned int nModel = (eax >> 4) & 0xF;
        pInfo->ProcessorLevel =
            static_cast<std::uint16_t>(nFamily == 0xF ? nFamily + ((eax >> 20) & 0xFF) : nFamily);
        pInfo->ProcessorRevision = static_cast<std::uint16_t>((nModel << 8) | (eax & 0xF));
    }
    cpu_set_t cpus;
    if (RawSyscall(SYS_sched_getaffinity, 0, sizeof(cpus), reinterpret_cast<long>(&cpus)) > 0) {
        const int nCount = CPU_COUNT(&cpus);
        pInfo->NumberOfProcessors = static_cast<std::uint8_t>(nCount > 255 ? 255 : nCount);
    }
}

void ParseRelease(const char* p, SystemInfo* pInfo) {
    std::uint32_t* fields[3] = {&pInfo->MajorVersion, &pInfo->MinorVersion, &pInfo->BuildNumber};
    for (std::uint32_t* pField : fields) {
        while (*p >= '0' && *p <= '9') {
            *pField = *pField * 10 + static_cast<std::uint32_t>(*p++ - '0');
        }
        if (*p != '.') {
            break;
        }
        ++p;
    }
}

void AddRange(std::uint64_t qwStart, std::uint64_t qwEnd) {
    if (qwEnd > qwStart && g_cRanges < MAX_RANGES) {
        g_Ranges[g_cRanges++] = Range{qwStart, qwEnd - qwStart, 0};
    }
}

bool ModuleOwns(const Mapping& m) {
    for (std::size_t i = 0; i < g_cModules; ++i) {
        const ModuleSpan& module = g_Modules[i];
        if (m.qwStart >= module.qwBase && m.qwStart < module.qwEnd) {
            return true;
        }
        // A module's .bss is the anonymous mapping that directly follows its last file mapping.
        if (m.pszPath[0] == '\0' && m.qwStart == module.qwEnd) {
            return true;
        }
    }
    return false;
}

bool IsSpecial(const Mapping& m) {
    return SamePath(m.pszPath, "[vvar]") || SamePath(m.pszPath, "[vsyscall]") ||
           std::strncmp(m.pszPath, "/dev/", 5) == 0;
}

// The memory beyond the stack that the dump type asks for.
void ChooseRanges(DWORD dwDumpType) {
    for (std::size_t i = 0; i < g_cMappings; ++i) {
        const Mapping& m = g_Mappings[i];
        if (!m.bRead || IsSpecial(m)) {
            continue;
        }
        const bool bFile = m.pszPath[0] == '/';
        bool bWanted = (dwDumpType & MiniDumpWithFullMemory) != 0;
        if ((dwDumpType & MiniDumpWithDataSegs) != 0 && m.bWrite && ModuleOwns(m)) {
            bWanted = true;
        }
        if ((dwDumpType & MiniDumpWithCodeSegs) != 0 && m.bExec && bFile && ModuleOwns(m)) {
            bWanted = true;
        }
        if ((dwDumpType & MiniDumpWithPrivateReadWriteMemory) != 0 && m.bWrite && !bFile) {
            bWanted = true;
        }
        if (bWanted) {
            AddRange(m.qwStart, m.qwEnd);
        }
    }
}

// The memory around an address that the registers or the stack hold, when it is readable.
void AddReferenced(std::uint64_t qwValue) {
    constexpr std::uint64_t AROUND = 128;
    const Mapping* pMapping = MappingOf(qwValue);
    if (pMapping == nullptr || !pMapping->bRead || IsSpecial(*pMapping)) {
        return;
    }
    const std::uint64_t qwStart = qwValue - pMapping->qwStart < AROUND ? pMapping->qwStart : qwValue - AROUND;
    const std::uint64_t qwEnd = pMapping->qwEnd - qwValue < AROUND ? pMapping->qwEnd : qwValue + AROUND;
    for (std::size_t i = 0; i < g_cRanges; ++i) {
        if (qwStart >= g_Ranges[i].qwStart && qwEnd <= g_Ranges[i].qwStart + g_Ranges[i].qwSize) {
            return;
        }
    }
    AddRange(qwStart, qwEnd);
}

void AddReferencedRanges(const ContextAmd64& context, std::uint64_t qwStackStart, std::uint64_t qwStackEnd) {
    // The frames nearest the fault: the first 16 KiB of the stack.
    constexpr std::uint64_t SCANNED = 16 << 10;
    for (const std::uint64_t qwRegister : {context.Rax, context.Rcx, context.Rdx, context.Rbx, context.Rbp,
                                           context.Rsi, context.Rdi, context.R8, context.R9, context.R10,
                                           context.R11, context.R12, context.R13, context.R14, context.R15}) {
        AddReferenced(qwRegister);
    }
    const std::uint64_t qwEnd = qwStackEnd - qwStackStart > SCANNED ? qwStackStart + SCANNED : qwStackEnd;
    std::uint64_t words[256];
    for (std::uint64_t qw = qwStackStart & ~7ull; qw + sizeof(std::uint64_t) <= qwEnd; qw += sizeof(words)) {
        const std::size_t cbRead = qwEnd - qw < sizeof(words) ? (qwEnd - qw) & ~7ull : sizeof(words);
        if (!SafeRead(qw, words, cbRead)) {
            continue;
        }
        for (std::size_t i = 0; i < cbRead / sizeof(std::uint64_t); ++i) {
            AddReferenced(words[i]);
        }
    }
}

const char* BaseName(const char* pszPath) {
    const char* pszName = pszPath;
    for (const char* p = pszPath; *p != '\0'; ++p) {
        if (*p == '/') {
            pszName = p + 1;
        }
    }
    return pszName;
}

bool Fail(DWORD dwError) {
    SetLastError(dwError);
    return false;
}

// ---- the other threads: each answers a signal with its registers and waits until the dump is written

constexpr std::size_t MAX_THREADS = 256;
constexpr long ANSWER_WAIT_NS = 200'000'000;
constexpr std::uint64_t OTHER_STACK_LIMIT = 1 << 20;

struct ThreadRecord {
    std::uint32_t dwThreadId;
    ContextAmd64 context;
    std::uint64_t qwStackStart;
    std::uint64_t qwStackEnd;
    std::uint32_t dwContextRva;
    std::uint32_t dwStackRva;
    std::atomic<bool> bReady;
};
// Slot 0 is the dumping thread; the others claim theirs as they answer.
ThreadRecord g_Threads[MAX_THREADS];
std::size_t g_Included[MAX_THREADS];
std::size_t g_cIncluded;
std::atomic<std::size_t> g_nNextSlot{1};
std::atomic<int> g_nParked{0};
std::atomic<bool> g_bRelease{true};

void PauseMs(long nMilliseconds) {
    timespec pause{0, nMilliseconds * 1'000'000};
    RawSyscall(SYS_nanosleep, reinterpret_cast<long>(&pause), 0);
}

void ThreadStateHandler(int, siginfo_t*, void* pContext) {
    const int nSavedErrno = errno;
    g_nParked.fetch_add(1);
    const std::size_t nSlot = g_nNextSlot.fetch_add(1);
    if (nSlot < MAX_THREADS && !g_bRelease.load()) {
        g_Threads[nSlot].dwThreadId = static_cast<std::uint32_t>(RawSyscall(SYS_gettid));
        FillContext(*static_cast<const ucontext_t*>(pContext), &g_Threads[nSlot].context);
        g_Threads[nSlot].bReady.store(true, std::memory_order_release);
    }
    // The stack above the interrupted frame must not change while it is copied.
    while (!g_bRelease.load(std::memory_order_acquire)) {
        PauseMs(1);
    }
    g_nParked.fetch_sub(1);
    errno = nSavedErrno;
}

int ThreadStateSignal() {
    return SIGRTMIN + THREAD_STATE_SIGNAL_OFFSET;
}

// Signals every other thread and waits for their answers; returns how many were signalled.
std::size_t StopOtherThreads(struct sigaction* pPrevious) {
    for (ThreadRecord& record : g_Threads) {
        record.bReady.store(false);
    }
    g_nNextSlot.store(1);
    g_bRelease.store(false);
    struct sigaction action {};
    action.sa_sigaction = &ThreadStateHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    if (sigaction(ThreadStateSignal(), &action, pPrevious) != 0) {
        return 0;
    }
    const long nDir =
        RawSyscall(SYS_open, reinterpret_cast<long>("/proc/self/task"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nDir < 0) {
        return 0;
    }
    const long nSelf = RawSyscall(SYS_gettid);
    const long nPid = RawSyscall(SYS_getpid);
    std::size_t cSignalled = 0;
    alignas(8) char buffer[4096];
    for (;;) {
        const long cb = RawSyscall(SYS_getdents64, nDir, reinterpret_cast<long>(buffer), sizeof(buffer));
        if (cb <= 0) {
            break;
        }
        for (long nOffset = 0; nOffset < cb;) {
            struct Dirent64 {
                std::uint64_t d_ino;
                std::int64_t d_off;
                unsigned short d_reclen;
                unsigned char d_type;
                char d_name[1];
            };
            const auto* pEntry = reinterpret_cast<const Dirent64*>(buffer + nOffset);
            nOffset += pEntry->d_reclen;
            long nTid = 0;
            const char* p = pEntry->d_name;
            for (; *p >= '0' && *p <= '9'; ++p) {
                nTid = nTid * 10 + (*p - '0');
            }
            if (*p != '\0' || nTid == 0 || nTid == nSelf || cSignalled + 1 >= MAX_THREADS) {
                continue;
            }
            if (RawSyscall(SYS_tgkill, nPid, nTid, ThreadStateSignal()) == 0) {
                ++cSignalled;
            }
        }
    }
    RawSyscall(SYS_close, nDir);
    for (long nWaited = 0; nWaited < ANSWER_WAIT_NS / 1'000'000; ++nWaited) {
        std::size_t cReady = 0;
        for (std::size_t i = 1; i < MAX_THREADS; ++i) {
            cReady += g_Threads[i].bReady.load(std::memory_order_acquire) ? 1 : 0;
        }
        if (cReady >= cSignalled) {
            break;
        }
        PauseMs(1);
    }
    return cSignalled;
}

void ReleaseOtherThreads(const struct sigaction& previous) {
    g_bRelease.store(true, std::memory_order_release);
    for (int nWaited = 0; nWaited < 100 && g_nParked.load() > 0; ++nWaited) {
        PauseMs(1);
    }
    // Ignoring the signal discards it where it is still pending (a thread that blocks it), so that
    // the handler before ours never sees it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(ThreadStateSignal(), &ignore, nullptr);
    sigaction(ThreadStateSignal(), &previous, nullptr);
}

// The stack of a thread: from just below its stack pointer (the red zone) to its mapping's top.
void StackOf(std::uint64_t qwRsp, std::uint64_t qwLimit, std::uint64_t* pqwStart, std::uint64_t* pqwEnd) {
    *pqwStart = qwRsp - RED_ZONE;
    *pqwEnd = qwRsp;
    if (const Mapping* pStack = MappingOf(qwRsp)) {
        *pqwStart = *pqwStart < pStack->qwStart ? pStack->qwStart : *pqwStart;
        *pqwEnd = pStack->qwEnd - *pqwStart > qwLimit ? *pqwStart + qwLimit : pStack->qwEnd;
    }
}

}  // namespace

bool MapDumpPath(const std::u16string& sWindowsPath, std::string* psPosixPath) {
    return MapPath(sWindowsPath, psPosixPath);
}

int CreateDumpFile(const char* szPosixPath) {
    const long nFd = RawSyscall(SYS_open, reinterpret_cast<long>(szPosixPath),
                                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (nFd < 0) {
        SetLastError(ErrorFromErrno(static_cast<int>(-nFd)));
        return -1;
    }
    return static_cast<int>(nFd);
}

void CloseDumpFile(int nFile) {
    if (nFile >= 0) {
        RawSyscall(SYS_close, nFile);
    }
}

bool MiniDumpWriteDump(int nFile, DWORD dwDumpType, const MINIDUMP_EXCEPTION_INFORMATION* pException) {
    if ((dwDumpType & ~MiniDumpValidTypeFlags) != 0 || pException == nullptr ||
        pException->ExceptionPointers == nullptr || pException->ExceptionPointers->ContextRecord == nullptr) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    const auto& uc = *static_cast<const ucontext_t*>(pException->ExceptionPointers->ContextRecord);
    const EXCEPTION_RECORD* pRecord = pException->ExceptionPointers->ExceptionRecord;
    struct sigaction previousAction {};
    StopOtherThreads(&previousAction);
    ReadMaps();
    FindModules();

    CDumpFile file(nFile);
    Header header{SIGNATURE, VERSION, STREAM_COUNT, sizeof(Header), 0, 0, dwDumpType};
    timespec now{};
    if (RawSyscall(SYS_clock_gettime, CLOCK_REALTIME, reinterpret_cast<long>(&now)) == 0) {
        header.TimeDateStamp = static_cast<std::uint32_t>(now.tv_sec);
    }
    Directory directory[STREAM_COUNT] = {};
    file.AppendValue(header);
    file.Append(g_Zeros, sizeof(directory));
    std::uint32_t nStream = 0;
    auto addStream = [&](std::uint32_t dwType, std::uint32_t dwRva) {
        directory[nStream++] =
            Directory{dwType, {static_cast<std::uint32_t>(file.Position() - dwRva), dwRva}};
    };

    // System information, with the kernel's release text as the service-pack string.
    SystemInfo system;
    FillSystemInfo(&system);
    struct utsname uts {};
    char csd[sizeof(uts.sysname) * 4 + 4] = {};
    if (RawSyscall(SYS_uname, reinterpret_cast<long>(&uts)) == 0) {
        ParseRelease(uts.release, &system);
        std::size_t n = 0;
        for (const char* psz :
             {static_cast<const char*>(uts.sysname), " ", static_cast<const char*>(uts.release), " ",
              static_cast<const char*>(uts.version), " ", static_cast<const char*>(uts.machine)}) {
            for (; *psz != '\0' && n + 1 < sizeof(csd); ++psz) {
                csd[n++] = *psz;
            }
        }
    }
    system.CSDVersionRva = AppendString(file, csd);
    file.Align(8);
    std::uint32_t dwRva = file.AppendValue(system);
    addStream(STREAM_SYSTEM_INFO, dwRva);

    // The dumping thread first, then every thread that answered.
    ThreadRecord& self = g_Threads[0];
    self.dwThreadId = pException->ThreadId;
    FillContext(uc, &self.context);
    g_cIncluded = 0;
    g_Included[g_cIncluded++] = 0;
    for (std::size_t i = 1; i < MAX_THREADS; ++i) {
        if (g_Threads[i].bReady.load(std::memory_order_acquire)) {
            g_Included[g_cIncluded++] = i;
        }
    }
    g_cRanges = 0;
    for (std::size_t i = 0; i < g_cIncluded; ++i) {
        ThreadRecord& thread = g_Threads[g_Included[i]];
        file.Align(16);
        thread.dwContextRva = file.AppendValue(thread.context);
        StackOf(thread.context.Rsp, i == 0 ? STACK_LIMIT : OTHER_STACK_LIMIT, &thread.qwStackStart,
                &thread.qwStackEnd);
        AddRange(thread.qwStackStart, thread.qwStackEnd);
    }
    const ContextAmd64& s_Context = self.context;
    const Location contextLocation{sizeof(ContextAmd64), self.dwContextRva};
    const std::uint64_t qwStackStart = self.qwStackStart;
    const std::uint64_t qwStackEnd = self.qwStackEnd;
    const bool bFullMemory = (dwDumpType & MiniDumpWithFullMemory) != 0;
    if (bFullMemory) {
        // The whole address space goes into one 64-bit list; the stack lies inside it.
        g_cRanges = 0;
        ChooseRanges(dwDumpType);
        file.Align(8);
        const std::uint64_t qwCount = g_cRanges;
        dwRva = file.AppendValue(qwCount);
        const std::uint64_t qwBaseRva =
            file.Position() + sizeof(std::uint64_t) + g_cRanges * sizeof(MemoryDescriptor64);
        file.AppendValue(qwBaseRva);
        for (std::size_t i = 0; i < g_cRanges; ++i) {
            file.AppendValue(MemoryDescriptor64{g_Ranges[i].qwStart, g_Ranges[i].qwSize});
        }
        addStream(STREAM_MEMORY64_LIST, dwRva);
        for (std::size_t i = 0; i < g_cRanges; ++i) {
            const std::uint64_t qwRva =
                file.Append(reinterpret_cast<const void*>(g_Ranges[i].qwStart), g_Ranges[i].qwSize);
            for (std::size_t j = 0; j < g_cIncluded; ++j) {
                ThreadRecord& thread = g_Threads[g_Included[j]];
                if (thread.qwStackStart >= g_Ranges[i].qwStart &&
                    thread.qwStackStart < g_Ranges[i].qwStart + g_Ranges[i].qwSize) {
                    thread.dwStackRva =
                        static_cast<std::uint32_t>(qwRva + thread.qwStackStart - g_Ranges[i].qwStart);
                }
            }
        }
    } else {
        ChooseRanges(dwDumpType);
        if ((dwDumpType & MiniDumpWithIndirectlyReferencedMemory) != 0) {
            AddReferencedRanges(s_Context, qwStackStart, qwStackEnd);
        }
        for (std::size_t i = 0; i < g_cRanges; ++i) {
            g_Ranges[i].dwRva =
                file.Append(reinterpret_cast<const void*>(g_Ranges[i].qwStart), g_Ranges[i].qwSize);
        }
        // The threads' stacks are the first ranges, in the threads' order.
        for (std::size_t j = 0; j < g_cIncluded; ++j) {
            g_Threads[g_Included[j]].dwStackRva = g_Ranges[j].dwRva;
        }
        file.Align(4);
        const auto dwCount = static_cast<std::uint32_t>(g_cRanges);
        dwRva = file.AppendValue(dwCount);
        for (std::size_t i = 0; i < g_cRanges; ++i) {
            file.AppendValue(MemoryDescriptor{
                g_Ranges[i].qwStart, {static_cast<std::uint32_t>(g_Ranges[i].qwSize), g_Ranges[i].dwRva}});
        }
        addStream(STREAM_MEMORY_LIST, dwRva);
    }

    const DWORD dwThreadId = pException->ThreadId;
    file.Align(4);
    dwRva = file.AppendValue(static_cast<std::uint32_t>(g_cIncluded));
    for (std::size_t j = 0; j < g_cIncluded; ++j) {
        const ThreadRecord& thread = g_Threads[g_Included[j]];
        const MemoryDescriptor stack{
            thread.qwStackStart,
            {static_cast<std::uint32_t>(thread.qwStackEnd - thread.qwStackStart), thread.dwStackRva}};
        file.AppendValue(
            Thread{thread.dwThreadId, 0, 0, 0, 0, stack, {sizeof(ContextAmd64), thread.dwContextRva}});
    }
    addStream(STREAM_THREAD_LIST, dwRva);
    ReleaseOtherThreads(previousAction);

    // Modules: names and build-id records first, then the list that points at them.
    const bool bFilterPaths = (dwDumpType & MiniDumpFilterModulePaths) != 0;
    for (std::size_t i = 0; i < g_cModules; ++i) {
        const ModuleSpan& module = g_Modules[i];
        posix::mdmp::Module& raw = g_RawModules[i];
        std::memset(&raw, 0, sizeof(raw));
        raw.BaseOfImage = module.qwBase;
        raw.SizeOfImage = static_cast<std::uint32_t>(module.qwEnd - module.qwBase);
        raw.ModuleNameRva = AppendString(file, bFilterPaths ? BaseName(module.pszPath) : module.pszPath);
        unsigned char record[4 + 64];
        const std::uint32_t dwSignature = CV_SIGNATURE_ELF;
        std::memcpy(record, &dwSignature, sizeof(dwSignature));
        const std::size_t cbId = ReadBuildId(module.qwBase, record + 4, sizeof(record) - 4);
        if (cbId > 0) {
            file.Align(4);
            raw.CvRecord = Location{static_cast<std::uint32_t>(4 + cbId), file.Append(record, 4 + cbId)};
        }
    }
    file.Align(4);
    dwRva = file.AppendValue(static_cast<std::uint32_t>(g_cModules));
    file.Append(g_RawModules, g_cModules * sizeof(posix::mdmp::Module));
    addStream(STREAM_MODULE_LIST, dwRva);

    ExceptionStream exception{};
    exception.ThreadId = dwThreadId;
    if (pRecord != nullptr) {
        exception.Exception.ExceptionCode = pRecord->ExceptionCode;
        exception.Exception.ExceptionFlags = pRecord->ExceptionFlags;
        exception.Exception.ExceptionAddress = pRecord->ExceptionAddress;
        exception.Exception.NumberParameters = pRecord->NumberParameters < EXCEPTION_MAXIMUM_PARAMETERS
                                                   ? pRecord->NumberParameters
                                                   : EXCEPTION_MAXIMUM_PARAMETERS;
        for (DWORD i = 0; i < exception.Exception.NumberParameters; ++i) {
            exception.Exception.ExceptionInformation[i] = pRecord->ExceptionInformation[i];
        }
    }
    exception.ThreadContext = contextLocation;
    file.Align(8);
    dwRva = file.AppendValue(exception);
    addStream(STREAM_EXCEPTION, dwRva);

    const MiscInfo misc{
        sizeof(MiscInfo), MISC1_PROCESS_ID, static_cast<std::uint32_t>(RawSyscall(SYS_getpid)), 0, 0, 0};
    dwRva = file.AppendValue(misc);
    addStream(STREAM_MISC_INFO, dwRva);

    dwRva = file.Append(g_MapsText, g_cbMapsText);
    addStream(STREAM_LINUX_MAPS, dwRva);

    file.WriteAt(sizeof(Header), directory, sizeof(directory));
    if (file.Failed()) {
        return Fail(ErrorFromErrno(file.Error()));
    }
    return true;
}

}  // namespace platform
