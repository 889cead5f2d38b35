#include "compiler/configuration_compiler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>

#include "compiler_test_support.h"
#include "events/event_doubles.h"
#include "kcfile/kc_reader.h"
#include "settings/settings_fixture.h"
#include "support/debug_log.h"

// The compiler end to end with the start/stop plug-in. These tests place the rule preprocessor in the
// product directory, which the converter keeps loaded for the process: in a run of the whole program
// they must come after the IC tests that expect it to be missing, hence this file's name.

namespace {

using compilertest::CStore;
using compilertest::GW_STATES_KEY;
using eventtest::CTestEvent;
using eventtest::CTestSource;
using krelltest::CDebugLog;
using settingstest::PRODUCT_DIRECTORY;

constexpr ULONG CONFIG_EVENT = 6008;
constexpr HRESULT HR_FAIL = static_cast<HRESULT>(0x80004005);

// The module's side: records what the compiler hands it, answers as told, and may hold a delivery
// until the test lets it go.
class CTestOwner final : public IConfigCompilerCallback {
public:
    void RequestStop() override { ++m_nStops; }
    void RequestSettingsRefresh() override { ++m_nRefreshes; }
    HRESULT SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack) override {
        std::unique_lock lock(m_Lock);
        m_Paths.push_back(sPath);
        m_Changed.notify_all();
        m_Changed.wait(lock, [this] { return !m_bHold; });
        if (m_hrAnswer < 0) {
            errorStack.AddError(u"the driver refused the configuration");
        }
        return m_hrAnswer;
    }
    void Hold(bool bHold) {
        std::lock_guard lock(m_Lock);
        m_bHold = bHold;
        m_Changed.notify_all();
    }
    bool WaitForPaths(size_t nCount) {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_Paths.size() >= nCount; });
    }
    std::vector<std::u16string> Paths() {
        std::lock_guard lock(m_Lock);
        return m_Paths;
    }

    std::atomic<int> m_nStops{0};
    std::atomic<int> m_nRefreshes{0};
    HRESULT m_hrAnswer = S_OK;

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::u16string> m_Paths;
    bool m_bHold = false;
};

// A plug-in whose first IC holds nSections direct sections of cbData bytes each, from id 0x100 on.
class CSectionsPlugin final : public CBaseConfigCompilerPlugin {
public:
    CSectionsPlugin(SettingsManagerFactory createSettings, DWORD nSections, DWORD cbData)
        : CBaseConfigCompilerPlugin(std::move(createSettings)), m_nSections(nSections), m_cbData(cbData) {}
    std::u16string GetName() const override { return u"SectionsPlugin"; }

protected:
    bool PluginInitialize() override { return true; }
    void PluginUninitialize() override {}
    std::unique_ptr<CIntermediateConfiguration> PluginGetIC(bool bCreateNewIC, CErrorStack&) override {
        if (!bCreateNewIC) {
            return nullptr;
        }
        auto pIC = std::make_unique<CIntermediateConfiguration>();
        const std::vector<BYTE> data(m_cbData, 0x5A);
        for (DWORD nIndex = 0; nIndex < m_nSections; ++nIndex) {
            CICDirectNode node;
            EXPECT_TRUE(node.SetData(data.data(), m_cbData));
            EXPECT_TRUE(pIC->AddNode(0x100 + nIndex, node));
        }
        return pIC;
    }

private:
    DWORD m_nSections;
    DWORD m_cbData;
};

class CSectionsCompiler final : public CKTConfigurationCompiler {
public:
    CSectionsCompiler(IConfigCompilerCallback* pOwner, IEventBridgeSource* pSource, CStore* pStore,
                      CNotifyEventSender* pSender, DWORD nSections, DWORD cbData)
        : CKTConfigurationCompiler(pOwner, pSource, compilertest::MemorySettings(pStore), pSender),
          m_nSections(nSections),
          m_cbData(cbData) {}

protected:
    ULONG CreatePlugins() override {
        m_pPlugins[0] = std::make_unique<CSectionsPlugin>(m_CreateSettings, m_nSections, m_cbData);
        return m_pPlugins[0]->Initialize() ? 1 : 0;
    }

private:
    DWORD m_nSections;
    DWORD m_cbData;
};

