// ktRGen.dll loaded the way the rule converter loads it: through the object loader, from the product
// directory of the test's machine root.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "compiler/rule_preprocessor.h"
#include "compiler/xml_text.h"
#include "events/object_loader.h"
#include "ktrgen_results.h"
#include "platform/paths.h"
#include "rule_documents.h"
#include "service/installed_apps.h"
#include "service/registry_key.h"
#include "srtc_test_util.h"
#ifdef _WIN32
#include "platform/strings.h"
#else
#include "support/protection_root.h"
#include "support/test_root.h"
#endif

namespace {

constexpr const char16_t* PRODUCT_DIRECTORY = u"C:\\Program Files\\Quillon\\KRELL";

// Offers nothing beyond IUnknown.
class CNoText final : public IUnknown, private CRefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            AddRef();
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
};

// A literal condition under n nots.
std::u16string Nested(int n) {
    std::u16string s = u"<literalRef literalId=\"t\"/>";
    for (int i = 0; i < n; ++i) {
        s = u"<not>" + s + u"</not>";
    }
    return s;
}

// The build's library, where the rule converter looks for it: linked on Linux, copied on Windows,
// where links need a privilege tests do not have. It is built beside the Windows test program.
void PlaceLibrary(const std::string& sProduct, std::error_code& ec) {
    const std::string sPlaced = sProduct + "/ktRGen.dll";
#ifdef _WIN32
    std::u16string sModule;
    if (!platform::GetModuleFileName(&sModule)) {
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
        return;
    }
    const std::string sBuilt = platform::ToUtf8(sModule.substr(0, sModule.rfind(u'\\') + 1) + u"ktRGen.dll");
    std::filesystem::copy_file(sBuilt, sPlaced, std::filesystem::copy_options::overwrite_existing, ec);
#else
    std::filesystem::remove(sPlaced, ec);
    std::filesystem::create_symlink(krelltest::ProgramPath("ktRGen.dll"), sPlaced, ec);
#endif
}

class KtRGen : public ::testing::Test {
protected:
    void SetUp() override {
        std::string sProduct;
        ASSERT_TRUE(platform::MapPath(PRODUCT_DIRECTORY, &sProduct));
        std::error_code ec;
        std::filesystem::create_directories(sProduct, ec);
        PlaceLibrary(sProduct, ec);
        ASSERT_FALSE(ec) << ec.message();
        CRegistryKey reg;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, CInstalledApps::INSTALLED_APPS_KEY));
        ASSERT_TRUE(reg.SetString(u"KRELL", PRODUCT_DIRECTORY));
        ASSERT_EQ(m_loader.Load(u"ktRGen.dll"), ZEL_SUCCESS);
        ASSERT_EQ(m_loader.CreateObject(CLSID_KTRulePreprocessor, IID_IKTRulePreprocessor,
                                        reinterpret_cast<void**>(&m_pPreproc)),
                  ZEL_SUCCESS);
    }

    HRESULT Load(std::u16string sXml) {
        return m_pPreproc->LoadXMLObject(CXmlText::Create(std::move(sXml)).Get());
    }
    std::string LastError() {
        const char16_t* sz = nullptr;
        EXPECT_EQ(m_pPreproc->GetLastErrorText(&sz), S_OK);
        return sz != nullptr ? srtc::ToUtf8(sz) : std::string("(null)");
    }
    std::vector<BYTE> Rules() {
        ULONG cb = 0;
        EXPECT_EQ(m_pPreproc->GetSerializedRulesLength(&cb), S_OK);
        std::vector<BYTE> rules(cb);
        EXPECT_EQ(m_pPreproc->GetSerializedRules(rules.data(), &cb), S_OK);
        EXPECT_EQ(cb, rules.size());
        return rules;
    }

    CObjectLoader m_loader;
    CComPtr<IKTRulePreprocessor> m_pPreproc;
};

