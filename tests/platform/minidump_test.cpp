// The mini-dump writer in this process, its file read back field by field: the registers and stack
// of the calling thread, the executable's build id as the loader sees it, memory the kernel cannot
// read, and the flags it refuses.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/minidump.h"
#include "platform/root.h"
#include "platform/system.h"
#include "support/dump_file.h"
#include "support/sanitizers.h"
#include "support/test_root.h"

namespace {

using krelltest::CDumpFile;

// Inside the test's root, which goes when the test program ends.
std::string TestFile(const char* szName) {
    return platform::RootDirectory() + "/" + szName;
}
std::string DumpPath() {
    return TestFile("test.dmp");
}

bool WriteDump(const std::string& sPath, DWORD dwDumpType, ucontext_t* pContext, DWORD dwSignal = 0) {
    const int nFile = platform::CreateDumpFile(sPath.c_str());
    EXPECT_GE(nFile, 0);
    platform::EXCEPTION_RECORD record{dwSignal, 0, 0, 1, {42}};
    platform::EXCEPTION_POINTERS pointers{&record, pContext};
    platform::MINIDUMP_EXCEPTION_INFORMATION info{platform::GetCurrentThreadId(), &pointers, false};
    const bool bWritten = platform::MiniDumpWriteDump(nFile, dwDumpType, &info);
    platform::CloseDumpFile(nFile);
    return bWritten;
}

// The executable's GNU build id, from the loader's own program headers.
std::string ExecutableBuildId() {
    std::string sId;
    dl_iterate_phdr(
        [](dl_phdr_info* pInfo, size_t, void* pData) -> int {
            for (int i = 0; i < pInfo->dlpi_phnum; ++i) {
                const ElfW(Phdr)& phdr = pInfo->dlpi_phdr[i];
                if (phdr.p_type != PT_NOTE) {
                    continue;
                }
                const char* p = reinterpret_cast<const char*>(pInfo->dlpi_addr + phdr.p_vaddr);
                const char* pEnd = p + phdr.p_memsz;
                while (p + sizeof(ElfW(Nhdr)) <= pEnd) {
                    const auto* pNote = reinterpret_cast<const ElfW(Nhdr)*>(p);
                    const char* pDesc = p + sizeof(ElfW(Nhdr)) + ((pNote->n_namesz + 3) & ~3u);
                    if (pNote->n_type == NT_GNU_BUILD_ID) {
                        static_cast<std::string*>(pData)->assign(pDesc, pNote->n_descsz);
                        return 1;
                    }
                    p = pDesc + ((pNote->n_descsz + 3) & ~3u);
                }
            }
            return 1;  // the first object is the executable
        },
        &sId);
    return sId;
}

TEST(MiniDump, RecordsTheCallingThreadAndItsModules) {
    const std::string sPath = DumpPath();
    volatile std::uint64_t qwOnStack = 0x1122334455667788ull;
    ucontext_t context;
    ASSERT_EQ(getcontext(&context), 0);
    ASSERT_TRUE(WriteDump(sPath, platform::MiniDumpNormal, &context, 11));
    const CDumpFile dump(sPath);
    ASSERT_NE(dump.Stream(3), 0u);

    // One thread: this one, with its registers and the stack around its stack pointer.
    const std::uint32_t dwThreads = dump.Stream(3);
    ASSERT_EQ(dump.Get<std::uint32_t>(dwThreads), 1u);
    EXPECT_EQ(dump.Get<std::uint32_t>(dwThreads + 4), platform::GetCurrentThreadId());
    const std::uint64_t qwStackStart = dump.Get<std::uint64_t>(dwThreads + 4 + 24);
    const std::uint32_t cbStack = dump.Get<std::uint32_t>(dwThreads + 4 + 32);
    const std::uint32_t dwContext = dump.Get<std::uint32_t>(dwThreads + 4 + 44);
    const auto qwRsp = static_cast<std::uint64_t>(context.uc_mcontext.gregs[REG_RSP]);
    EXPECT_EQ(dump.Get<std::uint32_t>(dwContext + 48), 0x0010000Bu);  // AMD64, full
    EXPECT_EQ(dump.Get<std::uint64_t>(dwContext + 152), qwRsp);
    EXPECT_EQ(dump.Get<std::uint64_t>(dwContext + 248),
              static_cast<std::uint64_t>(context.uc_mcontext.gregs[REG_RIP]));
    EXPECT_EQ(dump.Get<std::uint64_t>(dwContext + 144),
              static_cast<std::uint64_t>(context.uc_mcontext.gregs[REG_RBX]));
    EXPECT_LE(qwStackStart, qwRsp);
    EXPECT_GT(qwStackStart + cbStack, qwRsp);
    // The stack bytes in the file are this stack's.
    const std::uint32_t dwStackRva = dump.Get<std::uint32_t>(dwThreads + 4 + 36);
    // (AddressSanitizer may keep locals on a stack of its own.)
    const auto qwAddress = reinterpret_cast<std::uint64_t>(&qwOnStack);
    if (!ADDRESS_SANITIZER) {
        ASSERT_GE(qwAddress, qwStackStart);
        ASSERT_LE(qwAddress + 8, qwStackStart + cbStack);
        EXPECT_EQ(dump.Get<std::uint64_t>(dwStackRva + (qwAddress - qwStackStart)), qwOnStack);
    }

    // The exception carries the signal and the caller's parameter.
    const std::uint32_t dwException = dump.Stream(6);
    ASSERT_NE(dwException, 0u);
    EXPECT_EQ(dump.Get<std::uint32_t>(dwException + 8), 11u);
    EXPECT_EQ(dump.Get<std::uint32_t>(dwException + 32), 1u);
    EXPECT_EQ(dump.Get<std::uint64_t>(dwException + 40), 42u);

    // The executable is a module, with the build id the loader has for it.
    const std::string sBuildId = ExecutableBuildId();
    ASSERT_FALSE(sBuildId.empty());
    const std::uint32_t dwModules = dump.Stream(4);
    bool bFound = false;
    for (std::uint32_t i = 0; i < dump.Get<std::uint32_t>(dwModules); ++i) {
        const std::uint32_t dwModule = dwModules + 4 + i * 108;
        const std::uint32_t dwCvSize = dump.Get<std::uint32_t>(dwModule + 76);
        const std::uint32_t dwCvRva = dump.Get<std::uint32_t>(dwModule + 80);
        if (dwCvSize == 4 + sBuildId.size() && dump.Get<std::uint32_t>(dwCvRva) == 0x4270454C &&
            std::memcmp(dump.At(dwCvRva + 4), sBuildId.data(), sBuildId.size()) == 0) {
            bFound = true;
        }
    }
    EXPECT_TRUE(bFound);
    EXPECT_EQ(dump.Get<std::uint32_t>(dump.Stream(15) + 8), static_cast<std::uint32_t>(getpid()));
}

TEST(MiniDump, UnreadablePagesBecomeZeros) {
    if (ADDRESS_SANITIZER || THREAD_SANITIZER) {
        GTEST_SKIP() << "a full-memory dump would copy the sanitizer's shadow memory";
    }
    // Two pages mapped from a one-page file: the second is listed as readable but faults.
    const std::string sFile = TestFile("page");
    std::string sPage(4096, 'p');
    std::memcpy(sPage.data(), "KRELL-PAGE-MARKER", 17);
    std::ofstream(sFile, std::ios::binary) << sPage;
    const int nFd = open(sFile.c_str(), O_RDONLY);
    ASSERT_GE(nFd, 0);
    void* pMapped = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE, nFd, 0);
    close(nFd);
    ASSERT_NE(pMapped, MAP_FAILED);