class ConfigurationCompilerTest : public testing::Test {
protected:
    void SetUp() override {
        m_Log.emplace();
        settingstest::InstallProduct();
        settingstest::PlaceLibrary(krelltest::TestBinary("RuleGenDouble.dll"), u"ktRGen.dll");
        // The manifests were read: only the first compilation reads them again.
        m_Store[u"GATEWARDEN\\PRIVATE\\Manifest"][u"RefreshNeeded"] = 0;
        // Tests run in one process share the root.
        for (const std::string& sName : KCFiles()) {
            std::filesystem::remove(settingstest::HostPath(PRODUCT_DIRECTORY) + "/" + sName);
        }
        ASSERT_TRUE(m_Sender.InitializeInternal());
    }
    void TearDown() override {
        m_pCompiler.reset();
        m_Sender.DestroyInternal();
        m_EventSource.m_pManager->JoinThreads();
    }

    void Start(std::unique_ptr<CKTConfigurationCompiler> pCompiler = nullptr) {
        m_pCompiler = pCompiler
                          ? std::move(pCompiler)
                          : std::make_unique<CKTConfigurationCompiler>(
                                &m_Owner, &m_EventSource, compilertest::MemorySettings(&m_Store), &m_Sender);
        ASSERT_TRUE(m_pCompiler->Create());
        m_nSubscriberId = ConfigSubscriberId();
        ASSERT_NE(m_nSubscriberId, 0);
    }

    // The compiler's subscription with the event manager that runs now, or 0.
    LONG ConfigSubscriberId() {
        LONG nSubscriberId = 0;
        for (const auto& [nId, subscription] : m_EventSource.m_pManager->Subscriptions()) {
            if (subscription.nEventType == CONFIG_EVENT) {
                EXPECT_EQ(subscription.nParam1, 512u);
                nSubscriberId = nId;
            }
        }
        return nSubscriberId;
    }

    // Offers one configuration event as the event manager would; the answer is the action.
    LONG Deliver() {
        CTestEvent* pEvent = new CTestEvent(CONFIG_EVENT, false);
        pEvent->m_nId = ++m_nLastEventId;
        LONG nAction = -1;
        const LONG nResult = static_cast<IKTEventSubscriberCallback*>(m_pCompiler.get())
                                 ->OnEvent(m_nSubscriberId, pEvent, &nAction);
        pEvent->Release();
        EXPECT_EQ(nResult, CError::eNoError);
        return nAction;
    }