TEST_F(KtRGen, CompilesTheThreeRuleSetsAsTheLibraryDoes) {
    ULONG nVersion = 0;
    ASSERT_EQ(m_pPreproc->GetFormatVersion(&nVersion), S_OK);
    EXPECT_EQ(nVersion, srtc::SRTC_VERSION);
    for (const char16_t* szXml : {srtctest::AUTHORIZATION_DOCUMENT, srtctest::EXCLUSION_DOCUMENT,
                                  srtctest::PROTECTED_RESOURCES_DOCUMENT}) {
        ASSERT_EQ(Load(szXml), S_OK) << LastError();
        ASSERT_EQ(m_pPreproc->ProcessRules(), S_OK) << LastError();
        EXPECT_EQ(LastError(), "");
        EXPECT_EQ(Rules(), srtctest::CompileToBlob(szXml));
    }
    // Text whose count includes its terminator.
    ASSERT_EQ(Load(std::u16string(srtctest::EXCLUSION_DOCUMENT) + u'\0'), S_OK) << LastError();
    ASSERT_EQ(m_pPreproc->ProcessRules(), S_OK) << LastError();
    EXPECT_EQ(Rules(), srtctest::CompileToBlob(srtctest::EXCLUSION_DOCUMENT));
}

TEST_F(KtRGen, SmallBufferAndCallOrder) {
    ULONG cb = 0;
    EXPECT_EQ(m_pPreproc->ProcessRules(), E_UNEXPECTED);
    EXPECT_EQ(LastError(), "no document loaded");
    EXPECT_EQ(m_pPreproc->GetSerializedRulesLength(&cb), E_UNEXPECTED);
    ASSERT_EQ(Load(srtctest::EXCLUSION_DOCUMENT), S_OK);
    EXPECT_EQ(m_pPreproc->GetSerializedRulesLength(&cb), E_UNEXPECTED);
    ASSERT_EQ(m_pPreproc->ProcessRules(), S_OK);
    ASSERT_EQ(m_pPreproc->GetSerializedRulesLength(&cb), S_OK);
    std::vector<BYTE> buffer(cb);
    ULONG cbSmall = cb - 1;
    EXPECT_EQ(m_pPreproc->GetSerializedRules(buffer.data(), &cbSmall), KTRGEN_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(cbSmall, cb);
    ASSERT_EQ(m_pPreproc->Reset(), S_OK);
    EXPECT_EQ(m_pPreproc->GetSerializedRulesLength(&cb), E_UNEXPECTED);

    CComPtr<IUnknown> pNoText(static_cast<IUnknown*>(new CNoText));
    pNoText->Release();
    EXPECT_EQ(m_pPreproc->LoadXMLObject(pNoText.Get()), E_NOINTERFACE);
    EXPECT_EQ(m_pPreproc->LoadXMLObject(nullptr), E_POINTER);

    IUnknown* pOther = nullptr;
    EXPECT_NE(m_loader.CreateObject(IID_IKTXmlText, IID_IUnknown, reinterpret_cast<void**>(&pOther)),
              ZEL_SUCCESS);
    EXPECT_EQ(pOther, nullptr);
}

TEST_F(KtRGen, RefusesDocumentsWithTheirReasons) {
    auto doc = [](const char16_t* szDefinitions, const char16_t* szRules) {
        return std::u16string(
                   uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="exclusion" defaultEffect="allow"><definitions>)") +
               szDefinitions + u"</definitions><rules>" + szRules + u"</rules></ruleModule>";
    };
    const std::u16string sPathRule =
        uR"(<rule ruleId="r" effect="deny"><funEval funRef="equals"><attr opRef="actor" attrRef="path"/><str>x</str></funEval></rule>)";
    const struct {
        const char* szName;
        std::u16string sXml;
        HRESULT hrLoad;
        HRESULT hrProcess;
        const char* szReason;
    } cases[] = {
        {"not well-formed", u"<ruleModule xmlns=\"urn:quillon:gatewarden:rules:1\">",
         KTRGEN_E_NOT_WELL_FORMED, S_OK, "not well-formed XML: "},
        {"unknown element", doc(u"<bogus/>", u""), S_OK, KTRGEN_E_BAD_DOCUMENT,
         "unknown element 'bogus' in 'definitions'"},
        {"element of another namespace",
         doc(u"", u"<rule xmlns=\"urn:other\" ruleId=\"r\" effect=\"deny\"/>"), S_OK, KTRGEN_E_BAD_DOCUMENT,
         "unknown element 'rule' in 'rules' (not in the rules namespace)"},
        {"wrong root", u"<rules xmlns=\"urn:quillon:gatewarden:rules:1\"/>", S_OK, KTRGEN_E_BAD_DOCUMENT,
         "unknown element 'rules' at the root (expected ruleModule)"},
        {"missing set id", doc(u"<setLiteralDef><exactStr>?</exactStr></setLiteralDef>", u""), S_OK,
         KTRGEN_E_BAD_DOCUMENT, "'setLiteralDef' without setLiteralId"},
        {"missing rule id", doc(u"", u"<rule effect=\"deny\"><literalRef literalId=\"x\"/></rule>"), S_OK,
         KTRGEN_E_BAD_DOCUMENT, "'rule' without ruleId"},
        {"duplicate literal",
         doc(u"<singleLiteralDef literalId=\"a\"><bool>true</bool></singleLiteralDef><singleLiteralDef "
             u"literalId=\"a\"><bool>true</bool></singleLiteralDef>",
             u""),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "literal 'a' defined twice"},
        {"undefined set",
         doc(u"",
             uR"(<rule ruleId="r" effect="deny"><funEval funRef="in-set"><attr opRef="actor" attrRef="path"/><setRef setLiteralId="nope"/></funEval></rule>)"),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "rule 'r': in-set: reference to undefined set 'nope'"},
        {"undefined literal",
         doc(u"", u"<rule ruleId=\"r\" effect=\"deny\"><literalRef literalId=\"nope\"/></rule>"), S_OK,
         KTRGEN_E_BAD_DOCUMENT, "rule 'r': reference to undefined literal 'nope'"},
        {"undefined expression",
         doc(u"", u"<rule ruleId=\"r\" effect=\"deny\"><exprRef exprId=\"nope\"/></rule>"), S_OK,
         KTRGEN_E_BAD_DOCUMENT, "rule 'r': reference to undefined expression 'nope'"},
        {"string for a time",
         doc(u"",
             uR"(<rule ruleId="r" effect="deny"><funEval funRef="before"><attr opRef="env" attrRef="time"/><str>soon</str></funEval></rule>)"),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "rule 'r': before: wrong operand type, str for attribute 'env/time'"},
        {"set for equals",
         doc(u"<setLiteralDef setLiteralId=\"s\"/>",
             uR"(<rule ruleId="r" effect="deny"><funEval funRef="equals"><attr opRef="actor" attrRef="path"/><setRef setLiteralId="s"/></funEval></rule>)"),
         S_OK, KTRGEN_E_BAD_DOCUMENT,
         "rule 'r': equals: wrong operand type, set 's' for attribute 'actor/path'"},
        {"string literal as a condition",
         doc(u"<singleLiteralDef literalId=\"t\"><str>x</str></singleLiteralDef>",
             u"<rule ruleId=\"r\" effect=\"deny\"><literalRef literalId=\"t\"/></rule>"),
         S_OK, KTRGEN_E_BAD_DOCUMENT,
         "rule 'r': wrong operand type, literal 't' used as a condition is not a bool"},
        {"bad date",
         doc(u"<singleLiteralDef literalId=\"d\"><date>2024-02-30T00:00:00Z</date></singleLiteralDef>", u""),
         S_OK, KTRGEN_E_BAD_DOCUMENT,
         "literal 'd': bad date '2024-02-30T00:00:00Z' (expected YYYY-MM-DDThh:mm:ssZ)"},
        {"bad hex32",
         doc(u"",
             uR"(<rule ruleId="r" effect="deny"><funEval funRef="binary-and"><attr opRef="action" attrRef="desired-access"/><hex32>0x123456789</hex32></funEval></rule>)"),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "rule 'r': binary-and: bad hex32 '0x123456789'"},
        {"unknown function",
         doc(u"",
             uR"(<rule ruleId="r" effect="deny"><funEval funRef="matches"><attr opRef="actor" attrRef="path"/><str>x</str></funEval></rule>)"),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "rule 'r': unknown function 'matches'"},
        {"unknown attribute",
         doc(u"",
             uR"(<rule ruleId="r" effect="deny"><funEval funRef="equals"><attr opRef="actor" attrRef="colour"/><str>x</str></funEval></rule>)"),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "rule 'r': equals: unknown attribute 'actor/colour'"},
        {"cycle",
         doc(u"<exprDef exprId=\"a\"><expr><exprRef exprId=\"b\"/></expr></exprDef><exprDef "
             u"exprId=\"b\"><expr><not><exprRef exprId=\"a\"/></not></expr></exprDef>",
             u""),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "expression 'a' refers to itself (cycle through 'b')"},
        {"two conditions in a rule",
         doc(u"",
             u"<rule ruleId=\"r\" effect=\"deny\"><literalRef literalId=\"x\"/><literalRef "
             u"literalId=\"x\"/></rule>"),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "rule 'r' holds 2 conditions, expected 1"},
        {"document type", u"<!DOCTYPE ruleModule [<!ENTITY p \"C:\\x\">]>" + doc(u"", u""), S_OK,
         KTRGEN_E_BAD_DOCUMENT, "document type declarations are not accepted"},
        // Its end is not the first '>' or ']' when quotes and comments hold them.
        {"document type after the prolog's markup",
         u"<?xml version=\"1.0\"?>\n<!-- > -->\n<!DOCTYPE ruleModule [\n<!-- ]> -->\n<!ENTITY p "
         u"'a]>b'>\n]>\n" +
             doc(u"", u""),
         S_OK, KTRGEN_E_BAD_DOCUMENT, "document type declarations are not accepted"},
        {"nested too deeply",
         doc(u"<singleLiteralDef literalId=\"t\"><bool>true</bool></singleLiteralDef>",
             (u"<rule ruleId=\"r\" effect=\"deny\">" + Nested(70) + u"</rule>").c_str()),
         S_OK, KTRGEN_E_BAD_DOCUMENT,
         "the compiled rules are not acceptable: node 63: nesting depth is 65, expected at most 64"},
        {"bad effect", doc(u"", u"<rule ruleId=\"r\" effect=\"maybe\"/>"), S_OK, KTRGEN_E_BAD_DOCUMENT,
         "rule 'r': effect must be allow or deny"},
        {"empty and", doc(u"", u"<rule ruleId=\"r\" effect=\"deny\"><and/></rule>"), S_OK,
         KTRGEN_E_BAD_DOCUMENT, "rule 'r': empty 'and'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        const HRESULT hrLoad = Load(c.sXml);
        ASSERT_EQ(hrLoad, c.hrLoad) << LastError();
        if (hrLoad == S_OK) {
            ASSERT_EQ(m_pPreproc->ProcessRules(), c.hrProcess) << LastError();
        }
        EXPECT_EQ(LastError().substr(0, std::strlen(c.szReason)), c.szReason) << LastError();
        ULONG cb = 0;
        EXPECT_EQ(m_pPreproc->GetSerializedRulesLength(&cb), E_UNEXPECTED);
    }
    // A sound document after refused ones compiles, and the reason is gone.
    ASSERT_EQ(Load(doc(u"", sPathRule.c_str())), S_OK);
    ASSERT_EQ(m_pPreproc->ProcessRules(), S_OK);
    EXPECT_EQ(LastError(), "");
}

#ifndef _WIN32
// A root set up by the operator's tool has the preprocessor where the rule converter looks for it.
TEST(KtRGenInstall, KrellctlInitPlacesItInTheProductDirectory) {
    // Tests of one process share a root: what the fixture placed must not count.
    std::string sPlaced;
    ASSERT_TRUE(platform::MapPath(std::u16string(PRODUCT_DIRECTORY) + u"\\ktRGen.dll", &sPlaced));
    std::error_code ec;
    std::filesystem::remove(sPlaced, ec);
    ASSERT_EQ(krelltest::RunCommand(krelltest::ProgramPath("krellctl") + " init"), 0);
    CObjectLoader loader;
    ASSERT_EQ(loader.Load(u"ktRGen.dll"), ZEL_SUCCESS);
    CComPtr<IKTRulePreprocessor> pPreproc;
    ASSERT_EQ(loader.CreateObject(CLSID_KTRulePreprocessor, IID_IKTRulePreprocessor,
                                  reinterpret_cast<void**>(&pPreproc)),
              ZEL_SUCCESS);
    ASSERT_EQ(pPreproc->LoadXMLObject(CXmlText::Create(srtctest::EXCLUSION_DOCUMENT).Get()), S_OK);
    ASSERT_EQ(pPreproc->ProcessRules(), S_OK);
    ULONG cb = 0;
    ASSERT_EQ(pPreproc->GetSerializedRulesLength(&cb), S_OK);
    EXPECT_EQ(cb, srtctest::CompileToBlob(srtctest::EXCLUSION_DOCUMENT).size());
}

#endif

}  // namespace