    const std::string sPath = DumpPath();
    ucontext_t context;
    getcontext(&context);
    ASSERT_TRUE(WriteDump(sPath, platform::MiniDumpWithFullMemory, &context));
    munmap(pMapped, 8192);
    const CDumpFile dump(sPath);
    const std::uint32_t dwList = dump.Stream(9);
    ASSERT_NE(dwList, 0u);
    const auto qwCount = dump.Get<std::uint64_t>(dwList);
    std::uint64_t qwRva = dump.Get<std::uint64_t>(dwList + 8);
    bool bFound = false;
    for (std::uint64_t i = 0; i < qwCount; ++i) {
        const auto qwStart = dump.Get<std::uint64_t>(dwList + 16 + i * 16);
        const auto qwSize = dump.Get<std::uint64_t>(dwList + 16 + i * 16 + 8);
        if (qwStart == reinterpret_cast<std::uint64_t>(pMapped)) {
            bFound = true;
            EXPECT_EQ(qwSize, 8192u);
            EXPECT_EQ(std::memcmp(dump.At(qwRva), "KRELL-PAGE-MARKER", 17), 0);
            EXPECT_EQ(std::string(dump.At(qwRva + 4096), 4096), std::string(4096, '\0'));
        }
        qwRva += qwSize;
    }
    EXPECT_TRUE(bFound);
    EXPECT_LE(qwRva, dump.Size());
}

TEST(MiniDump, RefusesWhatItCannotWrite) {
    const std::string sPath = DumpPath();
    ucontext_t context;
    getcontext(&context);
    EXPECT_FALSE(WriteDump(sPath, 0x02000000, &context));
    EXPECT_EQ(platform::GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_FALSE(WriteDump(sPath, platform::MiniDumpNormal, nullptr));
    EXPECT_EQ(platform::GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(platform::CreateDumpFile("/proc/self/no.dmp"), -1);
    // A descriptor that cannot be written: the system's error comes back.
    const int nFd = open(sPath.c_str(), O_RDONLY);
    platform::EXCEPTION_RECORD record{};
    platform::EXCEPTION_POINTERS pointers{&record, &context};
    platform::MINIDUMP_EXCEPTION_INFORMATION info{platform::GetCurrentThreadId(), &pointers, false};
    EXPECT_FALSE(platform::MiniDumpWriteDump(nFd, platform::MiniDumpNormal, &info));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorFromErrno(EBADF));
    close(nFd);
}

}  // namespace
