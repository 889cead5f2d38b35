// Install authorization over the real settings store and installer packages wixl built: each case
// sets the level and the authorized entries, asks about one package path, and checks the answer and
// the lines logged on the way.
#include "module/install_identifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/strings.h"
#include "settings/settings_fixture.h"
#include "support/debug_log.h"
#include "support/installer_packages.h"

namespace {

using krelltest::LISTED_PRODUCT_CODE;
using krelltest::LISTED_UPGRADE_CODE;
using krelltest::NOUPGRADE_PRODUCT_CODE;

constexpr const char16_t* LISTED = u"C:\\Installs\\App\\listed.msi";
constexpr const char16_t* LISTED_IN_SUB = u"C:\\Installs\\App\\Sub\\listed.msi";
constexpr const char16_t* NOUPGRADE = u"C:\\Installs\\Other\\noupgrade.msi";
constexpr const char16_t* TEXT_FILE = u"C:\\Installs\\App\\text.msi";
constexpr const char16_t* TRUNCATED = u"C:\\Installs\\App\\truncated.msi";
constexpr const char16_t* MISSING = u"C:\\Installs\\App\\missing.msi";
constexpr const char16_t* OTHER_GUID = u"01234567-89AB-CDEF-0123-456789ABCDEF";

struct Entry {
    std::u16string sName;
    DWORD dwData;
};

class InstallIdentifierTest : public settingstest::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        krelltest::CDebugLog::Enable();
        const std::string sListed = krelltest::PackageBytes("listed.msi");
        krelltest::PlaceFile(LISTED, sListed);
        krelltest::PlaceFile(LISTED_IN_SUB, sListed);
        krelltest::PlaceFile(NOUPGRADE, krelltest::PackageBytes("noupgrade.msi"));
        krelltest::PlaceFile(TEXT_FILE, "not an installer package\n");
        krelltest::PlaceFile(TRUNCATED, sListed.substr(0, sListed.size() / 2));
    }

    void Commit(const char16_t* szKey, const std::function<void(ISettings*)>& write) {
        CComPtr<ISettings> pKey;
        ASSERT_EQ(m_pMgr->CreateSettings(szKey, &pKey), ZEL_SUCCESS);
        write(pKey.Get());
        ASSERT_EQ(m_pMgr->PutSettings(pKey.Get()), ZEL_SUCCESS);
    }
    void SetLevel(DWORD dwLevel) {
        Commit(MSI_AUTHORIZATION_KEY_NAME,
               [&](ISettings* p) { p->PutDword(SECURITY_LEVEL_VALUE_NAME, dwLevel); });
    }
    void SetEntries(const std::vector<Entry>& entries) {
        Commit(AUTHORIZED_MSIS_KEY_NAME, [&](ISettings* p) {
            for (const Entry& entry : entries) {
                p->PutDword(entry.sName.c_str(), entry.dwData);
            }
        });
    }

    bool Query(const char16_t* szPath) { return m_Identifier.IsAuthorizedQuery(m_pMgr.Get(), szPath); }

    CInstallIdentifier m_Identifier;
};

std::string Narrow(const std::u16string& s) {
    return platform::ToUtf8(s);
}

struct QueryCase {
    const char* szName;
    std::optional<DWORD> level;
    std::vector<Entry> entries;
    const char16_t* szPath;
    bool bAuthorized;
    std::vector<std::string> lines;  // each logged, in this order
};

