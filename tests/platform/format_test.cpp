#include "platform/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/strings.h"
#include "platform/types.h"

namespace {

using platform::Format;
using platform::FormatFits;
using platform::FormatNarrow;
using platform::FormatNarrowRuntime;
using platform::FormatRuntime;
using platform::RuntimeFormat;

enum EState : DWORD { STATE_ON = 1, STATE_OFF = 2 };

void* Address(std::uintptr_t uValue) {
    return reinterpret_cast<void*>(uValue);
}

// Pointers print at their full width: the expected text of a 64-bit and of a 32-bit build.
const char16_t* ByWidth(const char16_t* sz64, const char16_t* sz32) {
    return sizeof(void*) == 8 ? sz64 : sz32;
}

struct Case {
    std::u16string sActual;
    std::u16string sExpected;
};

void ExpectAll(const Case* pCases, std::size_t nCases) {
    for (std::size_t i = 0; i < nCases; ++i) {
        EXPECT_EQ(platform::ToUtf8(pCases[i].sActual), platform::ToUtf8(pCases[i].sExpected)) << "row " << i;
    }
}

// Log texts of the service with realistic arguments, and what the platform's CRT prints for them.
TEST(Format, LogTextsPrintAsTheCrtPrintsThem) {
    const void* const pNull = nullptr;
    const Case cases[] = {
        {Format(u"CKTUMSModule::closeDriverChannel(): CKTUMessageChannel->Close() failed, 0x%08X\n",
                DWORD{0x80070006}),
         u"CKTUMSModule::closeDriverChannel(): CKTUMessageChannel->Close() failed, 0x80070006\n"},
        {Format(u"CKTUMSModule::loadDriver - OpenService() failed: %#08X\n", ERROR_ACCESS_DENIED),
         u"CKTUMSModule::loadDriver - OpenService() failed: 0X000005\n"},
        {Format(u"CKTUMSModule::restoreDriverService - CreateService failed: %#08X\n", DWORD{0x1234}),
         u"CKTUMSModule::restoreDriverService - CreateService failed: 0X001234\n"},
        {Format(u"CKTUMSModule::ServiceStartThread(): WaitForKTMessage failed: %#08X\n", DWORD{0}),
         u"CKTUMSModule::ServiceStartThread(): WaitForKTMessage failed: 00000000\n"},
        {Format(u"CKTUMSModule::ShutdownDriver(): WaitForKTMessage(pShutdownReplySubscriber) failed: %#08X\n",
                HRESULT{static_cast<HRESULT>(0x80070102)}),
         u"CKTUMSModule::ShutdownDriver(): WaitForKTMessage(pShutdownReplySubscriber) failed: 0X80070102\n"},
        {Format(u"CKTConfigurationCompiler::EventThread::Run() - Unknown return from lock: %ux8\n",
                WAIT_TIMEOUT),
         u"CKTConfigurationCompiler::EventThread::Run() - Unknown return from lock: 258x8\n"},
        {Format(
             u"CUserDebugOutput::CUserDebugOutput() - Memory error locating log output directory: %0x08X\n",
             E_OUTOFMEMORY),
         u"CUserDebugOutput::CUserDebugOutput() - Memory error locating log output directory: 8007000e08X\n"},
        {Format(u"CCompanionFile::Init: pLCSetKey->GetDword() FAILED, ZELRESULT=%0x", DWORD{0x80000100}),
         u"CCompanionFile::Init: pLCSetKey->GetDword() FAILED, ZELRESULT=80000100"},
        {Format(u"int64 = %#16I64X\n", ULONGLONG{0x1234ABCDEF}), u"int64 =     0X1234ABCDEF\n"},
        {Format(u"CKTKChannelSubscriber::MessageNotHandled - pMsg not known: %#08p\n", Address(0x1234560)),
         ByWidth(u"CKTKChannelSubscriber::MessageNotHandled - pMsg not known: 0X0000000001234560\n",
                 u"CKTKChannelSubscriber::MessageNotHandled - pMsg not known: 0X01234560\n")},
        {Format(u"CKTKChannelSubscriber::MessageWasHandled - pMsg not known: %#08p\n", pNull),
         ByWidth(u"CKTKChannelSubscriber::MessageWasHandled - pMsg not known: 0000000000000000\n",
                 u"CKTKChannelSubscriber::MessageWasHandled - pMsg not known: 00000000\n")},
        {Format(u"CCrashHandler::Dump() : eCrashType = %ld, pExceptionInfo = %p\n", LONG{2},
                Address(0xDEADBEEF)),
         ByWidth(u"CCrashHandler::Dump() : eCrashType = 2, pExceptionInfo = 00000000DEADBEEF\n",
                 u"CCrashHandler::Dump() : eCrashType = 2, pExceptionInfo = DEADBEEF\n")},
        {Format(u"CExceptionCrashHandler::ExceptionHandler() : ExceptionCode = %lu\n", DWORD{0xC0000005}),
         u"CExceptionCrashHandler::ExceptionHandler() : ExceptionCode = 3221225477\n"},
        {Format(u"CIntermediateConfiguration::Update() - couldn't clone node at index %li\n", LONG{3}),
         u"CIntermediateConfiguration::Update() - couldn't clone node at index 3\n"},
        {Format(u"CThread::Terminate() : WaitForExit(%lu) == FALSE, 0x%04X\n", DWORD{5000}, DWORD{0x102}),
         u"CThread::Terminate() : WaitForExit(5000) == FALSE, 0x0102\n"},
        {Format(u"CThread::ThreadProc() : delete pThread, 0x%04X\n", DWORD{0x1F4AB}),
         u"CThread::ThreadProc() : delete pThread, 0x1F4AB\n"},
        {Format(u"%04d-%02d-%02d %02d:%02d:%02d.%03d : %s : 0x%04X : 0x%04X : ", WORD{2024}, WORD{3}, WORD{7},
                WORD{9}, WORD{5}, WORD{2}, WORD{42}, u"KRELLSvc", DWORD{0x1A2B}, DWORD{0x3C}),
         u"2024-03-07 09:05:02.042 : KRELLSvc : 0x1A2B : 0x003C : "},
        {Format(u"%04x.kc", DWORD{0x2A}), u"002a.kc"},
        {Format(u"%04x.kc", DWORD{0x1BEEF}), u"1beef.kc"},
        {Format(u"%s\\%s", u"C:\\Program Files\\Quillon", u"KRELLSvc.log"),
         u"C:\\Program Files\\Quillon\\KRELLSvc.log"},
        {Format(u"\\%s.log", u"KRELLSvc"), u"\\KRELLSvc.log"},
        {Format(u"%s%s.dmp", u"C:\\Dumps\\", u"KRELLSvc-2024"), u"C:\\Dumps\\KRELLSvc-2024.dmp"},
        {Format(u"-%04d-%02d-%02d-%02d-%02d-%02d-%03d", 2024, 12, 31, 23, 59, 7, 5),
         u"-2024-12-31-23-59-07-005"},
        {Format(u"%u-%02u-%02uT%02u:%02u:%02uZ", 2025u, 1u, 2u, 3u, 4u, 5u), u"2025-01-02T03:04:05Z"},
        {Format(u"CAuthorizationConfigPlugin::PluginGetIC - Exception: %S\n", "bad allocation"),
         u"CAuthorizationConfigPlugin::PluginGetIC - Exception: bad allocation\n"},
        {Format(u"CAuthorizationConfigPlugin::PluginGetIC - Exit, pIC=%p\n",
                Address(static_cast<std::uintptr_t>(0x7FF6A0B1C2D8ull))),
         ByWidth(u"CAuthorizationConfigPlugin::PluginGetIC - Exit, pIC=00007FF6A0B1C2D8\n",
                 u"CAuthorizationConfigPlugin::PluginGetIC - Exit, pIC=A0B1C2D8\n")},
        {Format(u"CAuthorizationConfigPlugin::PluginGetIC - Entry, bCreateNewIC=%d\n", true),
         u"CAuthorizationConfigPlugin::PluginGetIC - Entry, bCreateNewIC=1\n"},
        {Format(u"CAuthorizationConfigPlugin::PluginGetIC - Unknown device type: %d\n", DWORD{0xFFFFFFFF}),
         u"CAuthorizationConfigPlugin::PluginGetIC - Unknown device type: -1\n"},
        {Format(
             u"CAuthorizationConfigPlugin::PluginGetIC - GWRuleNode.Append(AuthorizedUser: %s, %s) failed\n",
             u"QUILLON\\alice", u"S-1-5-21-1004"),
         u"CAuthorizationConfigPlugin::PluginGetIC - GWRuleNode.Append(AuthorizedUser: QUILLON\\alice, "
         u"S-1-5-21-1004) failed\n"},
        {Format(u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetActorPath returned %X expected "
                u"BUFFER_TOO_SMALL\n",
                DWORD{6}),
         u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetActorPath returned 6 expected "
         u"BUFFER_TOO_SMALL\n"},
        {Format(u"CKTUMSModule::CMSIQueryListener::Run - MSI authorization reply for %s: %d\n",
                std::u16string(u"C:\\Temp\\setup.msi"), 1),
         u"CKTUMSModule::CMSIQueryListener::Run - MSI authorization reply for C:\\Temp\\setup.msi: 1\n"},
        {Format(u"CKTUMSModule::SendConfigNotification(): Error waiting for reply (%08x)\n",
                static_cast<HRESULT>(0x80070102)),
         u"CKTUMSModule::SendConfigNotification(): Error waiting for reply (80070102)\n"},
        {Format(u"CKTUMSModule::SendConfigNotification(): driver reply indicates failure (%08x)\n", DWORD{5}),
         u"CKTUMSModule::SendConfigNotification(): driver reply indicates failure (00000005)\n"},
        {Format(u"CKTUMSModule::Destroy(): Stop event received: eCurrentState(%d), m_FinalState(%d)\n",
                STATE_ON, STATE_OFF),
         u"CKTUMSModule::Destroy(): Stop event received: eCurrentState(1), m_FinalState(2)\n"},
        {Format(u"CKTKChannelSubscriber::CSubscriberInfo::Wait - WaitForSingleObject returned %#08X "
                u"(error=%#08X)\n",
                WAIT_TIMEOUT, ERROR_SUCCESS),
         u"CKTKChannelSubscriber::CSubscriberInfo::Wait - WaitForSingleObject returned 0X000102 "
         u"(error=00000000)\n"},
        {Format(u"CKTUChunkChannel::WaitForChunk - received wrong-sized chunk: expected %d, got %d\n", 4096,
                17),
         u"CKTUChunkChannel::WaitForChunk - received wrong-sized chunk: expected 4096, got 17\n"},
        {Format(u"CEventManagerHelper::RegisterProvider() : Enter : m_piEventManager->RegisterProvider(), "
                u"nProviderId : %ld\n",
                LONG{7}),
         u"CEventManagerHelper::RegisterProvider() : Enter : m_piEventManager->RegisterProvider(), "
         u"nProviderId : 7\n"},
        {Format(u"nEventType : %ld, nSubscriberId : %ld", LONG{6008}, LONG{-12}),
         u"nEventType : 6008, nSubscriberId : -12"},
        {Format(u"GatewardenEvt::CAuthorizationEventData::ConvertHashToString - hashLength % 4 != 0\n"),
         u"GatewardenEvt::CAuthorizationEventData::ConvertHashToString - hashLength  != 0\n"},
        {Format(u"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: Data formatted: %i BYTEs long",
                128),
         u"CLegacyInstallConfigPlugin::LoadNonMsiAuthorizationData: Data formatted: 128 BYTEs long"},
        {Format(u"CKTConfigurationCompiler::EventThread::InitInstance() - created %i of %i plugins\n", 3, 4),
         u"CKTConfigurationCompiler::EventThread::InitInstance() - created 3 of 4 plugins\n"},
        {Format(u"CKTConfigurationCompiler::UpdateConfig() - failed to get data for section %08x\n",
                DWORD{0xA1}),
         u"CKTConfigurationCompiler::UpdateConfig() - failed to get data for section 000000a1\n"},
        {Format(u"CExeKey::Init: Iteration %i: pCompStr = \"%s\"", 2, u"notepad.exe"),
         u"CExeKey::Init: Iteration 2: pCompStr = \"notepad.exe\""},
        {Format(u"CGatewardenManifestLoad::LoadFileManifest XML parse error in %s: code %x, line %d, "
                u"position %d\n",
                u"gw.xml", static_cast<HRESULT>(0xC00CE556), 12, 7),
         u"CGatewardenManifestLoad::LoadFileManifest XML parse error in gw.xml: code c00ce556, line 12, "
         u"position 7\n"},
        {Format(u"Dumping Direct Node (m_size = %u):\n%s", 3u, u"0A 0B 0C"),
         u"Dumping Direct Node (m_size = 3):\n0A 0B 0C"},
        {Format(u"KeyName = %s   Value = %s\r\n", u"Path", u"%PROGRAMFILES%"),
         u"KeyName = Path   Value = %PROGRAMFILES%\r\n"},
        {Format(u"CStartStopConfigPlugin::PluginGetIC - Added direct data node added with contents %d %d %d "
                u"%#08X\n",
                1, 0, 2, DWORD{0x10}),
         u"CStartStopConfigPlugin::PluginGetIC - Added direct data node added with contents 1 0 2 "
         u"0X000010\n"},
        {Format(u"CRuleConverter::ReadXmlFromResource - FindResource(\"%d\") failed: 0x%08X\n", 101,
                DWORD{1813}),
         u"CRuleConverter::ReadXmlFromResource - FindResource(\"101\") failed: 0x00000715\n"},
        {Format(u"CUserDebugOutput::InternalDebugOutA(): ASCII version called with string: %S\n",
                std::string_view("Loaded %d rules\n")),
         u"CUserDebugOutput::InternalDebugOutA(): ASCII version called with string: Loaded %d rules\n\n"},
        {Format(u"CUserDebugOutput::InternalDebugOutA() - Memory error 0x%08X printing \"%S\"\n",
                E_OUTOFMEMORY, "x=%d"),
         u"CUserDebugOutput::InternalDebugOutA() - Memory error 0x8007000E printing \"x=%d\"\n"},
        {Format(u"string = %s\ndword = %X\n", u"abc", DWORD{0xBEEF}), u"string = abc\ndword = BEEF\n"},
        {Format(u"%s::Create() : CreateGlobalName() == FALSE\n", u"CMutex"),
         u"CMutex::Create() : CreateGlobalName() == FALSE\n"},
        {Format(u"#%u", 17u), u"#17"},
        {Format(u"@0x%08X", DWORD{0x7F}), u"@0x0000007F"},
        {Format(u"hr=0x%08X", E_FAIL), u"hr=0x80004005"},
        {Format(u"CFile::Open() : CreateFile() == INVALID_HANDLE_VALUE, %s, 0x%08X\n", u"C:\\x.kc",
                ERROR_SHARING_VIOLATION),
         u"CFile::Open() : CreateFile() == INVALID_HANDLE_VALUE, C:\\x.kc, 0x00000020\n"},
        {Format(u"GetConfigNode - Exit: node %sfound\n", u"not "), u"GetConfigNode - Exit: node not found\n"},
        {Format(u"CNewCrashHandler::NewHandler() : nSize = %lu\n", DWORD{1048576}),
         u"CNewCrashHandler::NewHandler() : nSize = 1048576\n"},
        {Format(u"CSecurityCrashHandler::SecurityHandler() : nCode = %d\n", -1),
         u"CSecurityCrashHandler::SecurityHandler() : nCode = -1\n"},
        {Format(u"CKTDataFile::WriteFile(): section (%d) write operation failed (0x%08X).\n", 4,
                ERROR_DISK_FULL),
         u"CKTDataFile::WriteFile(): section (4) write operation failed (0x00000070).\n"},
        {Format(u"%"), u""},
    };
    ExpectAll(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(Format, NarrowFormatStringsSwapSAndCapitalS) {
    EXPECT_EQ(FormatNarrow("%s\\%s", "C:\\Dumps", "KRELLSvc.dmp"), "C:\\Dumps\\KRELLSvc.dmp");
    EXPECT_EQ(FormatNarrow("CCompanionFile::Init: Hash = \"%s\"; file size = %i", std::string("A1B2"), 512),
              "CCompanionFile::Init: Hash = \"A1B2\"; file size = 512");
    EXPECT_EQ(FormatNarrow("%S|%ls|%ws|%hs", u"Qu\u00efllon", u"w", u"x", "n"), "Qu\xC3\xAFllon|w|x|n");
    EXPECT_EQ(FormatNarrow("%-6S|", u"\u00e4b"),
              "\xC3\xA4"
              "b    |");  // padding counts UTF-16 units
    EXPECT_EQ(FormatNarrow("%C%c%lc", u'\u00e9', 'e', u'\u20ac'),
              "\xC3\xA9"
              "e\xE2\x82\xAC");
    EXPECT_EQ(FormatNarrow("%.1S", u"\U0001F600"), "\xEF\xBF\xBD");  // a split pair is no character
    EXPECT_EQ(FormatNarrow("%#08X %p", DWORD{0xAB}, nullptr),
              sizeof(void*) == 8 ? "0X0000AB 0000000000000000" : "0X0000AB 00000000");
    EXPECT_EQ(FormatNarrow("%.3s|%5s", "abcdef", "ab"), "abc|   ab");
}

TEST(Format, IntegersFollowTheConversionNotTheArgument) {
    const Case cases[] = {
        {Format(u"%d", INT_MIN), u"-2147483648"},
        {Format(u"%u", -1), u"4294967295"},
        {Format(u"%X", -1), u"FFFFFFFF"},
        {Format(u"%d", DWORD{0xFFFFFFFF}), u"-1"},
        {Format(u"%i", DWORD{0x80000000}), u"-2147483648"},
        {Format(u"%hd", 0x18000), u"-32768"},
        {Format(u"%hu", -1), u"65535"},
        {Format(u"%hX", DWORD{0x12345678}), u"5678"},
        {Format(u"%o", 8), u"10"},
        {Format(u"%#o|%#o|%#.0o|%.0o", 8, 0, 0, 0), u"010|0|0|"},
        {Format(u"%#x|%#.0x|%.0d|%x", 0, 0, 0, 0), u"0|||0"},
        {Format(u"%+d|% d|%+ d|%+u|% x", 5, 5, 5, 5u, 5u), u"+5| 5|+5|5|5"},
        {Format(u"%05d|%-5d|%5d|%.5d", -42, -42, -42, -42), u"-0042|-42  |  -42|-00042"},
        {Format(u"%08.3d|%-08d|%+08d", 7, 7, 7), u"     007|7       |+0000007"},
        {Format(u"%#10x|%#-10X|%#010x", 0xABCu, 0xABCu, 0xABCu), u"     0xabc|0XABC     |0x00000abc"},
        {Format(u"%I64d", LONGLONG{INT64_MIN}), u"-9223372036854775808"},
        {Format(u"%llu", ULONGLONG{UINT64_MAX}), u"18446744073709551615"},
        {Format(u"%lld|%I64x|%I64o", LONGLONG{-5}, ULONGLONG{0xFEDCBA9876543210}, ULONGLONG{8}),
         u"-5|fedcba9876543210|10"},
        {Format(u"%Iu|%Id|%I32u", static_cast<std::size_t>(4000000000ull * 4), std::ptrdiff_t{-3}, 7u),
         ByWidth(u"16000000000|-3|7", u"3115098112|-3|7")},
        {Format(u"%.600d", 1).size() == 512 ? u"capped" : u"not capped", u"capped"},
        {Format(u"%c|%C|%3c|%-3c|%c", u'Z', 'A', u'z', u'y', 0x263A), u"Z|A|  z|y  |\u263A"},
        {Format(u"%hc|%wc|%C", 'b', u'\u00e4', '\xE9'), u"b|\u00e4|\uFFFD"},
    };
    ExpectAll(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(Format, StringsWidthsAndPrecisions) {
    const char16_t* const szNull = nullptr;
    const char* const szNarrowNull = nullptr;
    const char16_t aFixed[4] = {u'a', u'b', u'c', u'd'};  // no terminator: the array's end bounds the scan
    const Case cases[] = {
        {Format(u"[%s][%S][%s]", szNull, szNarrowNull, nullptr), u"[(null)][(null)][(null)]"},
        {Format(u"[%.3s][%8s][%-8S]", szNull, szNull, szNarrowNull), u"[(nu][  (null)][(null)  ]"},
        {Format(u"%*d|%-*d|%*d", 5, 42, 5, 42, -5, 42), u"   42|42   |42   "},
        {Format(u"%.*s|%*.*s|%.*d", 3, u"abcdef", 6, 2, u"xyz", -1, 7), u"abc|    xy|7"},
        {Format(u"%05s|%-05s|%5.1s", u"ab", u"ab", u"ab"), u"000ab|ab   |    a"},
        {Format(u"%s|%3s", u"\U0001F600", u"\U0001F600"), u"\U0001F600| \U0001F600"},
        {Format(u"%.1s", u"\U0001F600"), std::u16string(1, u'\xD83D')},
        {Format(u"%S", "Qu\xC3\xAFllon \xF0\x9F\x98\x80"), u"Qu\u00efllon \U0001F600"},
        {Format(u"%.3S|%5S", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4",
                "\xC3\xA4"
                "b"),
         u"\u00e4\u00f6\u00fc|   \u00e4b"},
        {Format(u"%hs|%ls|%ws|%lS|%hS", "n", u"w", u"w", u"W", "N"), u"n|w|w|W|N"},
        {Format(u"%S", "bad \xFF byte"), u"bad \uFFFD byte"},
        {Format(u"%s", aFixed), u"abcd"},
        {Format(u"%s|%S", std::u16string_view(u"a\0b", 3), std::string("c\0d", 3)), u"a|c"},
        {Format(u"%s", std::u16string_view(u"abcdef").substr(1, 2)), u"bc"},
    };
    ExpectAll(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(Format, PointersAreUpperCaseHexOfFullWidth) {
    const char16_t* const szText = u"x";
    const Case cases[] = {
        {Format(u"%p", nullptr), ByWidth(u"0000000000000000", u"00000000")},
        {Format(u"%p|%#p", Address(0x1234), Address(0x1234)),
         ByWidth(u"0000000000001234|0X0000000000001234", u"00001234|0X00001234")},
        {Format(u"%20p|%-20p|", Address(0xAB), Address(0xAB)),
         ByWidth(u"    00000000000000AB|00000000000000AB    |",
                 u"            000000AB|000000AB            |")},
        {Format(u"%.4p|%08p", Address(0xAB), Address(0xAB)),
         ByWidth(u"00000000000000AB|00000000000000AB", u"000000AB|000000AB")},
        {Format(u"%p", szText), Format(u"%p", static_cast<const void*>(szText))},  // a string's address
    };
    ExpectAll(cases, sizeof(cases) / sizeof(cases[0]));
}

// What the CRT's parser makes of text that is no valid conversion: the character that does not fit is
// printed, and what was read of the conversion so far is dropped without taking an argument.
TEST(Format, MalformedConversionsPrintAsTheCrtDoes) {
    const Case cases[] = {
        {Format(u"100%%|%5%|%-%"), u"100%|%|%"},
        {Format(u"%y|%-y|%5.2q|%k"), u"y|y|q|k"},
        {Format(u"%Is|%I|%I6|%I3d"), u"Is|I|I6|I3d"},
        {Format(u"%\u00e9|%\n"), u"\u00e9|\n"},
        {Format(u"abc%"), u"abc"},
        {Format(u"abc%-0"), u"abc"},
        {Format(u"%d%ux%dx", 1, 2u, 3), u"12x3x"},
        {Format(u"%FLNd", 9), u"9"},
    };
    ExpectAll(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(Format, RuntimeFormatStringsThatFit) {
    const std::u16string sFmt = u"%s has %d items (0x%08X)";
    EXPECT_EQ(FormatRuntime(sFmt, u"list", 3, DWORD{3}), u"list has 3 items (0x00000003)");
    EXPECT_EQ(Format(RuntimeFormat(sFmt), u"set", 0, DWORD{0}), u"set has 0 items (0x00000000)");
    EXPECT_EQ(FormatNarrowRuntime(std::string("%S=%u"), u"k", 1u), "k=1");
    EXPECT_EQ(FormatNarrow(RuntimeFormat(std::string_view("%s")), "v"), "v");
}

#ifndef NDEBUG
using FormatDeathTest = testing::Test;

TEST_F(FormatDeathTest, RuntimeMismatchAbortsWithTheFormatStringAndArgument) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(FormatRuntime(u"value %d", "text"),
                 "argument 1 does not fit %d in format string \"value %d\"");
    EXPECT_DEATH(FormatRuntime(u"%s and %d", u"one"), "argument 2 for %d is missing");
    EXPECT_DEATH(FormatRuntime(u"%d", 1, 2), "2 arguments given, the format string uses 1");
    EXPECT_DEATH(FormatRuntime(u"%ld", LONGLONG{5}), "argument 1 does not fit %d");
    EXPECT_DEATH(FormatRuntime(u"%f", 1.5), "conversion %f \\(argument 1\\) is not supported");
    EXPECT_DEATH(FormatNarrowRuntime("%*d", "w", 1), "argument 1 does not fit %\\*");
}
#else
TEST(Format, RuntimeMismatchRendersAMarkerAndGoesOn) {
    EXPECT_EQ(FormatRuntime(u"a%db", "text"), u"a%!d(bad argument)b");
    EXPECT_EQ(FormatRuntime(u"%d %s", 1), u"1 %!s(missing argument)");
    EXPECT_EQ(FormatRuntime(u"%d", 1, 2), u"1%!(extra arguments)");
    EXPECT_EQ(FormatRuntime(u"%ld|%d", LONGLONG{5}, 6), u"%!d(bad argument)|6");
    EXPECT_EQ(FormatRuntime(u"%f|%d", 1.5, 2), u"%!f(unsupported)|2");
    EXPECT_EQ(FormatNarrowRuntime("[%*d]", "w", 1), "[%!*(bad argument)1]");
    EXPECT_EQ(FormatNarrowRuntime("%S", "narrow"), "%!S(bad argument)");
}
#endif

// The check a literal format string passes at compile time; a failing one stops the build in
// FormatString's constructor (see format_compile_fail.cpp).
static_assert(FormatFits<char16_t, int>(u"%d"));
static_assert(!FormatFits<char16_t, const char*>(u"%d"));
static_assert(!FormatFits<char16_t, const char16_t*>(u"%S"));
static_assert(FormatFits<char16_t, const char*>(u"%S"));
static_assert(!FormatFits<char, const char16_t*>("%s"));
static_assert(!FormatFits<char16_t, long>(u"%ld") == (sizeof(long) > 4));
static_assert(!FormatFits<char16_t, int>(u"%I64d"));
static_assert(FormatFits<char16_t, ULONGLONG>(u"%#16I64X"));
static_assert(!FormatFits<char16_t, ULONGLONG>(u"%X"));
static_assert(FormatFits<char16_t, std::size_t>(u"%Iu"));
static_assert(FormatFits<char16_t, ULONGLONG>(u"%Iu") == (sizeof(void*) == 8));
static_assert(!FormatFits<char16_t>(u"%d"));
static_assert(!FormatFits<char16_t, int, int>(u"%d"));
static_assert(!FormatFits<char16_t, double>(u"%f"));
static_assert(!FormatFits<char16_t, int>(u"%n"));
static_assert(!FormatFits<char16_t, int>(u"%p"));
static_assert(FormatFits<char16_t, std::nullptr_t, const char*>(u"%p %p"));
static_assert(!FormatFits<char16_t, char>(u"%c"));
static_assert(FormatFits<char16_t, char, char16_t, int>(u"%C%c%c"));
static_assert(!FormatFits<char16_t, bool>(u"%*d"));
static_assert(FormatFits<char16_t>(u"hashLength % 4 != 0"));
static_assert(FormatFits<char16_t, std::string, std::u16string>(u"%S %s"));

// The debug log's entry points take the format string this way; a disabled call never formats.
DWORD g_dwMask = 0;
template <typename... Args>
std::u16string Level1(DWORD dwCategory, platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
                      const Args&... args) {
    if ((g_dwMask & 3) < 1 || (g_dwMask & dwCategory) == 0) {
        return std::u16string(fmt.get());
    }
    return Format(fmt, args...);
}

template <typename... Args>
std::u16string NarrowEntry(platform::FormatString<char, std::type_identity_t<Args>...> fmt,
                           const Args&... args) {
    return Format(u"ASCII version called with string: %S\n", fmt.get()) +
           platform::FromUtf8(FormatNarrow(fmt, args...));
}

TEST(Format, DebugLogEntryPointPattern) {
    g_dwMask = 0;
    EXPECT_EQ(Level1(0x2000, u"state %d\n", 3), u"state %d\n");
    g_dwMask = 0x2001;
    EXPECT_EQ(Level1(0x2000, u"state %d\n", 3), u"state 3\n");
    EXPECT_EQ(Level1(0x2000, RuntimeFormat(u"%s"), u"rt"), u"rt");
    EXPECT_EQ(NarrowEntry("%s=%d", "n", 2), u"ASCII version called with string: %s=%d\nn=2");
}

}  // namespace
