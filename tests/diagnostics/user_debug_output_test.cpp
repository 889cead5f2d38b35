#include "diagnostics/user_debug_output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "diagnostics/debug_options.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "service/registry_key.h"
#include "support/files.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::u16string OPTIONS_KEY = std::u16string(CDebugOptions::BASE_KEY) + u"\\DebugOutput";

void SetDebugOptions(std::optional<DWORD> dwDebugType, const std::u16string& sDirectory) {
    CRegistryKey reg;
    ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, OPTIONS_KEY.c_str()));
    if (dwDebugType) {
        ASSERT_TRUE(reg.SetDword(u"DebugType", *dwDebugType));
    } else {
        platform::RegDeleteValue(reg.Handle(), u"DebugType");
    }
    ASSERT_TRUE(reg.SetString(u"Directory", sDirectory));
}

// The messages of a log file, without their prefixes; every line must carry the full prefix and end
// in exactly one CR LF.
std::vector<std::string> LoggedMessages(const std::u16string& sLogFile) {
    const std::string sBytes = krelltest::ReadFileBytes(sLogFile);
    EXPECT_GE(sBytes.size(), 2u);
    EXPECT_EQ(sBytes.substr(0, 2), "\xFF\xFE");
    const std::string sText = krelltest::Utf16LeToUtf8(sBytes);
    static const std::regex linePattern(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} : KRELLSvc : 0x([0-9A-F]{4,}) : 0x[0-9A-F]{4,} : ([^\r\n]*)$)");
    std::vector<std::string> messages;
    std::size_t nPos = 0;
    while (nPos < sText.size()) {
        const std::size_t nEnd = sText.find("\r\n", nPos);
        EXPECT_NE(nEnd, std::string::npos) << "unterminated line";
        if (nEnd == std::string::npos) {
            break;
        }
        const std::string sLine = sText.substr(nPos, nEnd - nPos);
        std::smatch match;
        EXPECT_TRUE(std::regex_match(sLine, match, linePattern)) << sLine;
        if (!match.empty()) {
            EXPECT_EQ(std::stoul(match[1].str(), nullptr, 16), static_cast<unsigned long>(getpid()));
            messages.push_back(match[2].str());
        }
        nPos = nEnd + 2;
    }
    return messages;
}

void EmitStandardMessages(CUserDebugOutput& log) {
    log.Out(1, DBG_CAT_MODULE, u"module failure 0x%08X\n", static_cast<DWORD>(E_FAIL));
    log.Out(2, DBG_CAT_MODULE, u"module notable\n");
    log.Out(3, DBG_CAT_MODULE, u"module detail\n");
    log.Out(1, DBG_CAT_MANIFEST, u"manifest failure\n");
    log.Out(3, DBG_CAT_MANIFEST, u"manifest detail\n");
    log.Out(1, DBG_CAT_ALL, u"settings failure\n");
    log.Trace(1, u"framework failure\n");
    log.Trace(3, u"framework detail\n");
}

struct FilterCase {
    const char* szName;
    std::optional<DWORD> dwDebugType;
    std::optional<DWORD> dwOverride;
    bool bFileExpected;
    std::vector<std::string> expected;
};