std::vector<QueryCase> QueryCases() {
    const std::u16string sProduct = LISTED_PRODUCT_CODE;
    const std::u16string sUpgrade = LISTED_UPGRADE_CODE;
    const std::u16string sAppEntry = u"C:\\Installs\\App\\setup.msi";
    const std::string sLevel = "CInstallIdentifier::IsAuthorizedMsi() - ";
    return {
        {"nothing set: level 3 with empty lists refuses",
         std::nullopt,
         {},
         LISTED,
         false,
         {"CInstallIdentifier::LoadAuthorizedMsiData() - GetSettings FAILED; res = 0x80000100"}},
        {"by ProductCode, among GUIDs stored out of order",
         3,
         {{u"FFFFFFFF-0000-0000-0000-000000000000", 0},
          {sProduct, 0},
          {u"00000000-0000-0000-0000-000000000001", 0}},
         LISTED,
         true,
         {sLevel + "Authorized by GUID"}},
        {"by UpgradeCode", 3, {{sUpgrade, 0}}, LISTED, true, {sLevel + "Authorized by GUID"}},
        {"lower-case GUID entry",
         3,
         {{platform::FromUtf8("6ba7b810-9dad-11d1-80b4-00c04fd430c8"), 0}},
         LISTED,
         true,
         {sLevel + "Authorized by GUID"}},
        {"other GUID only",
         3,
         {{OTHER_GUID, 0}},
         LISTED,
         false,
         {"CInstallIdentifier::IsGuidAuthorized() - no GUID found"}},
        {"by folder of a path entry, path in lower case",
         3,
         {{sAppEntry, 1}},
         u"c:\\installs\\app\\listed.msi",
         true,
         {sLevel + "Authorized by Path"}},
        {"by folder entry ending in a backslash, compared without case",
         3,
         {{u"c:\\installs\\app\\", 1}},
         u"C:\\INSTALLS\\APP\\listed.msi",
         true,
         {sLevel + "Authorized by Path"}},
        {"not by a sub-folder", 3, {{sAppEntry, 1}}, LISTED_IN_SUB, false, {}},
        {"GUID not listed, folder listed",
         3,
         {{OTHER_GUID, 0}, {sAppEntry, 1}},
         LISTED,
         true,
         {"CInstallIdentifier::IsGuidAuthorized() - no GUID found", sLevel + "Authorized by Path"}},
        {"level 1 refuses a listed package",
         1,
         {{sProduct, 0}},
         LISTED,
         false,
         {sLevel + "No installs authorized"}},
        {"level 2 allows a missing file", 2, {}, MISSING, true, {sLevel + "All installs authorized"}},
        {"level 0 allows", 0, {}, MISSING, true, {sLevel + "Unknown authorization setting: 0"}},
        {"level 7 allows", 7, {}, MISSING, true, {sLevel + "Unknown authorization setting: 7"}},
        {"GUID in braces is skipped",
         3,
         {{u"{" + sProduct + u"}", 0}},
         LISTED,
         false,
         {"CInstallIdentifier::LoadAuthorizedMsiData() - UuidFromString() FAILED; GUID={" + Narrow(sProduct) +
          "}"}},
        {"GUID in braces skipped, the same without braces accepted",
         3,
         {{u"{" + sProduct + u"}", 0}, {sProduct, 0}},
         LISTED,
         true,
         {"CInstallIdentifier::LoadAuthorizedMsiData() - UuidFromString() FAILED; GUID={" + Narrow(sProduct) +
              "}",
          sLevel + "Authorized by GUID"}},
        {"bad GUIDs and unknown data are skipped, the folder entry still counts",
         3,
         {{u"not-a-guid", 0},
          {u"3F2504E0-4F89-11D3-9A0C-0305E82C330", 0},
          {u"3F2504E0-4F89-11D3-9A0C-0305E82C33XY", 0},
          {u"setup.msi", 1},
          {u"C:\\Elsewhere\\x.msi", 2},
          {u"C:\\Elsewhere\\y.msi", 0xFFFFFFFF},
          {sAppEntry, 1}},
         LISTED,
         true,
         {"CInstallIdentifier::LoadAuthorizedMsiData() - UuidFromString() FAILED; GUID=not-a-guid",
          "CInstallIdentifier::LoadAuthorizedMsiData() - UuidFromString() FAILED; "
          "GUID=3F2504E0-4F89-11D3-9A0C-0305E82C330",
          "CInstallIdentifier::LoadAuthorizedMsiData() - UuidFromString() FAILED; "
          "GUID=3F2504E0-4F89-11D3-9A0C-0305E82C33XY",
          "CInstallIdentifier::LoadAuthorizedMsiData() - ReverseFind() returned -1",
          "CInstallIdentifier::LoadAuthorizedMsiData() - Unknown authorization type: 2",
          "CInstallIdentifier::LoadAuthorizedMsiData() - Unknown authorization type: -1",
          sLevel + "Authorized by Path"}},
        {"missing file",
         3,
         {{sProduct, 0}},
         MISSING,
         false,
         {sLevel + "MsiOpenDatabase() FAILED with error 0x0000006E"}},
        {"file that is no package",
         3,
         {{sProduct, 0}},
         TEXT_FILE,
         false,
         {sLevel + "MsiOpenDatabase() FAILED with error 0x0000006E"}},
        {"truncated package",
         3,
         {{sProduct, 0}},
         TRUNCATED,
         false,
         {sLevel + "MsiOpenDatabase() FAILED with error 0x0000006E"}},
        {"package without UpgradeCode is authorized while GUID entries exist",
         3,
         {{OTHER_GUID, 0}},
         NOUPGRADE,
         true,
         {"CInstallIdentifier::GetGuids() - UuidFromString(UpgradeCode) FAILED; guid=\"\"",
          "CInstallIdentifier::IsGuidAuthorized() - GetGuids() FAILED", sLevel + "Authorized by GUID"}},
        {"package without UpgradeCode and only folder entries",
         3,
         {{u"C:\\Installs\\App\\", 1}},
         NOUPGRADE,
         false,
         {}},
        {"path without a backslash",
         3,
         {{sAppEntry, 1}},
         u"C:/Installs/App/listed.msi",
         false,
         {"CInstallIdentifier::IsPathAuthorized() - Invalid Path!"}},
        {"relative path cannot be opened",
         3,
         {{sAppEntry, 1}},
         u"listed.msi",
         false,
         {sLevel + "MsiOpenDatabase() FAILED with error 0x000000A1"}},
    };
}