    // The events the compiler committed, once there are nCount of them.
    std::vector<eventtest::CTestEventManager::CFinished> WaitForCommits(size_t nCount) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            auto finished = m_EventSource.m_pManager->Finished();
            if (finished.size() >= nCount || std::chrono::steady_clock::now() > deadline) {
                return finished;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::vector<std::pair<ULONG, std::u16string>> WaitForNotifications(size_t nCount) {
        std::vector<std::pair<ULONG, std::u16string>> notes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (notes.size() < nCount && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            notes.clear();
            for (const auto& published : m_NotifySource.m_pManager->Published()) {
                notes.emplace_back(published.event.m_nCode, published.event.m_sData.value_or(u""));
            }
        }
        return notes;
    }

    static std::vector<std::string> KCFiles() {
        std::vector<std::string> files;
        for (const auto& entry :
             std::filesystem::directory_iterator(settingstest::HostPath(PRODUCT_DIRECTORY))) {
            if (entry.path().extension() == ".kc") {
                files.push_back(entry.path().filename().string());
            }
        }
        return files;
    }

    static std::vector<std::u16string> Texts(const CTestEvent& event) {
        std::vector<std::u16string> texts;
        for (const auto& [nSeverity, sText] : event.m_Errors) {
            texts.push_back(sText);
        }
        return texts;
    }

    std::optional<CDebugLog> m_Log;
    CStore m_Store;
    CTestOwner m_Owner;
    CTestSource m_EventSource;
    CTestSource m_NotifySource;
    CNotifyEventSender m_Sender{&m_NotifySource};
    std::unique_ptr<CKTConfigurationCompiler> m_pCompiler;
    LONG m_nSubscriberId = 0;
    LONG m_nLastEventId = 0;
};

TEST_F(ConfigurationCompilerTest, FirstEventWritesAKCFileAndLaterEventsWithoutChangesReuseIt) {
    Start();
    EXPECT_TRUE(
        m_Log->Has("CKTConfigurationCompiler::CreatePlugins() - Created plugin CStartStopConfigPlugin\r\n"));
    for (const char* szPlugin :
         {"CLegacyInstallConfigPlugin", "CManifestConfigCompilerPlugin", "CAuthorizationConfigPlugin"}) {
        EXPECT_TRUE(m_Log->Has(std::string("CKTConfigurationCompiler::CreatePlugins() - Created plugin ") +
                               szPlugin + "\r\n"))
            << szPlugin;
    }
    EXPECT_FALSE(m_Log->Has("CKTConfigurationCompiler::EventThread::InitInstance() - created"))
        << "all four slots are filled";

    EXPECT_EQ(Deliver(), 0);
    ASSERT_TRUE(m_Owner.WaitForPaths(1));
    const std::u16string sPath = m_Owner.Paths()[0];
    // <product directory>\YYYY-MM-DD-xxxx.kc
    const std::u16string sPrefix = std::u16string(PRODUCT_DIRECTORY) + u"\\";
    ASSERT_EQ(sPath.substr(0, sPrefix.size()), sPrefix);
    const std::string sName = platform::ToUtf8(sPath.substr(sPrefix.size()));
    EXPECT_TRUE(std::regex_match(sName, std::regex(R"(\d{4}-\d{2}-\d{2}-[0-9a-f]{4}\.kc)"))) << sName;

    const std::string sBytes = krelltest::ReadFileBytes(sPath);
    const kcfile::KCFileInfo info =
        kcfile::ReadKCFile(std::span(reinterpret_cast<const BYTE*>(sBytes.data()), sBytes.size()));
    EXPECT_TRUE(info.IsValid());
    ASSERT_EQ(info.sections.size(), 4u);
    EXPECT_EQ(info.sections[0].dwId, KTDATAFILE_CONFIG_ID);
    EXPECT_EQ(info.sections[1].dwId, KTDATAFILE_GATEWARDEN_RULES_ID);
    EXPECT_EQ(info.sections[2].dwId, KTDATAFILE_AUTHORIZATION_RULES_ID);
    EXPECT_EQ(info.sections[3].dwId, KTDATAFILE_LEGACY_INSTALL_ID);
    EXPECT_EQ(info.sections[3].data, (std::vector<BYTE>{0, 0, 0, 0}));
    ASSERT_EQ(info.sections[0].data.size(), 16u);
    DWORD words[4];
    std::memcpy(words, info.sections[0].data.data(), sizeof(words));
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 1u);
    EXPECT_EQ(words[2], 1u);
    EXPECT_EQ(words[3], g_DebugOutput.Mask());
    ASSERT_GE(info.sections[1].data.size(), 4u);
    EXPECT_EQ(std::string(info.sections[1].data.begin(), info.sections[1].data.begin() + 4), "SRTC");

    auto finished = WaitForCommits(1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].nState, KT_EVENT_STATE_COMMITTED);
    EXPECT_EQ(finished[0].event.m_hrResult, S_OK);

    // Nothing changed since: the cached configuration stands and no file is written.
    EXPECT_EQ(Deliver(), 0);
    finished = WaitForCommits(2);
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[1].event.m_hrResult, S_OK);
    EXPECT_EQ(Texts(finished[1].event),
              std::vector<std::u16string>{u"No configuration changes--using cached configuration"});
    EXPECT_EQ(finished[1].event.m_nErrorStatus, 2);
    EXPECT_EQ(m_Owner.Paths().size(), 1u);
    EXPECT_EQ(KCFiles().size(), 1u);

    const auto notes = WaitForNotifications(2);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0], (std::pair<ULONG, std::u16string>{5, u"hr=0x00000000"}));
    EXPECT_EQ(notes[1], (std::pair<ULONG, std::u16string>{5, u"hr=0x00000000"}));
}

