// The manifest loader against the real settings store, registry and known folders of a test root:
// the text steps of the subprocessors case by case, then whole manifests packed and signed as a
// deployment makes them, good and bad.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "manifest/manifest_files.h"
#include "manifest/manifest_load.h"
#include "platform/strings.h"
#include "service/registry_key.h"
#include "settings/settings_fixture.h"
#include "settings/settings_helpers.h"
#include "support/debug_log.h"

namespace {

using manifesttest::Manifest;
using manifesttest::MANIFEST_FOLDER;
using manifesttest::PackManifest;
using platform::FromUtf8;
using platform::ToUtf8;

using CFileSubprocessor = CSingleElementManifestSubprocessor<&ManifestXMLStrings::PROT_FILE_ELEM>;

class ManifestLoad : public settingstest::StoreTest {
protected:
    void SetUp() override {
        krelltest::CDebugLog::Enable();
        StoreTest::SetUp();
        manifesttest::EmptyManifestFolder();
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, u"Software\\ManifestTest");
        ASSERT_TRUE(
            ZEL_SUCCEEDED(CLcSettingsHelper::PutString(Ref(), u"GATEWARDEN\\Test", u"Dir", u"C:\\Data")));
        ASSERT_TRUE(ZEL_SUCCEEDED(CLcSettingsHelper::PutString(Ref(), u"GATEWARDEN\\Test", u"Percent",
                                                               u"50%lcsettings:GATEWARDEN\\Test\\Dir%")));
        CRegistryKey reg;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, u"Software\\ManifestTest\\Sub"));
        ASSERT_TRUE(reg.SetString(u"Home", u"D:\\Home"));
        ASSERT_TRUE(reg.SetString(u"Long259", std::u16string(259, u'x')));
        ASSERT_TRUE(reg.SetString(u"Long260", std::u16string(260, u'y')));
        ASSERT_TRUE(reg.SetDword(u"Number", 7));
        ASSERT_TRUE(m_Cache.RetrieveCSIDLPaths());
    }
    void TearDown() override { platform::RegDeleteTree(HKEY_LOCAL_MACHINE, u"Software\\ManifestTest"); }

    std::vector<std::string> Key(const char16_t* szKey) {
        std::vector<std::u16string> names;
        EXPECT_TRUE(CLcSettingsHelper::LoadStringsFromKey(Ref(), szKey, &names));
        std::vector<std::string> out;
        for (const auto& s : names) {
            out.push_back(ToUtf8(s));
        }
        return out;
    }
    // Every data key that holds something, by its last path component.
    std::map<std::string, std::vector<std::string>> AllKeys() {
        std::map<std::string, std::vector<std::string>> all;
        for (const char16_t* szKey :
             {ManifestKeys::PROTECTED_DIRECTORY, ManifestKeys::PROTECTED_PATH_TREE,
              ManifestKeys::PROTECTED_FILE, ManifestKeys::PROTECTED_REG_KEY, ManifestKeys::PROTECTED_REG_TREE,
              ManifestKeys::PROTECTED_PROCESS, ManifestKeys::PROTECTED_PATH_TREE_EXCLUSION,
              ManifestKeys::PROTECTED_REG_TREE_EXCLUSION, ManifestKeys::AUTHORIZED_DIRECTORY,
              ManifestKeys::AUTHORIZED_FILE, ManifestKeys::AUTHORIZED_PATH_TREE}) {
            std::vector<std::string> values = Key(szKey);
            if (!values.empty()) {
                const std::string sKey = ToUtf8(szKey);
                all[sKey.substr(sKey.rfind('\\') + 1)] = values;
            }
        }
        return all;
    }
    void Pack(const std::string& sBase, const std::string& sXml) {
        PackManifest(MANIFEST_FOLDER, sBase, manifesttest::Bytes(sXml));
    }
    void LoadFolder() {
        CGatewardenManifestLoad loader;
        ASSERT_TRUE(loader.Initialize(Ref()));
        EXPECT_TRUE(loader.Load(MANIFEST_FOLDER));
    }

    ktCSIDLcache::CSIDLcache m_Cache;
};

struct TextCase {
    const char* szName;
    std::u16string sIn;
    std::u16string sOut;
    const char* szLog;  // a text the step must log, or null
};

// Each case through one text step of the subprocessors.
template <class FStep>
void ExpectTextSteps(std::span<const TextCase> cases, FStep step) {
    for (const TextCase& c : cases) {
        const krelltest::CDebugLog log;
        std::u16string s = c.sIn;
        step(s);
        EXPECT_EQ(ToUtf8(s), ToUtf8(c.sOut)) << c.szName;
        if (c.szLog != nullptr) {
            EXPECT_TRUE(log.Has(c.szLog)) << c.szName << "\n" << log.Since();
        }
    }
}