TEST_F(InstallIdentifierTest, AnswersAndLogsEachCase) {
    for (const QueryCase& c : QueryCases()) {
        SCOPED_TRACE(c.szName);
        m_pMgr->DeleteSettings(MSI_AUTHORIZATION_KEY_NAME);
        m_pMgr->DeleteSettings(AUTHORIZED_MSIS_KEY_NAME);
        if (c.level) {
            SetLevel(*c.level);
        }
        if (!c.entries.empty()) {
            SetEntries(c.entries);
        }
        const krelltest::CDebugLog log;
        EXPECT_EQ(Query(c.szPath), c.bAuthorized);
        const std::vector<std::string> messages = log.Messages();
        auto it = messages.begin();
        for (const std::string& sLine : c.lines) {
            it = std::find(it, messages.end(), sLine);
            EXPECT_NE(it, messages.end()) << "missing or out of order: " << sLine;
        }
        EXPECT_TRUE(m_Identifier.AuthorizedGuids().empty() && m_Identifier.AuthorizedFolders().empty())
            << "the lists live only for one query";
    }
}

TEST_F(InstallIdentifierTest, LevelOfTheWrongTypeMeansThree) {
    Commit(MSI_AUTHORIZATION_KEY_NAME, [](ISettings* p) { p->PutString(SECURITY_LEVEL_VALUE_NAME, u"2"); });
    SetEntries({{u"C:\\Installs\\App\\", 1}});
    const krelltest::CDebugLog log;
    EXPECT_TRUE(Query(LISTED));
    EXPECT_FALSE(Query(NOUPGRADE))
        << "level 3 answers from the list, so the string \"2\" allows nothing else";
    EXPECT_EQ(m_Identifier.SecurityLevel(), MSI_SECURITY_LISTED);
    EXPECT_TRUE(log.Has("pSettings->GetDword(SecurityLevel) failed"));
}

TEST_F(InstallIdentifierTest, EntryWithStringDataIsSkipped) {
    SetLevel(3);
    Commit(AUTHORIZED_MSIS_KEY_NAME, [](ISettings* p) {
        p->PutString(LISTED_PRODUCT_CODE, u"0");
        p->PutDword(u"C:\\Installs\\Other\\", 1);
    });
    const krelltest::CDebugLog log;
    EXPECT_FALSE(Query(LISTED));
    EXPECT_TRUE(Query(NOUPGRADE));
    EXPECT_EQ(log.Count("CInstallIdentifier::LoadAuthorizedMsiData() - GetDword FAILED; res = 0x80000101"),
              2u);
}

TEST_F(InstallIdentifierTest, LoadSortsTheGuidsInUuidCompareOrder) {
    SetLevel(3);
    SetEntries({{u"80000000-0000-0000-0000-000000000000", 0},
                {u"7FFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", 0},
                {u"00000001-0000-0000-0000-000000000000", 0},
                {u"00000000-0000-0000-0000-000000000100", 0}});
    ASSERT_TRUE(m_Identifier.Load(m_pMgr.Get()));
    const std::vector<UUID>& guids = m_Identifier.AuthorizedGuids();
    ASSERT_EQ(guids.size(), 4u);
    EXPECT_TRUE(std::is_sorted(guids.begin(), guids.end(), [](const UUID& a, const UUID& b) {
        RPC_STATUS status = RPC_S_OK;
        return platform::UuidCompare(&a, &b, &status) < 0;
    }));
    EXPECT_EQ(guids.front().Data1, 0u);
    EXPECT_EQ(guids.back().Data1, 0x80000000u);
    m_Identifier.Clear();
    EXPECT_TRUE(guids.empty());
    EXPECT_EQ(m_Identifier.SecurityLevel(), MSI_SECURITY_LISTED);
}

TEST_F(InstallIdentifierTest, FailedLoadLeavesTheListsAsTheyWere) {
    SetLevel(3);
    SetEntries({{LISTED_PRODUCT_CODE, 0}});
    ASSERT_TRUE(m_Identifier.Load(m_pMgr.Get()));
    ASSERT_EQ(m_pMgr->DeleteSettings(AUTHORIZED_MSIS_KEY_NAME), ZEL_SUCCESS);
    EXPECT_FALSE(m_Identifier.Load(m_pMgr.Get()));
    EXPECT_EQ(m_Identifier.AuthorizedGuids().size(), 1u);
}

// Two listener threads share the one instance; every answer must be the one a lone query gives.
TEST_F(InstallIdentifierTest, ConcurrentQueriesDoNotSeeEachOthersLists) {
    SetLevel(3);
    SetEntries({{LISTED_PRODUCT_CODE, 0}, {u"C:\\Installs\\Other\\", 1}});
    std::vector<int> wrong(2, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            CComPtr<ISettingsManager> pMgr = NewManager();
            for (int i = 0; i < 40; ++i) {
                const bool bListed = m_Identifier.IsAuthorizedQuery(pMgr.Get(), t == 0 ? LISTED : NOUPGRADE);
                const bool bSub = m_Identifier.IsAuthorizedQuery(pMgr.Get(), LISTED_IN_SUB);
                wrong[t] += (bListed ? 0 : 1) + (bSub ? 0 : 1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // LISTED_IN_SUB carries the listed ProductCode, so every query is authorized.
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}

}  // namespace