// Changes in quick succession, within one second: each compilation takes a name other than that of
// the file delivered before (the one the driver holds), which is never written again.
TEST_F(ConfigurationCompilerTest, ChangesWithinOneSecondEachGetAFileOfTheirOwn) {
    Start();
    std::vector<std::string> delivered;
    for (DWORD nChange = 0; nChange < 6; ++nChange) {
        m_Store[GW_STATES_KEY][u"FileProtectState"] = nChange % 2;
        m_Store[GW_STATES_KEY][u"RefreshNeeded"] = 1;
        EXPECT_EQ(Deliver(), 0);
        ASSERT_TRUE(m_Owner.WaitForPaths(nChange + 1));
        ASSERT_EQ(WaitForCommits(nChange + 1).size(), nChange + 1);
        const auto paths = m_Owner.Paths();
        delivered.push_back(krelltest::ReadFileBytes(paths.back()));
        const auto info = kcfile::ReadKCFile(
            std::span(reinterpret_cast<const BYTE*>(delivered.back().data()), delivered.back().size()));
        ASSERT_TRUE(info.IsValid());
        EXPECT_EQ(info.sections[0].data[0], nChange % 2);
        if (nChange > 0) {
            EXPECT_NE(paths[nChange], paths[nChange - 1]);
        }
    }
    // Accepting a file makes the others stale (which frees their names): only the last one is left,
    // as it was delivered.
    const auto paths = m_Owner.Paths();
    EXPECT_EQ(KCFiles().size(), 1u);
    EXPECT_EQ(krelltest::ReadFileBytes(paths.back()), delivered.back());
}

// A refused file is deleted, and since the driver kept its old configuration the next event compiles
// again instead of answering from the cache; the accepted file then removes files a stop left behind.
TEST_F(ConfigurationCompilerTest, ARefusedFileIsDeletedAndTheNextEventCompilesAgain) {
    const std::string sDirectory = settingstest::HostPath(PRODUCT_DIRECTORY);
    const std::vector<std::string> stale = {"2020-01-31-1a2b.kc", "2021-12-01-ffff.kc"};
    for (const std::string& sName : stale) {
        std::ofstream(sDirectory + "/" + sName) << "left by an earlier run";
    }
    // Not the compiler's: another name, and a folder of a KC file's name.
    std::ofstream(sDirectory + "/notes.kc") << "kept";
    std::filesystem::create_directory(sDirectory + "/2020-01-31-0000.kc");

    m_Owner.m_hrAnswer = HR_FAIL;
    Start();
    EXPECT_EQ(Deliver(), 0);
    ASSERT_EQ(WaitForCommits(1).size(), 1u);
    ASSERT_EQ(m_Owner.Paths().size(), 1u);
    EXPECT_FALSE(krelltest::FileExists(m_Owner.Paths()[0]));
    EXPECT_EQ(KCFiles().size(), stale.size() + 2);

    m_Owner.m_hrAnswer = S_OK;
    EXPECT_EQ(Deliver(), 0);
    const auto finished = WaitForCommits(2);
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[1].event.m_hrResult, S_OK);
    EXPECT_TRUE(Texts(finished[1].event).empty());
    ASSERT_EQ(m_Owner.Paths().size(), 2u);
    EXPECT_TRUE(krelltest::FileExists(m_Owner.Paths()[1]));
    for (const std::string& sName : stale) {
        EXPECT_FALSE(std::filesystem::exists(sDirectory + "/" + sName)) << sName;
    }
    EXPECT_TRUE(std::filesystem::exists(sDirectory + "/notes.kc"));
    EXPECT_TRUE(std::filesystem::is_directory(sDirectory + "/2020-01-31-0000.kc"));
    std::filesystem::remove(sDirectory + "/notes.kc");
    std::filesystem::remove(sDirectory + "/2020-01-31-0000.kc");
}

TEST_F(ConfigurationCompilerTest, ProtectionOffAltogetherStopsTheServiceWithoutAFile) {
    m_Store[GW_STATES_KEY] = {{u"FileProtectState", 0}, {u"RegProtectState", 0}, {u"ProcessProtectState", 0}};
    Start();
    EXPECT_EQ(Deliver(), 0);
    const auto finished = WaitForCommits(1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].event.m_hrResult, S_OK);
    EXPECT_EQ(Texts(finished[0].event), std::vector<std::u16string>{u"Shutting down component"});
    EXPECT_EQ(m_Owner.m_nStops, 1);
    EXPECT_TRUE(m_Owner.Paths().empty());
    EXPECT_TRUE(KCFiles().empty());
    // The event thread ends on its own; the compiler takes no further event.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_Log->Has("CKTConfigurationCompiler::EventThread::Run() - Received termination signal\r\n") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(m_Log->Has("CKTConfigurationCompiler::EventThread::Run() - Received termination signal\r\n"));
}

