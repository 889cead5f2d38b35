// The manifest plug-in against the real settings store: when it reloads the manifests, what its
// intermediate configuration holds, and the debug dump file byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "compiler/ic_nodes.h"
#include "manifest/manifest_component.h"
#include "manifest/manifest_files.h"
#include "manifest/manifest_plugin.h"
#include "manifest/vanishing_manifest.h"
#include "platform/strings.h"
#include "settings/settings_fixture.h"
#include "settings/settings_helpers.h"
#include "support/debug_log.h"

namespace {

using manifesttest::MANIFEST_FOLDER;
using platform::ToUtf8;

constexpr const char16_t* STATES_KEY = u"GATEWARDEN\\PRIVATE\\GWStates";
constexpr const char16_t* DUMP_FILE = u"C:\\Logs\\manifest-dump.txt";

class ManifestPlugin : public settingstest::StoreTest {
protected:
    void SetUp() override {
        krelltest::CDebugLog::Enable();
        StoreTest::SetUp();
        manifesttest::EmptyManifestFolder();
        std::error_code ec;
        std::filesystem::remove(manifesttest::HostPath(DUMP_FILE), ec);
        m_pPlugin = std::make_unique<CManifestConfigCompilerPlugin>([this](ISettingsManager** pp) {
            *pp = NewManager().Detach();
            return ZEL_SUCCESS;
        });
        ASSERT_TRUE(m_pPlugin->Initialize());
    }
    void TearDown() override {
        if (m_pPlugin) {
            m_pPlugin->Uninitialize();
        }
    }

    // The plug-in's answer: the IC when it made a new one, else null.
    const CIntermediateConfiguration* Ask(bool bCreateNewIC) {
        const CIntermediateConfiguration* pIC = nullptr;
        CErrorStack errors;
        return m_pPlugin->GetIC(bCreateNewIC, &pIC, errors) ? pIC : nullptr;
    }
    DWORD Dword(const char16_t* szKey, const char16_t* szName, DWORD dwDefault = 0xDEAD) {
        DWORD dw = dwDefault;
        CLcSettingsHelper::GetDword(Ref(), szKey, szName, &dw, &dwDefault);
        return dw;
    }
    void PackOne(const std::string& sBase, const std::string& sBody) {
        manifesttest::PackManifest(MANIFEST_FOLDER, sBase,
                                   manifesttest::Bytes(manifesttest::Manifest(sBody)));
    }
    // (type, value) of a rule node, in its order.
    static std::vector<std::pair<DWORD, std::string>> Values(const CIntermediateConfiguration& ic,
                                                             DWORD dwSection) {
        std::vector<std::pair<DWORD, std::string>> out;
        const auto it = ic.Nodes().find(dwSection);
        if (it == ic.Nodes().end() || !it->second) {
            return out;
        }
        const auto* pNode = dynamic_cast<const CICRuleNode*>(it->second.get());
        EXPECT_NE(pNode, nullptr);
        if (pNode == nullptr) {
            return out;
        }
        for (const auto& [dwType, pValue] : pNode->Values()) {
            const auto* pString = dynamic_cast<const CICStringRuleValue*>(pValue.get());
            out.emplace_back(dwType, pString != nullptr ? ToUtf8(pString->Value()) : "?");
        }
        return out;
    }

