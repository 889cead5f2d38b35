// The store shared by several processes: concurrent writers, a writer killed mid-commit, a store
// locked by another process, a damaged file, and the store's service under the service control manager.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/service_control.h"
#include "platform/system.h"
#include "scm/scm_admin.h"
#include "settings/settings_helpers.h"
#include "settings_fixture.h"
#include "support/debug_log.h"

namespace {

using krelltest::CDebugLog;
using settingstest::StorePath;
using settingstest::StoreTest;
using testing::Contains;

bool WaitForFile(const std::string& sPath, int nTimeoutMs = 10000) {
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 5) {
        if (std::filesystem::exists(sPath)) {
            return true;
        }
        usleep(5000);
    }
    return false;
}

std::string ReadBytes(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SharedStore : public StoreTest {
protected:
    void TearDown() override { unsetenv("KRELL_SETTINGS_BUSY_MS"); }

    DWORD ReadDword(ISettingsManager* pMgr, const char16_t* szKey, const char16_t* szName) {
        CComPtr<ISettings> pKey;
        DWORD dwValue = 0;
        EXPECT_EQ(pMgr->GetSettings(szKey, &pKey), ZEL_SUCCESS);
        if (pKey) {
            EXPECT_EQ(pKey->GetDword(szName, &dwValue), ZEL_SUCCESS);
        }
        return dwValue;
    }
    ZELRESULT Write(const char16_t* szKey, DWORD dwValue) {
        CComPtr<ISettings> pKey;
        ZELRESULT zr = m_pMgr->CreateSettings(szKey, &pKey);
        if (ZEL_SUCCEEDED(zr)) {
            zr = pKey->PutDword(u"Value", dwValue);
        }
        return ZEL_SUCCEEDED(zr) ? m_pMgr->PutSettings(pKey.Get()) : zr;
    }
};

TEST_F(SharedStore, TwoProcessesSetUpAndWriteANewStoreAtOnce) {
    ASSERT_FALSE(std::filesystem::exists(StorePath()));
    const std::string sWriter = krelltest::TestBinary("krell_child_settings_writer");
    constexpr int COMMITS = 150;
    const pid_t pid1 = krelltest::StartChild({sWriter, "commits", "Test\\P1", std::to_string(COMMITS)});
    const pid_t pid2 = krelltest::StartChild({sWriter, "commits", "Test\\P2", std::to_string(COMMITS)});
    ASSERT_GT(pid1, 0);
    ASSERT_GT(pid2, 0);
    const int nExit1 = krelltest::WaitChild(pid1, 60000);
    const int nExit2 = krelltest::WaitChild(pid2, 60000);
    if (nExit1 < 0) {
        krelltest::KillChild(pid1);
    }
    if (nExit2 < 0) {
        krelltest::KillChild(pid2);
    }
    ASSERT_EQ(nExit1, 0);
    ASSERT_EQ(nExit2, 0);
    EXPECT_EQ(ReadDword(m_pMgr.Get(), u"Test\\P1", u"n"), static_cast<DWORD>(COMMITS));
    EXPECT_EQ(ReadDword(m_pMgr.Get(), u"Test\\P2", u"n"), static_cast<DWORD>(COMMITS));
    ULONGLONG ullChanges = 0;
    ASSERT_EQ(m_pMgr->GetChangeCount(&ullChanges), ZEL_SUCCESS);
    EXPECT_EQ(ullChanges, 2u * COMMITS);  // every commit of either process counted once
}

TEST_F(SharedStore, AWriterKilledMidCommitLeavesWholeGenerations) {
    const std::string sWriter = krelltest::TestBinary("krell_child_settings_writer");
    const std::string sMarker = platform::RootDirectory() + "/torn.marker";
    std::mt19937 random(12345);
    for (int nRound = 0; nRound < 4; ++nRound) {
        SCOPED_TRACE(nRound);
        std::filesystem::remove(sMarker);
        const pid_t pid = krelltest::StartChild({sWriter, "torn", "Test\\Torn", sMarker});
        ASSERT_GT(pid, 0);
        const bool bStarted = WaitForFile(sMarker);
        usleep(static_cast<useconds_t>(random() % 40000));
        krelltest::KillChild(pid);
        ASSERT_TRUE(bStarted);

        CComPtr<ISettings> pKey;
        ASSERT_EQ(m_pMgr->GetSettings(u"Test\\Torn", &pKey), ZEL_SUCCESS);
        DWORD dwFirst = 0;
        ASSERT_EQ(pKey->GetDword(u"v0", &dwFirst), ZEL_SUCCESS);
        EXPECT_GE(dwFirst, 1u);
        for (int i = 1; i < 200; ++i) {
            DWORD dwValue = 0;
            const std::u16string sName = u"v" + platform::FromUtf8(std::to_string(i));
            ASSERT_EQ(pKey->GetDword(sName.c_str(), &dwValue), ZEL_SUCCESS);
            ASSERT_EQ(dwValue, dwFirst) << "value " << i << " of a half-committed generation";
        }
    }
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open_v2(StorePath().c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* pStmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pStmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(pStmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(pStmt, 0)), "ok");
    sqlite3_finalize(pStmt);
    sqlite3_close(pDb);
    EXPECT_EQ(Write(u"Test\\Torn", 1), ZEL_SUCCESS);
}

TEST_F(SharedStore, ALockedStoreAnswersBusyAndLosesNothing) {
    setenv("KRELL_SETTINGS_BUSY_MS", "200", 1);
    m_pMgr = NewManager();  // reads the busy timeout when it first opens the store
    ASSERT_EQ(Write(u"Test\\Kept", 7), ZEL_SUCCESS);
    const std::string sMarker = platform::RootDirectory() + "/lock.marker";
    const pid_t pid =
        krelltest::StartChild({krelltest::TestBinary("krell_child_settings_locker"), StorePath(), sMarker});
    ASSERT_GT(pid, 0);
    if (!WaitForFile(sMarker)) {
        krelltest::KillChild(pid);
        FAIL() << "the locker did not take the lock";
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Write(u"Test\\Kept", 8), ZEL_E_STORE_BUSY);
    EXPECT_EQ(m_pMgr->DeleteSettings(u"Test\\Kept"), ZEL_E_STORE_BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // Readers are not held up by a writer.
    EXPECT_EQ(ReadDword(m_pMgr.Get(), u"Test\\Kept", u"Value"), 7u);
    krelltest::KillChild(pid);
    EXPECT_EQ(ReadDword(m_pMgr.Get(), u"Test\\Kept", u"Value"), 7u);
    EXPECT_EQ(Write(u"Test\\Kept", 9), ZEL_SUCCESS);
    EXPECT_EQ(ReadDword(NewManager().Get(), u"Test\\Kept", u"Value"), 9u);
}

TEST_F(SharedStore, ADamagedFileIsReportedAndLeftAlone) {
    ASSERT_EQ(Write(u"Test\\Precious", 11), ZEL_SUCCESS);
    m_pMgr.Release();  // the last connection folds the log into the file
    const std::string sIntact = ReadBytes(StorePath());
    ASSERT_GT(sIntact.size(), 100u);
    std::string sDamaged = sIntact;
    sDamaged.replace(0, 100, std::string(100, 'X'));
    std::ofstream(StorePath(), std::ios::binary | std::ios::trunc) << sDamaged;

    m_pMgr = NewManager();
    CComPtr<ISettings> pKey;
    EXPECT_EQ(m_pMgr->GetSettings(u"Test\\Precious", &pKey), ZEL_E_STORE_CORRUPT);
    EXPECT_EQ(m_pMgr->CreateSettings(u"Test\\Precious", &pKey), ZEL_E_STORE_CORRUPT);
    EXPECT_EQ(m_pMgr->DeleteSettings(u"Test\\Precious"), ZEL_E_STORE_CORRUPT);
    ULONGLONG ullChanges = 0;
    EXPECT_EQ(m_pMgr->GetChangeCount(&ullChanges), ZEL_E_STORE_CORRUPT);
    EXPECT_EQ(ReadBytes(StorePath()), sDamaged) << "the store must not rewrite a file it cannot read";

    // Once the file is repaired the same manager finds everything again.
    std::ofstream(StorePath(), std::ios::binary | std::ios::trunc) << sIntact;
    EXPECT_EQ(ReadDword(m_pMgr.Get(), u"Test\\Precious", u"Value"), 11u);
}

class SettingsService : public testing::Test {
protected:
    void SetUp() override {
        CDebugLog::Enable();
        settingstest::InstallProduct();
        m_hManager = platform::OpenSCManager(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_hManager, nullptr);
        const std::u16string sImage = platform::WindowsPathOf(krelltest::ProgramPath("lcsetmgr"));
        m_hService =
            platform::CreateService(m_hManager, u"lcSetMgr", u"lcSetMgr", SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                    sImage.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_hService, nullptr) << platform::GetLastError();
    }
    void TearDown() override {
        // A service process this test started ends here, by its process id.
        std::vector<scm::ServiceEntry> services;
        scm::ListServices(&services);
        for (const auto& entry : services) {
            if (entry.dwProcessId != 0) {
                kill(static_cast<pid_t>(entry.dwProcessId), SIGKILL);
                scm::WaitForState(entry.sName, SERVICE_STOPPED, 5000);
            }
        }
        if (m_hService != nullptr) {
            platform::DeleteService(m_hService);
            platform::CloseServiceHandle(m_hService);
        }
        platform::CloseServiceHandle(m_hManager);
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services");
    }

    SC_HANDLE m_hManager = nullptr;
    SC_HANDLE m_hService = nullptr;
};

TEST_F(SettingsService, HoldsTheRunningMutexWhileItRuns) {
    {
        CDebugLog log;
        CSettingsManagerHelper helper;
        ISettingsManager* pMgr = nullptr;
        EXPECT_EQ(helper.Create(&pMgr), ZEL_E_STORE_NOT_RUNNING);
        EXPECT_EQ(pMgr, nullptr);
        const auto lines = log.Messages();
        EXPECT_THAT(lines,
                    Contains("CSettingsManagerHelper::IsSettingsManagerActive() : runningMutex.Open() == "
                             "FALSE, 0x00000002"));
        EXPECT_THAT(lines, Contains("CSettingsManagerHelper::Create() : IsSettingsManagerActive() == false"));
    }
    ASSERT_TRUE(platform::StartService(m_hService, 0, nullptr)) << platform::GetLastError();
    ASSERT_TRUE(scm::WaitForState(u"lcSetMgr", SERVICE_RUNNING, 10000));
    EXPECT_TRUE(CSettingsManagerHelper::IsSettingsManagerActive());
    {
        CSettingsManagerHelper helper;
        ISettingsManager* pMgr = nullptr;
        ASSERT_EQ(helper.Create(&pMgr), ZEL_SUCCESS);
        pMgr->AddRef();
        EXPECT_EQ(CLcSettingsHelper::PutDword(pMgr, u"GATEWARDEN\\PRIVATE", u"CurrentState", 1), ZEL_SUCCESS);
        DWORD dwValue = 0;
        EXPECT_EQ(CLcSettingsHelper::GetDword(pMgr, u"GATEWARDEN\\PRIVATE", u"CurrentState", &dwValue),
                  ZEL_SUCCESS);
        EXPECT_EQ(dwValue, 1u);
    }
    SERVICE_STATUS status{};
    ASSERT_TRUE(platform::ControlService(m_hService, SERVICE_CONTROL_STOP, &status))
        << platform::GetLastError();
    ASSERT_TRUE(scm::WaitForState(u"lcSetMgr", SERVICE_STOPPED, 10000));
    EXPECT_FALSE(CSettingsManagerHelper::IsSettingsManagerActive());
    SERVICE_STATUS_PROCESS process{};
    DWORD cbNeeded = 0;
    ASSERT_TRUE(platform::QueryServiceStatusEx(
        m_hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof(process), &cbNeeded));
    EXPECT_EQ(process.dwWin32ExitCode, static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