TEST_F(ManifestLoad, SubstituteVariablesFollowsItsScanRules) {
    const std::u16string REG = u"HKEY_LOCAL_MACHINE\\Software\\ManifestTest\\Sub\\";
    const TextCase cases[] = {
        {"empty", u"", u"", nullptr},
        {"no percent", u"C:\\plain", u"C:\\plain", nullptr},
        {"settings value", u"%lcsettings:GATEWARDEN\\Test\\Dir%\\x", u"C:\\Data\\x", nullptr},
        {"type in upper case", u"%LCSettings:GATEWARDEN\\Test\\Dir%", u"C:\\Data", nullptr},
        {"registry value", u"%registry:" + REG + u"Home%\\bin", u"D:\\Home\\bin", nullptr},
        {"registry root in lower case", u"%registry:hkey_local_machine\\Software\\ManifestTest\\Sub\\Home%",
         u"D:\\Home", nullptr},
        {"known folder", u"%shgetfolderpath:csidl_windows%\\x", u"C:\\WINDOWS\\x", nullptr},
        {"two in a row", u"%registry:" + REG + u"Home%%lcsettings:GATEWARDEN\\Test\\Dir%",
         u"D:\\HomeC:\\Data", nullptr},
        {"percent inside a value is not expanded", u"%lcsettings:GATEWARDEN\\Test\\Percent%!",
         u"50%lcsettings:GATEWARDEN\\Test\\Dir%!", nullptr},
        {"unknown type stays", u"%env:PATH%\\x", u"%env:PATH%\\x",
         "found unexpected variable substitution string in manifest file: PATH"},
        {"failed variable stays, the next expands", u"%env:X%\\%lcsettings:GATEWARDEN\\Test\\Dir%",
         u"%env:X%\\C:\\Data", nullptr},
        {"unterminated", u"%lcsettings:GATEWARDEN\\Test\\Dir", u"%lcsettings:GATEWARDEN\\Test\\Dir", nullptr},
        {"lone percent", u"100% sure", u"100% sure", nullptr},
        {"no colon", u"%abc%", u"%abc%", nullptr},
        {"empty type", u"%:x%", u"%:x%", nullptr},
        {"empty name", u"%registry:%", u"%registry:%", nullptr},
        {"colon of a later part", u"%a%b:c%", u"%a%b:c%",
         "found unexpected variable substitution string in manifest file: c"},
        {"missing settings value", u"%lcsettings:GATEWARDEN\\Test\\Nothing%",
         u"%lcsettings:GATEWARDEN\\Test\\Nothing%", nullptr},
        {"settings name without key", u"%lcsettings:Dir%", u"%lcsettings:Dir%",
         "failed to find LCSettings path separator in Dir"},
        {"registry without separator", u"%registry:HKEY_LOCAL_MACHINE%", u"%registry:HKEY_LOCAL_MACHINE%",
         "failed to find registry path separator in HKEY_LOCAL_MACHINE"},
        {"registry separators too close", u"%registry:HKEY_LOCAL_MACHINE\\Home%",
         u"%registry:HKEY_LOCAL_MACHINE\\Home%",
         "first and last registry path separators are too close together"},
        {"registry bad root", u"%registry:HKEY_NOWHERE\\Software\\Home%",
         u"%registry:HKEY_NOWHERE\\Software\\Home%",
         "manifest contains unexpected registry specification HKEY_NOWHERE\\Software\\Home"},
        {"registry missing key", u"%registry:HKEY_LOCAL_MACHINE\\Software\\Absent\\Home%",
         u"%registry:HKEY_LOCAL_MACHINE\\Software\\Absent\\Home%", "failed to open key"},
        {"registry missing value", u"%registry:" + REG + u"Absent%", u"%registry:" + REG + u"Absent%",
         "failed to query value"},
        {"registry value not a string", u"%registry:" + REG + u"Number%", u"%registry:" + REG + u"Number%",
         "failed to query value"},
        {"registry value of 259 characters", u"%registry:" + REG + u"Long259%", std::u16string(259, u'x'),
         nullptr},
        {"registry value of 260 characters", u"%registry:" + REG + u"Long260%",
         u"%registry:" + REG + u"Long260%", "failed to query value"},
        {"unknown folder", u"%shgetfolderpath:CSIDL_APPDATA%", u"%shgetfolderpath:CSIDL_APPDATA%",
         "failed to get path for folder CSIDL_APPDATA. Required 260 characters"},
    };
    CFileSubprocessor sub(Ref(), &m_Cache);
    ExpectTextSteps(cases, [&sub](std::u16string& s) { sub.SubstituteVariables(s); });
}

