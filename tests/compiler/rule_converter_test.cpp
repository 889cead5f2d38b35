#include "compiler/rule_converter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "compiler/converter_values.h"
#include "compiler/error_stack.h"
#include "compiler/ic_nodes.h"
#include "platform/library.h"
#include "platform/paths.h"
#include "platform/xml_dom.h"
#include "rulegen_double.h"
#include "service/sync_objects.h"
#include "settings/settings_fixture.h"
#include "settings/settings_helpers.h"
#include "support/debug_log.h"

namespace {

using krelltest::CDebugLog;
using platform::CXmlDocument;
using platform::CXmlNode;
using testing::Contains;
using testing::Not;

constexpr const char16_t* PREPROCESSOR_PATH = u"C:\\Program Files\\Quillon\\KRELL\\ktRGen.dll";

// The converter's internal steps, for the tests that drive them one by one.
class CTestConverter : public CRuleConverter {
public:
    using CRuleConverter::ReadXmlFromResource;
};

std::string ReadHostFile(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A golden document: the filled rule document exactly as the preprocessor receives it (UTF-8 here).
// KRELL_UPDATE_GOLDEN=1 rewrites the files from the current output, for review before committing.
void ExpectGolden(const std::string& sXml, const std::string& sName) {
    const std::string sPath = std::string(KRELL_GOLDEN_DIR) + "/" + sName;
    if (std::getenv("KRELL_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(sPath, std::ios::binary | std::ios::trunc) << sXml;
    }
    EXPECT_EQ(sXml, ReadHostFile(sPath)) << sName;
}

// The checked-in template source, as the DOM serialises it.
std::string TemplateSource(const char* szFile) {
    const std::string sSource = ReadHostFile(std::string(KRELL_TEMPLATE_DIR) + "/" + szFile);
    CComPtr<CXmlDocument> pDoc;
    EXPECT_EQ(CXmlDocument::Create(&pDoc), S_OK);
    EXPECT_EQ(pDoc->Load(sSource.data(), sSource.size()), S_OK);
    std::u16string sXml;
    EXPECT_EQ(pDoc->Xml(&sXml), S_OK);
    return platform::ToUtf8(sXml);
}

using Values = std::vector<std::pair<DWORD, std::shared_ptr<IRuleValue>>>;

std::shared_ptr<IRuleValue> Str(std::u16string s) {
    return std::make_shared<CICStringRuleValue>(std::move(s));
}
std::shared_ptr<IRuleValue> Hash(std::u16string s, DWORD dw) {
    return std::make_shared<CICStringDWORDRuleValue>(std::move(s), dw);
}
std::shared_ptr<IRuleValue> Pair(std::u16string a, std::u16string b) {
    return std::make_shared<CICStringPairRuleValue>(std::move(a), std::move(b));
}
std::shared_ptr<IRuleValue> Int(LONGLONG ll) {
    return std::make_shared<CICIntegralRuleValue>(ll);
}
std::shared_ptr<IRuleValue> Exclusion(std::u16string a, std::u16string t, std::u16string s, DWORD dw) {
    return std::make_shared<CICExclusionRuleValue>(std::move(a), std::move(t), std::move(s), dw);
}

CICRuleNode MakeNode(DWORD dwRSType, const Values& values) {
    CICRuleNode node(dwRSType);
    for (const auto& [dwType, pValue] : values) {
        EXPECT_TRUE(node.Append(dwType, *pValue));
    }
    return node;
}

// 2024-01-31 08:05:09 UTC as a file time.
constexpr LONGLONG END_OF_JANUARY = (1706688309LL + 11644473600LL) * 10000000LL;

class RuleConverterTest : public testing::Test {
protected:
    void SetUp() override {
        CDebugLog::Enable();
        settingstest::InstallProduct();
        settingstest::PlaceLibrary(krelltest::TestBinary("RuleGenDouble.dll"), u"ktRGen.dll");
        ASSERT_NE(State(), nullptr);
        State()->nFailAt = 0;
        State()->hrFail = S_OK;
        State()->cbXml = 0;
        CRuleConverter::SetTemplateModule(nullptr);
    }
    void TearDown() override { CRuleConverter::SetTemplateModule(nullptr); }

    // The double's state, in the copy of the library the converter loaded.
    static RuleGenDoubleState* State() {
        static HMODULE hModule = platform::LoadLibraryEx(PREPROCESSOR_PATH, 0);
        return static_cast<RuleGenDoubleState*>(platform::GetProcAddress(hModule, "g_RuleGenDouble"));
    }
    static std::string Recorded() { return std::string(State()->szXml, State()->cbXml); }

    static HMODULE TestTemplates() {
        static HMODULE hModule = platform::LoadLibraryEx(
            platform::WindowsPathOf(krelltest::TestBinary("TestTemplates.dll")).c_str(), 0);
        return hModule;
    }

    // Converts the node and answers the document the preprocessor was given.
    std::string Convert(const CICRuleNode& node, CErrorStack* pErrors) {
        CRuleConverter converter;
        EXPECT_TRUE(converter.GenerateSRTC(node, pErrors));
        const std::string sXml = Recorded();
        // The rules are the preprocessor's bytes, unchanged.
        EXPECT_EQ(converter.GetSerializedRulesLength(), 4 + sXml.size());
        const BYTE* pRules = converter.GetSerializedRulesData();
        if (pRules != nullptr) {
            EXPECT_EQ(
                std::string(reinterpret_cast<const char*>(pRules), converter.GetSerializedRulesLength()),
                "SRTC" + sXml);
        }
        return sXml;
    }

    // The text of one element of a filled document.
    static std::u16string TextAt(const std::string& sXml, const char16_t* szPath) {
        CComPtr<CXmlDocument> pDoc;
        EXPECT_EQ(CXmlDocument::Create(&pDoc), S_OK);
        EXPECT_EQ(pDoc->LoadXml(platform::FromUtf8(sXml)), S_OK);
        CXmlNode node;
        EXPECT_EQ(pDoc->SelectSingleNode(szPath, &node), S_OK) << platform::ToUtf8(szPath);
        return node.GetText();
    }
};

TEST_F(RuleConverterTest, FilledDocumentsMatchTheGoldenFiles) {
    struct Case {
        const char* szGolden;
        DWORD dwRSType;
        Values values;
    };
    const Case cases[] = {
        {"authorization-template.xml", RS_TYPE_AUTHORIZATION, {}},
        {"authorization-filled.xml",
         RS_TYPE_AUTHORIZATION,
         {{PT_AUTHORIZED_DEVICE, Str(u"USB\\VID_0781&PID_5567")},
          {PT_AUTHORIZED_DEVICE, Str(u"CDROM")},
          {PT_AUTHORIZED_LOCATION, Str(u"C:\\Tools\\setup.exe")},
          {PT_AUTHORIZED_FOLDER_TREE, Str(u"C:\\Tools\\Trusted\\")},
          {PT_AUTHORIZED_USER_CONTEXT, Str(u"S-1-5-21-1-2-3-1001")},
          {PT_AUTHORIZED_MD5_WITH_PATH, Pair(u"0CC175B9C0F1B6A831C399E269772661", u"C:\\a.exe")},
          {PT_AUTHORIZED_SHA1_WITH_PATH, Pair(u"E9D71F5EE7C92D6DC9E92FFDAD17B8BD49418F98", u"C:\\b.exe")},
          {PT_AUTHORIZED_SHA1_WITH_PATH, Pair(u"84A516841BA77A5B4648DE2CD0DFCB30EA46DBB4", u"C:\\c.exe")},
          {PT_AUTHORIZED_MD5_WITH_LENGTH, Hash(u"8277E0910D750195B448797616E091AD", 1024)},
          {PT_AUTHORIZED_MD5_WITH_LENGTH, Hash(u"E1671797C52E15F763380B45E841EC32", 2048)},
          {PT_AUTHORIZED_SHA1_WITH_LENGTH, Hash(u"A9993E364706816ABA3E25717850C26C9CD0D89D", 4096)}}},
        // One value of a type: its alternative goes into the expression without an "or".
        {"authorization-single-hashes.xml",
         RS_TYPE_AUTHORIZATION,
         {{PT_AUTHORIZED_SHA1_WITH_PATH, Pair(u"E9D71F5EE7C92D6DC9E92FFDAD17B8BD49418F98", u"C:\\b.exe")},
          {PT_AUTHORIZED_SHA1_WITH_LENGTH, Hash(u"A9993E364706816ABA3E25717850C26C9CD0D89D", 4096)}}},
        {"exclusion-template.xml", RS_TYPE_EXCLUSION, {}},
        {"exclusion-filled.xml",
         RS_TYPE_EXCLUSION,
         {{PT_EXCLUSION, Exclusion(u"C:\\Backup\\agent.exe", u"C:\\Data\\", u"S-1-5-18", 0x00010000)},
          {PT_EXCLUSION, Exclusion(u"*", u"C:\\Logs\\", u"*", 0x2)},
          {PT_EXCLUSION, Exclusion(u"*", u"*", u"*", 0x1)}}},
        {"exclusion-single.xml",
         RS_TYPE_EXCLUSION,
         {{PT_EXCLUSION, Exclusion(u"C:\\Backup\\agent.exe", u"*", u"*", 0x40000000)}}},
        {"protected-resources-template.xml", RS_TYPE_PROTECTED_RESOURCES, {}},
        {"protected-resources-filled.xml",
         RS_TYPE_PROTECTED_RESOURCES,
         {{PT_AUTHORIZED_USER_CONTEXT, Str(u"S-1-5-21-1-2-3-500")},
          {PT_PROTECTED_FILE, Str(u"C:\\Data\\ledger.db")},
          {PT_PROTECTED_FOLDER_TREE, Str(u"C:\\Data\\Vault\\")},
          {PT_PROTECTED_FOLDER_TREE, Str(u"D:\\Archive\\")},
          {PT_PROTECTED_REGKEY, Str(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\KRELL")},
          {PT_PROTECTED_REGKEY_TREE, Str(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Shared")},
          {PT_PROTECTED_PROCESS, Str(u"C:\\Program Files\\Quillon\\KRELL\\agent.exe")},
          {PT_EXCLUDED_FOLDER, Str(u"C:\\Data\\Vault\\Temp\\")},
          {PT_EXCLUDED_REGKEY, Str(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\KRELL\\Cache")},
          {PT_FILE_PROTECTION_ENABLED, Int(1)},
          {PT_REGISTRY_PROTECTION_ENABLED, Int(0)},
          {PT_PROCESS_PROTECTION_ENABLED, Int(0)},
          {PT_DISABLED_PROTECTION_EXPIRES, Int(END_OF_JANUARY)}}},
        // Without folder trees or keys the other batch of the set removes the placeholder.
        {"protected-resources-second-batches.xml",
         RS_TYPE_PROTECTED_RESOURCES,
         {{PT_PROTECTED_FILE, Str(u"C:\\Data\\ledger.db")},
          {PT_PROTECTED_REGKEY_TREE, Str(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Shared")}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szGolden);
        CErrorStack errors;
        const std::string sXml = Convert(MakeNode(c.dwRSType, c.values), &errors);
        ExpectGolden(sXml, c.szGolden);
        EXPECT_TRUE(errors.Entries().empty());
    }
}

TEST_F(RuleConverterTest, NodeWithoutValuesCompilesTheUnchangedTemplate) {
    struct Case {
        DWORD dwRSType;
        const char* szSource;
        const char* szPlaceholder;
    };
    const Case cases[] = {
        {RS_TYPE_AUTHORIZATION, "authorization.xml", "<exactStr>?</exactStr>"},
        {RS_TYPE_EXCLUSION, "exclusion.xml", "<str>?</str>"},
        {RS_TYPE_PROTECTED_RESOURCES, "protected-resources.xml", "<exactStr>?</exactStr>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szSource);
        CErrorStack errors;
        const std::string sXml = Convert(CICRuleNode(c.dwRSType), &errors);
        EXPECT_EQ(sXml, TemplateSource(c.szSource));
        EXPECT_NE(sXml.find(c.szPlaceholder), std::string::npos);
    }
}

TEST_F(RuleConverterTest, ProtectionSwitchesOnlyTurnOff) {
    struct Case {
        DWORD dwType;
        LONGLONG llValue;
        const char16_t* szPath;
        const char16_t* szExpected;
    };
    const Case cases[] = {
        {PT_FILE_PROTECTION_ENABLED, 1,
         u"ruleModule/definitions/singleLiteralDef[@literalId='is-file-protection-enabled']/bool", u"true"},
        {PT_FILE_PROTECTION_ENABLED, 0,
         u"ruleModule/definitions/singleLiteralDef[@literalId='is-file-protection-enabled']/bool", u"false"},
        {PT_REGISTRY_PROTECTION_ENABLED, 1,
         u"ruleModule/definitions/singleLiteralDef[@literalId='is-registry-protection-enabled']/bool",
         u"true"},
        {PT_REGISTRY_PROTECTION_ENABLED, 0,
         u"ruleModule/definitions/singleLiteralDef[@literalId='is-registry-protection-enabled']/bool",
         u"false"},
        {PT_PROCESS_PROTECTION_ENABLED, 1,
         u"ruleModule/definitions/singleLiteralDef[@literalId='is-process-protection-enabled']/bool",
         u"true"},
        {PT_PROCESS_PROTECTION_ENABLED, 0,
         u"ruleModule/definitions/singleLiteralDef[@literalId='is-process-protection-enabled']/bool",
         u"false"},
        {PT_DISABLED_PROTECTION_EXPIRES, END_OF_JANUARY,
         u"ruleModule/definitions/singleLiteralDef[@literalId='disabled-protection-expires-time']/date",
         u"2024-01-31T08:05:09Z"},
        // The first value of a type counts.
        {PT_DISABLED_PROTECTION_EXPIRES, 0,
         u"ruleModule/definitions/singleLiteralDef[@literalId='disabled-protection-expires-time']/date",
         u"1601-01-01T00:00:00Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::ToUtf8(c.szPath) + " " + std::to_string(c.llValue));
        CErrorStack errors;
        CICRuleNode node(RS_TYPE_PROTECTED_RESOURCES);
        ASSERT_TRUE(node.Append(c.dwType, CICIntegralRuleValue(c.llValue)));
        ASSERT_TRUE(node.Append(c.dwType, CICIntegralRuleValue(c.llValue == 0 ? 1 : 0)));
        EXPECT_EQ(TextAt(Convert(node, &errors), c.szPath), c.szExpected);
        EXPECT_TRUE(errors.Entries().empty());
    }
}

TEST_F(RuleConverterTest, FillErrorsFallBackToTheTemplateWithAWarning) {
    struct Case {
        const char* szName;
        bool bTestTemplates;
        DWORD dwRSType;
        Values values;
        const char* szTemplateSource;  // the document compiled instead; null for the test library's
        const char16_t* szWarning;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"set missing from the template",
         true,
         RS_TYPE_AUTHORIZATION,
         {{PT_AUTHORIZED_DEVICE, Str(u"CDROM")}},
         nullptr,
         u"Using default configuration for authorization",
         {"AddStringsToSet - Failed to reference node authorized-devices",
          "CRuleConverter::CreateAuthRules - Attempting recovery",
          "CRuleConverter::CreateAuthRules - Recovery succeeded",
          "CRuleConverter::CreateAuthRules - Exit (success)"}},
        {"expression missing from the template",
         true,
         RS_TYPE_EXCLUSION,
         {{PT_EXCLUSION, Exclusion(u"C:\\a.exe", u"*", u"*", 1)}},
         nullptr,
         u"Using default configuration for exclusions",
         {"CRuleConverter::CreateExclusionRules - COM exception caught: 0x80004003",
          "CRuleConverter::CreateExclusionRules - Attempting recovery",
          "CRuleConverter::CreateExclusionRules - Recovery succeeded"}},
        {"end time out of range",
         false,
         RS_TYPE_PROTECTED_RESOURCES,
         {{PT_PROTECTED_FILE, Str(u"C:\\x")}, {PT_DISABLED_PROTECTION_EXPIRES, Int(-1)}},
         "protected-resources.xml",
         u"Using default protected resources configuration",
         {"CRuleConverter::CreateGatewardenRules - Date conversion error (0X000057)",
          "CRuleConverter::CreateGatewardenRules - Attempting recovery",
          "CRuleConverter::CreateGatewardenRules - Recovery succeeded"}},
        {"switch that is not a number",
         false,
         RS_TYPE_PROTECTED_RESOURCES,
         {{PT_FILE_PROTECTION_ENABLED, Str(u"0")}},
         "protected-resources.xml",
         u"Using default protected resources configuration",
         {"CRuleConverter::CreateGatewardenRules - Attempting recovery",
          "CRuleConverter::CreateGatewardenRules - Recovery succeeded"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CRuleConverter::SetTemplateModule(c.bTestTemplates ? TestTemplates() : nullptr);
        CDebugLog log;
        CErrorStack errors;
        errors.AddInfo(u"earlier");
        const std::string sXml = Convert(MakeNode(c.dwRSType, c.values), &errors);
        EXPECT_EQ(errors.Entries().back(), (CErrorStack::Entry{ERROR_STACK_WARNING, c.szWarning}));
        EXPECT_EQ(errors.Status(), ERROR_STACK_WARNING);
        if (c.szTemplateSource != nullptr) {
            EXPECT_EQ(sXml, TemplateSource(c.szTemplateSource));
        } else {
            EXPECT_NE(sXml.find("<exactStr>?</exactStr>"), std::string::npos);
            EXPECT_EQ(sXml.find("CDROM"), std::string::npos);
        }
        const auto lines = log.Messages();
        for (const std::string& sLine : c.lines) {
            EXPECT_THAT(lines, Contains(sLine));
        }
    }
}

TEST_F(RuleConverterTest, TemplatesThatCannotBeLoadedFailTheConversion) {
    CRuleConverter::SetTemplateModule(TestTemplates());
    CDebugLog log;
    CErrorStack errors;
    CRuleConverter converter;
    ASSERT_TRUE(converter.SetSerializedRules(reinterpret_cast<const BYTE*>("old"), 3));
    const int nCreated = State()->nObjectsCreated;
    EXPECT_FALSE(converter.GenerateSRTC(CICRuleNode(RS_TYPE_PROTECTED_RESOURCES), &errors));
    EXPECT_EQ(converter.GetSerializedRulesData(), nullptr);
    EXPECT_EQ(converter.GetSerializedRulesLength(), 0u);
    EXPECT_TRUE(errors.Entries().empty());
    EXPECT_EQ(State()->nObjectsCreated, nCreated);
    const auto lines = log.Messages();
    EXPECT_THAT(lines,
                Contains(testing::StartsWith(
                    "CRuleConverter::ReadXmlFromResource - parse error 0xC00CE04D, line 7, position 1: ")));
    EXPECT_THAT(lines, Contains("CRuleConverter::ReadXmlFromResource - Exit (fail)"));
    EXPECT_THAT(lines, Contains("CRuleConverter::CreateGatewardenRules - Failed to load XML template"));
    EXPECT_THAT(lines, Contains("CRuleConverter::GenerateSRTC - CreateGatewardenRules() failed"));
    EXPECT_THAT(lines, Contains("CRuleConverter::GenerateSRTC - Exit (failure)"));
    EXPECT_THAT(lines, Not(Contains("CRuleConverter::CreateGatewardenRules - Attempting recovery")));
}

TEST_F(RuleConverterTest, ResourcesThatAreMissingOrNotEncipheredDoNotLoad) {
    struct Case {
        const char* szName;
        bool bTestTemplates;
        DWORD dwId;
        bool bLoads;
        const char* szLine;
    };
    const Case cases[] = {
        {"image template", false, IDR_AUTHORIZATION_TEMPLATE, true,
         "CRuleConverter::ReadXmlFromResource - Exit (success)"},
        {"unknown id", false, 1700, false,
         "CRuleConverter::ReadXmlFromResource - FindResource(\"1700\") failed: 0x00000716"},
        {"id missing from a library", true, 42, false,
         "CRuleConverter::ReadXmlFromResource - FindResource(\"42\") failed: 0x00000716"},
        {"stored without encipherment", true, 1604, false,
         "CRuleConverter::ReadXmlFromResource - Exit (fail)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CRuleConverter::SetTemplateModule(c.bTestTemplates ? TestTemplates() : nullptr);
        CDebugLog log;
        CTestConverter converter;
        CComPtr<CXmlDocument> pXML;
        ASSERT_EQ(CXmlDocument::Create(&pXML), S_OK);
        EXPECT_EQ(converter.ReadXmlFromResource(c.dwId, pXML.Get()), c.bLoads);
        EXPECT_EQ(pXML->IsLoaded(), c.bLoads);
        EXPECT_THAT(log.Messages(), Contains(c.szLine));
    }
}

TEST_F(RuleConverterTest, PreprocessorFailuresLeaveNoRules) {
    struct Case {
        int nFailAt;
        const char* szLine;
    };
    const Case cases[] = {
        {1, "CRuleConverter::GenerateSRTC - pPreproc->LoadXMLObject() failed: 0x80004005"},
        {2, "CRuleConverter::GenerateSRTC - pPreproc->ProcessRules() failed: 0x80004005"},
        {3, "CRuleConverter::GenerateSRTC - pPreproc->GetSerializedRulesLength() failed: 0x80004005"},
        {4, "CRuleConverter::GenerateSRTC - pPreproc->GetSerializedRules() failed: 0x80004005"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nFailAt);
        State()->nFailAt = c.nFailAt;
        State()->hrFail = E_FAIL;
        CDebugLog log;
        CErrorStack errors;
        CRuleConverter converter;
        ASSERT_TRUE(converter.SetSerializedRules(reinterpret_cast<const BYTE*>("old"), 3));
        EXPECT_FALSE(converter.GenerateSRTC(CICRuleNode(RS_TYPE_AUTHORIZATION), &errors));
        EXPECT_EQ(converter.GetSerializedRulesData(), nullptr);
        EXPECT_FALSE(converter.IsInitialized());
        const auto lines = log.Messages();
        EXPECT_THAT(lines, Contains(c.szLine));
        EXPECT_THAT(lines, Contains("CRuleConverter::GenerateSRTC - Exit (failure)"));
    }
}

TEST_F(RuleConverterTest, UnknownRuleSetTypeFailsBeforeThePreprocessor) {
    CDebugLog log;
    const int nCreated = State()->nObjectsCreated;
    CRuleConverter converter;
    EXPECT_FALSE(converter.GenerateSRTC(CICRuleNode(5), nullptr));
    EXPECT_EQ(State()->nObjectsCreated, nCreated);
    EXPECT_THAT(log.Messages(), Contains("CRuleConverter::GenerateSRTC - Unknown RS-type: 5"));
}

TEST_F(RuleConverterTest, UnusableValuesAreSkippedWithoutAWarning) {
    CDebugLog log;
    CErrorStack errors;
    // A hash with a path must carry two strings; a plain string cannot be made into a rule.
    const std::string sXml =
        Convert(MakeNode(RS_TYPE_AUTHORIZATION,
                         {{PT_AUTHORIZED_MD5_WITH_PATH, Str(u"x")}, {PT_AUTHORIZED_LOCATION, Hash(u"y", 1)}}),
                &errors);
    EXPECT_TRUE(errors.Entries().empty());
    const auto lines = log.Messages();
    EXPECT_THAT(lines,
                Contains("AddAuthorizedHashRules - Unable to add hash authorization rule for hash , param "));
    EXPECT_THAT(lines, Contains("AddStringsToSet - Unable to add \"\" node (hr=0x80070057)"));
    EXPECT_THAT(lines, Contains("AddStringsToSet - Exit (success)"));
    // The placeholders went, nothing took their place.
    EXPECT_EQ(TextAt(sXml, u"ruleModule/definitions/exprDef[@exprId='is-authorized-hash']/expr"), u"");
    EXPECT_EQ(TextAt(sXml, u"ruleModule/definitions/setLiteralDef[@setLiteralId='authorized-locations']"),
              u"");
}

class SaveRSDocumentTest : public RuleConverterTest {
protected:
    // The store's library answers in this process; its service's running mutex is held here.
    void HoldStore() { ASSERT_TRUE(m_Running.Create(nullptr, false, u"lcSetMgr_Running", true)); }

    void PutPrivateDword(const char16_t* szName, DWORD dwValue) {
        CSettingsManagerHelper helper;
        ISettingsManager* pMgr = nullptr;
        ASSERT_EQ(helper.Create(&pMgr), ZEL_SUCCESS);
        ASSERT_EQ(CLcSettingsHelper::PutDword(pMgr, u"GATEWARDEN\\PRIVATE", szName, dwValue), ZEL_SUCCESS);
    }

    static std::vector<std::string> TempFiles() {
        std::vector<std::string> files;
        std::string sDir;
        EXPECT_TRUE(platform::MapPath(u"C:\\Windows\\Temp", &sDir));
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(sDir, ec)) {
            files.push_back(entry.path().filename().string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    CMutex m_Running;
};

TEST_F(SaveRSDocumentTest, EachConversionLeavesACopyWhenTheSwitchIsOn) {
    settingstest::RemoveStore();
    HoldStore();
    PutPrivateDword(u"RulesConverterDebug", 1);
    for (int i = 0; i < 2; ++i) {
        const auto before = TempFiles();
        CDebugLog log;
        const std::string sXml =
            Convert(MakeNode(RS_TYPE_PROTECTED_RESOURCES, {{PT_PROTECTED_FILE, Str(u"C:\\x")}}), nullptr);
        const auto after = TempFiles();
        std::vector<std::string> added;
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(added));
        ASSERT_EQ(added.size(), 1u);
        const std::string sName = added.front();
        EXPECT_THAT(sName, testing::MatchesRegex("XML[0-9A-F]{4}\\.TMP"));
        const std::u16string sPath = u"C:\\Windows\\Temp\\" + platform::FromUtf8(sName);
        EXPECT_THAT(log.Messages(),
                    Contains("CRuleConverter::SaveRSDocument - rs-doc saved: " + platform::ToUtf8(sPath)));
        const std::string sSaved = krelltest::ReadFileBytes(sPath);
        CComPtr<CXmlDocument> pSaved;
        ASSERT_EQ(CXmlDocument::Create(&pSaved), S_OK);
        ASSERT_EQ(pSaved->Load(sSaved.data(), sSaved.size()), S_OK);
        std::u16string sText;
        ASSERT_EQ(pSaved->Xml(&sText), S_OK);
        EXPECT_EQ(platform::ToUtf8(sText), sXml);
    }
}

TEST_F(SaveRSDocumentTest, NothingIsSavedWithoutTheSwitch) {
    struct Case {
        const char* szName;
        bool bStore;
        int nSwitch;  // -1: key absent, -2: value absent
        const char* szLine;
    };
    const Case cases[] = {
        {"store not running", false, 1,
         "CRuleConverter::SaveRSDocument - Unable to connect to lcSettings (0x80000207)"},
        {"key absent", true, -1, "CRuleConverter::SaveRSDocument - GW key not found; no save"},
        {"value absent", true, -2, "CRuleConverter::SaveRSDocument - RS value not found; no save"},
        {"switch off", true, 0, "CRuleConverter::SaveRSDocument - RulesConverterDebug == FALSE; no save"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        settingstest::RemoveStore();
        m_Running.Close();
        HoldStore();
        if (c.nSwitch >= 0) {
            PutPrivateDword(u"RulesConverterDebug", static_cast<DWORD>(c.nSwitch));
        } else if (c.nSwitch == -2) {
            PutPrivateDword(u"DebugOutput", 0);
        }
        if (!c.bStore) {
            m_Running.Close();
        }
        const auto before = TempFiles();
        CDebugLog log;
        Convert(CICRuleNode(RS_TYPE_EXCLUSION), nullptr);
        EXPECT_EQ(TempFiles(), before);
        const auto lines = log.Messages();
        EXPECT_THAT(lines, Contains(c.szLine));
        EXPECT_THAT(lines, Contains("CRuleConverter::GenerateSRTC - Failed to save rs-doc"));
    }
}

}  // namespace