TEST_F(ConfigurationCompilerTest, AnOwnerThatRejectsReachesTheEventAndTheNotification) {
    m_Owner.m_hrAnswer = HR_FAIL;
    Start();
    EXPECT_EQ(Deliver(), 0);
    const auto finished = WaitForCommits(1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].event.m_hrResult, HR_FAIL);
    EXPECT_EQ(Texts(finished[0].event), std::vector<std::u16string>{u"the driver refused the configuration"});
    EXPECT_EQ(finished[0].event.m_nErrorStatus, 0);
    const auto notes = WaitForNotifications(1);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], (std::pair<ULONG, std::u16string>{6, u"hr=0x80004005"}));
}

TEST_F(ConfigurationCompilerTest, AnEventArrivingWhileOneIsPendingIsRefused) {
    Start();
    m_Owner.Hold(true);
    EXPECT_EQ(Deliver(), 0);
    // The thread has taken the first one and waits in the owner: the second is pending, the third refused.
    ASSERT_TRUE(m_Owner.WaitForPaths(1));
    EXPECT_EQ(Deliver(), 0);
    EXPECT_EQ(Deliver(), 1);
    EXPECT_TRUE(m_Log->Has("CKTConfigurationCompiler::OnEvent() : already processing event\r\n"));
    m_Owner.Hold(false);
    const auto finished = WaitForCommits(2);
    EXPECT_EQ(finished.size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_EventSource.m_pManager->Finished().size(), 2u);
}

TEST_F(ConfigurationCompilerTest, GivesUpAfterAHundredNamesThatCannotBeCreated) {
    // The product directory is registered but missing, so no name can be created.
    std::filesystem::remove_all(settingstest::HostPath(PRODUCT_DIRECTORY));
    Start();
    EXPECT_EQ(Deliver(), 0);
    const auto finished = WaitForCommits(1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].event.m_hrResult, HR_FAIL);
    EXPECT_EQ(Texts(finished[0].event), std::vector<std::u16string>{u"Failed to create configuration data"});
    EXPECT_EQ(m_Log->Count("CKTConfigurationCompiler::CreateKCFile() - KC file "), 100u);
    EXPECT_TRUE(m_Log->Has("CKTConfigurationCompiler::CreateKCFile() - giving up on creating KC file\r\n"));
    EXPECT_TRUE(m_Log->Has("CKTConfigurationCompiler::UpdateConfig() - couldn't create KC file\r\n"));
    EXPECT_TRUE(m_Owner.Paths().empty());
    const auto notes = WaitForNotifications(1);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], (std::pair<ULONG, std::u16string>{6, u"hr=0x80004005"}));
}

TEST_F(ConfigurationCompilerTest, SectionCountAndSizeLimitsOfAKCFile) {
    struct Row {
        DWORD nSections;
        DWORD cbData;
        HRESULT hrExpected;
        const char* szLogged;
    };
    for (const Row& row : {Row{50, 16, S_OK, nullptr},
                           Row{51, 16, HR_FAIL, "attempted to add too many sections to KC file\r\n"},
                           Row{1, 0x80000, S_OK, nullptr},
                           Row{1, 0x80001, HR_FAIL, "data for section 00000100 exceeded limit\r\n"}}) {
        SCOPED_TRACE(testing::Message() << row.nSections << " x " << row.cbData);
        for (const std::string& sName : KCFiles()) {
            std::filesystem::remove(settingstest::HostPath(PRODUCT_DIRECTORY) + "/" + sName);
        }
        const size_t nCommits = m_EventSource.m_pManager->Finished().size();
        const size_t nPaths = m_Owner.Paths().size();
        const CDebugLog log;
        Start(std::make_unique<CSectionsCompiler>(&m_Owner, &m_EventSource, &m_Store, &m_Sender,
                                                  row.nSections, row.cbData));
        EXPECT_EQ(Deliver(), 0);
        const auto finished = WaitForCommits(nCommits + 1);
        ASSERT_EQ(finished.size(), nCommits + 1);
        EXPECT_EQ(finished.back().event.m_hrResult, row.hrExpected);
        if (row.hrExpected < 0) {
            EXPECT_EQ(Texts(finished.back().event),
                      std::vector<std::u16string>{u"Failed to create configuration data"});
            EXPECT_TRUE(log.Has(std::string("CKTConfigurationCompiler::UpdateConfig() - ") + row.szLogged));
            EXPECT_EQ(m_Owner.Paths().size(), nPaths);
            // The half-made file is gone.
            EXPECT_TRUE(KCFiles().empty());
        } else {
            ASSERT_EQ(m_Owner.Paths().size(), nPaths + 1);
            const std::string sBytes = krelltest::ReadFileBytes(m_Owner.Paths().back());
            const auto info =
                kcfile::ReadKCFile(std::span(reinterpret_cast<const BYTE*>(sBytes.data()), sBytes.size()));
            EXPECT_TRUE(info.IsValid());
            ASSERT_EQ(info.sections.size(), row.nSections);
            EXPECT_EQ(info.sections.back().data, std::vector<BYTE>(row.cbData, 0x5A));
        }
        m_pCompiler.reset();
    }
}