TEST_F(ManifestLoad, RegistryRootsSeparatorsAndTrailingSeparator) {
    const TextCase roots[] = {
        {"machine", u"HKEY_LOCAL_MACHINE\\Software\\Abc", u"\\REGISTRY\\MACHINE\\Software\\Abc", nullptr},
        {"users in lower case", u"hkey_users\\x", u"\\REGISTRY\\USER\\x", nullptr},
        {"classes", u"HKEY_CLASSES_ROOT\\.txt", u"\\REGISTRY\\MACHINE\\SOFTWARE\\CLASSES\\.txt", nullptr},
        {"leading backslash", u"\\HKEY_LOCAL_MACHINE\\x", u"\\REGISTRY\\MACHINE\\x", nullptr},
        {"root alone with a separator", u"HKEY_USERS\\", u"\\REGISTRY\\USER\\", nullptr},
        {"current user is not converted", u"HKEY_CURRENT_USER\\x", u"HKEY_CURRENT_USER\\x",
         "unexpected registry key form in manifest HKEY_CURRENT_USER\\x"},
        {"no separator", u"HKEY_LOCAL_MACHINE", u"HKEY_LOCAL_MACHINE", "found no registry path separators"},
        {"only a leading separator", u"\\HKEY_LOCAL_MACHINE", u"\\HKEY_LOCAL_MACHINE",
         "found no registry path separators"},
        {"empty", u"", u"", "found no registry path separators"},
    };
    ExpectTextSteps(roots, CBaseManifestSubprocessor::ConvertRegistryRoot);
    const TextCase separators[] = {
        {"runs become one", u"C:\\Program Files\\\\\\Common\\\\x", u"C:\\Program Files\\Common\\x", nullptr},
        {"four", u"\\\\\\\\", u"\\", nullptr},
        {"five then text", u"a\\\\\\\\\\b", u"a\\b", nullptr},
        {"forward slashes stay", u"a//b\\\\c", u"a//b\\c", nullptr},
        {"single stays", u"a\\b", u"a\\b", nullptr},
        {"empty", u"", u"", nullptr},
    };
    ExpectTextSteps(separators, CBaseManifestSubprocessor::NormalizePathSeparators);
    const TextCase trailing[] = {
        {"added", u"C:\\x", u"C:\\x\\", nullptr},
        {"kept", u"C:\\x\\", u"C:\\x\\", nullptr},
        {"slash is not a separator", u"C:/x/", u"C:/x/\\", nullptr},
        {"empty fails", u"", u"", "failed to add trailing path separator"},
    };
    ExpectTextSteps(trailing, CBaseManifestSubprocessor::AddTrailingPathSeparator);
}

TEST_F(ManifestLoad, EveryKindLandsInItsKey) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    Pack(
        "all",
        Manifest("<protected-paths><path>C:\\Program Files\\\\\\Common\\\\x</path>"
                 "<path subtree=\"FALSE\">%lcsettings:GATEWARDEN\\Test\\Dir%\\one</path>"
                 "<path subtree=\"no\">C:\\tree</path><xpath>C:\\Program "
                 "Files\\Common\\x\\tmp</xpath></protected-paths>"
                 "<protected-files><filename>C:\\Program Files\\\\\\Common\\\\x</filename></protected-files>"
                 "<protected-registry-keys><regkey>HKEY_LOCAL_MACHINE\\Software\\Abc</regkey>"
                 "<regkey subtree=\"false\">hkey_users\\x</regkey><regkey>HKEY_CURRENT_USER\\x</regkey>"
                 "<xregkey>HKEY_CLASSES_ROOT\\.txt</xregkey></protected-registry-keys>"
                 "<protected-processes><process>%shgetfolderpath:CSIDL_SYSTEM%\\svc.exe</process></"
                 "protected-processes>"
                 "<authorized-paths><auth-path>C:\\Tools</auth-path><auth-path "
                 "subtree=\"False\">C:\\One</auth-path>"
                 "<auth-file>C:\\Tools\\setup.exe</auth-file></authorized-paths><unknown>ignored</unknown>"));
    const krelltest::CDebugLog log;
    LoadFolder();
    const std::map<std::string, std::vector<std::string>> expected = {
        {"ProtectedPathTree", {"C:\\Program Files\\Common\\x\\", "C:\\tree\\"}},
        {"ProtectedDirectory", {"C:\\Data\\one\\"}},
        {"ProtectedPathTreeExclusion", {"C:\\Program Files\\Common\\x\\tmp\\"}},
        {"ProtectedFile", {"C:\\Program Files\\Common\\x"}},
        {"ProtectedRegTree", {"\\REGISTRY\\MACHINE\\Software\\Abc\\", "HKEY_CURRENT_USER\\x\\"}},
        {"ProtectedRegKey", {"\\REGISTRY\\USER\\x\\"}},
        {"ProtectedRegTreeExclusion", {"\\REGISTRY\\MACHINE\\SOFTWARE\\CLASSES\\.txt\\"}},
        {"ProtectedProcess", {"C:\\WINDOWS\\system32\\svc.exe"}},
        {"AuthorizedPathTree", {"C:\\Tools\\"}},
        {"AuthorizedDirectory", {"C:\\One\\"}},
        {"AuthorizedFile", {"C:\\Tools\\setup.exe"}},
    };
    auto all = AllKeys();
    for (auto& [sKey, values] : all) {
        std::sort(values.begin(), values.end());
    }
    auto sorted = expected;
    for (auto& [sKey, values] : sorted) {
        std::sort(values.begin(), values.end());
    }
    EXPECT_EQ(all, sorted);
    EXPECT_TRUE(
        log.Has("CGatewardenManifestLoad::LoadFile - Processing C:\\Program Files\\Common Files\\Quillon "
                "Shared\\GWManifests\\all.gwm"));
    EXPECT_TRUE(
        log.Has("node path contains attribute subtree with unexpected value no. Using default value"));
    EXPECT_TRUE(log.Has("unexpected registry key form in manifest HKEY_CURRENT_USER\\x"));
}

