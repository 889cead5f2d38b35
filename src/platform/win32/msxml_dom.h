// MSXML's DOM reduced to plain C++ types. Its translation unit includes <windows.h> and the MSXML
// interfaces, whose COM methods are __stdcall; the seam's XML classes (xml_dom.cpp) sit on this and
// never see either. Results are the platform's HRESULTs.
//
// A node is a handle owned by the parsed document it came from: it holds its MSXML node until that
// document is replaced or dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace msxml {

using Result = std::int32_t;

struct Node;
struct Document;

struct LoadError {
    Result code = 0;
    long line = 0;
    long linepos = 0;
    std::u16string reason;
};

// pOwner is handed back by OwnerOf for every node of the document.
Result CreateDocument(void* pOwner, Document** ppDocument);
void DestroyDocument(Document* pDocument);

// On failure the document keeps what it held and *pError says why.
Result LoadBytes(Document* pDocument, const void* pBytes, std::size_t cbBytes, LoadError* pError);
// bKeepWhitespace keeps whitespace-only text as text nodes.
Result LoadText(Document* pDocument, std::u16string_view sText, bool bKeepWhitespace, LoadError* pError);
bool IsLoaded(const Document* pDocument);

Node* DocumentNode(const Document* pDocument);
Node* DocumentElement(const Document* pDocument);
// Elements indented by two spaces, one per line, unless they hold text; optionally after an XML
// declaration naming UTF-8.
Result Serialize(const Document* pDocument, bool bDeclaration, std::u16string* psXml);
// sPrefix may be empty; sUri empty puts the element in no namespace.
Result CreateElement(Document* pDocument, std::u16string_view sPrefix, std::u16string_view sLocalName,
                     std::u16string_view sUri, Node** ppNode);

void* OwnerOf(const Node* pNode);
bool IsElement(const Node* pNode);
// A text or CDATA section node.
bool IsText(const Node* pNode);
std::u16string NodeName(const Node* pNode);
std::u16string LocalName(const Node* pNode);
std::u16string Prefix(const Node* pNode);
std::u16string NamespaceUri(const Node* pNode);
// The default namespace in scope at the node (for the document node, at its element).
std::u16string DefaultNamespace(const Node* pNode);
// The text of every text and CDATA node below, concatenated as written.
std::u16string Text(const Node* pNode);
Result SetText(Node* pNode, std::u16string_view sText);
// Namespace declarations are not attributes here.
std::vector<std::pair<std::u16string, std::u16string>> Attributes(const Node* pNode);
Result SetAttribute(Node* pNode, std::u16string_view sName, std::u16string_view sValue);

Node* FirstChild(const Node* pNode);
Node* NextSibling(const Node* pNode);
Node* Parent(const Node* pNode);
bool Same(const Node* pFirst, const Node* pSecond);
bool SameDocument(const Node* pFirst, const Node* pSecond);

// sNamespaces is the XPath prefix declarations ("xmlns:p='uri'"), empty for none. S_FALSE when
// nothing matches; a failure for an expression that is not valid or yields no nodes.
Result Select(const Node* pContext, std::u16string_view sXPath, std::u16string_view sNamespaces,
              bool bFirstOnly, std::vector<Node*>* pNodes);
Result AppendChild(Node* pParent, Node* pChild);
Result RemoveChild(Node* pParent, Node* pChild);

}  // namespace msxml
