// The platform's XML DOM: documents parsed from bytes or UTF-16 text, XPath selection, element text
// and attributes, element creation, and saving. Over libxml2 on Linux, over MSXML on Windows.
//
// The document is a reference-counted object (held by CComPtr) that offers IKTXmlText, so it can be
// handed to an outside component such as the rule preprocessor. Nodes are light handles into the
// document: they stay valid while the document lives and the node is not removed.
//
// XPath: the documents of this system put every element into one default namespace. An unprefixed
// name test in a selection is taken to be in the default namespace in scope at the node the
// selection starts from (for a document, that of its root element), so "ruleModule/definitions"
// selects as it reads. Prefixed names and attributes keep their XPath meaning.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compiler/rule_preprocessor.h"
#include "platform/com.h"
#include "platform/types.h"

namespace platform {

// Parse errors are in the range 0xC00CE000-0xC00CEFFF: on Windows MSXML's own codes and texts, on
// Linux 0xC00CE000 plus libxml2's error number, with libxml2's text.
constexpr HRESULT XML_E_PARSE_BASE = static_cast<HRESULT>(0xC00CE000);
// A selection that is not a valid XPath expression, or does not yield nodes.
constexpr HRESULT XML_E_INVALID_XPATH = static_cast<HRESULT>(0xC00CE201);
// An operation on a document that holds nothing yet, or on a null node.
constexpr HRESULT XML_E_NO_DOCUMENT = static_cast<HRESULT>(0xC00CE202);

// Whitespace-only text: dropped between elements (the default), or kept as text nodes where it stands.
enum class XmlWhitespace { Drop, Keep };

struct XmlParseError {
    HRESULT errorCode = S_OK;  // S_OK when the last load succeeded
    long line = 0;             // 1-based
    long linepos = 0;          // 1-based column of the error in that line
    std::u16string reason;
};

class CXmlDocument;

class CXmlNode {
public:
    CXmlNode() = default;
    explicit CXmlNode(void* pNode) : m_pNode(pNode) {}

    explicit operator bool() const { return m_pNode != nullptr; }
    // The same node of the tree (one node may have more than one handle).
    bool operator==(const CXmlNode& other) const;
    bool IsElement() const;
    // A text or CDATA section node (not a comment or processing instruction).
    bool IsText() const;

    // The qualified name as written ("prefix:local" or "local"), and its parts.
    std::u16string NodeName() const;
    std::u16string LocalName() const;
    std::u16string NamespaceURI() const;

    // All text below the node, concatenated.
    std::u16string GetText() const;
    // Replaces the node's children by one text node.
    HRESULT SetText(std::u16string_view sText);

    bool HasAttributes() const;
    // Attributes in document order, as (qualified name, value).
    std::vector<std::pair<std::u16string, std::u16string>> Attributes() const;
    // S_FALSE (and an empty value) when the attribute is absent.
    HRESULT GetAttribute(std::u16string_view sName, std::u16string* psValue) const;
    HRESULT SetAttribute(std::u16string_view sName, std::u16string_view sValue);

    CXmlNode FirstChild() const;
    CXmlNode NextSibling() const;
    CXmlNode Parent() const;
    // The element children, in order.
    std::vector<CXmlNode> ChildElements() const;

    // S_FALSE and a null node when nothing matches.
    HRESULT SelectSingleNode(std::u16string_view sXPath, CXmlNode* pNode) const;
    HRESULT SelectNodes(std::u16string_view sXPath, std::vector<CXmlNode>* pNodes) const;

    // Moves the node (newly created or elsewhere in the same document) to the end of the children.
    HRESULT AppendChild(const CXmlNode& child);
    // Removes and frees a child; E_INVALIDARG when it is not a child of this node. Handles to it and
    // its descendants become invalid.
    HRESULT RemoveChild(const CXmlNode& child);

    void* Raw() const { return m_pNode; }

private:
    void* m_pNode = nullptr;
};

class CXmlDocument final : public IKTXmlText, public CRefCounted {
public:
    static HRESULT Create(CXmlDocument** ppDocument);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    // The document's serialisation (as Xml() gives it); valid until the document changes or dies.
    HRESULT STDMETHODCALLTYPE GetXml(const char16_t** pszXml, ULONG* pcchXml) override;

    // Parses bytes; the encoding comes from a byte-order mark or the XML declaration (UTF-8 when
    // neither names one). On failure the document keeps its previous content and ParseError() says
    // why; the result is the error's code.
    HRESULT Load(const void* pBytes, std::size_t cbBytes);
    // Parses text that is already UTF-16; an encoding named in its declaration is ignored.
    HRESULT LoadXml(std::u16string_view sText, XmlWhitespace whitespace = XmlWhitespace::Drop);
    const XmlParseError& ParseError() const { return m_ParseError; }
    bool IsLoaded() const { return m_pDoc != nullptr; }

    // Whitespace-only text between elements is dropped on load; the serialisation indents elements
    // by two spaces, one per line, without an XML declaration.
    HRESULT Xml(std::u16string* psXml) const;
    // Writes the document as UTF-8, with a declaration, to a Windows-form path.
    HRESULT Save(const char16_t* szPath) const;

    CXmlNode DocumentElement() const;
    HRESULT SelectSingleNode(std::u16string_view sXPath, CXmlNode* pNode) const;
    HRESULT SelectNodes(std::u16string_view sXPath, std::vector<CXmlNode>* pNodes) const;

    // A new element, not yet in the tree, in the namespace of nsContext (none for a null context).
    HRESULT CreateElement(std::u16string_view sName, const CXmlNode& nsContext, CXmlNode* pNode);

    // Called by node operations that change the tree.
    void Touch() { ++m_nGeneration; }
    // A created element went into the tree; the document no longer frees it on its own.
    void Attached(void* pNode);

private:
    CXmlDocument() = default;
    ~CXmlDocument() override;
    HRESULT Adopt(void* pNewDoc);
    CXmlNode Root() const;

    void* m_pDoc = nullptr;  // the half's document; null until a load succeeds
    XmlParseError m_ParseError;
    unsigned long m_nGeneration = 0;
    unsigned long m_nTextGeneration = ~0ul;
    std::u16string m_sText;
    std::vector<void*> m_Unattached;  // created elements not yet in the tree
};

}  // namespace platform