struct BadCase {
    const char* szName;
    std::vector<BYTE> plain;
    std::vector<std::string> logs;  // texts the load must log
};

std::vector<BYTE> Utf16WithBom(const std::string& sAscii) {
    std::vector<BYTE> out = {0xFF, 0xFE};
    for (char ch : sAscii) {
        out.push_back(static_cast<BYTE>(ch));
        out.push_back(0);
    }
    return out;
}

TEST_F(ManifestLoad, BadManifestsAreSkippedAndTheGoodOneStays) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    const std::string sGood =
        Manifest("<protected-files><filename>C:\\good.txt</filename></protected-files>");
    const BadCase cases[] = {
        {"invalid XML",
         manifesttest::Bytes("<?xml version=\"1.0\"?>\n<manifest>\n  <protected-resources>\n</manifest>"),
         {"CGatewardenManifestLoad::LoadFileManifest XML parse error in C:\\Program Files\\Common "
          "Files\\Quillon "
          "Shared\\GWManifests\\bad.gwm: code c00ce04d, line 4, position 12",
          "CGatewardenManifestLoad::LoadFileManifest XML parse error reason: Premature end of data in tag "
          "manifest"}},
        {"not XML at all", manifesttest::Bytes("just text"), {"XML parse error in"}},
        {"empty file", {}, {"XML parse error in"}},
    };
    for (const BadCase& c : cases) {
        std::filesystem::remove_all(manifesttest::HostPath(MANIFEST_FOLDER));
        Pack("good", sGood);
        PackManifest(MANIFEST_FOLDER, "bad", c.plain);
        m_pMgr->DeleteSettings(ManifestKeys::PROTECTED_FILE);
        const krelltest::CDebugLog log;
        LoadFolder();
        EXPECT_EQ(Key(ManifestKeys::PROTECTED_FILE), std::vector<std::string>{"C:\\good.txt"}) << c.szName;
        for (const std::string& sLog : c.logs) {
            EXPECT_TRUE(log.Has(sLog)) << c.szName << " lacks: " << sLog << "\n" << log.Since();
        }
    }
}

TEST_F(ManifestLoad, EncodingsFromByteOrderMarkAndDeclaration) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    // UTF-16 with a byte-order mark and no declaration.
    PackManifest(
        MANIFEST_FOLDER, "utf16",
        Utf16WithBom("<manifest><protected-resources><protected-files><filename>C:\\wide.txt</filename>"
                     "</protected-files></protected-resources></manifest>"));
    // Latin-1 by declaration: byte E9 is e-acute.
    std::vector<BYTE> latin = manifesttest::Bytes(
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><manifest><protected-resources><protected-files>"
        "<filename>C:\\caf\xE9.txt</filename></protected-files></protected-resources></manifest>");
    PackManifest(MANIFEST_FOLDER, "latin", latin);
    LoadFolder();
    std::vector<std::string> files = Key(ManifestKeys::PROTECTED_FILE);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"C:\\caf\xC3\xA9.txt", "C:\\wide.txt"}));
}

