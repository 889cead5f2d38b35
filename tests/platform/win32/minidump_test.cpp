// The dump writer over dbghelp: a child that crashes writes its dump from an unhandled-exception
// filter, and the file is read back: header, stream directory, threads, modules, the exception and
// the faulting thread's registers.
#include <gtest/gtest.h>
#include <process.h>

#include <cstdio>
#include <string>

#include "platform/minidump.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "support/dump_file.h"

namespace {

using krelltest::CDumpFile;

constexpr DWORD EXCEPTION_ACCESS_VIOLATION = 0xC0000005;
constexpr std::uint32_t THREAD_LIST = 3, MODULE_LIST = 4, EXCEPTION = 6, SYSTEM_INFO = 7;

std::u16string ProgramDirectory() {
    std::u16string sPath;
    EXPECT_TRUE(platform::GetModuleFileName(&sPath));
    return sPath.substr(0, sPath.rfind(u'\\'));
}

std::u16string StringAt(const CDumpFile& dump, std::uint32_t dwRva) {
    const std::uint32_t cb = dump.Get<std::uint32_t>(dwRva);
    std::u16string s(cb / 2, u'\0');
    for (std::uint32_t i = 0; i < cb / 2; ++i) {
        s[i] = dump.Get<char16_t>(dwRva + 4 + i * 2);
    }
    return s;
}

TEST(MiniDumpWin32, CrashingChildWritesItsDumpFromTheExceptionFilter) {
    const std::u16string sDump = ProgramDirectory() + u"\\crash_test.dmp";
    const std::string sDumpUtf8 = platform::ToUtf8(sDump);
    std::remove(sDumpUtf8.c_str());
    const std::u16string sChild = ProgramDirectory() + u"\\krell_minidump_crasher.exe";
    const std::u16string sQuoted = u"\"" + sDump + u"\"";
    const wchar_t* argv[] = {reinterpret_cast<const wchar_t*>(sChild.c_str()),
                             reinterpret_cast<const wchar_t*>(sQuoted.c_str()), nullptr};
    // The filter lets the process end with the exception's code.
    EXPECT_EQ(static_cast<DWORD>(_wspawnv(_P_WAIT, argv[0], argv)), EXCEPTION_ACCESS_VIOLATION);

    const CDumpFile dump(sDumpUtf8);
    std::remove(sDumpUtf8.c_str());
    ASSERT_EQ(dump.Get<std::uint32_t>(0), 0x504D444Du);  // "MDMP"
    EXPECT_EQ(dump.Get<std::uint32_t>(4) & 0xFFFF, 0xA793u);
    for (std::uint32_t dwStream : {THREAD_LIST, MODULE_LIST, EXCEPTION, SYSTEM_INFO}) {
        EXPECT_NE(dump.Stream(dwStream), 0u) << dwStream;
    }
    EXPECT_EQ(dump.Get<std::uint16_t>(dump.Stream(SYSTEM_INFO)), 0u);  // x86

    // The write through 0x24: code, write access, the address.
    const std::uint32_t dwException = dump.Stream(EXCEPTION);
    ASSERT_NE(dwException, 0u);
    const std::uint32_t dwFaultingThread = dump.Get<std::uint32_t>(dwException);
    EXPECT_EQ(dump.Get<std::uint32_t>(dwException + 8), EXCEPTION_ACCESS_VIOLATION);
    const auto qwAddress = dump.Get<std::uint64_t>(dwException + 24);
    EXPECT_NE(qwAddress, 0u);
    ASSERT_EQ(dump.Get<std::uint32_t>(dwException + 32), 2u);
    EXPECT_EQ(dump.Get<std::uint64_t>(dwException + 40), 1u);
    EXPECT_EQ(dump.Get<std::uint64_t>(dwException + 48), 0x24u);

    // Both threads, the faulting one among them with its stack.
    const std::uint32_t dwThreads = dump.Stream(THREAD_LIST);
    ASSERT_GE(dump.Get<std::uint32_t>(dwThreads), 2u);
    std::uint64_t qwStackStart = 0;
    std::uint32_t cbStack = 0;
    for (std::uint32_t i = 0; i < dump.Get<std::uint32_t>(dwThreads); ++i) {
        const std::uint32_t dwThread = dwThreads + 4 + i * 48;
        if (dump.Get<std::uint32_t>(dwThread) == dwFaultingThread) {
            qwStackStart = dump.Get<std::uint64_t>(dwThread + 24);
            cbStack = dump.Get<std::uint32_t>(dwThread + 32);
        }
    }
    ASSERT_NE(cbStack, 0u) << "faulting thread " << dwFaultingThread << " not in the list";

    // The exception's context is the faulting instruction's: x86, Eip at the fault, Esp in the stack.
    const std::uint32_t dwContext = dump.Get<std::uint32_t>(dwException + 164);
    ASSERT_NE(dwContext, 0u);
    EXPECT_NE(dump.Get<std::uint32_t>(dwContext) & 0x00010000u, 0u);
    EXPECT_EQ(dump.Get<std::uint32_t>(dwContext + 184), qwAddress);
    const std::uint32_t dwEsp = dump.Get<std::uint32_t>(dwContext + 196);
    EXPECT_GE(dwEsp, qwStackStart);
    EXPECT_LT(dwEsp, qwStackStart + cbStack);

    // The crasher is among the modules, by its path.
    const std::uint32_t dwModules = dump.Stream(MODULE_LIST);
    bool bFound = false;
    for (std::uint32_t i = 0; i < dump.Get<std::uint32_t>(dwModules); ++i) {
        const std::u16string sName = StringAt(dump, dump.Get<std::uint32_t>(dwModules + 4 + i * 108 + 20));
        bFound = bFound || sName.ends_with(u"\\krell_minidump_crasher.exe");
    }
    EXPECT_TRUE(bFound);
}

TEST(MiniDumpWin32, RefusesWhatItCannotWrite) {
    const std::string sPath = platform::ToUtf8(ProgramDirectory() + u"\\refused.dmp");
    platform::EXCEPTION_RECORD record{};
    char context[1024] = {};
    platform::EXCEPTION_POINTERS pointers{&record, context};
    platform::EXCEPTION_POINTERS noContext{&record, nullptr};
    const struct {
        DWORD dwDumpType;
        platform::EXCEPTION_POINTERS* pPointers;
    } cases[] = {{0x02000000, &pointers}, {platform::MiniDumpNormal, &noContext}};
    for (const auto& c : cases) {
        const int nFile = platform::CreateDumpFile(sPath.c_str());
        ASSERT_GE(nFile, 0);
        const platform::MINIDUMP_EXCEPTION_INFORMATION info{platform::GetCurrentThreadId(), c.pPointers,
                                                            false};
        EXPECT_FALSE(platform::MiniDumpWriteDump(nFile, c.dwDumpType, &info)) << std::hex << c.dwDumpType;
        EXPECT_EQ(platform::GetLastError(), static_cast<DWORD>(E_INVALIDARG)) << std::hex << c.dwDumpType;
        platform::CloseDumpFile(nFile);
    }
    std::remove(sPath.c_str());
    EXPECT_EQ(
        platform::CreateDumpFile(platform::ToUtf8(ProgramDirectory() + u"\\no-such-folder\\x.dmp").c_str()),
        -1);
    EXPECT_EQ(platform::GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
