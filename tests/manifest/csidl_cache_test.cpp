// The known-folder cache against the real settings store and the seam's known folders and version,
// which the tests change in the root as an operator would: first start, a later start, upgrades, and
// every failure the seam lets a test bring about.
#include <gtest/gtest.h>

#include <string>

#include "manifest/csidl_cache.h"
#include "platform/known_folders.h"
#include "platform/registry.h"
#include "settings/settings_fixture.h"
#include "settings/settings_helpers.h"
#include "support/debug_log.h"
#include "support/test_root.h"

namespace {

using ktCSIDLcache::CSIDLcache;

const std::u16string DEFAULT_PATHS[] = {u"C:\\Documents and Settings\\All Users\\Application Data",
                                        u"C:\\Program Files", u"C:\\Program Files\\Common Files",
                                        u"C:\\WINDOWS\\system32", u"C:\\WINDOWS"};

class CsidlCache : public settingstest::StoreTest {
protected:
    void SetUp() override {
        krelltest::CDebugLog::Enable();
        StoreTest::SetUp();
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, platform::KNOWN_FOLDERS_KEY);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, platform::OS_VERSION_KEY);
    }
    void TearDown() override {
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, platform::KNOWN_FOLDERS_KEY);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, platform::OS_VERSION_KEY);
    }

    static void SetShellFolder(const char16_t* szName, const std::u16string& sPath) {
        CRegistryKey reg;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, platform::KNOWN_FOLDERS_KEY));
        ASSERT_TRUE(reg.SetString(szName, sPath));
    }
    static void SetVersion(DWORD dwMajor, DWORD dwMinor) {
        CRegistryKey reg;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, platform::OS_VERSION_KEY));
        ASSERT_TRUE(reg.SetDword(u"Major", dwMajor));
        ASSERT_TRUE(reg.SetDword(u"Minor", dwMinor));
    }

    std::u16string Stored(const char16_t* szName) {
        std::u16string s = u"<absent>";
        CLcSettingsHelper::GetString(NewManager().Detach(), ktCSIDLcache::CSIDL_CACHE_KEY, szName, &s);
        return s;
    }
    DWORD StoredDword(const char16_t* szName) {
        DWORD dw = 0xFFFFFFFF;
        CLcSettingsHelper::GetDword(NewManager().Detach(), ktCSIDLcache::CSIDL_CACHE_KEY, szName, &dw);
        return dw;
    }
    static std::u16string Lookup(CSIDLcache& cache, const char16_t* szName) {
        char16_t szBuffer[260] = u"unchanged";
        DWORD dwSize = 260;
        return cache.GetCSIDLpath(szName, szBuffer, &dwSize) ? std::u16string(szBuffer) : u"<false>";
    }
};

const std::string LOAD_FAILED_0 =
    "ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - pSettings->GetString(...) failed for CSIDL "
    "CSIDL_COMMON_APPDATA at index 0";

TEST_F(CsidlCache, FirstStartAsksTheShellAndWritesAllSevenValues) {
    const krelltest::CDebugLog log;
    CSIDLcache cache;
    EXPECT_TRUE(cache.RetrieveCSIDLPaths());
    EXPECT_EQ(log.Count(LOAD_FAILED_0), 1u);
    for (DWORD i = 0; i < ktCSIDLcache::CSIDL_COUNT; ++i) {
        const char16_t* szName = ktCSIDLcache::CSIDL_FOLDERS[i].szName;
        EXPECT_EQ(platform::ToUtf8(Stored(szName)), platform::ToUtf8(DEFAULT_PATHS[i])) << i;
        EXPECT_EQ(platform::ToUtf8(Lookup(cache, szName)), platform::ToUtf8(DEFAULT_PATHS[i])) << i;
    }
    EXPECT_EQ(StoredDword(u"OSMajor"), 5u);
    EXPECT_EQ(StoredDword(u"OSMinor"), 1u);
}

