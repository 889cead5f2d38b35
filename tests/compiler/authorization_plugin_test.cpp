#include "compiler/authorization_config_plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "plugin_store_test.h"
#include "support/debug_log.h"

namespace {

using GatewardenEvt::CAuthorizationEventData;
using krelltest::CDebugLog;

constexpr const char16_t* MODULE_KEY = CAuthorizationEventData::MODULE_KEY_NAME;
constexpr const char16_t* UPDATE_FAILED = u"Configuration update failed";

class TestPlugin : public CAuthorizationConfigPlugin {
public:
    using CAuthorizationConfigPlugin::CAuthorizationConfigPlugin;
    using CAuthorizationConfigPlugin::PluginGetIC;
    DWORD m_dwFailSection = 0xFFFFFFFF;

protected:
    bool AddNode(CIntermediateConfiguration& ic, DWORD dwSectionId, const CICNode& node) override {
        return dwSectionId != m_dwFailSection && CAuthorizationConfigPlugin::AddNode(ic, dwSectionId, node);
    }
};

// A value as the tests compare it: primitive type, text, number (0 for plain strings).
using Value = std::tuple<DWORD, std::u16string, DWORD>;

std::vector<Value> NodeValues(const CIntermediateConfiguration& ic, DWORD dwSection, DWORD dwRSType) {
    std::vector<Value> values;
    const auto it = ic.Nodes().find(dwSection);
    if (it == ic.Nodes().end()) {
        ADD_FAILURE() << "no section " << dwSection;
        return values;
    }
    const auto* pNode = dynamic_cast<const CICRuleNode*>(it->second.get());
    EXPECT_NE(pNode, nullptr);
    if (pNode == nullptr) {
        return values;
    }
    EXPECT_EQ(pNode->GetRSType(), dwRSType);
    for (const auto& [dwType, pValue] : pNode->Values()) {
        if (const auto* pText = dynamic_cast<const CICStringRuleValue*>(pValue.get())) {
            values.emplace_back(dwType, pText->Value(), 0);
        } else if (const auto* pPair = dynamic_cast<const CICStringDWORDRuleValue*>(pValue.get())) {
            values.emplace_back(dwType, pPair->String(), pPair->Number());
        } else {
            ADD_FAILURE() << "unexpected value class under type " << dwType;
        }
    }
    // The store's enumeration order is its own business.
    std::sort(values.begin(), values.end());
    return values;
}

class AuthorizationPluginTest : public compilertest::PluginStoreTest<TestPlugin> {
public:
    // One hash record; a negative length leaves that value out.
    void PutHash(const char16_t* szSubKey, DWORD dwAlgorithm, DWORD cbHash, DWORD dwFileLength,
                 std::vector<BYTE> hash, bool bWithHash = true) {
        Write(std::u16string(CAuthorizationEventData::HASHES_KEY_NAME) + u"\\" + szSubKey,
              [&](ISettings* pKey) {
                  pKey->PutDword(u"Algorithm", dwAlgorithm);
                  pKey->PutDword(u"HashLength", cbHash);
                  pKey->PutDword(u"FileLength", dwFileLength);
                  if (bWithHash) {
                      pKey->PutBinary(u"Hash", hash.data(), static_cast<DWORD>(hash.size()));
                  }
              });
    }
    DWORD Dirty() {
        DWORD dwValue = 0xDEAD;
        CLcSettingsHelper::GetDword(Ref(), MODULE_KEY, u"RefreshNeeded", &dwValue);
        return dwValue;
    }
};

std::vector<BYTE> Sequence(DWORD cb, BYTE bFirst) {
    std::vector<BYTE> bytes(cb);
    for (DWORD i = 0; i < cb; ++i) {
        bytes[i] = static_cast<BYTE>(bFirst + i);
    }
    return bytes;
}

struct BadInputCase {
    const char* szName;
    std::function<void(AuthorizationPluginTest&)> fnSetUp;
    std::vector<Value> authValues;  // the authorization node, in filing order
    std::vector<Value> gwValues;    // the protected-resource node
    std::vector<CErrorStack::Entry> messages;
    std::vector<std::string> logged;
};

class AuthorizationInputTest : public AuthorizationPluginTest,
                               public ::testing::WithParamInterface<BadInputCase> {};

const std::u16string USERS = CAuthorizationEventData::USERS_KEY_NAME;
const std::u16string LOCATIONS = CAuthorizationEventData::LOCATIONS_KEY_NAME;
const std::u16string DEVICES = CAuthorizationEventData::DEVICES_KEY_NAME;

const BadInputCase BAD_INPUT[] = {
    {"Accounts",
     [](AuthorizationPluginTest& t) {
         t.Write(USERS, [](ISettings* k) {
             k->PutDword(u"SYSTEM", 1);
             k->PutDword(u"no-such-account-krell", 1);
             k->PutDword(u"Administrators", 0);
             k->PutString(u"Everyone", u"data is not used");
         });
     },
     {{3, u"S-1-1-0", 0}, {3, u"S-1-5-18", 0}, {3, u"S-1-5-32-544", 0}},
     {{3, u"S-1-1-0", 0}, {3, u"S-1-5-18", 0}, {3, u"S-1-5-32-544", 0}},
     {{ERROR_STACK_INFO, u"User account lookup failed for account \"no-such-account-krell\""}},
     {"CAuthorizationConfigPlugin::PluginGetIC - User account lookup failed for account "
      "\"no-such-account-krell\" (0X000534)"}},
    {"Hashes",
     [](AuthorizationPluginTest& t) {
         t.PutHash(u"a-sha1", 2, 20, 4096, Sequence(20, 0xF0));
         t.PutHash(u"b-md5", 1, 16, 77, {0x01, 0x02, 0x0A, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10});
         t.PutHash(u"c-18", 2, 18, 5, Sequence(18, 1));
         t.PutHash(u"d-zero", 2, 0, 5, {});
         t.PutHash(u"e-2000", 2, 2000, 5, Sequence(200, 1));
         t.PutHash(u"f-sha256", 3, 32, 5, Sequence(32, 1));
         t.PutHash(u"g-nohash", 2, 20, 5, {}, false);
         t.PutHash(u"h-short", 1, 16, 5, Sequence(8, 1));
     },
     {{4, u"F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF00010203", 4096}, {5, u"01020AFF000000000000000000000010", 77}},
     {},
     {},
     {"GatewardenEvt::CAuthorizationEventData::ConvertHashToString - hashLength % 4 != 0",
      "CAuthorizationConfigPlugin::PluginGetIC - ConvertHashToString() failed",
      "GatewardenEvt::CAuthorizationEventData::LoadSettings - Hash length out of range: 0",
      "GatewardenEvt::CAuthorizationEventData::LoadSettings - Hash length out of range: 2000",
      "CAuthorizationConfigPlugin::PluginGetIC - ulHashAlgorithm unknown",
      "GatewardenEvt::CAuthorizationEventData::LoadSettings - GetBinary(VALUE_HASH_VALUE) failed"}},
    // One account under two names is filed once in each node.
    {"SameAccountTwice",
     [](AuthorizationPluginTest& t) {
         t.Write(USERS, [](ISettings* k) {
             k->PutDword(u"SYSTEM", 1);
             k->PutDword(u"NT AUTHORITY\\system", 1);
         });
     },
     {{3, u"S-1-5-18", 0}},
     {{3, u"S-1-5-18", 0}},
     {},
     {}},
    {"Locations",
     [](AuthorizationPluginTest& t) {
         t.Write(LOCATIONS, [](ISettings* k) {
             k->PutDword(u"C:\\Tools\\setup.exe", 1);
             k->PutDword(u"C:\\Trusted", 0);
             k->PutString(u"C:\\AsText", u"1");
             k->PutDword(u"C:\\Seven", 7);
         });
     },
     {{2, u"C:\\Seven", 0}, {2, u"C:\\Tools\\setup.exe", 0}, {8, u"C:\\Trusted", 0}},
     {},
     {},
     {"GatewardenEvt::CAuthorizationEventData::LoadSettings - GetDword(LOCATIONS_KEY_NAME, C:\\AsText) "
      "failed: "}},
    {"Devices",
     [](AuthorizationPluginTest& t) {
         t.Write(DEVICES, [](ISettings* k) {
             k->PutDword(u"1", 0);
             k->PutDword(u"0x1", 0);
             k->PutDword(u"2", 1);
             k->PutDword(u"x", 1);
         });
     },
     {{1, u"CDROM", 0}},
     {},
     {{ERROR_STACK_WARNING, UPDATE_FAILED}, {ERROR_STACK_WARNING, UPDATE_FAILED}},
     {"CAuthorizationConfigPlugin::PluginGetIC - Unknown device type: 2",
      "CAuthorizationConfigPlugin::PluginGetIC - Unknown device type: 0",
      "CAuthorizationConfigPlugin::PluginGetIC - AuthorizedDeviceType node not added"}},
};

TEST_P(AuthorizationInputTest, EachBadEntryIsSkippedAndTheRestCompiled) {
    const BadInputCase& row = GetParam();
    row.fnSetUp(*this);
    const CDebugLog log;
    CErrorStack errors;
    const std::unique_ptr<CIntermediateConfiguration> pIC = m_Plugin->PluginGetIC(true, errors);
    ASSERT_NE(pIC, nullptr);
    EXPECT_EQ(pIC->Nodes().size(), 2u);
    EXPECT_EQ(NodeValues(*pIC, KTDATAFILE_AUTHORIZATION_RULES_ID, RS_TYPE_AUTHORIZATION), row.authValues);
    EXPECT_EQ(NodeValues(*pIC, KTDATAFILE_GATEWARDEN_RULES_ID, RS_TYPE_PROTECTED_RESOURCES), row.gwValues);
    EXPECT_EQ(errors.Entries(), row.messages);
    for (const std::string& sLine : row.logged) {
        EXPECT_TRUE(log.Has(sLine)) << sLine << "\n" << log.Since();
    }
    EXPECT_EQ(Dirty(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Inputs, AuthorizationInputTest, ::testing::ValuesIn(BAD_INPUT),
                         [](const auto& info) { return std::string(info.param.szName); });

TEST_F(AuthorizationPluginTest, HashTextIsFourBytesAtATime) {
    struct {
        std::vector<BYTE> bytes;
        bool bOk;
        std::u16string sText;
    } const rows[] = {
        {{0x01, 0x02, 0x0A, 0xFF}, true, u"01020AFF"},
        {{}, true, u""},
        {{0, 0, 0, 0, 0xAB, 0xCD, 0xEF, 0x01}, true, u"00000000ABCDEF01"},
        {{1, 2, 3}, false, u"unchanged"},
        {{1, 2, 3, 4, 5, 6}, false, u"unchanged"},
    };
    for (const auto& row : rows) {
        std::u16string sText = u"unchanged";
        EXPECT_EQ(CAuthorizationEventData::ConvertHashToString(row.bytes.data(),
                                                               static_cast<DWORD>(row.bytes.size()), &sText),
                  row.bOk);
        EXPECT_EQ(sText, row.sText);
    }
}

TEST_F(AuthorizationPluginTest, DirtyBitDecidesWhetherALaterCallRecompiles) {
    CErrorStack errors;
    // Missing counts as set.
    EXPECT_NE(m_Plugin->PluginGetIC(false, errors), nullptr);
    EXPECT_EQ(Dirty(), 0u);
    EXPECT_EQ(m_Plugin->PluginGetIC(false, errors), nullptr);
    // bCreateNewIC compiles whatever the bit says.
    EXPECT_NE(m_Plugin->PluginGetIC(true, errors), nullptr);
    PutDword(MODULE_KEY, u"RefreshNeeded", 1);
    const std::unique_ptr<CIntermediateConfiguration> pIC = m_Plugin->PluginGetIC(false, errors);
    ASSERT_NE(pIC, nullptr);
    EXPECT_TRUE(NodeValues(*pIC, KTDATAFILE_AUTHORIZATION_RULES_ID, RS_TYPE_AUTHORIZATION).empty());
    EXPECT_EQ(Dirty(), 0u);
    EXPECT_TRUE(errors.Entries().empty());
}

TEST_F(AuthorizationPluginTest, FailedAddNodeKeepsThePreviousICAndTheDirtyBit) {
    Write(USERS, [](ISettings* k) { k->PutDword(u"SYSTEM", 1); });
    CErrorStack first;
    const CIntermediateConfiguration* pFirst = nullptr;
    ASSERT_TRUE(m_Plugin->GetIC(true, &pFirst, first));
    ASSERT_NE(pFirst, nullptr);

    Write(USERS, [](ISettings* k) { k->PutDword(u"Everyone", 1); });
    PutDword(MODULE_KEY, u"RefreshNeeded", 1);
    for (const DWORD dwFailing : {KTDATAFILE_AUTHORIZATION_RULES_ID, KTDATAFILE_GATEWARDEN_RULES_ID}) {
        m_Plugin->m_dwFailSection = dwFailing;
        const CDebugLog log;
        CErrorStack direct;
        EXPECT_EQ(m_Plugin->PluginGetIC(false, direct), nullptr);
        EXPECT_EQ(direct.Entries(),
                  (std::vector<CErrorStack::Entry>{
                      {ERROR_STACK_WARNING,
                       u"Unable to apply new configuration data; previous settings left intact"}}));
        EXPECT_TRUE(log.Has("CAuthorizationConfigPlugin::PluginGetIC - pIC->AddNode() failed"));
        EXPECT_EQ(Dirty(), 1u);
        CErrorStack caller;
        const CIntermediateConfiguration* pKept = nullptr;
        EXPECT_FALSE(m_Plugin->GetIC(false, &pKept, caller));
        EXPECT_EQ(pKept, pFirst);
        EXPECT_EQ(NodeValues(*pKept, KTDATAFILE_AUTHORIZATION_RULES_ID, RS_TYPE_AUTHORIZATION),
                  (std::vector<Value>{{3, u"S-1-5-18", 0}}));
    }
    // Once adding works again, the pending change goes through.
    m_Plugin->m_dwFailSection = 0xFFFFFFFF;
    CErrorStack later;
    const CIntermediateConfiguration* pNew = nullptr;
    ASSERT_TRUE(m_Plugin->GetIC(false, &pNew, later));
    EXPECT_EQ(NodeValues(*pNew, KTDATAFILE_GATEWARDEN_RULES_ID, RS_TYPE_PROTECTED_RESOURCES),
              (std::vector<Value>{{3, u"S-1-1-0", 0}, {3, u"S-1-5-18", 0}}));
    EXPECT_EQ(Dirty(), 0u);
}

TEST_F(AuthorizationPluginTest, LogsEntryDirtyAndExit) {
    const CDebugLog log;
    CErrorStack errors;
    EXPECT_NE(m_Plugin->PluginGetIC(true, errors), nullptr);
    EXPECT_TRUE(log.Has("CAuthorizationConfigPlugin::PluginGetIC - Entry, bCreateNewIC=1"));
    EXPECT_TRUE(log.Has("CAuthorizationConfigPlugin::PluginGetIC - Dirty=1"));
    EXPECT_TRUE(log.Has("CAuthorizationConfigPlugin::PluginGetIC - Exit, pIC="));
    EXPECT_FALSE(log.Has("CAuthorizationConfigPlugin::PluginGetIC - Exit, pIC=0000000000000000"));
    EXPECT_EQ(m_Plugin->GetName(), u"AuthorizationManagerConfigPlugin");
}

}  // namespace