    std::unique_ptr<CManifestConfigCompilerPlugin> m_pPlugin;
};

TEST_F(ManifestPlugin, RefreshFlagAndProtectionStatesDecideTheReload) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    PackOne("m", "<protected-files><filename>C:\\a.txt</filename></protected-files>");
    struct Case {
        const char* szName;
        int nRefresh;  // -1: absent
        DWORD dwFile;
        DWORD dwReg;
        bool bCreateNewIC;
        bool bExpectIC;
    };
    const Case cases[] = {
        {"first compilation, no flag", -1, 1, 1, false, true},
        {"flag set", 1, 1, 1, false, true},
        {"flag clear", 0, 1, 1, false, false},
        {"flag clear but a new IC asked for", 0, 1, 1, true, true},
        {"file and registry protection off", 1, 0, 0, false, false},
        {"only file protection off", 1, 0, 1, false, true},
    };
    for (const Case& c : cases) {
        // A stale entry shows whether the keys were cleared and read again.
        ASSERT_TRUE(ZEL_SUCCEEDED(
            CLcSettingsHelper::PutString(Ref(), ManifestKeys::PROTECTED_FILE, u"C:\\stale", u"")));
        CComPtr<ISettingsManager>::Attach(Ref())->DeleteSettings(ManifestKeys::MANIFEST_KEY);
        ASSERT_TRUE(ZEL_SUCCEEDED(
            CLcSettingsHelper::PutString(Ref(), ManifestKeys::PROTECTED_FILE, u"C:\\stale", u"")));
        if (c.nRefresh >= 0) {
            CLcSettingsHelper::PutDword(Ref(), ManifestKeys::MANIFEST_KEY, u"RefreshNeeded",
                                        static_cast<DWORD>(c.nRefresh));
        }
        CLcSettingsHelper::PutDword(Ref(), STATES_KEY, u"FileProtectState", c.dwFile);
        CLcSettingsHelper::PutDword(Ref(), STATES_KEY, u"RegProtectState", c.dwReg);
        const CIntermediateConfiguration* pIC = Ask(c.bCreateNewIC);
        EXPECT_EQ(pIC != nullptr, c.bExpectIC) << c.szName;
        if (!c.bCreateNewIC) {
            EXPECT_EQ(Dword(ManifestKeys::MANIFEST_KEY, u"RefreshNeeded"), 0u) << c.szName;
        }
        std::vector<std::u16string> files;
        CLcSettingsHelper::LoadStringsFromKey(Ref(), ManifestKeys::PROTECTED_FILE, &files);
        EXPECT_EQ(files, (c.bExpectIC ? std::vector<std::u16string>{u"C:\\a.txt"}
                                      : std::vector<std::u16string>{u"C:\\stale"}))
            << c.szName;
        if (pIC != nullptr) {
            EXPECT_EQ(Values(*pIC, KTDATAFILE_GATEWARDEN_RULES_ID),
                      (std::vector<std::pair<DWORD, std::string>>{{PT_PROTECTED_FILE, "C:\\a.txt"}}))
                << c.szName;
        }
    }
}

TEST_F(ManifestPlugin, RuleNodesTakeTheKeysInTableOrder) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    const CIntermediateConfiguration* pEmpty = Ask(true);
    ASSERT_NE(pEmpty, nullptr);
    EXPECT_EQ(pEmpty->Nodes().size(), 2u);
    EXPECT_TRUE(Values(*pEmpty, KTDATAFILE_GATEWARDEN_RULES_ID).empty());
    EXPECT_TRUE(Values(*pEmpty, KTDATAFILE_AUTHORIZATION_RULES_ID).empty());

    PackOne(
        "m",
        "<protected-files><filename>C:\\f.txt</filename></protected-files>"
        "<protected-paths><path subtree=\"false\">C:\\dir</path><path>C:\\tree</path></protected-paths>"
        "<protected-processes><process>C:\\p.exe</process></protected-processes>"
        "<authorized-paths><auth-file>C:\\i.exe</auth-file><auth-path subtree=\"false\">C:\\ad</auth-path>"
        "<auth-path>C:\\at</auth-path></authorized-paths>");
    const CIntermediateConfiguration* pIC = Ask(true);
    ASSERT_NE(pIC, nullptr);
    const auto* pProtection =
        dynamic_cast<const CICRuleNode*>(pIC->Nodes().at(KTDATAFILE_GATEWARDEN_RULES_ID).get());
    const auto* pAuthorization =
        dynamic_cast<const CICRuleNode*>(pIC->Nodes().at(KTDATAFILE_AUTHORIZATION_RULES_ID).get());
    ASSERT_TRUE(pProtection != nullptr && pAuthorization != nullptr);
    EXPECT_EQ(pProtection->GetRSType(), RS_TYPE_PROTECTED_RESOURCES);
    EXPECT_EQ(pAuthorization->GetRSType(), RS_TYPE_AUTHORIZATION);
    EXPECT_EQ(Values(*pIC, KTDATAFILE_GATEWARDEN_RULES_ID),
              (std::vector<std::pair<DWORD, std::string>>{{PT_PROTECTED_FILE, "C:\\dir\\"},
                                                          {PT_PROTECTED_FILE, "C:\\f.txt"},
                                                          {PT_PROTECTED_FOLDER_TREE, "C:\\tree\\"},
                                                          {PT_PROTECTED_PROCESS, "C:\\p.exe"}}));
    EXPECT_EQ(Values(*pIC, KTDATAFILE_AUTHORIZATION_RULES_ID),
              (std::vector<std::pair<DWORD, std::string>>{{PT_AUTHORIZED_LOCATION, "C:\\ad\\"},
                                                          {PT_AUTHORIZED_LOCATION, "C:\\i.exe"},
                                                          {PT_AUTHORIZED_FOLDER_TREE, "C:\\at\\"}}));
}

