#include "platform/xml_dom.h"

#include <new>

#include "platform/file.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/win32/msxml_dom.h"
#include "platform/xpath_names.h"

namespace platform {
namespace {

msxml::Node* N(const void* p) {
    return static_cast<msxml::Node*>(const_cast<void*>(p));
}

msxml::Document* D(void* p) {
    return static_cast<msxml::Document*>(p);
}

void Touch(const void* pNode) {
    static_cast<CXmlDocument*>(msxml::OwnerOf(N(pNode)))->Touch();
}

HRESULT Select(const void* pContext, std::u16string_view sXPath, std::vector<CXmlNode>* pNodes,
               bool bFirstOnly) {
    pNodes->clear();
    if (pContext == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    try {
        std::u16string sPath(sXPath);
        std::u16string sNamespaces;
        const std::u16string sDefault = msxml::DefaultNamespace(N(pContext));
        if (!sDefault.empty()) {
            sPath = FromUtf8(QualifyNameTests(ToUtf8(sXPath)));
            const char16_t chQuote = sDefault.find(u'\'') == std::u16string::npos ? u'\'' : u'"';
            sNamespaces = u"xmlns:" + FromUtf8(XPATH_DEFAULT_PREFIX) + u"=" + chQuote + sDefault + chQuote;
        }
        std::vector<msxml::Node*> nodes;
        const HRESULT hr = msxml::Select(N(pContext), sPath, sNamespaces, bFirstOnly, &nodes);
        if (FAILED(hr)) {
            return hr == E_OUTOFMEMORY ? hr : XML_E_INVALID_XPATH;
        }
        for (msxml::Node* pNode : nodes) {
            pNodes->emplace_back(pNode);
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

// ---- nodes

bool CXmlNode::operator==(const CXmlNode& other) const {
    return msxml::Same(N(m_pNode), N(other.m_pNode));
}

bool CXmlNode::IsElement() const {
    return m_pNode != nullptr && msxml::IsElement(N(m_pNode));
}

bool CXmlNode::IsText() const {
    return m_pNode != nullptr && msxml::IsText(N(m_pNode));
}

std::u16string CXmlNode::NodeName() const {
    return m_pNode == nullptr ? std::u16string() : msxml::NodeName(N(m_pNode));
}

std::u16string CXmlNode::LocalName() const {
    return m_pNode == nullptr ? std::u16string() : msxml::LocalName(N(m_pNode));
}

std::u16string CXmlNode::NamespaceURI() const {
    return IsElement() ? msxml::NamespaceUri(N(m_pNode)) : std::u16string();
}

std::u16string CXmlNode::GetText() const {
    return m_pNode == nullptr ? std::u16string() : msxml::Text(N(m_pNode));
}

HRESULT CXmlNode::SetText(std::u16string_view sText) {
    if (m_pNode == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    const HRESULT hr = msxml::SetText(N(m_pNode), sText);
    Touch(m_pNode);
    return hr;
}

bool CXmlNode::HasAttributes() const {
    return IsElement() && !msxml::Attributes(N(m_pNode)).empty();
}

std::vector<std::pair<std::u16string, std::u16string>> CXmlNode::Attributes() const {
    if (!IsElement()) {
        return {};
    }
    return msxml::Attributes(N(m_pNode));
}

HRESULT CXmlNode::SetAttribute(std::u16string_view sName, std::u16string_view sValue) {
    if (!IsElement()) {
        return XML_E_NO_DOCUMENT;
    }
    const HRESULT hr = msxml::SetAttribute(N(m_pNode), sName, sValue);
    Touch(m_pNode);
    return hr;
}

CXmlNode CXmlNode::FirstChild() const {
    return CXmlNode(m_pNode == nullptr ? nullptr : msxml::FirstChild(N(m_pNode)));
}

CXmlNode CXmlNode::NextSibling() const {
    return CXmlNode(m_pNode == nullptr ? nullptr : msxml::NextSibling(N(m_pNode)));
}

CXmlNode CXmlNode::Parent() const {
    return CXmlNode(m_pNode == nullptr ? nullptr : msxml::Parent(N(m_pNode)));
}

HRESULT CXmlNode::SelectSingleNode(std::u16string_view sXPath, CXmlNode* pNode) const {
    *pNode = CXmlNode();
    std::vector<CXmlNode> nodes;
    const HRESULT hr = Select(m_pNode, sXPath, &nodes, true);
    if (hr == S_OK) {
        *pNode = nodes.front();
    }
    return hr;
}

HRESULT CXmlNode::SelectNodes(std::u16string_view sXPath, std::vector<CXmlNode>* pNodes) const {
    return Select(m_pNode, sXPath, pNodes, false);
}

HRESULT CXmlNode::AppendChild(const CXmlNode& child) {
    if (m_pNode == nullptr || !child) {
        return XML_E_NO_DOCUMENT;
    }
    // MSXML would move a node of another document too, and reports a cycle with its own code.
    if (!msxml::SameDocument(N(m_pNode), N(child.m_pNode)) || *this == child) {
        return E_INVALIDARG;
    }
    for (CXmlNode ancestor = Parent(); ancestor; ancestor = ancestor.Parent()) {
        if (ancestor == child) {
            return E_INVALIDARG;
        }
    }
    const HRESULT hr = msxml::AppendChild(N(m_pNode), N(child.m_pNode));
    Touch(m_pNode);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CXmlNode::RemoveChild(const CXmlNode& child) {
    if (m_pNode == nullptr || !child) {
        return XML_E_NO_DOCUMENT;
    }
    if (!(child.Parent() == *this)) {
        return E_INVALIDARG;
    }
    const HRESULT hr = msxml::RemoveChild(N(m_pNode), N(child.m_pNode));
    Touch(m_pNode);
    return FAILED(hr) ? hr : S_OK;
}

// ---- document

HRESULT CXmlDocument::Create(CXmlDocument** ppDocument) {
    if (ppDocument == nullptr) {
        return E_POINTER;
    }
    *ppDocument = new (std::nothrow) CXmlDocument();
    return *ppDocument == nullptr ? E_OUTOFMEMORY : S_OK;
}

CXmlDocument::~CXmlDocument() {
    if (m_pDoc != nullptr) {
        msxml::DestroyDocument(D(m_pDoc));
    }
}

namespace {

// The bridge's document is made at the first load, so that IsLoaded() holds only after one succeeded.
template <class LoadFn>
HRESULT LoadInto(CXmlDocument* pOwner, void** ppDoc, XmlParseError* pParseError, LoadFn load) {
    msxml::Document* pDoc = D(*ppDoc);
    bool bNew = false;
    if (pDoc == nullptr) {
        const HRESULT hr = msxml::CreateDocument(pOwner, &pDoc);
        if (FAILED(hr)) {
            return hr;
        }
        bNew = true;
    }
    try {
        msxml::LoadError error;
        const HRESULT hr = load(pDoc, &error);
        if (FAILED(hr)) {
            if (error.code != 0) {
                *pParseError = XmlParseError{error.code, error.line, error.linepos, std::move(error.reason)};
            }
            if (bNew) {
                msxml::DestroyDocument(pDoc);
            }
            return hr;
        }
    } catch (const std::bad_alloc&) {
        if (bNew) {
            msxml::DestroyDocument(pDoc);
        }
        return E_OUTOFMEMORY;
    }
    *ppDoc = pDoc;
    *pParseError = XmlParseError();
    return S_OK;
}

}  // namespace

HRESULT CXmlDocument::Load(const void* pBytes, std::size_t cbBytes) {
    if (pBytes == nullptr && cbBytes != 0) {
        return E_POINTER;
    }
    const HRESULT hr =
        LoadInto(this, &m_pDoc, &m_ParseError, [&](msxml::Document* pDoc, msxml::LoadError* pError) {
            return msxml::LoadBytes(pDoc, pBytes, cbBytes, pError);
        });
    if (SUCCEEDED(hr)) {
        ++m_nGeneration;
    }
    return hr;
}

HRESULT CXmlDocument::LoadXml(std::u16string_view sText, XmlWhitespace whitespace) {
    const HRESULT hr =
        LoadInto(this, &m_pDoc, &m_ParseError, [&](msxml::Document* pDoc, msxml::LoadError* pError) {
            return msxml::LoadText(pDoc, sText, whitespace == XmlWhitespace::Keep, pError);
        });
    if (SUCCEEDED(hr)) {
        ++m_nGeneration;
    }
    return hr;
}

HRESULT CXmlDocument::Xml(std::u16string* psXml) const {
    psXml->clear();
    return m_pDoc == nullptr ? S_OK : msxml::Serialize(D(m_pDoc), false, psXml);
}

HRESULT CXmlDocument::Save(const char16_t* szPath) const {
    if (szPath == nullptr) {
        return E_POINTER;
    }
    if (m_pDoc == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    // Written here rather than by MSXML's save, which keeps the declaration as the document had it
    // and does not indent: the file is the same on both platforms.
    std::string sBytes;
    try {
        std::u16string sXml;
        const HRESULT hr = msxml::Serialize(D(m_pDoc), true, &sXml);
        if (FAILED(hr)) {
            return hr;
        }
        sBytes = ToUtf8(sXml);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HANDLE hFile = CreateFile(szPath, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    DWORD cbWritten = 0;
    const bool bWritten = WriteFile(hFile, sBytes.data(), static_cast<DWORD>(sBytes.size()), &cbWritten) &&
                          cbWritten == sBytes.size();
    const DWORD dwError = bWritten ? ERROR_SUCCESS : GetLastError();
    CloseHandle(hFile);
    if (!bWritten) {
        DeleteFile(szPath);
        return HRESULT_FROM_WIN32(dwError != ERROR_SUCCESS ? dwError : ERROR_CANTWRITE);
    }
    return S_OK;
}

CXmlNode CXmlDocument::Root() const {
    return CXmlNode(m_pDoc == nullptr ? nullptr : msxml::DocumentNode(D(m_pDoc)));
}

CXmlNode CXmlDocument::DocumentElement() const {
    return CXmlNode(m_pDoc == nullptr ? nullptr : msxml::DocumentElement(D(m_pDoc)));
}

HRESULT CXmlDocument::CreateElement(std::u16string_view sName, const CXmlNode& nsContext, CXmlNode* pNode) {
    *pNode = CXmlNode();
    if (m_pDoc == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    try {
        std::u16string sPrefix;
        std::u16string sUri;
        if (nsContext.IsElement()) {
            sPrefix = msxml::Prefix(N(nsContext.Raw()));
            sUri = msxml::NamespaceUri(N(nsContext.Raw()));
        }
        msxml::Node* pNew = nullptr;
        const HRESULT hr = msxml::CreateElement(D(m_pDoc), sPrefix, sName, sUri, &pNew);
        if (SUCCEEDED(hr)) {
            *pNode = CXmlNode(pNew);
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace platform
