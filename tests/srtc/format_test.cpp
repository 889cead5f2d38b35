// The SRTC writer and reader: round trip, golden bytes, canonical output, and the reader's refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "rule_documents.h"
#include "srtc/srtc_layout.h"
#include "srtc_test_util.h"

namespace {

using srtctest::CompileToBlob;

// Small, but with every table filled: a set with both kinds of item, a named and an in-place literal,
// each node kind, an expression and two rules.
constexpr const char16_t* SMALL_DOCUMENT =
    uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="protected-resources" defaultEffect="allow">
  <definitions>
    <setLiteralDef setLiteralId="files"><exactStr>C:\a.txt</exactStr><prefixStr>C:\P\</prefixStr></setLiteralDef>
    <singleLiteralDef literalId="on"><bool>true</bool></singleLiteralDef>
    <exprDef exprId="hit"><expr><funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="files"/></funEval></expr></exprDef>
  </definitions>
  <rules>
    <rule ruleId="deny" effect="deny"><and><literalRef literalId="on"/><exprRef exprId="hit"/><not><funEval funRef="binary-and"><attr opRef="action" attrRef="desired-access"/><hex32>0x80</hex32></funEval></not></and></rule>
    <rule ruleId="late" effect="deny"><or><funEval funRef="equals"><attr opRef="env" attrRef="time"/><date>2030-01-01T00:00:00Z</date></funEval></or></rule>
  </rules>
</ruleModule>)";

using srtctest::LayoutOfBlob;
using srtctest::SetWord;
using srtctest::Word;

TEST(SrtcFormat, RoundTripKeepsEveryTable) {
    for (const char16_t* szXml : {SMALL_DOCUMENT, srtctest::AUTHORIZATION_DOCUMENT,
                                  srtctest::EXCLUSION_DOCUMENT, srtctest::PROTECTED_RESOURCES_DOCUMENT}) {
        rulegen::CRuleDocument document;
        std::string sError;
        srtc::RuleSet compiled;
        ASSERT_TRUE(document.Parse(szXml, sError)) << sError;
        ASSERT_TRUE(document.Compile(compiled, sError)) << sError;
        const std::vector<std::uint8_t> blob = srtc::Write(compiled);
        srtc::RuleSet read;
        ASSERT_TRUE(srtc::Read(blob, read, sError)) << sError;
        srtc::Canonicalize(compiled);
        EXPECT_EQ(read, compiled);
        EXPECT_EQ(srtc::Write(read), blob);
        EXPECT_EQ(blob.size() % 4, 0u);
        EXPECT_EQ(Word(blob, 16), blob.size());
    }
}

TEST(SrtcFormat, SmallDocumentMatchesGoldenBytes) {
    const std::vector<std::uint8_t> blob = CompileToBlob(SMALL_DOCUMENT);
    const std::string sGolden = std::string(KRELL_SRTC_GOLDEN_DIR) + "/small.srtc";
    if (std::getenv("KRELL_WRITE_GOLDEN") != nullptr) {
        std::ofstream(sGolden, std::ios::binary)
            .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
    }
    std::ifstream file(sGolden, std::ios::binary);
    ASSERT_TRUE(file) << sGolden;
    const std::vector<std::uint8_t> golden((std::istreambuf_iterator<char>(file)),
                                           std::istreambuf_iterator<char>());
    EXPECT_EQ(blob, golden);

    // A few fields read straight from the bytes, as documented.
    ASSERT_GE(golden.size(), srtc::SRTC_HEADER_SIZE);
    EXPECT_EQ(std::string(golden.begin(), golden.begin() + 4), "SRTC");
    EXPECT_EQ(Word(golden, 4), 2u);    // version
    EXPECT_EQ(Word(golden, 8), 2u);    // protected resources
    EXPECT_EQ(Word(golden, 12), 0u);   // allow
    EXPECT_EQ(Word(golden, 28), 1u);   // one set
    EXPECT_EQ(Word(golden, 32), 17u);  // item data: C:\A.TXT and C:\P\, each after its two counts
    EXPECT_EQ(Word(golden, 36), 3u);   // "on", the hex32 and the date
    EXPECT_EQ(Word(golden, 48), 1u);   // one expression
    EXPECT_EQ(Word(golden, 52), 2u);   // two rules
}