// Records what the compiler reports of each compilation.
class CTestObserver final : public ICompilationObserver {
public:
    void OnCompiled(const CCompilationTimes& times, HRESULT hr) override {
        std::lock_guard lock(m_Lock);
        m_Calls.emplace_back(times, hr);
    }
    std::vector<std::pair<CCompilationTimes, HRESULT>> Calls() {
        std::lock_guard lock(m_Lock);
        return m_Calls;
    }

private:
    std::mutex m_Lock;
    std::vector<std::pair<CCompilationTimes, HRESULT>> m_Calls;
};

TEST_F(ConfigurationCompilerTest, TheObserverHearsWhereEachWrittenFilesTimeWent) {
    constexpr auto HELD = std::chrono::milliseconds(80);
    CTestObserver observer;
    auto pCompiler = std::make_unique<CKTConfigurationCompiler>(
        &m_Owner, &m_EventSource, compilertest::MemorySettings(&m_Store), &m_Sender);
    pCompiler->SetObserver(&observer);
    Start(std::move(pCompiler));
    // The delivery is held in the owner: that time is the delivery's, not the file's or the rules'.
    m_Owner.Hold(true);
    EXPECT_EQ(Deliver(), 0);
    ASSERT_TRUE(m_Owner.WaitForPaths(1));
    std::this_thread::sleep_for(HELD);
    m_Owner.Hold(false);
    ASSERT_EQ(WaitForCommits(1).size(), 1u);
    auto calls = observer.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, S_OK);
    EXPECT_GE(calls[0].first.delivery, HELD);
    EXPECT_GT(calls[0].first.configuration.count(), 0);
    EXPECT_GT(calls[0].first.rules.count(), 0);
    EXPECT_GT(calls[0].first.kcFile.count(), 0);

    // Nothing changed: no file, nothing to report.
    EXPECT_EQ(Deliver(), 0);
    ASSERT_EQ(WaitForCommits(2).size(), 2u);
    EXPECT_EQ(observer.Calls().size(), 1u);
    m_pCompiler.reset();

    // A file that fails is reported with its failure and without a delivery.
    CTestObserver failed;
    pCompiler = std::make_unique<CSectionsCompiler>(&m_Owner, &m_EventSource, &m_Store, &m_Sender, 1,
                                                    CKTConfigurationCompiler::MAX_SECTION_DATA + 1);
    pCompiler->SetObserver(&failed);
    Start(std::move(pCompiler));
    EXPECT_EQ(Deliver(), 0);
    ASSERT_EQ(WaitForCommits(3).size(), 3u);
    calls = failed.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, HR_FAIL);
    EXPECT_EQ(calls[0].first.delivery.count(), 0);
    EXPECT_GT(calls[0].first.kcFile.count(), 0);
    EXPECT_EQ(m_Owner.Paths().size(), 1u);
}

