#include "platform/xml_dom.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/strings.h"
#include "support/files.h"

namespace {

using platform::CXmlDocument;
using platform::CXmlNode;

constexpr char16_t RULES_NS[] = u"urn:quillon:gatewarden:rules:1";

CComPtr<CXmlDocument> NewDocument() {
    CComPtr<CXmlDocument> pDoc;
    EXPECT_EQ(CXmlDocument::Create(&pDoc), S_OK);
    return pDoc;
}

CComPtr<CXmlDocument> Parse(std::u16string_view sXml) {
    CComPtr<CXmlDocument> pDoc = NewDocument();
    EXPECT_EQ(pDoc->LoadXml(sXml), S_OK) << platform::ToUtf8(pDoc->ParseError().reason);
    return pDoc;
}

std::string Xml(const CXmlDocument& doc) {
    std::u16string s;
    EXPECT_EQ(doc.Xml(&s), S_OK);
    return platform::ToUtf8(s);
}

const char16_t RULES[] =
    u"<?xml version=\"1.0\"?>\n"
    u"<ruleModule xmlns=\"urn:quillon:gatewarden:rules:1\" ruleSet=\"authorization\">\n"
    u"  <definitions>\n"
    u"    <setLiteralDef setLiteralId=\"a\"><exactStr>?</exactStr></setLiteralDef>\n"
    u"    <setLiteralDef "
    u"setLiteralId=\"b\"><exactStr>?</exactStr><prefixStr>C:\\</prefixStr></setLiteralDef>\n"
    u"    <singleLiteralDef literalId=\"on\"><bool>true</bool></singleLiteralDef>\n"
    u"  </definitions>\n"
    u"</ruleModule>\n";

TEST(XmlDom, ParseErrorsCarryCodeLineAndPosition) {
    struct Case {
        const char* szName;
        std::u16string sXml;
        long lLine;
        long lMinPos;  // the parser reports the position where it stopped, at or after this column
        long lMaxPos;
    };
    const Case cases[] = {
        {"mismatched end tag", u"<a><b></a>", 1, 8, 11},
        {"error on the third line", u"<a>\n  <b/>\n  <c></d>\n</a>", 3, 7, 10},
        {"unclosed root", u"<a>\n<b/>\n", 3, 1, 1},
        {"text after the root", u"<a/>junk", 1, 5, 6},
        {"bad attribute", u"<a x=1/>", 1, 5, 7},
        {"empty", u"", 1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CComPtr<CXmlDocument> pDoc = NewDocument();
        const HRESULT hr = pDoc->LoadXml(c.sXml);
        EXPECT_TRUE(FAILED(hr));
        const platform::XmlParseError& error = pDoc->ParseError();
        EXPECT_EQ(error.errorCode, hr);
        EXPECT_EQ(static_cast<DWORD>(hr) & 0xFFFFF000u, static_cast<DWORD>(platform::XML_E_PARSE_BASE));
        EXPECT_EQ(error.line, c.lLine);
        EXPECT_GE(error.linepos, c.lMinPos);
        EXPECT_LE(error.linepos, c.lMaxPos);
        EXPECT_FALSE(error.reason.empty());
        EXPECT_FALSE(pDoc->IsLoaded());
    }
}

TEST(XmlDom, FailedLoadKeepsThePreviousDocument) {
    CComPtr<CXmlDocument> pDoc = Parse(u"<a>kept</a>");
    EXPECT_TRUE(FAILED(pDoc->LoadXml(u"<a>")));
    EXPECT_EQ(pDoc->DocumentElement().GetText(), u"kept");
    EXPECT_EQ(pDoc->LoadXml(u"<b>new</b>"), S_OK);
    EXPECT_EQ(pDoc->ParseError().errorCode, S_OK);
    EXPECT_EQ(pDoc->DocumentElement().NodeName(), u"b");
}

std::vector<BYTE> Utf16(std::u16string_view s, bool bBigEndian) {
    std::vector<BYTE> bytes = bBigEndian ? std::vector<BYTE>{0xFE, 0xFF} : std::vector<BYTE>{0xFF, 0xFE};
    for (char16_t ch : s) {
        const BYTE lo = static_cast<BYTE>(ch & 0xFF);
        const BYTE hi = static_cast<BYTE>(ch >> 8);
        bytes.push_back(bBigEndian ? hi : lo);
        bytes.push_back(bBigEndian ? lo : hi);
    }
    return bytes;
}

std::vector<BYTE> Bytes(std::string_view s) {
    return std::vector<BYTE>(s.begin(), s.end());
}

TEST(XmlDom, BytesAreDecodedByByteOrderMarkOrDeclaration) {
    const std::u16string sText = u"Gr\u00FC\u00DFe \u20AC";
    const std::u16string sDoc = u"<?xml version=\"1.0\"?><a>" + sText + u"</a>";
    struct Case {
        const char* szName;
        std::vector<BYTE> bytes;
        std::u16string sExpected;
    };
    std::vector<Case> cases = {
        {"UTF-8 without mark", Bytes(platform::ToUtf8(sDoc)), sText},
        {"UTF-8 with mark", Bytes("\xEF\xBB\xBF" + platform::ToUtf8(sDoc)), sText},
        {"UTF-16 little-endian", Utf16(sDoc, false), sText},
        {"UTF-16 big-endian", Utf16(sDoc, true), sText},
        {"Latin-1 declared",
         Bytes("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>Gr\xFC\xDF"
               "e</a>"),
         u"Gr\u00FC\u00DFe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CComPtr<CXmlDocument> pDoc = NewDocument();
        ASSERT_EQ(pDoc->Load(c.bytes.data(), c.bytes.size()), S_OK)
            << platform::ToUtf8(pDoc->ParseError().reason);
        EXPECT_EQ(pDoc->DocumentElement().GetText(), c.sExpected);
    }
    // Text handed over as UTF-16 is taken as it is, whatever its declaration says.
    CComPtr<CXmlDocument> pDoc =
        Parse(u"<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\u00FC\u20AC</a>");
    EXPECT_EQ(pDoc->DocumentElement().GetText(), u"\u00FC\u20AC");
}

TEST(XmlDom, UnprefixedPathsSelectInTheDefaultNamespace) {
    CComPtr<CXmlDocument> pDoc = Parse(RULES);
    struct Case {
        const char16_t* szPath;
        std::size_t nCount;
        const char16_t* szFirstText;
    };
    const Case cases[] = {
        {u"ruleModule/definitions", 1, nullptr},
        {u"ruleModule/definitions/setLiteralDef", 2, u"?"},
        {u"ruleModule/definitions/setLiteralDef[@setLiteralId='b']/prefixStr", 1, u"C:\\"},
        {u"//exactStr", 2, u"?"},
        {u"/ruleModule/definitions/*[@literalId = 'on' and position() = 3]/bool", 1, u"true"},
        {u"ruleModule/definitions/setLiteralDef[@setLiteralId='a' or @setLiteralId='b']", 2, u"?"},
        {u"ruleModule/definitions/setLiteralDef[2]/child::prefixStr", 1, u"C:\\"},
        {u"ruleModule/definitions/setLiteralDef[count(exactStr) = 1 and prefixStr]", 1, u"?C:\\"},
        {u"ruleModule/definitions/setLiteralDef/attribute::setLiteralId", 2, u"a"},
        {u"ruleModule/missing", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::ToUtf8(c.szPath));
        std::vector<CXmlNode> nodes;
        EXPECT_EQ(pDoc->SelectNodes(c.szPath, &nodes), c.nCount == 0 ? S_FALSE : S_OK);
        ASSERT_EQ(nodes.size(), c.nCount);
        CXmlNode first;
        EXPECT_EQ(pDoc->SelectSingleNode(c.szPath, &first), c.nCount == 0 ? S_FALSE : S_OK);
        if (c.szFirstText != nullptr) {
            EXPECT_EQ(first.GetText(), c.szFirstText);
            EXPECT_TRUE(first == nodes.front());
        }
    }
    // Relative to a node, as the converter walks a set.
    CXmlNode set;
    ASSERT_EQ(pDoc->SelectSingleNode(u"ruleModule/definitions/setLiteralDef[@setLiteralId='b']", &set), S_OK);
    CXmlNode prefix;
    ASSERT_EQ(set.SelectSingleNode(u"prefixStr", &prefix), S_OK);
    EXPECT_EQ(prefix.NamespaceURI(), RULES_NS);
    EXPECT_EQ(set.SelectSingleNode(u"bool", &prefix), S_FALSE);
    EXPECT_FALSE(prefix);
}

TEST(XmlDom, SelectionKeepsPrefixesAndRefusesBadExpressions) {
    // A prefixed document: unprefixed names mean no namespace, as XPath has it.
    CComPtr<CXmlDocument> pDoc = Parse(u"<p:a xmlns:p=\"urn:x\"><p:b>1</p:b><b>2</b></p:a>");
    std::vector<CXmlNode> nodes;
    EXPECT_EQ(pDoc->SelectNodes(u"*/b", &nodes), S_OK);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].GetText(), u"2");
    // A document without a namespace selects as plain XPath.
    CComPtr<CXmlDocument> pPlain = Parse(u"<a><b>x</b></a>");
    CXmlNode b;
    EXPECT_EQ(pPlain->SelectSingleNode(u"a/b", &b), S_OK);
    EXPECT_EQ(b.GetText(), u"x");
    for (const char16_t* szBad : {u"ruleModule/[", u"count(//b)", u"a/b/@", u""}) {
        SCOPED_TRACE(platform::ToUtf8(szBad));
        EXPECT_EQ(pPlain->SelectNodes(szBad, &nodes), platform::XML_E_INVALID_XPATH);
        EXPECT_TRUE(nodes.empty());
    }
    CComPtr<CXmlDocument> pEmpty = NewDocument();
    EXPECT_EQ(pEmpty->SelectSingleNode(u"a", &b), platform::XML_E_NO_DOCUMENT);
}

TEST(XmlDom, CreatedElementsTakeTheNamespaceOfTheirContext) {
    CComPtr<CXmlDocument> pDoc = Parse(RULES);
    CXmlNode set;
    ASSERT_EQ(pDoc->SelectSingleNode(u"ruleModule/definitions/setLiteralDef[@setLiteralId='a']", &set), S_OK);
    CXmlNode item;
    ASSERT_EQ(pDoc->CreateElement(u"prefixStr", set, &item), S_OK);
    EXPECT_EQ(item.NamespaceURI(), RULES_NS);
    ASSERT_EQ(item.SetText(u"a&b<c>\"d\""), S_OK);
    ASSERT_EQ(set.AppendChild(item), S_OK);
    CXmlNode placeholder;
    ASSERT_EQ(set.SelectSingleNode(u"exactStr", &placeholder), S_OK);
    ASSERT_EQ(set.RemoveChild(placeholder), S_OK);

    const std::string sXml = Xml(*pDoc.Get());
    EXPECT_NE(
        sXml.find("<setLiteralDef setLiteralId=\"a\">\n      <prefixStr>a&amp;b&lt;c&gt;\"d\"</prefixStr>\n"
                  "    </setLiteralDef>"),
        std::string::npos)
        << sXml;
    // Declared once, on the root: the new element is in the namespace without a declaration of its own.
    EXPECT_EQ(sXml.find("xmlns", sXml.find("xmlns") + 1), std::string::npos) << sXml;

    // The text reads back the same after a round trip through the serialisation.
    CComPtr<CXmlDocument> pAgain = Parse(platform::FromUtf8(sXml));
    CXmlNode again;
    ASSERT_EQ(pAgain->SelectSingleNode(u"ruleModule/definitions/setLiteralDef[@setLiteralId='a']/prefixStr",
                                       &again),
              S_OK);
    EXPECT_EQ(again.GetText(), u"a&b<c>\"d\"");

    // An element made without a context is in no namespace; one that never joins the tree goes with
    // the document.
    CXmlNode loose;
    ASSERT_EQ(pDoc->CreateElement(u"loose", CXmlNode(), &loose), S_OK);
    EXPECT_EQ(loose.NamespaceURI(), u"");
    EXPECT_EQ(pDoc->CreateElement(u"not a name", set, &loose), E_INVALIDARG);
}

TEST(XmlDom, TreeOperationsRefuseWhatWouldBreakTheTree) {
    CComPtr<CXmlDocument> pDoc = Parse(u"<a><b><c/></b><d/></a>");
    CXmlNode a = pDoc->DocumentElement();
    CXmlNode b;
    CXmlNode c;
    CXmlNode d;
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/b", &b), S_OK);
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/b/c", &c), S_OK);
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/d", &d), S_OK);
    EXPECT_EQ(b.RemoveChild(d), E_INVALIDARG);  // not its child
    EXPECT_EQ(c.AppendChild(b), E_INVALIDARG);  // its own ancestor
    EXPECT_EQ(b.AppendChild(b), E_INVALIDARG);
    CComPtr<CXmlDocument> pOther = Parse(u"<x/>");
    EXPECT_EQ(pOther->DocumentElement().AppendChild(d), E_INVALIDARG);  // another document
    // Appending moves a node.
    ASSERT_EQ(d.AppendChild(c), S_OK);
    EXPECT_EQ(Xml(*pDoc.Get()), "<a>\n  <b/>\n  <d>\n    <c/>\n  </d>\n</a>\n");
    ASSERT_EQ(a.RemoveChild(d), S_OK);
    EXPECT_EQ(Xml(*pDoc.Get()), "<a>\n  <b/>\n</a>\n");
}

TEST(XmlDom, HandlesReachedByDifferentRoutesAreTheSameNode) {
    CComPtr<CXmlDocument> pDoc = Parse(u"<a><b x=\"1\" y=\"2\"><c/></b><b x=\"3\"/></a>");
    CXmlNode a = pDoc->DocumentElement();
    CXmlNode selectedB;
    CXmlNode secondB;
    CXmlNode c;
    CXmlNode x;
    CXmlNode y;
    CXmlNode otherX;
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/b[1]", &selectedB), S_OK);
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/b[2]", &secondB), S_OK);
    ASSERT_EQ(pDoc->SelectSingleNode(u"//c", &c), S_OK);
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/b[1]/@x", &x), S_OK);
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/b[1]/@y", &y), S_OK);
    ASSERT_EQ(pDoc->SelectSingleNode(u"a/b[2]/@x", &otherX), S_OK);
    CXmlNode xAgain;
    ASSERT_EQ(selectedB.SelectSingleNode(u"@x", &xAgain), S_OK);
    CXmlNode loose;
    ASSERT_EQ(pDoc->CreateElement(u"b", CXmlNode(), &loose), S_OK);
    struct Case {
        const char* szName;
        CXmlNode first;
        CXmlNode second;
        bool bSame;
    };
    const Case cases[] = {
        {"first child and selection", a.FirstChild(), selectedB, true},
        {"parent of a child", c.Parent(), selectedB, true},
        {"root and its child's parent", selectedB.Parent(), a, true},
        {"attribute from the document and from its element", x, xAgain, true},
        {"attribute's parent is its element", x.Parent(), selectedB, true},
        {"siblings of one name", selectedB, secondB, false},
        {"sibling reached by NextSibling", a.FirstChild().NextSibling(), secondB, true},
        {"attributes of one element", x, y, false},
        {"attributes of one name on two elements", x, otherX, false},
        {"element and its child", selectedB, c, false},
        {"a created element and a tree element", loose, selectedB, false},
        {"a created element and itself", loose, loose, true},
        {"null and a node", CXmlNode(), a, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.szName);
        EXPECT_EQ(k.first == k.second, k.bSame);
        EXPECT_EQ(k.second == k.first, k.bSame);
    }
}

TEST(XmlDom, SerialisationIndentsElementsButNotText) {
    struct Case {
        const char* szName;
        std::u16string sXml;
        std::string sExpected;
    };
    const Case cases[] = {
        {"declaration dropped", u"<?xml version=\"1.0\"?><a><b/></a>", "<a>\n  <b/>\n</a>\n"},
        {"mixed content kept on one line", u"<a><b>x<c>y</c></b><d/></a>",
         "<a>\n  <b>x<c>y</c></b>\n  <d/>\n</a>\n"},
        {"comments and instructions indented", u"<a><!--c--><?p d?><b/></a>",
         "<a>\n  <!--c-->\n  <?p d?>\n  <b/>\n</a>\n"},
        {"outside the root", u"<!--top--><a/>", "<!--top-->\n<a/>\n"},
        {"CDATA as written", u"<a><![CDATA[x<y]]></a>", "<a><![CDATA[x<y]]></a>\n"},
        {"attribute escapes", u"<a v=\"&quot;&lt;&amp;&gt;&#10;&#9;\"/>",
         "<a v=\"&quot;&lt;&amp;&gt;&#10;&#9;\"/>\n"},
        {"text escapes", u"<a>&lt;&amp;&gt;\"'</a>", "<a>&lt;&amp;&gt;\"'</a>\n"},
        {"prefixes and declarations kept", u"<p:a xmlns:p=\"urn:p\"><p:b/><c xmlns=\"urn:d\"><d/></c></p:a>",
         "<p:a xmlns:p=\"urn:p\">\n  <p:b/>\n  <c xmlns=\"urn:d\">\n    <d/>\n  </c>\n</p:a>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        EXPECT_EQ(Xml(*Parse(c.sXml).Get()), c.sExpected);
    }
    // An element created in a prefixed context takes the prefix and needs no declaration of its own.
    CComPtr<CXmlDocument> pDoc = Parse(u"<p:a xmlns:p=\"urn:p\"><p:b/></p:a>");
    CXmlNode a = pDoc->DocumentElement();
    CXmlNode created;
    ASSERT_EQ(pDoc->CreateElement(u"c", a, &created), S_OK);
    EXPECT_EQ(created.NodeName(), u"p:c");
    EXPECT_EQ(created.LocalName(), u"c");
    EXPECT_EQ(created.NamespaceURI(), u"urn:p");
    ASSERT_EQ(a.AppendChild(created), S_OK);
    EXPECT_EQ(Xml(*pDoc.Get()), "<p:a xmlns:p=\"urn:p\">\n  <p:b/>\n  <p:c/>\n</p:a>\n");
}

// A reader of the tree tells the element's text (text and CDATA) from comments and instructions, and
// sees whitespace-only text only when it asks for it.
TEST(XmlDom, ChildrenTellTextFromMarkupAndKeepWhitespaceOnRequest) {
    auto kinds = [](const CXmlNode& parent, std::u16string* psText) {
        std::string sKinds;
        for (CXmlNode child = parent.FirstChild(); child; child = child.NextSibling()) {
            sKinds += child.IsText() ? 'T' : child.IsElement() ? 'E' : 'O';
            if (child.IsText()) {
                *psText += child.GetText();
            }
        }
        return sKinds;
    };
    std::u16string sText;
    CComPtr<CXmlDocument> pDoc = Parse(u"<a>x<!--c--><?p d?><![CDATA[y]]><b/></a>");
    EXPECT_EQ(kinds(pDoc->DocumentElement(), &sText), "TOOTE");
    EXPECT_EQ(sText, u"xy");
    EXPECT_FALSE(pDoc->DocumentElement().IsText());
    EXPECT_FALSE(CXmlNode().IsText());

    const struct {
        const char* szName;
        platform::XmlWhitespace whitespace;
        const char* szKinds;
        std::u16string sText;
    } cases[] = {
        {"dropped", platform::XmlWhitespace::Drop, "EE", u""},
        {"kept", platform::XmlWhitespace::Keep, "TETET", u" \n \t "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        pDoc = NewDocument();
        ASSERT_EQ(pDoc->LoadXml(u"<a> <b/>\n<c> </c> \t </a>", c.whitespace), S_OK);
        sText.clear();
        EXPECT_EQ(kinds(pDoc->DocumentElement(), &sText), c.szKinds);
        EXPECT_EQ(sText, c.sText);
    }
}

// Whatever the half, a rule document comes out as the other half writes it: the converter's output
// is what the rule preprocessor reads and what the golden files hold.
TEST(XmlDom, RuleDocumentsAreWrittenBackUnchanged) {
    std::size_t nDocuments = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRELL_RULE_DOCUMENT_DIR)) {
        if (entry.path().extension() != ".xml") {
            continue;
        }
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string sFile((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(sFile.empty());
        ++nDocuments;
        CComPtr<CXmlDocument> pDoc = NewDocument();
        ASSERT_EQ(pDoc->Load(sFile.data(), sFile.size()), S_OK)
            << platform::ToUtf8(pDoc->ParseError().reason);
        EXPECT_EQ(Xml(*pDoc.Get()), sFile);
        std::vector<CXmlNode> definitions;
        EXPECT_EQ(pDoc->SelectNodes(u"ruleModule/definitions/*", &definitions), S_OK);
        EXPECT_FALSE(definitions.empty());
    }
    EXPECT_GE(nDocuments, 3u);
}

TEST(XmlDom, AttributesAreListedReadAndWritten) {
    CComPtr<CXmlDocument> pDoc = Parse(u"<a xmlns:q=\"urn:q\" one=\"1\" q:two=\"&lt;2&gt;\"><b/></a>");
    CXmlNode a = pDoc->DocumentElement();
    EXPECT_TRUE(a.HasAttributes());
    const auto attributes = a.Attributes();
    ASSERT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0], (std::pair<std::u16string, std::u16string>(u"one", u"1")));
    EXPECT_EQ(attributes[1], (std::pair<std::u16string, std::u16string>(u"q:two", u"<2>")));
    std::u16string sValue;
    EXPECT_EQ(a.GetAttribute(u"q:two", &sValue), S_OK);
    EXPECT_EQ(sValue, u"<2>");
    EXPECT_EQ(a.GetAttribute(u"three", &sValue), S_FALSE);
    EXPECT_EQ(sValue, u"");
    CXmlNode b = a.FirstChild();
    EXPECT_FALSE(b.HasAttributes());
    ASSERT_EQ(b.SetAttribute(u"funRef", u"a&b"), S_OK);
    EXPECT_NE(Xml(*pDoc.Get()).find("<b funRef=\"a&amp;b\"/>"), std::string::npos);
}

TEST(XmlDom, SavedFileParsesBackToTheSameDocument) {
    CComPtr<CXmlDocument> pDoc = Parse(RULES);
    CXmlNode value;
    ASSERT_EQ(pDoc->SelectSingleNode(u"ruleModule/definitions/singleLiteralDef/bool", &value), S_OK);
    ASSERT_EQ(value.SetText(u"false"), S_OK);
    ASSERT_EQ(pDoc->Save(u"C:\\saved.xml"), S_OK);
    const std::string sFile = krelltest::ReadFileBytes(u"C:\\saved.xml");
    EXPECT_EQ(sFile.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << sFile;
    CComPtr<CXmlDocument> pBack = NewDocument();
    ASSERT_EQ(pBack->Load(sFile.data(), sFile.size()), S_OK);
    EXPECT_EQ(Xml(*pBack.Get()), Xml(*pDoc.Get()));
    EXPECT_NE(Xml(*pBack.Get()).find("<bool>false</bool>"), std::string::npos);

    EXPECT_EQ(pDoc->Save(u"C:\\missing-directory\\saved.xml"), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    CComPtr<CXmlDocument> pEmpty = NewDocument();
    EXPECT_EQ(pEmpty->Save(u"C:\\empty.xml"), platform::XML_E_NO_DOCUMENT);
}

TEST(XmlDom, DocumentOffersItsTextThroughQueryInterface) {
    CComPtr<CXmlDocument> pDoc = Parse(u"<a><b>1</b></a>");
    CComPtr<IKTXmlText> pText;
    ASSERT_EQ(pDoc->QueryInterface(IID_IKTXmlText, reinterpret_cast<void**>(&pText)), S_OK);
    CComPtr<IUnknown> pUnknown;
    ASSERT_EQ(pDoc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnknown)), S_OK);
    void* pNone = &pNone;
    EXPECT_EQ(pDoc->QueryInterface(IID_IClassFactory, &pNone), E_NOINTERFACE);
    EXPECT_EQ(pNone, nullptr);

    const char16_t* szFirst = nullptr;
    ULONG cchFirst = 0;
    ASSERT_EQ(pText->GetXml(&szFirst, &cchFirst), S_OK);
    EXPECT_EQ(std::u16string(szFirst, cchFirst), u"<a>\n  <b>1</b>\n</a>\n");
    const char16_t* szSecond = nullptr;
    ULONG cchSecond = 0;
    ASSERT_EQ(pText->GetXml(&szSecond, &cchSecond), S_OK);
    EXPECT_EQ(szSecond, szFirst);  // unchanged document, same text

    CXmlNode b = pDoc->DocumentElement().FirstChild();
    ASSERT_EQ(b.SetText(u"2"), S_OK);
    ASSERT_EQ(pText->GetXml(&szSecond, &cchSecond), S_OK);
    EXPECT_EQ(std::u16string(szSecond, cchSecond), u"<a>\n  <b>2</b>\n</a>\n");

    // The text object keeps the document alive on its own.
    CXmlDocument* pRaw = pDoc.Detach();
    pUnknown.Release();
    EXPECT_EQ(pRaw->Release(), 1u);
    ASSERT_EQ(pText->GetXml(&szSecond, &cchSecond), S_OK);
    EXPECT_EQ(std::u16string(szSecond, cchSecond), u"<a>\n  <b>2</b>\n</a>\n");
}

}  // namespace