std::string Utf16Z(const std::string& sAscii) {
    std::string out;
    for (char ch : sAscii) {
        out.push_back(ch);
        out.push_back('\0');
    }
    out.append(2, '\0');
    return out;
}

TEST_F(ManifestPlugin, DebugDumpFileLayout) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    PackOne("m",
            "<protected-files><filename>C:\\f.txt</filename></protected-files>"
            "<authorized-paths><auth-path>C:\\at</auth-path></authorized-paths>");
    struct Case {
        const char* szName;
        DWORD dwFlag;
        bool bName;
        bool bExpectFile;
    };
    const Case cases[] = {
        {"flag 1 with a name", 1, true, true},
        {"flag 2", 2, true, false},
        {"flag 1 without a name", 1, false, false},
    };
    const std::string sExpected =
        std::string("\xFF\xFE", 2) + Utf16Z("Manifest LC Settings Entries\r\n\r\n") +
        Utf16Z("KeyName = GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedFile   Value = C:\\f.txt\r\n") +
        Utf16Z("KeyName = GATEWARDEN\\PRIVATE\\Manifest\\Data\\AuthorizedPathTree   Value = C:\\at\\\r\n");
    for (const Case& c : cases) {
        std::error_code ec;
        std::filesystem::remove(manifesttest::HostPath(DUMP_FILE), ec);
        CComPtr<ISettingsManager>::Attach(Ref())->DeleteSettings(MANIFEST_DEBUG_KEY);
        CLcSettingsHelper::PutDword(Ref(), MANIFEST_DEBUG_KEY, u"DumpSettingsToFile", c.dwFlag);
        if (c.bName) {
            CLcSettingsHelper::PutString(Ref(), MANIFEST_DEBUG_KEY, u"DumpSettingsFileName", DUMP_FILE);
        }
        ASSERT_NE(Ask(true), nullptr) << c.szName;
        EXPECT_EQ(krelltest::FileExists(DUMP_FILE), c.bExpectFile) << c.szName;
        if (c.bExpectFile) {
            EXPECT_EQ(krelltest::ReadFileBytes(DUMP_FILE), sExpected) << c.szName;
        }
    }
}

TEST_F(ManifestPlugin, ComponentReachesThePluginAndTheFolderName) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    PackOne("m", "<protected-processes><process>C:\\p.exe</process></protected-processes>");
    CManifestComponent component(ProductEventBridgeSource(), [this](ISettingsManager** pp) {
        *pp = NewManager().Detach();
        return ZEL_SUCCESS;
    });
    EXPECT_TRUE(component.ReadManifestsIntoLCSettings());
    std::vector<std::u16string> processes;
    CLcSettingsHelper::LoadStringsFromKey(Ref(), ManifestKeys::PROTECTED_PROCESS, &processes);
    EXPECT_EQ(processes, std::vector<std::u16string>{u"C:\\p.exe"});
    EXPECT_TRUE(component.SetDumpLCSettingsToFile(1, DUMP_FILE));
    component.DumpLCSettingsToFile();
    EXPECT_NE(krelltest::ReadFileBytes(DUMP_FILE).find(Utf16Z("Value = C:\\p.exe\r\n").substr(0, 10)),
              std::string::npos);

    char16_t szName[300] = {};
    DWORD dwLength = 0;
    const krelltest::CDebugLog log;
    EXPECT_FALSE(component.GetManifestFolderName(szName, &dwLength));
    EXPECT_EQ(dwLength, std::u16string_view(MANIFEST_FOLDER).size() + 1);
    EXPECT_FALSE(log.Has("did not receive sufficient buffer length"));
    dwLength = 5;
    EXPECT_FALSE(component.GetManifestFolderName(szName, &dwLength));
    EXPECT_TRUE(
        log.Has("CManifestFolderDirChangeHandler::GetManifestFolderName - did not receive sufficient buffer "
                "length"));
    dwLength = 300;
    EXPECT_TRUE(component.GetManifestFolderName(szName, &dwLength));
    EXPECT_EQ(ToUtf8(szName), ToUtf8(MANIFEST_FOLDER));
}