TEST(UserDebugOutput, LevelAndCategoryFiltering) {
    const std::vector<std::string> all = {"module failure 0x80004005", "module notable",  "module detail",
                                          "manifest failure",          "manifest detail", "settings failure",
                                          "framework failure",         "framework detail"};
    const FilterCase cases[] = {
        {"DebugType 1 writes everything", 1, std::nullopt, true, all},
        {"override 0 silences DebugType 1", 1, 0, false, {}},
        {"unknown DebugType is off", 7, std::nullopt, false, {}},
        {"no options at all is off", std::nullopt, std::nullopt, false, {}},
        {"verbosity without categories", 1, 3, true, {"framework failure", "framework detail"}},
        {"manifest level 1 only",
         std::nullopt,
         0x00000101,
         true,
         {"manifest failure", "settings failure", "framework failure"}},
        {"every category at level 1",
         std::nullopt,
         0xFFFFFFFD,
         true,
         {"module failure 0x80004005", "manifest failure", "settings failure", "framework failure"}},
        {"DebugType 2 is levels 1 and 2",
         2,
         std::nullopt,
         true,
         {"module failure 0x80004005", "module notable", "manifest failure", "settings failure",
          "framework failure"}},
        {"DebugType 3 is level 1",
         3,
         std::nullopt,
         true,
         {"module failure 0x80004005", "manifest failure", "settings failure", "framework failure"}},
        {"module only",
         0,
         0x00002003,
         true,
         {"module failure 0x80004005", "module notable", "module detail", "settings failure",
          "framework failure", "framework detail"}},
    };
    int nCase = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        const std::u16string sDirectory = u"C:\\Logs\\case" + platform::FromUtf8(std::to_string(nCase++));
        ASSERT_TRUE(platform::CreateDirectory(u"C:\\Logs") ||
                    platform::GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(platform::CreateDirectory(sDirectory.c_str()));
        SetDebugOptions(c.dwDebugType, sDirectory + u"\\\\");  // trailing backslashes are dropped
        {
            CUserDebugOutput log;
            log.Construct(u"KRELLSvc", c.dwOverride);
            EXPECT_TRUE(log.IsInitialized());
            EXPECT_EQ(log.HasFile(), c.bFileExpected);
            EmitStandardMessages(log);
        }
        const std::u16string sFile = sDirectory + u"\\KRELLSvc.log";
        ASSERT_EQ(krelltest::FileExists(sFile), c.bFileExpected);
        if (c.bFileExpected) {
            EXPECT_THAT(LoggedMessages(sFile), ElementsAreArray(c.expected));
        }
    }
}

TEST(UserDebugOutput, EveryLineEndsInExactlyOneCrLf) {
    SetDebugOptions(1, u"C:\\");
    CUserDebugOutput log;
    log.Construct(u"KRELLSvc", std::nullopt);
    log.Out(1, DBG_CAT_MODULE, u"plain");
    log.Out(1, DBG_CAT_MODULE, u"lf\n");
    log.Out(1, DBG_CAT_MODULE, u"crlf\r\n");
    log.Out(1, DBG_CAT_MODULE, u"many\n\r\n\n");
    log.Out(1, DBG_CAT_MODULE, u"inner\nline\n");
    const std::string sText = krelltest::Utf16LeToUtf8(krelltest::ReadFileBytes(u"C:\\KRELLSvc.log"));
    EXPECT_NE(sText.find(" : plain\r\n"), std::string::npos);
    EXPECT_NE(sText.find(" : lf\r\n"), std::string::npos);
    EXPECT_NE(sText.find(" : crlf\r\n"), std::string::npos);
    EXPECT_NE(sText.find(" : many\r\n"), std::string::npos);
    EXPECT_NE(sText.find(" : inner\nline\r\n"), std::string::npos);
    EXPECT_EQ(sText.find("\n\r\n"), std::string::npos);
    EXPECT_EQ(sText.find("\r\n\r\n"), std::string::npos);
}