// The event manager dies while a configuration change is being delivered: the compilation finishes,
// its answer cannot go back and is counted; once the manager is back the compiler subscribes again on
// its own, asks for a settings refresh (which brings any change it missed), and answers the next event.
TEST_F(ConfigurationCompilerTest, EventManagerKilledDuringACompilationIsSubscribedToAgain) {
    Start();
    m_Owner.Hold(true);
    EXPECT_EQ(Deliver(), 0);
    ASSERT_TRUE(m_Owner.WaitForPaths(1));
    m_EventSource.StopManager();
    m_Owner.Hold(false);
    const auto waitForLog = [&](const std::string& sLine) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!m_Log->Has(sLine) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return m_Log->Has(sLine);
    };
    const std::string sLost =
        "CKTConfigurationCompiler::CheckConnection(): lost the event manager; reconnecting once it is "
        "back\r\n";
    ASSERT_TRUE(waitForLog(sLost)) << m_Log->Since();
    EXPECT_TRUE(m_Log->Has("CKTConfigurationCompiler::EventThread::Run() - Commit call failed\r\n"));
    // The compilation itself went through: the driver has the file, the notification is queued.
    EXPECT_EQ(WaitForNotifications(1).size(), 1u);
    EXPECT_EQ(m_Owner.m_nRefreshes, 0);

    m_EventSource.StartManager();
    const std::string sBack =
        "CKTConfigurationCompiler::CheckConnection(): reconnected to the event manager; 1 answers to "
        "configuration changes dropped while it was away\r\n";
    ASSERT_TRUE(waitForLog(sBack)) << m_Log->Since();
    m_nSubscriberId = ConfigSubscriberId();
    ASSERT_NE(m_nSubscriberId, 0);
    EXPECT_EQ(m_Owner.m_nRefreshes, 1);
    EXPECT_EQ(Deliver(), 0);
    const auto finished = WaitForCommits(1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].nSubscriberId, m_nSubscriberId);
    EXPECT_EQ(finished[0].nState, KT_EVENT_STATE_COMMITTED);
    EXPECT_EQ(finished[0].event.m_hrResult, S_OK);
    EXPECT_EQ(m_Log->Count(sLost), 1u);
    EXPECT_EQ(m_Log->Count(sBack), 1u);
    EXPECT_EQ(m_Owner.m_nRefreshes, 1);
}

TEST_F(ConfigurationCompilerTest, EventsOfAnotherKindAreRefused) {
    Start();
    CTestEvent* pEvent = new CTestEvent(6010, true);
    LONG nAction = 0;
    EXPECT_EQ(static_cast<IKTEventSubscriberCallback*>(m_pCompiler.get())
                  ->OnEvent(m_nSubscriberId, pEvent, &nAction),
              CError::eFailure);
    pEvent->Release();
    EXPECT_EQ(nAction, 1);
    EXPECT_TRUE(m_Log->Has("CKTConfigurationCompiler::OnEvent() : received unexpected event type\r\n"));
}

TEST_F(ConfigurationCompilerTest, CreateFailsWithoutTheEventManager) {
    m_EventSource.m_bFailConnect = true;
    CKTConfigurationCompiler compiler(&m_Owner, &m_EventSource, compilertest::MemorySettings(&m_Store),
                                      &m_Sender);
    EXPECT_FALSE(compiler.Create());
    EXPECT_TRUE(
        m_Log->Has("CKTConfigurationCompiler::Create() : m_EventManagerHelper.Create() == FALSE\r\n"));
    EXPECT_TRUE(m_EventSource.m_pManager->Subscriptions().empty());
}

TEST_F(ConfigurationCompilerTest, CreateFailsWhenNoPluginInitialises) {
    CKTConfigurationCompiler compiler(&m_Owner, &m_EventSource, [](ISettingsManager** ppManager) {
        *ppManager = nullptr;
        return ZEL_E_STORE_NOT_RUNNING;
    });
    EXPECT_FALSE(compiler.Create());
    EXPECT_TRUE(m_Log->Has(
        "CKTConfigurationCompiler::CreatePlugins() - CStartStopConfigPlugin->Initialize failed\r\n"));
    EXPECT_TRUE(m_Log->Has(
        "CKTConfigurationCompiler::EventThread::InitInstance() - failed to create any plugins\r\n"));
    EXPECT_TRUE(m_Log->Has("CKTConfigurationCompiler::Create() :  failed to create event thread\r\n"));
}

TEST(MergeIntoEventErrorStack, AppendsEntriesAndFoldsTheStatus) {
    CTestEvent* pEvent = new CTestEvent(CONFIG_EVENT, false);
    pEvent->Add(1, u"earlier");
    CErrorStack local;
    local.AddInfo(u"one");
    local.AddError(u"two");
    MergeIntoEventErrorStack(pEvent, local);
    EXPECT_EQ(pEvent->m_Errors,
              (std::vector<std::pair<LONG, std::u16string>>{{1, u"earlier"}, {2, u"one"}, {0, u"two"}}));
    EXPECT_EQ(pEvent->m_nErrorStatus, 0);
    pEvent->Release();
}

}  // namespace