// The shell moves a folder between starts: on the same version the cache keeps the stored path (and
// writes it back); a changed major or minor version takes the shell's new one.
TEST_F(CsidlCache, LaterStartsKeepTheStoreUntilTheVersionChanges) {
    SetVersion(5, 1);
    CSIDLcache first;
    ASSERT_TRUE(first.RetrieveCSIDLPaths());
    SetShellFolder(u"CSIDL_WINDOWS", u"D:\\NewWindows");
    const struct {
        const char* szCase;
        DWORD dwMajor, dwMinor;
        const char16_t* szExpected;
    } steps[] = {
        {"same version", 5, 1, u"C:\\WINDOWS"},
        {"minor upgrade", 5, 2, u"D:\\NewWindows"},
        {"back on the stored version, shell moved again", 5, 2, u"D:\\NewWindows"},
        {"major upgrade", 6, 0, u"E:\\W"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.szCase);
        if (step.dwMajor == 6) {
            SetShellFolder(u"CSIDL_WINDOWS", u"E:\\W");
        } else if (step.dwMinor == 2 && std::string(step.szCase).starts_with("back")) {
            SetShellFolder(u"CSIDL_WINDOWS", u"F:\\Ignored");
        }
        SetVersion(step.dwMajor, step.dwMinor);
        const krelltest::CDebugLog log;
        CSIDLcache cache;
        EXPECT_TRUE(cache.RetrieveCSIDLPaths());
        EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"CSIDL_WINDOWS")), platform::ToUtf8(step.szExpected));
        EXPECT_EQ(platform::ToUtf8(Stored(u"CSIDL_WINDOWS")), platform::ToUtf8(step.szExpected));
        EXPECT_EQ(StoredDword(u"OSMajor"), step.dwMajor);
        EXPECT_EQ(StoredDword(u"OSMinor"), step.dwMinor);
        EXPECT_EQ(log.Count("ktCSIDLcache::"), 0u) << log.Since();
    }
}

TEST_F(CsidlCache, LookupsByNameAndBufferSize) {
    CSIDLcache cache;
    ASSERT_TRUE(cache.RetrieveCSIDLPaths());
    EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"csidl_windows")), "C:\\WINDOWS");
    EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"Csidl_Program_Files_Common")),
              "C:\\Program Files\\Common Files");

    const krelltest::CDebugLog log;
    EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"CSIDL_APPDATA")), "<false>");
    EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"CSIDL_WINDOWSX")), "<false>");
    EXPECT_TRUE(log.Since().empty()) << log.Since();

    char16_t szBuffer[32];
    DWORD dwSize = 0;
    EXPECT_TRUE(cache.GetCSIDLpath(u"nothing at all", szBuffer, &dwSize));
    EXPECT_EQ(dwSize, 260u);
    const std::u16string sWindows = u"C:\\WINDOWS";
    dwSize = static_cast<DWORD>(sWindows.size());  // no room for the NUL
    EXPECT_FALSE(cache.GetCSIDLpath(u"csidl_windows", szBuffer, &dwSize));
    EXPECT_EQ(dwSize, sWindows.size());
    EXPECT_EQ(
        log.Count("ktCSIDLcache::CSIDLcache::GetCSIDLpath - Not enough storage for the CSIDL csidl_windows, "
                  "indexed at 4"),
        1u);
    dwSize = static_cast<DWORD>(sWindows.size() + 1);
    EXPECT_TRUE(cache.GetCSIDLpath(u"CSIDL_WINDOWS", szBuffer, &dwSize));
    EXPECT_EQ(std::u16string(szBuffer), sWindows);
    EXPECT_EQ(dwSize, sWindows.size() + 1);
}

