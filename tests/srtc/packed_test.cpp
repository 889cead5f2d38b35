// Packed sets, the compiler's serialized output and the writer's own check: the paths ktRGen.dll takes
// for large documents must give what the plain rule set gives.
#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "rule_documents.h"
#include "srtc_test_util.h"

namespace {

void ExpectPackedMatchesPlain(const srtc::RuleSet& plain, const std::string& sCase) {
    srtc::PackedStringSet packed = srtctest::Packed(plain.sets[0]);
    srtc::Canonicalize(packed);
    srtc::RuleSet canonical = plain;
    srtc::Canonicalize(canonical);
    EXPECT_EQ(packed.Unpacked(), canonical.sets[0]) << sCase;
    srtc::RuleSet withoutSets = plain;
    withoutSets.sets.clear();
    EXPECT_EQ(srtc::WriteCanonical(withoutSets, std::span(&packed, 1)), srtc::Write(plain)) << sCase;
}

TEST(SrtcPacked, CanonicalFormAndBytesMatchThePlainSet) {
    // Longer than a sort record holds, so ties there are decided by the strings.
    const std::u16string sLong(60, u'x');
    const struct {
        const char* szCase;
        std::vector<std::u16string> exact, prefix;
    } cases[] = {
        {"empty", {}, {}},
        {"one item", {u"c:\\a"}, {}},
        {"case and duplicates", {u"c:\\a", u"C:\\A", u"c:\\b", u"C:\\a"}, {u"d:\\x\\", u"D:\\X\\"}},
        {"covered prefixes", {}, {u"C:\\A\\", u"C:\\AB\\", u"c:\\a\\deep\\", u"C:\\", u"D:\\X"}},
        {"empty items", {u"", u"a", u""}, {u"b", u""}},
        // 0xFF upper-cases beyond a byte, so the set sorts by whole units.
        {"units beyond a byte",
         {u"C:\\\u0436", u"C:\\\u0416", u"C:\\\u00FF", u"C:\\a", u"C:\\\u0100"},
         {u"\u0130"}},
        {"long items tied in their heads",
         {sLong + u"b", sLong + u"a", sLong + u"B", sLong, sLong + u"a"},
         {sLong + u"\\x", sLong + u"\\"}},
        {"zero units", {std::u16string(u"a\0b", 3), u"a", std::u16string(u"a\0", 2)}, {}},
        {"the same string exact and prefix", {u"C:\\X\\"}, {u"c:\\x\\"}},
    };
    for (const auto& c : cases) {
        ExpectPackedMatchesPlain(srtctest::InSetRuleSet(c.exact, c.prefix), c.szCase);
    }

    std::mt19937 rng(7);
    for (const std::u16string_view alphabet :
         {std::u16string_view(u"aAbB\\"), std::u16string_view(u"aA\u0436\u00FF\\")}) {
        std::vector<std::u16string> lists[2];
        for (int i = 0; i < 5000; ++i) {
            std::u16string s = u"C:\\Shared\\";
            const int nLength = static_cast<int>(rng() % 70);
            for (int k = 0; k < nLength; ++k) {
                s += alphabet[rng() % alphabet.size()];
            }
            lists[i % 4 == 0].push_back(s);
        }
        ExpectPackedMatchesPlain(srtctest::InSetRuleSet(lists[0], lists[1]),
                                 "random over " + srtc::ToUtf8(alphabet));
    }
}

TEST(SrtcPacked, CompiledSerializedRulesMatchTheRuleSetsBytes) {
    std::u16string sItems;
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; ++i) {
        const std::u16string sPath = u"C:\\Data\\" + srtc::FromUtf8(std::to_string(rng() % 500)) +
                                     (i % 3 == 0 ? u"\\" : u"\\r\u00E9port.doc");
        sItems +=
            i % 5 == 0 ? u"<prefixStr>" + sPath + u"</prefixStr>" : u"<exactStr>" + sPath + u"</exactStr>";
    }
    const std::u16string sLarge =
        uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="protected-resources" defaultEffect="allow">)"
        uR"(<definitions><setLiteralDef setLiteralId="files">)" +
        sItems +
        // Item text in several nodes.
        uR"(<exactStr>c:\split<!-- here -->\<![CDATA[cdata]]></exactStr></setLiteralDef>)"
        uR"(<setLiteralDef setLiteralId="other"><exactStr>c:\data\1\</exactStr></setLiteralDef></definitions>)"
        uR"(<rules><rule ruleId="r" effect="deny"><or>)"
        uR"(<funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="files"/></funEval>)"
        uR"(<funEval funRef="in-set"><attr opRef="actor" attrRef="path"/><setRef setLiteralId="other"/></funEval>)"
        uR"(</or></rule></rules></ruleModule>)";
    for (const std::u16string_view sXml :
         {std::u16string_view(sLarge), std::u16string_view(srtctest::AUTHORIZATION_DOCUMENT),
          std::u16string_view(srtctest::EXCLUSION_DOCUMENT),
          std::u16string_view(srtctest::PROTECTED_RESOURCES_DOCUMENT)}) {
        rulegen::CRuleDocument document;
        std::string sError;
        ASSERT_TRUE(document.Parse(sXml, sError)) << sError;
        std::vector<std::uint8_t> blob;
        ASSERT_TRUE(document.CompileSerialized(blob, sError)) << sError;
        EXPECT_EQ(blob, srtctest::CompileToBlob(sXml)) << srtc::ToUtf8(sXml.substr(0, 120));
    }
}

