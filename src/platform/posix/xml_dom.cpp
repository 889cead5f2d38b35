#include "platform/xml_dom.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <new>

#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "platform/xpath_names.h"

namespace platform {
namespace {

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

xmlNodePtr N(const void* p) {
    return static_cast<xmlNodePtr>(const_cast<void*>(p));
}

const xmlChar* X(const std::string& s) {
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

std::u16string Wide(const xmlChar* sz) {
    return sz == nullptr ? std::u16string() : FromUtf8(reinterpret_cast<const char*>(sz));
}

// Takes over a string libxml2 allocated.
std::u16string TakeWide(xmlChar* sz) {
    std::u16string s = Wide(sz);
    xmlFree(sz);
    return s;
}

CXmlDocument* OwnerOf(xmlNodePtr pNode) {
    return pNode != nullptr && pNode->doc != nullptr ? static_cast<CXmlDocument*>(pNode->doc->_private)
                                                     : nullptr;
}

void Touch(xmlNodePtr pNode) {
    if (CXmlDocument* pDoc = OwnerOf(pNode)) {
        pDoc->Touch();
    }
}

void IgnoreError(void*, xmlErrorPtr) {}
void IgnoreGenericError(void*, const char*, ...) {}

HRESULT Select(xmlDocPtr pDoc, xmlNodePtr pContext, std::u16string_view sXPath, std::vector<CXmlNode>* pNodes,
               bool bFirstOnly) {
    pNodes->clear();
    if (pDoc == nullptr || pContext == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    try {
        xmlNodePtr pScope = pContext;
        if (pScope->type == XML_DOCUMENT_NODE) {
            pScope = xmlDocGetRootElement(pDoc);
        } else if (pScope->type != XML_ELEMENT_NODE) {
            pScope = pScope->parent;
        }
        xmlNsPtr pDefault = pScope != nullptr ? xmlSearchNs(pDoc, pScope, nullptr) : nullptr;
        std::string sPath = ToUtf8(sXPath);
        xmlXPathContextPtr pCtx = xmlXPathNewContext(pDoc);
        if (pCtx == nullptr) {
            return E_OUTOFMEMORY;
        }
        pCtx->node = pContext;
        pCtx->error = IgnoreError;
        if (pDefault != nullptr && pDefault->href != nullptr && *pDefault->href != '\0') {
            xmlXPathRegisterNs(pCtx, reinterpret_cast<const xmlChar*>(XPATH_DEFAULT_PREFIX), pDefault->href);
            sPath = QualifyNameTests(sPath);
        }
        xmlXPathObjectPtr pResult = xmlXPathEvalExpression(X(sPath), pCtx);
        HRESULT hr = S_OK;
        if (pResult == nullptr || pResult->type != XPATH_NODESET) {
            hr = XML_E_INVALID_XPATH;
        } else if (pResult->nodesetval != nullptr) {
            const int nCount =
                bFirstOnly ? std::min(pResult->nodesetval->nodeNr, 1) : pResult->nodesetval->nodeNr;
            for (int n = 0; n < nCount; ++n) {
                pNodes->emplace_back(pResult->nodesetval->nodeTab[n]);
            }
        }
        xmlXPathFreeObject(pResult);
        xmlXPathFreeContext(pCtx);
        if (SUCCEEDED(hr) && pNodes->empty()) {
            hr = S_FALSE;
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

// ---- nodes

bool CXmlNode::operator==(const CXmlNode& other) const {
    return m_pNode == other.m_pNode;
}

bool CXmlNode::IsElement() const {
    return m_pNode != nullptr && N(m_pNode)->type == XML_ELEMENT_NODE;
}

bool CXmlNode::IsText() const {
    return m_pNode != nullptr &&
           (N(m_pNode)->type == XML_TEXT_NODE || N(m_pNode)->type == XML_CDATA_SECTION_NODE);
}

std::u16string CXmlNode::NodeName() const {
    if (m_pNode == nullptr) {
        return {};
    }
    const xmlNodePtr p = N(m_pNode);
    std::u16string s;
    if (p->type == XML_ELEMENT_NODE && p->ns != nullptr && p->ns->prefix != nullptr) {
        s = Wide(p->ns->prefix) + u":";
    }
    return s + Wide(p->name);
}

std::u16string CXmlNode::LocalName() const {
    return m_pNode == nullptr ? std::u16string() : Wide(N(m_pNode)->name);
}

std::u16string CXmlNode::NamespaceURI() const {
    if (m_pNode == nullptr || N(m_pNode)->type != XML_ELEMENT_NODE || N(m_pNode)->ns == nullptr) {
        return {};
    }
    return Wide(N(m_pNode)->ns->href);
}

std::u16string CXmlNode::GetText() const {
    return m_pNode == nullptr ? std::u16string() : TakeWide(xmlNodeGetContent(N(m_pNode)));
}

HRESULT CXmlNode::SetText(std::u16string_view sText) {
    if (m_pNode == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    const xmlNodePtr p = N(m_pNode);
    try {
        const std::string s = ToUtf8(sText);
        xmlNodePtr pText = xmlNewDocText(p->doc, X(s));
        if (pText == nullptr) {
            return E_OUTOFMEMORY;
        }
        while (p->children != nullptr) {
            xmlNodePtr pChild = p->children;
            xmlUnlinkNode(pChild);
            xmlFreeNode(pChild);
        }
        xmlAddChild(p, pText);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    Touch(p);
    return S_OK;
}

bool CXmlNode::HasAttributes() const {
    return m_pNode != nullptr && N(m_pNode)->type == XML_ELEMENT_NODE && N(m_pNode)->properties != nullptr;
}

std::vector<std::pair<std::u16string, std::u16string>> CXmlNode::Attributes() const {
    std::vector<std::pair<std::u16string, std::u16string>> attributes;
    if (!HasAttributes()) {
        return attributes;
    }
    for (xmlAttrPtr pAttr = N(m_pNode)->properties; pAttr != nullptr; pAttr = pAttr->next) {
        std::u16string sName;
        if (pAttr->ns != nullptr && pAttr->ns->prefix != nullptr) {
            sName = Wide(pAttr->ns->prefix) + u":";
        }
        sName += Wide(pAttr->name);
        attributes.emplace_back(std::move(sName),
                                TakeWide(xmlNodeListGetString(N(m_pNode)->doc, pAttr->children, 1)));
    }
    return attributes;
}

HRESULT CXmlNode::SetAttribute(std::u16string_view sName, std::u16string_view sValue) {
    if (!IsElement()) {
        return XML_E_NO_DOCUMENT;
    }
    try {
        if (xmlSetProp(N(m_pNode), X(ToUtf8(sName)), X(ToUtf8(sValue))) == nullptr) {
            return E_OUTOFMEMORY;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    Touch(N(m_pNode));
    return S_OK;
}

CXmlNode CXmlNode::FirstChild() const {
    return CXmlNode(m_pNode == nullptr ? nullptr : N(m_pNode)->children);
}

CXmlNode CXmlNode::NextSibling() const {
    return CXmlNode(m_pNode == nullptr ? nullptr : N(m_pNode)->next);
}

CXmlNode CXmlNode::Parent() const {
    return CXmlNode(m_pNode == nullptr ? nullptr : N(m_pNode)->parent);
}

HRESULT CXmlNode::SelectSingleNode(std::u16string_view sXPath, CXmlNode* pNode) const {
    *pNode = CXmlNode();
    std::vector<CXmlNode> nodes;
    const HRESULT hr =
        Select(m_pNode == nullptr ? nullptr : N(m_pNode)->doc, N(m_pNode), sXPath, &nodes, true);
    if (hr == S_OK) {
        *pNode = nodes.front();
    }
    return hr;
}

HRESULT CXmlNode::SelectNodes(std::u16string_view sXPath, std::vector<CXmlNode>* pNodes) const {
    return Select(m_pNode == nullptr ? nullptr : N(m_pNode)->doc, N(m_pNode), sXPath, pNodes, false);
}

HRESULT CXmlNode::AppendChild(const CXmlNode& child) {
    if (m_pNode == nullptr || !child) {
        return XML_E_NO_DOCUMENT;
    }
    const xmlNodePtr pParent = N(m_pNode);
    const xmlNodePtr pChild = N(child.m_pNode);
    if (pChild->doc != pParent->doc || pChild == pParent) {
        return E_INVALIDARG;
    }
    for (xmlNodePtr p = pParent->parent; p != nullptr; p = p->parent) {
        if (p == pChild) {
            return E_INVALIDARG;  // would make a cycle
        }
    }
    if (pChild->parent != nullptr) {
        xmlUnlinkNode(pChild);
    }
    if (CXmlDocument* pDoc = OwnerOf(pParent)) {
        pDoc->Attached(pChild);
    }
    if (xmlAddChild(pParent, pChild) == nullptr) {
        return E_FAIL;
    }
    Touch(pParent);
    return S_OK;
}

HRESULT CXmlNode::RemoveChild(const CXmlNode& child) {
    if (m_pNode == nullptr || !child) {
        return XML_E_NO_DOCUMENT;
    }
    const xmlNodePtr pChild = N(child.m_pNode);
    if (pChild->parent != N(m_pNode)) {
        return E_INVALIDARG;
    }
    Touch(pChild);
    xmlUnlinkNode(pChild);
    xmlFreeNode(pChild);
    return S_OK;
}

// ---- document

HRESULT CXmlDocument::Create(CXmlDocument** ppDocument) {
    if (ppDocument == nullptr) {
        return E_POINTER;
    }
    InitLibrary();
    *ppDocument = new (std::nothrow) CXmlDocument();
    return *ppDocument == nullptr ? E_OUTOFMEMORY : S_OK;
}

CXmlDocument::~CXmlDocument() {
    for (void* p : m_Unattached) {
        xmlFreeNode(N(p));
    }
    if (m_pDoc != nullptr) {
        xmlFreeDoc(static_cast<xmlDocPtr>(m_pDoc));
    }
}

void CXmlDocument::Attached(void* pNode) {
    std::erase(m_Unattached, pNode);
}

HRESULT CXmlDocument::Adopt(void* pNewDoc) {
    for (void* p : m_Unattached) {
        xmlFreeNode(N(p));
    }
    m_Unattached.clear();
    if (m_pDoc != nullptr) {
        xmlFreeDoc(static_cast<xmlDocPtr>(m_pDoc));
    }
    m_pDoc = pNewDoc;
    static_cast<xmlDocPtr>(m_pDoc)->_private = this;
    m_ParseError = XmlParseError();
    ++m_nGeneration;
    return S_OK;
}

namespace {

HRESULT Parse(const char* pBytes, std::size_t cbBytes, const char* szEncoding, XmlWhitespace whitespace,
              XmlParseError* pError, xmlDocPtr* ppDoc) {
    *ppDoc = nullptr;
    if (cbBytes > static_cast<std::size_t>(INT_MAX)) {
        return E_INVALIDARG;
    }
    xmlParserCtxtPtr pCtxt = xmlNewParserCtxt();
    if (pCtxt == nullptr) {
        return E_OUTOFMEMORY;
    }
    // No network, no external entities; errors are reported through the parse error, not printed.
    const int nOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                         (whitespace == XmlWhitespace::Drop ? XML_PARSE_NOBLANKS : 0);
    xmlDocPtr pDoc =
        xmlCtxtReadMemory(pCtxt, pBytes, static_cast<int>(cbBytes), nullptr, szEncoding, nOptions);
    HRESULT hr = S_OK;
    if (pDoc == nullptr || !pCtxt->wellFormed || xmlDocGetRootElement(pDoc) == nullptr) {
        const xmlError* pErr = xmlCtxtGetLastError(pCtxt);
        const int nCode = pErr != nullptr && pErr->code != 0 ? pErr->code : XML_ERR_DOCUMENT_EMPTY;
        hr = static_cast<HRESULT>(static_cast<DWORD>(XML_E_PARSE_BASE) + static_cast<DWORD>(nCode & 0xFFF));
        pError->errorCode = hr;
        pError->line = pErr != nullptr ? pErr->line : 0;
        pError->linepos = pErr != nullptr ? pErr->int2 : 0;
        std::u16string sReason = pErr != nullptr && pErr->message != nullptr
                                     ? FromUtf8(pErr->message)
                                     : std::u16string(u"Document is empty");
        while (!sReason.empty() && (sReason.back() == u'\n' || sReason.back() == u'\r')) {
            sReason.pop_back();
        }
        pError->reason = std::move(sReason);
        if (pDoc != nullptr) {
            xmlFreeDoc(pDoc);
        }
    } else {
        *ppDoc = pDoc;
    }
    xmlFreeParserCtxt(pCtxt);
    return hr;
}

}  // namespace

HRESULT CXmlDocument::Load(const void* pBytes, std::size_t cbBytes) {
    if (pBytes == nullptr && cbBytes != 0) {
        return E_POINTER;
    }
    try {
        xmlDocPtr pDoc = nullptr;
        XmlParseError error;
        const HRESULT hr =
            Parse(static_cast<const char*>(pBytes), cbBytes, nullptr, XmlWhitespace::Drop, &error, &pDoc);
        if (FAILED(hr)) {
            m_ParseError = std::move(error);
            return hr;
        }
        return Adopt(pDoc);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CXmlDocument::LoadXml(std::u16string_view sText, XmlWhitespace whitespace) {
    try {
        const std::string sUtf8 = ToUtf8(sText);
        xmlDocPtr pDoc = nullptr;
        XmlParseError error;
        const HRESULT hr = Parse(sUtf8.data(), sUtf8.size(), "UTF-8", whitespace, &error, &pDoc);
        if (FAILED(hr)) {
            m_ParseError = std::move(error);
            return hr;
        }
        return Adopt(pDoc);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CXmlDocument::Xml(std::u16string* psXml) const {
    psXml->clear();
    if (m_pDoc == nullptr) {
        return S_OK;
    }
    xmlBufferPtr pBuffer = xmlBufferCreate();
    if (pBuffer == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = S_OK;
    xmlSaveCtxtPtr pSave = xmlSaveToBuffer(pBuffer, "UTF-8", XML_SAVE_FORMAT | XML_SAVE_NO_DECL);
    if (pSave == nullptr) {
        hr = E_OUTOFMEMORY;
    } else {
        const long lDoc = xmlSaveDoc(pSave, static_cast<xmlDocPtr>(m_pDoc));
        if (xmlSaveClose(pSave) < 0 || lDoc < 0) {
            hr = E_FAIL;
        }
    }
    if (SUCCEEDED(hr)) {
        try {
            *psXml = Wide(xmlBufferContent(pBuffer));
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    xmlBufferFree(pBuffer);
    return hr;
}

HRESULT CXmlDocument::Save(const char16_t* szPath) const {
    if (szPath == nullptr) {
        return E_POINTER;
    }
    if (m_pDoc == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    std::string sPosix;
    if (!MapPath(szPath, &sPosix)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    // The platform tells a missing directory from a missing file.
    const std::size_t nSlash = sPosix.rfind('/');
    struct stat st {};
    if (nSlash != std::string::npos && nSlash != 0 &&
        (stat(sPosix.substr(0, nSlash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    // I/O errors come back as results; libxml2 would print them.
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
    errno = 0;
    xmlSaveCtxtPtr pSave = xmlSaveToFilename(sPosix.c_str(), "UTF-8", XML_SAVE_FORMAT);
    if (pSave == nullptr) {
        return HRESULT_FROM_WIN32(errno != 0 ? ErrorFromErrno(errno) : ERROR_CANTWRITE);
    }
    const long lDoc = xmlSaveDoc(pSave, static_cast<xmlDocPtr>(m_pDoc));
    const int nClose = xmlSaveClose(pSave);
    if (lDoc < 0 || nClose < 0) {
        return HRESULT_FROM_WIN32(errno != 0 ? ErrorFromErrno(errno) : ERROR_CANTWRITE);
    }
    return S_OK;
}

CXmlNode CXmlDocument::Root() const {
    return CXmlNode(m_pDoc);
}

CXmlNode CXmlDocument::DocumentElement() const {
    return CXmlNode(m_pDoc == nullptr ? nullptr : xmlDocGetRootElement(static_cast<xmlDocPtr>(m_pDoc)));
}

HRESULT CXmlDocument::CreateElement(std::u16string_view sName, const CXmlNode& nsContext, CXmlNode* pNode) {
    *pNode = CXmlNode();
    if (m_pDoc == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    try {
        const std::string sUtf8 = ToUtf8(sName);
        if (sUtf8.empty() || xmlValidateNCName(X(sUtf8), 0) != 0) {
            return E_INVALIDARG;
        }
        xmlNsPtr pNs = nsContext.IsElement() ? N(nsContext.Raw())->ns : nullptr;
        m_Unattached.reserve(m_Unattached.size() + 1);
        xmlNodePtr pNew = xmlNewDocNode(static_cast<xmlDocPtr>(m_pDoc), pNs, X(sUtf8), nullptr);
        if (pNew == nullptr) {
            return E_OUTOFMEMORY;
        }
        m_Unattached.push_back(pNew);
        *pNode = CXmlNode(pNew);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace platform