TEST_F(CsidlCache, FailuresOfShellVersionAndStore) {
    const struct {
        const char* szCase;
        bool bPrimeStore;    // a complete cache stored before
        bool bEmptyShell;    // the shell cannot answer CSIDL_SYSTEM
        bool bBadVersion;    // the version query fails
        bool bPartialStore;  // only the first two paths stored
        bool bExpected;
        const char16_t* szWindows;  // CSIDL_WINDOWS after the call
        std::vector<std::string> logs;
    } cases[] = {
        {"first start, the shell fails",
         false,
         true,
         false,
         false,
         false,
         u"",
         {LOAD_FAILED_0, "ktCSIDLcache::CSIDLcache::UpdateCSIDLFromOS - SHGetFolderPath failed"}},
        {"stored cache, the version query fails",
         true,
         false,
         true,
         false,
         true,
         u"C:\\WINDOWS",
         {"ktCSIDLcache::CSIDLcache::RetrieveOSVersion - GetVersionEx failed"}},
        {"nothing stored, the version query fails",
         false,
         false,
         true,
         false,
         false,
         u"",
         {LOAD_FAILED_0, "ktCSIDLcache::CSIDLcache::RetrieveOSVersion - GetVersionEx failed"}},
        {"a partial cache is read again from the shell",
         false,
         false,
         false,
         true,
         true,
         u"C:\\WINDOWS",
         {"ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - pSettings->GetString(...) failed for CSIDL "
          "CSIDL_PROGRAM_FILES_COMMON at index 2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        settingstest::RemoveStore();
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, platform::KNOWN_FOLDERS_KEY);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, platform::OS_VERSION_KEY);
        if (c.bPrimeStore) {
            CSIDLcache primer;
            ASSERT_TRUE(primer.RetrieveCSIDLPaths());
        }
        if (c.bPartialStore) {
            for (DWORD i = 0; i < 2; ++i) {
                CLcSettingsHelper::PutString(NewManager().Detach(), ktCSIDLcache::CSIDL_CACHE_KEY,
                                             ktCSIDLcache::CSIDL_FOLDERS[i].szName, u"C:\\Old");
            }
        }
        if (c.bEmptyShell) {
            SetShellFolder(u"CSIDL_SYSTEM", u"");
        }
        if (c.bBadVersion) {
            CRegistryKey reg;
            ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, platform::OS_VERSION_KEY));
            ASSERT_TRUE(reg.SetString(u"Major", u"five"));
        }
        const krelltest::CDebugLog log;
        CSIDLcache cache;
        EXPECT_EQ(cache.RetrieveCSIDLPaths(), c.bExpected);
        EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"CSIDL_WINDOWS")), platform::ToUtf8(c.szWindows));
        EXPECT_EQ(log.Count("ktCSIDLcache::"), c.logs.size()) << log.Since();
        for (const std::string& sLog : c.logs) {
            EXPECT_EQ(log.Count(sLog), 1u) << sLog;
        }
        if (!c.bPrimeStore && !c.bExpected) {
            EXPECT_EQ(platform::ToUtf8(Stored(u"CSIDL_WINDOWS")), "<absent>");
        }
    }
}

// A cache that cannot be read whole is refreshed from the shell even when the version it holds is the
// running one.
TEST_F(CsidlCache, AnUnreadableCacheIsRefreshedOnTheSameVersion) {
    SetVersion(5, 0);
    CSIDLcache first;
    ASSERT_TRUE(first.RetrieveCSIDLPaths());
    CComPtr<ISettingsManager> pMgr = NewManager();
    CComPtr<ISettings> pSettings;
    ASSERT_EQ(pMgr->GetSettings(ktCSIDLcache::CSIDL_CACHE_KEY, &pSettings), ZEL_SUCCESS);
    ASSERT_TRUE(ZEL_SUCCEEDED(pSettings->DeleteValue(u"OSMinor")));
    ASSERT_TRUE(ZEL_SUCCEEDED(pMgr->PutSettings(pSettings.Get())));
    SetShellFolder(u"CSIDL_WINDOWS", u"G:\\Forced");

    const krelltest::CDebugLog log;
    CSIDLcache cache;
    EXPECT_TRUE(cache.RetrieveCSIDLPaths());
    EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"CSIDL_WINDOWS")), "G:\\Forced");
    EXPECT_EQ(StoredDword(u"OSMinor"), 0u);
    EXPECT_EQ(
        log.Count("ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - pSettings->GetDword(...) failed for "
                  "MinorOSver"),
        1u);
}