// A set's items are read in one walk; what the set's container refuses still comes before a misnamed item.
TEST(SrtcPacked, SetItemRefusalsInDocumentOrder) {
    const struct {
        const char16_t* szItems;
        const char* szReason;
    } cases[] = {
        {u"<exactStr>a</exactStr><bogus/><other/>", "unknown element 'bogus' in set 's'"},
        {u"<bogus/><x:exactStr xmlns:x=\"urn:other\">a</x:exactStr>",
         "unknown element 'exactStr' in 'setLiteralDef' (not in the rules namespace)"},
        {u"<bogus/><exactStr>a</exactStr>text", "unexpected text in 'setLiteralDef'"},
        {u"<exactStr>a</exactStr> <!-- fine --> <prefixStr>b</prefixStr>", ""},
    };
    for (const auto& c : cases) {
        const std::u16string sXml =
            std::u16string(
                uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="exclusion" defaultEffect="allow">)"
                uR"(<definitions><setLiteralDef setLiteralId="s">)") +
            c.szItems + u"</setLiteralDef></definitions></ruleModule>";
        rulegen::CRuleDocument document;
        std::string sError;
        ASSERT_TRUE(document.Parse(sXml, sError)) << sError;
        std::vector<std::uint8_t> blob;
        EXPECT_EQ(document.CompileSerialized(blob, sError), *c.szReason == 0) << c.szReason;
        EXPECT_EQ(*c.szReason == 0 ? std::string() : sError, c.szReason);
    }
}

// Every byte of compiled blobs corrupted in turn, and every truncation: the check refuses exactly what
// the reader refuses, for the same reason.
TEST(SrtcCheck, GivesTheReadersVerdictAndReason) {
    int nRefused = 0;
    for (const char16_t* szXml : {srtctest::AUTHORIZATION_DOCUMENT, srtctest::EXCLUSION_DOCUMENT,
                                  srtctest::PROTECTED_RESOURCES_DOCUMENT}) {
        const std::vector<std::uint8_t> blob = srtctest::CompileToBlob(szXml);
        std::vector<std::vector<std::uint8_t>> variants{blob};
        for (std::size_t i = 0; i < blob.size(); ++i) {
            variants.push_back(blob);
            variants.back()[i] ^= static_cast<std::uint8_t>(i % 2 == 0 ? 0x01 : 0x20);
            variants.emplace_back(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(i));
        }
        for (const auto& variant : variants) {
            srtc::RuleSet ruleSet;
            std::string sRead, sCheck = "stale";
            const bool bRead = srtc::Read(variant, ruleSet, sRead);
            EXPECT_EQ(srtc::Check(variant, sCheck), bRead);
            EXPECT_EQ(sCheck, sRead);
            nRefused += bRead ? 0 : 1;
        }
    }
    EXPECT_GT(nRefused, 0);
}

}  // namespace
