// The manifest folder watcher over the seam's directory change notification, announcing through an
// in-process event manager double: which changes of the folder become event 6005, and its start
// and stop.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "events/event_doubles.h"
#include "manifest/manifest_files.h"
#include "manifest/manifest_folder_watcher.h"
#include "platform/dir_watch.h"
#include "settings/settings_fixture.h"
#include "support/debug_log.h"

namespace {

using manifesttest::MANIFEST_FOLDER;

class ManifestWatcher : public ::testing::Test {
protected:
    void SetUp() override {
        krelltest::CDebugLog::Enable();
        settingstest::InstallProduct();
        std::error_code ec;
        std::filesystem::remove_all(Folder(), ec);
        std::filesystem::create_directories(Folder(), ec);
        m_Source.m_pManager->m_eAnswer = eventtest::CTestEventManager::ANSWER_BEFORE_RETURN;
    }

    static std::string Folder() { return manifesttest::HostPath(MANIFEST_FOLDER); }
    static void Write(const std::string& sName, const std::string& sText) {
        std::ofstream(Folder() + "/" + sName, std::ios::binary) << sText;
    }
    size_t Announced() {
        size_t n = 0;
        for (const auto& published : m_Source.m_pManager->Published()) {
            n += published.event.m_nType == KT_EVENT_MANIFEST_CHANGE ? 1 : 0;
        }
        return n;
    }
    // Waits until the count passes nBefore, or gives up after nMs.
    bool WaitForMore(size_t nBefore, int nMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        while (std::chrono::steady_clock::now() < end) {
            if (Announced() > nBefore) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    eventtest::CTestSource m_Source;
};

TEST_F(ManifestWatcher, ChangesOfTheFolderAndWhatTheyAnnounce) {
    CManifestFolderDirChangeHandler watcher(&m_Source);
    ASSERT_EQ(watcher.Status(), FOLDER_STATUS_INITIALIZED);
    Write("present.gwm", "x");
    watcher.TrackManifestFolderDirectoryChanges();
    ASSERT_NE(watcher.GetFolderThreadID(), 0u);
    ASSERT_NE(watcher.GetDirHandle(), INVALID_HANDLE_VALUE);

    struct Case {
        const char* szName;
        std::function<void()> change;
        bool bAnnounced;
    };
    const Case cases[] = {
        {"a new manifest", [] { Write("new.gwm", "content"); }, true},
        {"a signature beside a manifest", [] { Write("present.sig", "sig"); }, true},
        {"an unrelated file", [] { Write("notes.txt", "text"); }, false},
        {"a file without extension", [] { Write("README", "text"); }, false},
        {"a rename inside the folder",
         [] { std::filesystem::rename(Folder() + "/notes.txt", Folder() + "/notes2.txt"); }, false},
        {"a removed unrelated file", [] { std::filesystem::remove(Folder() + "/notes2.txt"); }, true},
        {"a manifest moved in from outside",
         [] {
             const std::string sOutside = Folder() + "/../moved.gwm";
             std::ofstream(sOutside) << "m";
             std::filesystem::rename(sOutside, Folder() + "/moved.gwm");
         },
         true},
        // A name with a backslash is taken as a path of its own, not below the folder: not found.
        {"a manifest in a sub-folder",
         [] {
             std::filesystem::create_directories(Folder() + "/sub");
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             Write("sub/inner.gwm", "m");
         },
         false},
    };
    for (const Case& c : cases) {
        // Whatever an earlier change still announces settles first.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const size_t nBefore = Announced();
        c.change();
        EXPECT_EQ(WaitForMore(nBefore, c.bAnnounced ? 3000 : 700), c.bAnnounced) << c.szName;
    }

    EXPECT_TRUE(watcher.StopTrackingManifestFolder(10000));
    EXPECT_EQ(watcher.GetFolderThreadID(), 0u);
    EXPECT_EQ(watcher.GetDirHandle(), INVALID_HANDLE_VALUE);
    const size_t nStopped = Announced();
    Write("after.gwm", "m");
    EXPECT_FALSE(WaitForMore(nStopped, 500));

    // Tracking can start again after a stop.
    watcher.TrackManifestFolderDirectoryChanges();
    ASSERT_NE(watcher.GetFolderThreadID(), 0u);
    // Changes are recorded from the thread's first read on.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Write("again.gwm", "m");
    EXPECT_TRUE(WaitForMore(nStopped));
    EXPECT_TRUE(watcher.StopTrackingManifestFolder(10000));
}

TEST_F(ManifestWatcher, RefusalsAreLogged) {
    const krelltest::CDebugLog log;
    CManifestFolderDirChangeHandler watcher(&m_Source);
    EXPECT_FALSE(watcher.StopTrackingManifestFolder(100));
    EXPECT_TRUE(log.Has("CManifestFolderDirChangeHandler::StopTrackingManifestFolder - dwThreadID == 0"));

    std::filesystem::remove_all(Folder());
    watcher.TrackManifestFolderDirectoryChanges();
    EXPECT_EQ(watcher.GetFolderThreadID(), 0u);
    EXPECT_TRUE(
        log.Has("CManifestFolderDirChangeHandler::TrackManifestFolderDirectoryChanges - hDir = "
                "INVALID_HANDLE_VALUE"));
}

TEST_F(ManifestWatcher, AFolderThatGoesAwayEndsTheThread) {
    const krelltest::CDebugLog log;
    CManifestFolderDirChangeHandler watcher(&m_Source);
    watcher.TrackManifestFolderDirectoryChanges();
    ASSERT_NE(watcher.GetFolderThreadID(), 0u);
    std::filesystem::remove_all(Folder());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (watcher.GetFolderThreadID() != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(watcher.GetFolderThreadID(), 0u);
    EXPECT_TRUE(log.Has(
        "CManifestFolderDirChangeHandler::TrackDirectoryChangeThread - ReadDirectoryChangesW failed"));
    EXPECT_FALSE(watcher.StopTrackingManifestFolder(1000));
}

TEST_F(ManifestWatcher, EventProviderAnswersAndFailures) {
    CManifestLCEventProvider provider(&m_Source);
    EXPECT_TRUE(provider.SendRefreshEvent());
    EXPECT_EQ(Announced(), 1u);
    // Nobody answers within the wait: the event went out, but the provider reports no delivery.
    m_Source.m_pManager->m_eAnswer = eventtest::CTestEventManager::ANSWER_NONE;
    m_Source.m_bFailEventFactory = true;
    const krelltest::CDebugLog log;
    EXPECT_FALSE(provider.SendRefreshEvent());
    EXPECT_TRUE(log.Has("CManifestLCEventProvider::Create - m_EventFactoryLoader.CreateObject() failed"));
    EXPECT_TRUE(log.Has("CManifestLCEventProvider::SendGatewardenEvent - m_pEventFactory = NULL"));
    m_Source.m_bFailEventFactory = false;
    m_Source.m_bFailConnect = true;
    EXPECT_FALSE(provider.SendRefreshEvent());
    EXPECT_TRUE(log.Has("CManifestLCEventProvider::Create - m_EventManagerHelper.Create() failed"));
}

}  // namespace