TEST(UserDebugOutput, RestartAppendsAndKeepsOneByteOrderMark) {
    SetDebugOptions(1, u"C:\\");
    for (const char16_t* szRun : {u"first run", u"second run"}) {
        CUserDebugOutput log;
        log.Construct(u"KRELLSvc", std::nullopt);
        log.Out(1, DBG_CAT_MODULE, u"%s\n", szRun);
    }
    const std::string sBytes = krelltest::ReadFileBytes(u"C:\\KRELLSvc.log");
    EXPECT_EQ(sBytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(sBytes.find("\xFF\xFE", 2), std::string::npos);
    EXPECT_THAT(LoggedMessages(u"C:\\KRELLSvc.log"), ElementsAreArray({"first run", "second run"}));
}

TEST(UserDebugOutput, NarrowEntryPointAnnouncesItselfAtLevelTwo) {
    SetDebugOptions(1, u"C:\\");
    {
        CUserDebugOutput log;
        log.Construct(u"KRELLSvc", std::nullopt);
        log.OutA(1, DBG_CAT_MODULE, "narrow %s %d\n", "caf\xC3\xA9", 5);
    }
    EXPECT_THAT(LoggedMessages(u"C:\\KRELLSvc.log"),
                ElementsAreArray(
                    {"CUserDebugOutput::InternalDebugOutA(): ASCII version called with string: narrow %s %d",
                     "narrow caf\xC3\xA9 5"}));
    ASSERT_TRUE(platform::DeleteFile(u"C:\\KRELLSvc.log"));
    {
        CUserDebugOutput log;
        log.Construct(u"KRELLSvc", 0xFFFFFFFD);  // level 1 only: no announcement
        log.OutA(1, DBG_CAT_MODULE, "narrow %s\n", "again");
        log.OutA(2, DBG_CAT_MODULE, "not written\n");
    }
    EXPECT_THAT(LoggedMessages(u"C:\\KRELLSvc.log"), ElementsAreArray({"narrow again"}));
}

TEST(UserDebugOutput, LinesOfConcurrentThreadsStayWhole) {
    SetDebugOptions(1, u"C:\\");
    CUserDebugOutput log;
    log.Construct(u"KRELLSvc", std::nullopt);
    constexpr int THREADS = 4;
    constexpr int LINES = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < LINES; ++i) {
                log.Out(3, DBG_CAT_COMPILER, u"thread %d line %d of a reasonably long message\n", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto messages = LoggedMessages(u"C:\\KRELLSvc.log");
    ASSERT_EQ(messages.size(), static_cast<std::size_t>(THREADS * LINES));
    std::vector<int> next(THREADS, 0);
    for (const auto& sMessage : messages) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(sMessage.c_str(), "thread %d line %d", &t, &i), 2) << sMessage;
        EXPECT_EQ(i, next[t]++);  // each thread's lines in its own order
    }
}

TEST(UserDebugOutput, UnopenableFileFallsBackToDebuggerOutput) {
    setenv("KRELL_DEBUG_OUTPUT", "stderr", 1);
    SetDebugOptions(1, u"C:\\No\\Such\\Folder");
    testing::internal::CaptureStderr();
    {
        CUserDebugOutput log;
        log.Construct(u"KRELLSvc", std::nullopt);
        EXPECT_TRUE(log.IsInitialized());
        EXPECT_FALSE(log.HasFile());
        log.Out(1, DBG_CAT_MODULE, u"still reported\n");
    }
    const std::string sErr = testing::internal::GetCapturedStderr();
    EXPECT_NE(sErr.find("CUserDebugOutput::CUserDebugOutput() - Error opening log output file (0x00000003)"),
              std::string::npos)
        << sErr;
    EXPECT_NE(sErr.find(" : KRELLSvc : 0x"), std::string::npos);
    EXPECT_NE(sErr.find("still reported\r\n"), std::string::npos);
}

TEST(UserDebugOutput, GlobalLogIsSilentUntilConstructed) {
    SetDebugOptions(1, u"C:\\");
    DebugOut1(DBG_CAT_MODULE, u"before construction\n");
    TraceOut1(u"framework before construction\n");
    EXPECT_FALSE(krelltest::FileExists(u"C:\\KRELLSvc.log"));
    g_DebugOutput.Construct(u"KRELLSvc", 0x00002003);
    DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Start() : failure, 0x%08X\n", static_cast<DWORD>(E_ABORT));
    DebugOut3(DBG_CAT_MODULE, u"detail %s\n", u"text");
    DebugOut1(DBG_CAT_COMPILER, u"compiler is filtered\n");
    TraceOut2(u"CThread::Create() : IsThread() != FALSE\n");
    DebugOutA(1, DBG_CAT_COMPILER, "narrow filtered\n");
    EXPECT_THAT(LoggedMessages(u"C:\\KRELLSvc.log"),
                ElementsAreArray({"CKTUMSModule::Start() : failure, 0x80004004", "detail text",
                                  "CThread::Create() : IsThread() != FALSE"}));
}

}  // namespace

namespace {

TEST(UserDebugOutput, WritingALineKeepsTheCallersLastError) {
    SetDebugOptions(1, u"C:\\");
    CUserDebugOutput log;
    log.Construct(u"KRELLSvc", std::nullopt);
    ASSERT_TRUE(log.HasFile());
    platform::SetLastError(ERROR_FILE_NOT_FOUND);
    log.Out(1, DBG_CAT_MODULE, u"a failure, 0x%08X\n", platform::GetLastError());
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