TEST(SrtcFormat, EquivalentSetsGiveIdenticalBytes) {
    auto document = [](const char16_t* szItems) {
        return std::u16string(
                   uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="protected-resources" defaultEffect="allow"><definitions><setLiteralDef setLiteralId="s">)") +
               szItems +
               uR"(</setLiteralDef></definitions><rules><rule ruleId="r" effect="deny"><funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="s"/></funEval></rule></rules></ruleModule>)";
    };
    const std::vector<std::uint8_t> reference = CompileToBlob(
        document(u"<exactStr>C:\\b</exactStr><exactStr>C:\\a</exactStr><prefixStr>D:\\x\\</prefixStr>"));
    const struct {
        const char* szName;
        const char16_t* szItems;
        bool bSame;
    } cases[] = {
        {"reordered", u"<prefixStr>D:\\x\\</prefixStr><exactStr>C:\\a</exactStr><exactStr>C:\\b</exactStr>",
         true},
        {"duplicated",
         u"<exactStr>C:\\a</exactStr><exactStr>C:\\b</exactStr><exactStr>C:\\a</exactStr><prefixStr>D:\\x\\</"
         u"prefixStr><prefixStr>D:\\x\\</prefixStr>",
         true},
        {"other case", u"<exactStr>c:\\A</exactStr><exactStr>C:\\B</exactStr><prefixStr>d:\\X\\</prefixStr>",
         true},
        {"covered prefix",
         u"<exactStr>C:\\a</exactStr><exactStr>C:\\b</exactStr><prefixStr>D:\\x\\</"
         u"prefixStr><prefixStr>D:\\x\\y\\</prefixStr>",
         true},
        {"an item more",
         u"<exactStr>C:\\a</exactStr><exactStr>C:\\b</exactStr><exactStr>C:\\c</exactStr><prefixStr>D:\\x\\</"
         u"prefixStr>",
         false},
        {"exact made prefix",
         u"<exactStr>C:\\a</exactStr><prefixStr>C:\\b</prefixStr><prefixStr>D:\\x\\</prefixStr>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        EXPECT_EQ(CompileToBlob(document(c.szItems)) == reference, c.bSame);
    }
}

// A value is its element's text as the document spells it, whichever parser read it: white space kept,
// comments and instructions left out, CDATA, references and line ends as XML defines them.
TEST(SrtcFormat, ValuesAreTheElementsTextAsWritten) {
    const struct {
        const char* szName;
        const char16_t* szText;
        std::u16string sValue;
    } cases[] = {
        {"white space only", u" ", u" "},
        {"white space around", u"\t C:\\a \n", u"\t C:\\a \n"},
        {"split by a comment and an instruction", u"C:\\<!-- x -->a<?p y?>b", u"C:\\ab"},
        {"CDATA beside text", u"<![CDATA[<C:\\>]]> a", u"<C:\\> a"},
        {"references", u"&#x416;&amp;&lt;&#32;", u"\u0416&< "},
        {"line ends", u"a\r\nb\rc", u"a\nb\nc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        const std::u16string sXml =
            uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="protected-resources" defaultEffect="allow"><definitions>)"
            uR"(<setLiteralDef setLiteralId="s"><exactStr>)" +
            std::u16string(c.szText) +
            uR"(</exactStr></setLiteralDef><singleLiteralDef literalId="l"><str>)" + c.szText +
            uR"(</str></singleLiteralDef></definitions><rules><rule ruleId="r" effect="deny"><funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="s"/></funEval></rule></rules></ruleModule>)";
        const srtc::RuleSet ruleSet = srtctest::CompileAndRead(sXml);
        ASSERT_EQ(ruleSet.sets.size(), 1u);
        EXPECT_EQ(ruleSet.sets[0].exact, std::vector<std::u16string>{srtc::Upper(c.sValue)});
        ASSERT_FALSE(ruleSet.literals.empty());
        EXPECT_EQ(ruleSet.literals[0].sText, c.sValue);
    }
}

TEST(SrtcReader, RefusesEveryTruncationAndExtension) {
    const std::vector<std::uint8_t> blob = CompileToBlob(srtctest::PROTECTED_RESOURCES_DOCUMENT);
    srtc::RuleSet ruleSet;
    std::string sError;
    for (std::size_t n = 0; n < blob.size(); ++n) {
        // A copy of exactly n bytes, so a read past it is caught by the sanitizers.
        const std::vector<std::uint8_t> part(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(n));
        ASSERT_FALSE(srtc::Read(part, ruleSet, sError)) << n;
        ASSERT_FALSE(sError.empty());
        ASSERT_TRUE(ruleSet.rules.empty());
    }
    std::vector<std::uint8_t> longer = blob;
    longer.insert(longer.end(), 4, 0);
    EXPECT_FALSE(srtc::Read(longer, ruleSet, sError));
    EXPECT_EQ(sError, "header: total length is " + std::to_string(blob.size()) + ", expected " +
                          std::to_string(longer.size()) + " (the blob's length)");
}

// Offsets of the small document's entries, from its layout: string 0 is "files", set 0 has
// one exact and one prefix item, literal 0 is "on"; nodes follow the compiler's order.
TEST(SrtcReader, RefusesCorruptedFields) {
    const std::vector<std::uint8_t> blob = CompileToBlob(SMALL_DOCUMENT);
    const srtc::Layout l = LayoutOfBlob(blob);
    srtc::RuleSet original;
    std::string sError;
    ASSERT_TRUE(srtc::Read(blob, original, sError)) << sError;
    // The node that refers to the expression, and the expression's root (the in-set node).
    std::size_t nExprRef = 0, nNot = 0, nAnd = 0;
    for (std::size_t i = 0; i < original.nodes.size(); ++i) {
        if (original.nodes[i].kind == srtc::NodeKind::ExprRef)
            nExprRef = i;
        if (original.nodes[i].kind == srtc::NodeKind::Not)
            nNot = i;
        if (original.nodes[i].kind == srtc::NodeKind::And)
            nAnd = i;
    }
    const std::uint32_t dwStrings = Word(blob, 20);
    const std::uint32_t dwNodes = Word(blob, 40);
    const auto node = [&](std::size_t i) { return static_cast<std::size_t>(l.qwNodes) + 16 * i; };
    const std::string sNot = "node " + std::to_string(nNot);
    ASSERT_LT(l.qwPadding, blob.size()) << "the padding case needs a padding byte";

    const struct {
        const char* szName;
        std::size_t nOffset;
        std::uint32_t dwValue;
        std::string sExpected;
    } cases[] = {
        {"magic", 0, 0x43545252, "header: magic is 1129599570, expected 1129599571 (\"SRTC\")"},
        {"version", 4, 1, "header: version is 1, expected 2"},
        {"kind", 8, 3, "header: rule set kind is 3, expected 0 to 2"},
        {"default effect", 12, 2, "header: default effect is 2, expected 0 or 1"},
        {"string count", 20, dwStrings + 1, "header: length the counts give is"},
        {"string offset", static_cast<std::size_t>(l.qwStrings) + 8, 0, "string 1: offset is 0, expected"},
        {"string length", static_cast<std::size_t>(l.qwStrings) + 4, 0xFFFFFF,
         "string 0: length is 16777215"},
        {"set id", static_cast<std::size_t>(l.qwSets), dwStrings,
         "set 0: id is " + std::to_string(dwStrings)},
        {"set exact count", static_cast<std::size_t>(l.qwSets) + 4, 6,
         "set 0: exact item count is 6, expected at most 5 (2 bytes an item at least)"},
        {"set exact data length", static_cast<std::size_t>(l.qwSets) + 8, 18,
         "set 0: exact data length is 18, expected at most 17"},
        {"set exact data length short", static_cast<std::size_t>(l.qwSets) + 8, 9,
         "set 0 exact item 0: new unit count is 8, expected at most 7"},
        {"set prefix data length short", static_cast<std::size_t>(l.qwSets) + 16, 6,
         "set 0 prefix item 0: new unit count is 5, expected at most 4"},
        {"set prefix count", static_cast<std::size_t>(l.qwSets) + 12, 0,
         "set 0: prefix data length is 7, expected 0 (what its items take)"},
        {"literal type", static_cast<std::size_t>(l.qwLiterals) + 4, 9,
         "literal 0: type is 9, expected 1 to 5"},
        {"bool value", static_cast<std::size_t>(l.qwLiterals) + 8, 2,
         "literal 0: bool value is 2, expected 0 or 1"},
        {"bool high word", static_cast<std::size_t>(l.qwLiterals) + 12, 1,
         "literal 0: high value word is 1, expected 0"},
        {"expression root", static_cast<std::size_t>(l.qwExpressions) + 4, dwNodes,
         "expression 0: root node is " + std::to_string(dwNodes)},
        {"node kind", node(nNot), 7, sNot + ": kind is 7, expected 1 to 6"},
        {"node unused field", node(nNot), 0x00010004, sNot + ": attribute is 1, expected 0 (a not node)"},
        {"not child", node(nNot) + 4, dwNodes, sNot + ": child node is " + std::to_string(dwNodes)},
        {"and first child", node(nAnd) + 8, 1,
         "node " + std::to_string(nAnd) + ": first child is 1, expected 0"},
        {"exprRef", node(nExprRef) + 4, 1,
         "node " + std::to_string(nExprRef) + ": expression is 1, expected below 1"},
        {"rule effect", static_cast<std::size_t>(l.qwRules) + 4, 2, "rule 0: effect is 2, expected 0 or 1"},
        {"rule root", static_cast<std::size_t>(l.qwRules) + 8, dwNodes, "rule 0: root node is"},
        {"rule id", static_cast<std::size_t>(l.qwRules), 0xFFFFFFFF, "rule 0: id is 4294967295"},
        {"expression made a cycle", static_cast<std::size_t>(l.qwExpressions) + 4,
         static_cast<std::uint32_t>(nExprRef), "node " + std::to_string(nExprRef) + ": part of a cycle"},
        {"padding", blob.size() - 4, Word(blob, blob.size() - 4) | 0x01000000,
         "item data: padding byte is 1, expected 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        std::vector<std::uint8_t> bad = blob;
        ASSERT_LE(c.nOffset + 4, bad.size());
        SetWord(bad, c.nOffset, c.dwValue);
        srtc::RuleSet ruleSet;
        ASSERT_FALSE(srtc::Read(bad, ruleSet, sError));
        EXPECT_EQ(sError.substr(0, c.sExpected.size()), c.sExpected) << sError;
    }
}

TEST(SrtcReader, BoundsNestingDepth) {
    for (const std::uint32_t dwDepth : {srtc::SRTC_MAX_DEPTH, srtc::SRTC_MAX_DEPTH + 1}) {
        SCOPED_TRACE(dwDepth);
        srtc::RuleSet ruleSet;
        ruleSet.literals.push_back({u"on", srtc::LiteralType::Bool, 1, {}});
        ruleSet.nodes.push_back({srtc::NodeKind::LiteralRef, {}, {}, {}, 0, {}});
        for (std::uint32_t i = 1; i < dwDepth; ++i) {
            ruleSet.nodes.push_back({srtc::NodeKind::Not, {}, {}, {}, i - 1, {}});
        }
        ruleSet.rules.push_back({u"r", srtc::Effect::Deny, dwDepth - 1});
        srtc::RuleSet read;
        std::string sError;
        const bool bRead = srtc::Read(srtc::Write(ruleSet), read, sError);
        EXPECT_EQ(bRead, dwDepth <= srtc::SRTC_MAX_DEPTH) << sError;
        if (bRead) {
            // An odd number of nots over a true literal.
            EXPECT_EQ(srtc::Evaluate(read, {}).effect,
                      (dwDepth - 1) % 2 == 0 ? srtc::Effect::Deny : srtc::Effect::Allow);
        } else {
            EXPECT_NE(sError.find("nesting depth is 65, expected at most 64"), std::string::npos) << sError;
        }
    }
}

}  // namespace

namespace {

// Canonical sets against the plain definition (upper-case, sort, drop duplicates, drop covered
// prefixes) over strings with long shared parts, tails beyond the sort's inline units, zero units and
// case differences; the items take no strings, only the sets' ids do.
TEST(SrtcFormat, CanonicalSetsMatchThePlainDefinition) {
    std::mt19937 rng(7);
    auto random = [&](std::size_t nMax, std::u16string_view alphabet) {
        std::u16string s;
        for (std::size_t k = rng() % (nMax + 1); k > 0; --k) {
            s += alphabet[rng() % alphabet.size()];
        }
        return s;
    };
    const std::u16string sShared = u"C:\\Program Files\\Vendor\\Product\\";
    const std::u16string sFiller(30, u'x');
    srtc::RuleSet ruleSet;
    // The first set shares a long start and often a long middle, so the tails decide; the second is
    // short strings that tie with or begin each other.
    for (int nSet = 0; nSet < 2; ++nSet) {
        srtc::StringSet& set = ruleSet.sets.emplace_back();
        set.sId = nSet == 0 ? u"first" : u"second";
        for (int i = 0; i < 3000; ++i) {
            std::u16string s = nSet == 0 ? sShared + random(4, std::u16string_view(u"aB\0", 3)) +
                                               (rng() % 2 != 0 ? sFiller + random(3, u"aB") : u"")
                                         : random(5, std::u16string_view(u"aA\0b", 4));
            (i % 3 == 0 ? set.prefix : set.exact).push_back(s);
        }
    }
    const std::vector<std::uint8_t> blob = srtc::Write(ruleSet);
    srtc::RuleSet read;
    std::string sError;
    ASSERT_TRUE(srtc::Read(blob, read, sError)) << sError;

    for (std::size_t n = 0; n < ruleSet.sets.size(); ++n) {
        for (const bool bPrefix : {false, true}) {
            std::vector<std::u16string> items = bPrefix ? ruleSet.sets[n].prefix : ruleSet.sets[n].exact;
            for (auto& item : items) {
                item = srtc::Upper(item);
            }
            std::sort(items.begin(), items.end());
            items.erase(std::unique(items.begin(), items.end()), items.end());
            if (bPrefix) {
                std::vector<std::u16string> kept;
                for (const auto& item : items) {
                    if (std::none_of(kept.begin(), kept.end(),
                                     [&](const auto& p) { return item.starts_with(p); })) {
                        kept.push_back(item);
                    }
                }
                items = kept;
            }
            EXPECT_EQ(bPrefix ? read.sets[n].prefix : read.sets[n].exact, items) << n << " " << bPrefix;
        }
    }
    EXPECT_EQ(Word(blob, 20), 2u);
}

}  // namespace