TEST_F(CsidlCache, WithoutTheSettingsLibraryThePathsStillComeFromTheShell) {
    std::filesystem::remove(
        settingstest::HostPath(std::u16string(settingstest::PRODUCT_DIRECTORY) + u"\\lcSet.dll"));
    const krelltest::CDebugLog log;
    CSIDLcache cache;
    EXPECT_FALSE(cache.RetrieveCSIDLPaths());
    EXPECT_EQ(platform::ToUtf8(Lookup(cache, u"CSIDL_SYSTEM")), "C:\\WINDOWS\\system32");
    for (const char* szLog :
         {"ktCSIDLcache::CSIDLcache::LoadDataFromLCSettings - m_settingsManagerLoader.CreateObject failed",
          "ktCSIDLcache::CSIDLcache::SaveDataToLCSettings - pSettings->PutString(...) failed for CSIDL "
          "CSIDL_COMMON_APPDATA at index 0",
          "ktCSIDLcache::CSIDLcache::SaveDataToLCSettings - pSettings->PutDword(...) failed for "
          "MajorOSver"}) {
        EXPECT_EQ(log.Count(szLog), 1u) << szLog;
    }
    EXPECT_EQ(log.Count("ktCSIDLcache::"), 3u) << log.Since();
}

// An operator's upgrade: krellctl init writes the version pair, os-version set changes it, and the
// next cache asks the shell again.
TEST_F(CsidlCache, KrellctlSetsTheVersionTheCacheSees) {
    const std::string sCtl = krelltest::ProgramPath("krellctl");
    krelltest::ToolResult result = krelltest::RunTool({sCtl, "init"});
    ASSERT_EQ(result.nExitCode, 0) << result.sOutput;
    EXPECT_EQ(krelltest::RunTool({sCtl, "os-version", "show"}).sOutput, "5.1\n");
    CSIDLcache first;
    ASSERT_TRUE(first.RetrieveCSIDLPaths());
    SetShellFolder(u"CSIDL_PROGRAM_FILES", u"C:\\Programs");

    result = krelltest::RunTool({sCtl, "os-version", "set", "10", "0"});
    ASSERT_EQ(result.nExitCode, 0) << result.sOutput;
    EXPECT_EQ(krelltest::RunTool({sCtl, "os-version", "show"}).sOutput, "10.0\n");
    // A second init keeps the operator's version.
    ASSERT_EQ(krelltest::RunTool({sCtl, "init"}).nExitCode, 0);
    EXPECT_EQ(krelltest::RunTool({sCtl, "os-version", "show"}).sOutput, "10.0\n");
    CSIDLcache upgraded;
    ASSERT_TRUE(upgraded.RetrieveCSIDLPaths());
    EXPECT_EQ(platform::ToUtf8(Lookup(upgraded, u"CSIDL_PROGRAM_FILES")), "C:\\Programs");
    EXPECT_EQ(StoredDword(u"OSMajor"), 10u);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"os-version"},
                                               {"os-version", "set", "10"},
                                               {"os-version", "set", "x", "1"},
                                               {"os-version", "set", "4294967296", "0"},
                                               {"os-version", "set", "-1", "0"}}) {
        std::vector<std::string> args = {sCtl};
        args.insert(args.end(), bad.begin(), bad.end());
        result = krelltest::RunTool(args);
        EXPECT_EQ(result.nExitCode, 2) << result.sOutput;
    }
    EXPECT_EQ(krelltest::RunTool({sCtl, "os-version", "show"}).sOutput, "10.0\n");
}

}  // namespace