TEST_F(ManifestLoad, AuthenticationDecidesWhatIsRead) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    const auto entry = [](const char* szPath) {
        return Manifest(std::string("<protected-files><filename>") + szPath +
                        "</filename></protected-files>");
    };
    Pack("signed", entry("C:\\signed.txt"));
    // Changed after signing: the guard file no longer lists its digest.
    Pack("changed", entry("C:\\changed.txt"));
    manifesttest::WriteBytes(std::u16string(MANIFEST_FOLDER) + u"\\changed.gwm",
                             manifesttest::Bytes("tampered content, not the signed bytes"));
    // No signature at all: the check itself fails, and the loader says nothing of its own.
    PackManifest(MANIFEST_FOLDER, "unsigned", manifesttest::Bytes(entry("C:\\unsigned.txt")), false);
    // A valid manifest under another extension is not a manifest.
    Pack("other", entry("C:\\other.txt"));
    std::filesystem::rename(manifesttest::HostPath(std::u16string(MANIFEST_FOLDER) + u"\\other.gwm"),
                            manifesttest::HostPath(std::u16string(MANIFEST_FOLDER) + u"\\other.xml"));
    // The same entry in a second manifest is stored once.
    Pack("again", entry("C:\\signed.txt"));
    const krelltest::CDebugLog log;
    LoadFolder();
    EXPECT_EQ(Key(ManifestKeys::PROTECTED_FILE), std::vector<std::string>{"C:\\signed.txt"});
    EXPECT_TRUE(
        log.Has("CGatewardenManifestLoad::LoadFile - Authentication of \"C:\\Program Files\\Common "
                "Files\\Quillon Shared\\GWManifests\\changed.gwm\" failed"));
    EXPECT_FALSE(log.Has("unsigned.gwm\" failed"));
    EXPECT_TRUE(
        log.Has("Processing C:\\Program Files\\Common Files\\Quillon Shared\\GWManifests\\unsigned.gwm"));
    EXPECT_FALSE(log.Has("other.xml"));
}

TEST_F(ManifestLoad, EmptyElementsLongPathsAndAMissingFolder) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    const std::string sLong = "C:\\" + std::string(300, 'p');
    Pack("edge", Manifest("<protected-paths><path/></protected-paths><protected-files><filename></filename>"
                          "<filename>" +
                          sLong + "</filename></protected-files>"));
    const krelltest::CDebugLog log;
    LoadFolder();
    EXPECT_EQ(Key(ManifestKeys::PROTECTED_PATH_TREE), std::vector<std::string>{""});
    std::vector<std::string> files = Key(ManifestKeys::PROTECTED_FILE);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"", sLong}));
    EXPECT_EQ(
        log.Count(
            "CBaseManifestSubprocessor::AddTrailingPathSeparator - failed to add trailing path separator"),
        1u);

    std::filesystem::remove_all(manifesttest::HostPath(MANIFEST_FOLDER));
    const krelltest::CDebugLog missing;
    LoadFolder();
    EXPECT_TRUE(
        missing.Has("CGatewardenManifestLoad::LoadT - Failed to open manifest folder C:\\Program "
                    "Files\\Common Files\\Quillon Shared\\GWManifests\\"));
}

TEST_F(ManifestLoad, AThousandManifestsWithBadOnesAmongThem) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    constexpr int MANIFESTS = 1000;
    for (int i = 0; i < MANIFESTS; ++i) {
        const std::string sEntry = "<filename>C:\\m" + std::to_string(i) + "</filename>";
        Pack("m" + std::to_string(i), i % 100 == 7
                                          ? "<manifest><protected-resources>" + sEntry
                                          : Manifest("<protected-files>" + sEntry + "</protected-files>"));
    }
    const krelltest::CDebugLog log;
    LoadFolder();
    EXPECT_EQ(Key(ManifestKeys::PROTECTED_FILE).size(),
              static_cast<std::size_t>(MANIFESTS - MANIFESTS / 100));
    EXPECT_EQ(log.Count("CGatewardenManifestLoad::LoadFileManifest XML parse error reason:"),
              static_cast<std::size_t>(MANIFESTS / 100));
}

TEST_F(ManifestLoad, InitializeWithoutAManagerFails) {
    const krelltest::CDebugLog log;
    CGatewardenManifestLoad loader;
    EXPECT_FALSE(loader.Initialize(nullptr));
    EXPECT_TRUE(
        log.Has("CGatewardenManifestLoad::Initialize - Constructed with NULL settings manager pointer"));
}

}  // namespace