// Loads racing a manifest whose files come and go in a tight loop: each load sees it whole, gone, or
// partly there. The other manifest is read every time, and the loader's lines about the vanishing one
// are only those of a file that is not there.
TEST_F(ManifestPlugin, AManifestVanishingDuringLoadsLeavesTheOthers) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    constexpr int LOADS = 100;
    const std::u16string STAGE = u"C:\\ManifestStage";
    const std::string sStage = manifesttest::HostPath(STAGE);
    const std::string sFolder = manifesttest::HostPath(MANIFEST_FOLDER);
    std::filesystem::remove_all(sStage);
    manifesttest::PackManifest(STAGE, "gone",
                               manifesttest::Bytes(manifesttest::Manifest(
                                   "<protected-files><filename>C:\\gone.txt</filename></protected-files>")));
    // Others written before and after it, so that some follow it in the folder's listing whatever
    // order the file system lists in: a load that ended at the vanishing one would miss them.
    std::vector<std::u16string> kept;
    const auto packKept = [&](const char* szBase) {
        PackOne(szBase, std::string("<protected-files><filename>C:\\") + szBase +
                            ".txt</filename></protected-files>");
        kept.push_back(u"C:\\" + platform::FromUtf8(szBase) + u".txt");
    };
    packKept("kept1");
    packKept("kept2");
    for (const char* szName : {"gone.grd", "gone.sig", "gone.gwm"}) {
        std::filesystem::create_hard_link(sStage + "/" + szName, sFolder + "/" + szName);
        std::filesystem::remove(sFolder + "/" + szName);
    }
    packKept("kept3");
    packKept("kept4");
    const std::string sGoneGwm = ToUtf8(MANIFEST_FOLDER) + "\\gone.gwm";
    for (const auto& c : manifesttest::VANISHING_CASES) {
        for (const std::string& sName : c.steady) {
            std::filesystem::create_hard_link(sStage + "/" + sName, sFolder + "/" + sName);
        }
        std::atomic<bool> bCycling{true};
        std::thread cycler([&] {
            std::error_code ec;
            while (bCycling) {
                for (const std::string& sName : c.cycled) {
                    std::filesystem::create_hard_link(sStage + "/" + sName, sFolder + "/" + sName, ec);
                }
                for (const std::string& sName : c.cycled) {
                    std::filesystem::remove(sFolder + "/" + sName, ec);
                }
            }
        });
        const krelltest::CDebugLog log;
        int nWithGone = 0;
        for (int i = 0; i < LOADS; ++i) {
            EXPECT_TRUE(m_pPlugin->ReadManifestsIntoLCSettings());
            std::vector<std::u16string> files;
            CLcSettingsHelper::LoadStringsFromKey(Ref(), ManifestKeys::PROTECTED_FILE, &files);
            std::sort(files.begin(), files.end());
            if (!files.empty() && files[0] == u"C:\\gone.txt") {
                ++nWithGone;
                files.erase(files.begin());
            }
            // An assertion would leave the cycler running.
            if (files != kept) {
                ADD_FAILURE() << c.szName << ", load " << i << ": " << files.size() << " files";
                break;
            }
        }
        bCycling = false;
        cycler.join();
        for (const std::string& sName : c.steady) {
            std::filesystem::remove(sFolder + "/" + sName);
        }
        for (const std::string& sMessage : log.Messages()) {
            if (sMessage.find("gone.") == std::string::npos) {
                continue;
            }
            const bool bExpected = sMessage == "CGatewardenManifestLoad::LoadFile - Processing " + sGoneGwm ||
                                   sMessage == "CGatewardenManifestLoad::LoadFile - Authentication of \"" +
                                                   sGoneGwm + "\" failed" ||
                                   sMessage == "CGatewardenManifestLoad::LoadFile - File open of \"" +
                                                   sGoneGwm + "\" failed (0X000002)";
            EXPECT_TRUE(bExpected) << c.szName << ": " << sMessage;
        }
        // Seen now and then, not every time: how often is up to the race.
        std::printf("%s: read in %d of %d loads\n", c.szName, nWithGone, LOADS);
    }
    std::filesystem::remove_all(sStage);
}

}  // namespace
