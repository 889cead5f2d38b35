// Manifests reaching the driver with nobody's help: a manifest packed with gwmtool and dropped into
// the manifest folder of a running service is announced, the settings store's service asks for a
// compilation, and the stand-in driver judges accesses by the new rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "manifest/vanishing_manifest.h"
#include "platform/root.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::ProgramPath;
using krelltest::RunCommand;
using Clock = std::chrono::steady_clock;

constexpr auto npos = std::string::npos;

class Manifests : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        ASSERT_TRUE(krelltest::PrepareProtectionRoot());
        m_sFolder =
            platform::RootDirectory() + "/drive_c/Program Files/Common Files/Quillon Shared/GWManifests";
        m_sStage = platform::RootDirectory() + "/stage";
        std::filesystem::create_directories(m_sStage);
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
        ASSERT_TRUE(krelltest::WaitForDriverStatus("loaded=1")) << krelltest::DriverStatus();
    }
    void TearDown() override {
        RunCommand(ProgramPath("krellsvc") + " -t");
        krelltest::ShutdownProtectionRoot();
    }

    // Packs a manifest protecting the paths (as trees) in the staging folder; its three files.
    void PackStaged(const std::string& sBase, const std::vector<std::string>& paths) {
        std::string sXml = "<?xml version=\"1.0\"?>\n<manifest><protected-resources><protected-paths>";
        for (const std::string& sPath : paths) {
            sXml += "<path>" + sPath + "</path>";
        }
        sXml += "</protected-paths></protected-resources></manifest>\n";
        const std::string sXmlPath = m_sStage + "/" + sBase + ".xml";
        std::ofstream(sXmlPath) << sXml;
        const std::string sDev = std::string(KRELL_SOURCE_DIR) + "/certs/dev/";
        std::string sOutput;
        ASSERT_EQ(
            RunCommand(ProgramPath("gwmtool") + " pack '" + sXmlPath + "' --out '" + m_sStage + "/" + sBase +
                           ".gwm' --cert '" + sDev + "dev-signer.pem' --key '" + sDev + "dev-signer.key'",
                       &sOutput),
            0)
            << sOutput;
    }
    // Moves the staged files in, the manifest last, as a deployment would.
    void Drop(const std::string& sBase) {
        for (const char* szExt : {".grd", ".sig", ".gwm"}) {
            Place(sBase + szExt);
        }
    }
    // One staged file moved in whole.
    void Place(const std::string& sName) {
        std::filesystem::copy_file(m_sStage + "/" + sName, m_sStage + "/" + sName + ".copy",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::rename(m_sStage + "/" + sName + ".copy", m_sFolder + "/" + sName);
    }
    void Remove(const std::string& sBase) {
        for (const char* szExt : {".gwm", ".grd", ".sig"}) {
            std::filesystem::remove(m_sFolder + "/" + sBase + szExt);
        }
    }

    bool IsViolation(const std::string& sTarget) {
        std::string sOutput;
        RunCommand(m_sCtl + " driver access --actor 'C:\\Temp\\intruder.exe' --pid 9 --action 1 --target '" +
                       sTarget + "'",
                   &sOutput);
        return sOutput.find("violation") != npos;
    }
    // Waits until the driver's judgement of a write to the target is as expected; the time it took.
    std::chrono::milliseconds WaitForJudgement(const std::string& sTarget, bool bViolation,
                                               int nSeconds = 15) {
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(nSeconds);
        while (Clock::now() < end) {
            if (IsViolation(sTarget) == bViolation) {
                return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << sTarget << " never became " << (bViolation ? "a violation" : "allowed") << "\n"
                      << krelltest::ServiceLog();
        return std::chrono::milliseconds::max();
    }
    std::string StoreLog() const {
        return krelltest::ReadText(platform::RootDirectory() + "/run/lcSetMgr.log");
    }
    // Waits until the store's service has no announcement left to publish: one that came after the
    // first compilation of a drop is published 300 ms later and has the folder read again.
    void WaitForStoreToSettle() const {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (int n = 0; n < 300; ++n) {
            const std::string sLog = StoreLog();
            if (krelltest::CountOf(sLog, " published for ") ==
                krelltest::CountOf(sLog, " committed, ") + krelltest::CountOf(sLog, " cancelled: ") +
                    krelltest::CountOf(sLog, " got no answer")) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "the store's service did not settle\n" << StoreLog();
    }
    // Configuration changes the store's service published for manifest announcements, from an
    // offset of its log on.
    int ManifestPublications(std::size_t nFrom) const {
        int n = 0;
        for (const std::string& sLine : krelltest::NonEmptyLines(StoreLog().substr(nFrom))) {
            n += sLine.find(" published for ") != npos && sLine.find(" manifest change") != npos ? 1 : 0;
        }
        return n;
    }
    // The service's process id while it runs, else 0: a crash and a restart would change it.
    long ServicePid() const {
        std::string sStatus;
        RunCommand(m_sCtl + " service status KRELLSvc", &sStatus);
        const std::size_t nAt = sStatus.find("state RUNNING, pid ");
        return nAt == npos ? 0 : std::stol(sStatus.substr(nAt + 19));
    }

    std::string m_sCtl;
    std::string m_sFolder;
    std::string m_sStage;
};

TEST_F(Manifests, DroppedChangedAndRemovedManifestsChangeTheRules) {
    const std::string WIDGET = "C:\\Apps\\Widget\\a.dll";
    const std::string GADGET = "C:\\Apps\\Gadget\\b.dll";
    ASSERT_FALSE(IsViolation(WIDGET));

    PackStaged("apps", {"C:\\Apps\\Widget"});
    Drop("apps");
    EXPECT_LT(WaitForJudgement(WIDGET, true), std::chrono::seconds(5));
    EXPECT_FALSE(IsViolation(GADGET));

    PackStaged("apps", {"C:\\Apps\\Gadget"});
    Drop("apps");
    EXPECT_LT(WaitForJudgement(GADGET, true), std::chrono::seconds(5));
    EXPECT_FALSE(IsViolation(WIDGET));

    Remove("apps");
    EXPECT_LT(WaitForJudgement(GADGET, false), std::chrono::seconds(5));
    // Each of the three steps was announced and published on its own (a drop may be announced more
    // than once: writing and renaming are separate changes of the folder).
    std::size_t nPublished = 0;
    for (const std::string& sLine : krelltest::NonEmptyLines(StoreLog())) {
        nPublished += sLine.find(" manifest change") != npos ? 1 : 0;
    }
    EXPECT_GE(nPublished, 3u) << StoreLog();
}

// The debug dump the plug-in writes after each load, read from outside: UTF-16 with a byte-order mark,
// every piece followed by its terminating NUL.
TEST_F(Manifests, DebugDumpFileAfterALoad) {
    const std::string sKey = " settings set 'GATEWARDEN\\PRIVATE\\Manifest\\ManifestDebug' ";
    ASSERT_EQ(RunCommand(m_sCtl + sKey + "DumpSettingsToFile --dword 1"), 0);
    ASSERT_EQ(RunCommand(m_sCtl + sKey +
                         "DumpSettingsFileName --string 'C:\\Program Files\\Quillon\\KRELL\\manifests.txt'"),
              0);
    PackStaged("dump", {"C:\\Apps\\Dumped"});
    Drop("dump");
    WaitForJudgement("C:\\Apps\\Dumped\\x.dll", true);
    const auto utf16z = [](const std::string& sAscii) {
        std::string s;
        for (char ch : sAscii) {
            s += ch;
            s += '\0';
        }
        return s + std::string(2, '\0');
    };
    const std::string sExpected = std::string("\xFF\xFE", 2) +
                                  utf16z("Manifest LC Settings Entries\r\n\r\n") +
                                  utf16z(
                                      "KeyName = GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedPathTree   "
                                      "Value = C:\\Apps\\Dumped\\\r\n");
    EXPECT_EQ(krelltest::ReadFileBytes(u"C:\\Program Files\\Quillon\\KRELL\\manifests.txt"), sExpected);
}

TEST_F(Manifests, ATamperedManifestIsRefusedAndTheOthersStay) {
    PackStaged("widget", {"C:\\Apps\\Widget"});
    PackStaged("gadget", {"C:\\Apps\\Gadget"});
    Drop("widget");
    Drop("gadget");
    WaitForJudgement("C:\\Apps\\Gadget\\b.dll", true);
    ASSERT_TRUE(IsViolation("C:\\Apps\\Widget\\a.dll"));

    // New content under the old signature: its digest is not the one the guard file lists.
    PackStaged("evil", {"C:\\Apps\\Widget", "C:\\Evil"});
    std::filesystem::copy_file(m_sStage + "/evil.gwm", m_sStage + "/evil.copy");
    std::filesystem::rename(m_sStage + "/evil.copy", m_sFolder + "/gadget.gwm");
    ASSERT_TRUE(krelltest::WaitForServiceLog(
        "CGatewardenManifestLoad::LoadFile - Authentication of \"C:\\Program Files\\Common Files\\Quillon "
        "Shared\\GWManifests\\gadget.gwm\" failed"));
    // The compilation that refused it has delivered by the time the gadget's rules are gone.
    WaitForJudgement("C:\\Apps\\Gadget\\b.dll", false);
    EXPECT_FALSE(IsViolation("C:\\Evil\\x.dll"));
    EXPECT_TRUE(IsViolation("C:\\Apps\\Widget\\a.dll"));
    std::string sList;
    ASSERT_EQ(RunCommand(m_sCtl + " manifests list", &sList), 0) << sList;
    EXPECT_NE(sList.find("widget.gwm               authentic; path=1 xpath=0"), npos) << sList;
    EXPECT_NE(
        sList.find(
            "gadget.gwm               not authentic: its digest is not in the signed guard file; path=2"),
        npos)
        << sList;
    EXPECT_NE(sList.find("2 manifests"), npos) << sList;
    std::string sDump;
    ASSERT_EQ(RunCommand(m_sCtl + " manifests dump", &sDump), 0) << sDump;
    EXPECT_NE(
        sDump.find("GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedPathTree (1)\n  C:\\Apps\\Widget\\\n"),
        npos)
        << sDump;
    EXPECT_NE(sDump.find("GATEWARDEN\\PRIVATE\\Manifest\\Data\\AuthorizedPathTree (0)\n"), npos) << sDump;
}

TEST_F(Manifests, ABurstOfManifestsIsFewCompilations) {
    constexpr int MANIFESTS = 50;
    const std::size_t nLogStart = StoreLog().size();
    for (int i = 0; i < MANIFESTS; ++i) {
        PackStaged("m" + std::to_string(i), {"C:\\Burst\\App" + std::to_string(i)});
    }
    for (int i = 0; i < MANIFESTS; ++i) {
        Drop("m" + std::to_string(i));
    }
    WaitForJudgement("C:\\Burst\\App" + std::to_string(MANIFESTS - 1) + "\\x.dll", true, 30);
    for (int i = 0; i < MANIFESTS; i += 7) {
        EXPECT_TRUE(IsViolation("C:\\Burst\\App" + std::to_string(i) + "\\x.dll")) << i;
    }
    // Announcements (one per read of the folder's changes, so fewer than the files) are answered by
    // fewer compilations still.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::vector<std::string> lines = krelltest::NonEmptyLines(StoreLog().substr(nLogStart));
    int nPublications = 0;
    int nAnnouncements = 0;
    for (const std::string& sLine : lines) {
        const std::size_t nAt = sLine.find(" published for ");
        if (nAt != npos && sLine.find("manifest change") != npos) {
            ++nPublications;
            nAnnouncements += std::stoi(sLine.substr(nAt + 15));
        }
    }
    EXPECT_LT(nPublications, nAnnouncements) << StoreLog();
    EXPECT_LE(nPublications, 5) << StoreLog();
}

// The store's service alone: announcements published one after another, as fast as a shell can,
// are answered all together.
TEST_F(Manifests, AnnouncementsInARowAreOneConfigurationChange) {
    constexpr int ANNOUNCEMENTS = 20;
    const std::size_t nLogStart = StoreLog().size();
    std::string sOutput;
    ASSERT_EQ(RunCommand("for i in $(seq " + std::to_string(ANNOUNCEMENTS) + "); do '" + m_sCtl +
                             "' events publish 6005 || exit 1; done",
                         &sOutput),
              0)
        << sOutput;
    int nAnnouncements = 0;
    int nPublications = 0;
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (nAnnouncements < ANNOUNCEMENTS && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        nAnnouncements = 0;
        nPublications = 0;
        for (const std::string& sLine : krelltest::NonEmptyLines(StoreLog().substr(nLogStart))) {
            const std::size_t nAt = sLine.find(" published for ");
            if (nAt != npos && sLine.find("manifest change") != npos) {
                ++nPublications;
                nAnnouncements += std::stoi(sLine.substr(nAt + 15));
            }
        }
    }
    EXPECT_EQ(nAnnouncements, ANNOUNCEMENTS) << StoreLog();
    EXPECT_LE(nPublications, 3) << StoreLog();
}

// A manifest that comes and goes while compilations read the folder: each load finds it whole, finds
// it gone, or finds part of it. Whatever a load saw, the service runs on, the other manifest's rules
// stay, and once it is gone for good its rules are too.
TEST_F(Manifests, ManifestsRemovedWhileTheyAreReadLeaveTheOthers) {
    const std::string KEPT = "C:\\Apps\\Kept\\a.dll";
    const std::string GONE = "C:\\Apps\\Gone\\a.dll";
    constexpr int CYCLES = 40;
    constexpr auto CYCLING = std::chrono::milliseconds(1500);
    PackStaged("kept", {"C:\\Apps\\Kept"});
    PackStaged("gone", {"C:\\Apps\\Gone"});
    Drop("kept");
    WaitForJudgement(KEPT, true);
    const long nPid = ServicePid();
    ASSERT_NE(nPid, 0);
    const std::size_t nLogStart = krelltest::ServiceLog().size();
    const std::size_t nStoreStart = StoreLog().size();

    // Compilations back to back, each reading the folder: the announcements set the refresh flag.
    std::atomic<bool> bCycling{true};
    std::thread applier([&] {
        while (bCycling) {
            RunCommand(m_sCtl + " config apply --wait 30");
        }
    });
    for (const auto& c : manifesttest::VANISHING_CASES) {
        for (const std::string& sName : c.steady) {
            Place(sName);
        }
        // A tight loop, long enough for several compilations to meet it. The pauses only keep the
        // watcher's backlog (one announcement per read of a few changes) from outlasting the loop
        // by many seconds.
        const auto end = Clock::now() + CYCLING;
        for (int i = 0; i < CYCLES || Clock::now() < end; ++i) {
            for (const std::string& sName : c.cycled) {
                Place(sName);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            for (const std::string& sName : c.cycled) {
                std::filesystem::remove(m_sFolder + "/" + sName);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (const std::string& sName : c.steady) {
            std::filesystem::remove(m_sFolder + "/" + sName);
        }
        EXPECT_EQ(ServicePid(), nPid) << c.szName;
        EXPECT_TRUE(IsViolation(KEPT)) << c.szName;
    }
    bCycling = false;
    applier.join();

    // The last removal's announcement is compiled like any other.
    WaitForJudgement(GONE, false, 30);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(IsViolation(GONE));
    EXPECT_TRUE(IsViolation(KEPT));
    EXPECT_EQ(ServicePid(), nPid);
    EXPECT_GT(krelltest::CountOf(StoreLog().substr(nStoreStart), "a settings refresh request"), 3u)
        << "too few compilations ran during the cycles";

    // What the loader says of a file that vanished under it: the authentication or the open failed.
    const std::string sLog = krelltest::ServiceLog().substr(nLogStart);
    std::size_t nMentions = 0;
    for (const std::string& sLine : krelltest::NonEmptyLines(sLog)) {
        if (sLine.find("GWManifests\\gone.") == npos) {
            continue;
        }
        ++nMentions;
        const bool bExpected =
            sLine.find("CGatewardenManifestLoad::LoadFile - Processing ") != npos ||
            sLine.find(
                "CGatewardenManifestLoad::LoadFile - Authentication of \"C:\\Program Files\\Common "
                "Files\\Quillon Shared\\GWManifests\\gone.gwm\" failed") != npos ||
            sLine.find(
                "CGatewardenManifestLoad::LoadFile - File open of \"C:\\Program Files\\Common "
                "Files\\Quillon Shared\\GWManifests\\gone.gwm\" failed (0X000002)") != npos;
        EXPECT_TRUE(bExpected) << sLine;
    }
    EXPECT_GT(nMentions, 0u) << sLog;
}

// How the folder goes away: removed with its manifests (each removal is announced), moved elsewhere
// in one step (nothing inside it is), or removed while the service is stopped.
enum class FolderGone { Removed, MovedAway, AbsentAtStart };

const char* Name(FolderGone way) {
    switch (way) {
        case FolderGone::Removed:
            return "Removed";
        case FolderGone::MovedAway:
            return "MovedAway";
        case FolderGone::AbsentAtStart:
            return "AbsentAtStart";
    }
    return "?";
}
void PrintTo(FolderGone way, std::ostream* pOut) {
    *pOut << Name(way);
}

class ManifestFolderGone : public Manifests, public testing::WithParamInterface<FolderGone> {
protected:
    // The stop leaves the protection off; it is turned on again as an operator would.
    void Restart() {
        std::string sOutput;
        ASSERT_EQ(RunCommand(ProgramPath("krellsvc") + " -t", &sOutput), 0) << sOutput;
        ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "STOPPED", 30000));
        ASSERT_TRUE(krelltest::SetProtectionSetting("CurrentState", 1));
        ASSERT_EQ(RunCommand(m_sCtl + " service start KRELLSvc", &sOutput), 0) << sOutput;
        ASSERT_TRUE(krelltest::WaitForServiceStatus("KRELLSvc", "RUNNING"));
    }
};

// Without its folder the watcher ends (or never starts) and stays so until the service starts again;
// the rules compiled before stay until a compilation reads the folder.
TEST_P(ManifestFolderGone, TrackingEndsUntilTheNextStart) {
    const FolderGone way = GetParam();
    const std::string KEPT = "C:\\Apps\\Kept\\a.dll";
    const std::string LATE = "C:\\Apps\\Late\\a.dll";
    const std::string RESUMED = "C:\\Apps\\Resumed\\a.dll";
    PackStaged("kept", {"C:\\Apps\\Kept"});
    PackStaged("late", {"C:\\Apps\\Late"});
    PackStaged("resumed", {"C:\\Apps\\Resumed"});
    Drop("kept");
    WaitForJudgement(KEPT, true);
    WaitForStoreToSettle();

    switch (way) {
        case FolderGone::Removed:
            std::filesystem::remove_all(m_sFolder);
            break;
        case FolderGone::MovedAway:
            std::filesystem::rename(m_sFolder, m_sStage + "/moved");
            break;
        case FolderGone::AbsentAtStart:
            std::filesystem::remove_all(m_sFolder);
            ASSERT_NO_FATAL_FAILURE(Restart());
            break;
    }
    const long nPid = ServicePid();
    ASSERT_NE(nPid, 0);
    ASSERT_TRUE(krelltest::WaitForServiceLog(
        way == FolderGone::AbsentAtStart
            ? "CManifestFolderDirChangeHandler::TrackManifestFolderDirectoryChanges - hDir = "
              "INVALID_HANDLE_VALUE"
            : "CManifestFolderDirChangeHandler::TrackDirectoryChangeThread - ReadDirectoryChangesW failed"));
    if (way == FolderGone::MovedAway) {
        // A compilation that does not read the manifests keeps their rules.
        std::string sOutput;
        EXPECT_EQ(RunCommand(m_sCtl + " config apply --wait 30", &sOutput), 0) << sOutput;
        EXPECT_TRUE(IsViolation(KEPT));
        // An announcement from elsewhere has the folder read.
        EXPECT_EQ(RunCommand(m_sCtl + " events publish 6005", &sOutput), 0) << sOutput;
    }
    EXPECT_TRUE(krelltest::WaitForServiceLog(
        "CGatewardenManifestLoad::LoadT - Failed to open manifest folder C:\\Program Files\\Common "
        "Files\\Quillon Shared\\GWManifests\\"));
    WaitForJudgement(KEPT, false);
    EXPECT_EQ(ServicePid(), nPid);

    // The folder made again: a manifest dropped there, a while later, is not announced.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::filesystem::create_directories(m_sFolder);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::size_t nStoreBefore = StoreLog().size();
    Drop("late");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(ManifestPublications(nStoreBefore), 0) << StoreLog();
    EXPECT_FALSE(IsViolation(LATE));
    EXPECT_EQ(ServicePid(), nPid);

    // The next start tracks the folder again; its first compilation reads what is there.
    ASSERT_NO_FATAL_FAILURE(Restart());
    WaitForJudgement(LATE, true, 30);
    const std::size_t nStoreRestarted = StoreLog().size();
    Drop("resumed");
    EXPECT_LT(WaitForJudgement(RESUMED, true), std::chrono::seconds(5));
    EXPECT_GE(ManifestPublications(nStoreRestarted), 1) << StoreLog();
}

INSTANTIATE_TEST_SUITE_P(Ways, ManifestFolderGone,
                         testing::Values(FolderGone::Removed, FolderGone::MovedAway,
                                         FolderGone::AbsentAtStart),
                         [](const testing::TestParamInfo<FolderGone>& info) { return Name(info.param); });

}  // namespace
