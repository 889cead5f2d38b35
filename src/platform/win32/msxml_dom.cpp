#include "platform/win32/msxml_dom.h"

#define WIN32_LEAN_AND_MEAN
#include <msxml2.h>
#include <oleauto.h>
#include <windows.h>

#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <unordered_map>

namespace msxml {
namespace {

// Not in mingw-w64's headers; the registered identifiers of MSXML 6 and 3.
constexpr CLSID CLSID_DOMDocument60_ = {
    0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
constexpr CLSID CLSID_DOMDocument30_ = {
    0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
constexpr IID IID_IXMLDOMDocument2_ = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
constexpr IID IID_IXMLDOMNode_ = {
    0x2933bf80, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
constexpr IID IID_IXMLDOMElement_ = {
    0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
constexpr IID IID_IUnknown_ = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

template <class T>
class Ptr {
public:
    Ptr() = default;
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    ~Ptr() { Reset(); }
    void Reset() {
        if (m_p != nullptr) {
            m_p->Release();
            m_p = nullptr;
        }
    }
    T** operator&() {
        Reset();
        return &m_p;
    }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    T* Detach() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

class Bstr {
public:
    explicit Bstr(std::u16string_view s)
        : m_b(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()), static_cast<UINT>(s.size()))) {}
    Bstr() = default;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_b); }
    BSTR* operator&() {
        SysFreeString(m_b);
        m_b = nullptr;
        return &m_b;
    }
    BSTR Get() const { return m_b; }
    std::u16string Str() const {
        return m_b == nullptr ? std::u16string()
                              : std::u16string(reinterpret_cast<const char16_t*>(m_b), SysStringLen(m_b));
    }

private:
    BSTR m_b = nullptr;
};

std::u16string VariantText(VARIANT& v) {
    std::u16string s;
    if (V_VT(&v) == VT_BSTR && V_BSTR(&v) != nullptr) {
        s.assign(reinterpret_cast<const char16_t*>(V_BSTR(&v)), SysStringLen(V_BSTR(&v)));
    }
    VariantClear(&v);
    return s;
}

// A parsed MSXML document and the node handles given out for it.
struct Parsed {
    IXMLDOMDocument2* pDom = nullptr;
    void* pOwner = nullptr;
    std::deque<Node> nodes;
    // MSXML gives the same object for the same node, Wine a new one each time; the map keeps one
    // handle per object either way.
    std::unordered_map<IUnknown*, Node*> byObject;
    ~Parsed();
};

}  // namespace

struct Node {
    IXMLDOMNode* p;
    Parsed* pParsed;
};

struct Document {
    void* pOwner = nullptr;
    std::unique_ptr<Parsed> pParsed;
};

namespace {

Parsed::~Parsed() {
    for (Node& node : nodes) {
        node.p->Release();
    }
    if (pDom != nullptr) {
        pDom->Release();
    }
}

IUnknown* Identity(IUnknown* p) {
    IUnknown* pUnknown = nullptr;
    if (FAILED(p->QueryInterface(IID_IUnknown_, reinterpret_cast<void**>(&pUnknown)))) {
        return p;
    }
    pUnknown->Release();  // the node's own reference keeps it alive
    return pUnknown;
}

// Takes over the reference of p.
Node* Wrap(Parsed* pParsed, IXMLDOMNode* p) {
    if (p == nullptr) {
        return nullptr;
    }
    IUnknown* pKey = Identity(p);
    const auto it = pParsed->byObject.find(pKey);
    if (it != pParsed->byObject.end()) {
        p->Release();
        return it->second;
    }
    try {
        pParsed->nodes.push_back(Node{p, pParsed});
        Node* pNode = &pParsed->nodes.back();
        pParsed->byObject.emplace(pKey, pNode);
        return pNode;
    } catch (const std::bad_alloc&) {
        p->Release();
        return nullptr;
    }
}

void EnsureCom() {
    // The documents are used from whichever thread made them; the process stays in COM for life.
    thread_local const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    (void)hr;
}

void SetProperty(IXMLDOMDocument2* pDom, const char16_t* szName, std::u16string_view sValue) {
    Bstr name(szName);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) =
        SysAllocStringLen(reinterpret_cast<const OLECHAR*>(sValue.data()), static_cast<UINT>(sValue.size()));
    pDom->setProperty(name.Get(), v);
    VariantClear(&v);
}

void SetBoolProperty(IXMLDOMDocument2* pDom, const char16_t* szName, bool bValue) {
    Bstr name(szName);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = bValue ? VARIANT_TRUE : VARIANT_FALSE;
    pDom->setProperty(name.Get(), v);  // not every version knows every property
}

HRESULT NewDom(IXMLDOMDocument2** ppDom, bool bKeepWhitespace = false) {
    EnsureCom();
    HRESULT hr = CoCreateInstance(CLSID_DOMDocument60_, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2_,
                                  reinterpret_cast<void**>(ppDom));
    if (FAILED(hr)) {
        hr = CoCreateInstance(CLSID_DOMDocument30_, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2_,
                              reinterpret_cast<void**>(ppDom));
    }
    if (FAILED(hr)) {
        return hr;
    }
    IXMLDOMDocument2* pDom = *ppDom;
    // Synchronous, no DTD processing or external entities.
    pDom->put_async(VARIANT_FALSE);
    pDom->put_validateOnParse(VARIANT_FALSE);
    pDom->put_resolveExternals(VARIANT_FALSE);
    pDom->put_preserveWhiteSpace(bKeepWhitespace ? VARIANT_TRUE : VARIANT_FALSE);
    SetProperty(pDom, u"SelectionLanguage", u"XPath");
    SetBoolProperty(pDom, u"ProhibitDTD", true);
    return S_OK;
}

void TrimEnd(std::u16string* ps) {
    while (!ps->empty() && (ps->back() == u'\n' || ps->back() == u'\r' || ps->back() == u' ')) {
        ps->pop_back();
    }
}

HRESULT ReadError(IXMLDOMDocument2* pDom, LoadError* pError) {
    *pError = LoadError();
    Ptr<IXMLDOMParseError> pParseError;
    long lCode = 0;
    if (SUCCEEDED(pDom->get_parseError(&pParseError)) && pParseError) {
        pParseError->get_errorCode(&lCode);
        pParseError->get_line(&pError->line);
        pParseError->get_linepos(&pError->linepos);
        Bstr reason;
        if (SUCCEEDED(pParseError->get_reason(&reason))) {
            pError->reason = reason.Str();
        }
    }
    pError->code = SUCCEEDED(lCode) ? E_FAIL : lCode;
    TrimEnd(&pError->reason);
    return pError->code;
}

HRESULT Finish(Document* pDocument, IXMLDOMDocument2* pDom, HRESULT hrLoad, VARIANT_BOOL bOk,
               LoadError* pError) {
    Ptr<IXMLDOMElement> pRoot;
    if (FAILED(hrLoad) || bOk != VARIANT_TRUE || FAILED(pDom->get_documentElement(&pRoot)) || !pRoot) {
        const HRESULT hr = ReadError(pDom, pError);
        pDom->Release();
        return hr;
    }
    try {
        auto pParsed = std::make_unique<Parsed>();
        pParsed->pDom = pDom;
        pParsed->pOwner = pDocument->pOwner;
        pDocument->pParsed = std::move(pParsed);
    } catch (const std::bad_alloc&) {
        pDom->Release();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

IXMLDOMNode* Own(IXMLDOMNode* p) {
    if (p != nullptr) {
        p->AddRef();
    }
    return p;
}

DOMNodeType TypeOf(IXMLDOMNode* p) {
    DOMNodeType type = NODE_INVALID;
    p->get_nodeType(&type);
    return type;
}

std::u16string NameOf(IXMLDOMNode* p) {
    Bstr s;
    p->get_nodeName(&s);
    return s.Str();
}

std::u16string ValueOf(IXMLDOMNode* p) {
    VARIANT v;
    VariantInit(&v);
    p->get_nodeValue(&v);
    return VariantText(v);
}

bool IsNamespaceDeclaration(const std::u16string& sName) {
    return sName == u"xmlns" || sName.rfind(u"xmlns:", 0) == 0;
}

// Every attribute as written, declarations included, in document order.
std::vector<std::pair<std::u16string, std::u16string>> AllAttributes(IXMLDOMNode* p) {
    std::vector<std::pair<std::u16string, std::u16string>> attributes;
    Ptr<IXMLDOMNamedNodeMap> pMap;
    if (FAILED(p->get_attributes(&pMap)) || !pMap) {
        return attributes;
    }
    long nCount = 0;
    pMap->get_length(&nCount);
    for (long n = 0; n < nCount; ++n) {
        Ptr<IXMLDOMNode> pAttr;
        if (SUCCEEDED(pMap->get_item(n, &pAttr)) && pAttr) {
            attributes.emplace_back(NameOf(pAttr.Get()), ValueOf(pAttr.Get()));
        }
    }
    return attributes;
}

void AppendText(IXMLDOMNode* p, std::u16string* ps) {
    switch (TypeOf(p)) {
        case NODE_TEXT:
        case NODE_CDATA_SECTION:
            *ps += ValueOf(p);
            return;
        case NODE_ELEMENT:
        case NODE_DOCUMENT:
        case NODE_DOCUMENT_FRAGMENT:
        case NODE_ENTITY_REFERENCE:
            break;
        default:
            return;
    }
    Ptr<IXMLDOMNode> pChild;
    p->get_firstChild(&pChild);
    while (pChild) {
        AppendText(pChild.Get(), ps);
        IXMLDOMNode* pNext = nullptr;
        pChild->get_nextSibling(&pNext);
        *&pChild = pNext;
    }
}

// An attribute's parent is its element, as in XPath; the DOM gives it none.
IXMLDOMNode* ParentOf(IXMLDOMNode* p) {
    IXMLDOMNode* pParent = nullptr;
    if (TypeOf(p) == NODE_ATTRIBUTE) {
        BSTR parent = SysAllocString(L"..");
        if (parent == nullptr || FAILED(p->selectSingleNode(parent, &pParent))) {
            pParent = nullptr;
        }
        SysFreeString(parent);
        return pParent;
    }
    if (FAILED(p->get_parentNode(&pParent))) {
        return nullptr;
    }
    return pParent;
}

long IndexOf(IXMLDOMNode* p) {
    long n = 0;
    IXMLDOMNode* pCur = Own(p);
    for (;;) {
        IXMLDOMNode* pPrev = nullptr;
        pCur->get_previousSibling(&pPrev);
        pCur->Release();
        if (pPrev == nullptr) {
            return n;
        }
        pCur = pPrev;
        ++n;
    }
}

// Two nodes of one document: identity of the object first; under Wine, where every call makes a
// new object, the position in the tree.
bool SameNode(IXMLDOMNode* pA, IXMLDOMNode* pB) {
    if (pA == pB || Identity(pA) == Identity(pB)) {
        return true;
    }
    const DOMNodeType type = TypeOf(pA);
    if (type != TypeOf(pB)) {
        return false;
    }
    if (type == NODE_DOCUMENT) {
        return true;
    }
    Ptr<IXMLDOMNode> pParentA;
    Ptr<IXMLDOMNode> pParentB;
    *&pParentA = ParentOf(pA);
    *&pParentB = ParentOf(pB);
    if (!pParentA || !pParentB) {
        return false;  // a node outside the tree is only itself
    }
    // An element's attributes differ by name.
    const bool bSamePlace = type == NODE_ATTRIBUTE ? NameOf(pA) == NameOf(pB) : IndexOf(pA) == IndexOf(pB);
    return bSamePlace && SameNode(pParentA.Get(), pParentB.Get());
}

// ---- serialisation

// Text escapes &, <, > and carriage returns; an attribute value also quotes, line feeds and tabs,
// which a parser would otherwise normalise to spaces.
void Escape(const std::u16string& s, bool bAttribute, std::u16string* pOut) {
    for (char16_t ch : s) {
        switch (ch) {
            case u'&':
                *pOut += u"&amp;";
                break;
            case u'<':
                *pOut += u"&lt;";
                break;
            case u'>':
                *pOut += u"&gt;";
                break;
            case u'\r':
                *pOut += u"&#13;";
                break;
            case u'"':
                *pOut += bAttribute ? u"&quot;" : u"\"";
                break;
            case u'\n':
                *pOut += bAttribute ? u"&#10;" : u"\n";
                break;
            case u'\t':
                *pOut += bAttribute ? u"&#9;" : u"\t";
                break;
            default:
                *pOut += ch;
                break;
        }
    }
}

using Scope = std::vector<std::pair<std::u16string, std::u16string>>;  // prefix, namespace

const std::u16string* Lookup(const Scope& scope, const std::u16string& sPrefix) {
    for (auto it = scope.rbegin(); it != scope.rend(); ++it) {
        if (it->first == sPrefix) {
            return &it->second;
        }
    }
    return nullptr;
}

std::vector<IXMLDOMNode*> Children(IXMLDOMNode* p) {
    std::vector<IXMLDOMNode*> children;
    IXMLDOMNode* pChild = nullptr;
    p->get_firstChild(&pChild);
    while (pChild != nullptr) {
        children.push_back(pChild);
        IXMLDOMNode* pNext = nullptr;
        pChild->get_nextSibling(&pNext);
        pChild = pNext;
    }
    return children;
}

void Dump(IXMLDOMNode* p, int nLevel, bool bFormat, Scope* pScope, std::u16string* pOut);

void DumpElement(IXMLDOMNode* p, int nLevel, bool bFormat, Scope* pScope, std::u16string* pOut) {
    const std::u16string sName = NameOf(p);
    const auto attributes = AllAttributes(p);
    const std::size_t nScope = pScope->size();
    for (const auto& [sAttr, sValue] : attributes) {
        if (sAttr == u"xmlns") {
            pScope->emplace_back(u"", sValue);
        } else if (sAttr.rfind(u"xmlns:", 0) == 0) {
            pScope->emplace_back(sAttr.substr(6), sValue);
        }
    }
    *pOut += u'<';
    *pOut += sName;
    // An element made in a namespace carries no declaration of its own; one is written where the
    // scope does not already give it.
    Bstr uri;
    p->get_namespaceURI(&uri);
    const std::size_t nColon = sName.find(u':');
    const std::u16string sPrefix = nColon == std::u16string::npos ? u"" : sName.substr(0, nColon);
    const std::u16string* pBound = Lookup(*pScope, sPrefix);
    if ((pBound == nullptr && !uri.Str().empty()) || (pBound != nullptr && *pBound != uri.Str())) {
        *pOut += sPrefix.empty() ? u" xmlns=\"" : u" xmlns:" + sPrefix + u"=\"";
        Escape(uri.Str(), true, pOut);
        *pOut += u'"';
        pScope->emplace_back(sPrefix, uri.Str());
    }
    for (std::size_t n = 0; n < attributes.size(); ++n) {
        const auto& [sAttr, sValue] = attributes[n];
        if (IsNamespaceDeclaration(sAttr)) {
            // Wine lists an element's first declaration again in place of its second, and gives an
            // element created in a namespace a declaration of its own: a declaration is written once,
            // and not where the scope already binds the same.
            const std::u16string sDeclared = sAttr.size() > 5 ? sAttr.substr(6) : u"";
            const std::u16string* pOuter =
                Lookup(Scope(pScope->begin(), pScope->begin() + nScope), sDeclared);
            bool bRepeated = pOuter != nullptr && *pOuter == sValue;
            for (std::size_t m = 0; m < n; ++m) {
                bRepeated = bRepeated || attributes[m].first == sAttr;
            }
            if (bRepeated) {
                continue;
            }
        }
        *pOut += u' ';
        *pOut += sAttr;
        *pOut += u"=\"";
        Escape(sValue, true, pOut);
        *pOut += u'"';
    }
    std::vector<IXMLDOMNode*> children = Children(p);
    if (children.empty()) {
        *pOut += u"/>";
    } else {
        *pOut += u'>';
        bool bChildFormat = bFormat;
        for (IXMLDOMNode* pChild : children) {
            const DOMNodeType type = TypeOf(pChild);
            if (type == NODE_TEXT || type == NODE_CDATA_SECTION || type == NODE_ENTITY_REFERENCE) {
                bChildFormat = false;
            }
        }
        if (bChildFormat) {
            *pOut += u'\n';
        }
        for (IXMLDOMNode* pChild : children) {
            if (bChildFormat) {
                pOut->append(static_cast<std::size_t>(nLevel + 1) * 2, u' ');
            }
            Dump(pChild, nLevel + 1, bChildFormat, pScope, pOut);
            if (bChildFormat) {
                *pOut += u'\n';
            }
            pChild->Release();
        }
        if (bChildFormat) {
            pOut->append(static_cast<std::size_t>(nLevel) * 2, u' ');
        }
        *pOut += u"</";
        *pOut += sName;
        *pOut += u'>';
    }
    pScope->resize(nScope);
}

void Dump(IXMLDOMNode* p, int nLevel, bool bFormat, Scope* pScope, std::u16string* pOut) {
    switch (TypeOf(p)) {
        case NODE_ELEMENT:
            DumpElement(p, nLevel, bFormat, pScope, pOut);
            break;
        case NODE_TEXT:
            Escape(ValueOf(p), false, pOut);
            break;
        case NODE_CDATA_SECTION:
            *pOut += u"<![CDATA[" + ValueOf(p) + u"]]>";
            break;
        case NODE_COMMENT:
            *pOut += u"<!--" + ValueOf(p) + u"-->";
            break;
        case NODE_PROCESSING_INSTRUCTION: {
            const std::u16string sData = ValueOf(p);
            *pOut += u"<?" + NameOf(p) + (sData.empty() ? u"" : u" " + sData) + u"?>";
            break;
        }
        case NODE_ENTITY_REFERENCE:
            *pOut += u"&" + NameOf(p) + u";";
            break;
        default:
            break;
    }
}

bool IsNameStart(char16_t ch) {
    return (ch >= u'A' && ch <= u'Z') || (ch >= u'a' && ch <= u'z') || ch == u'_' || ch >= 0x80;
}

bool IsNcName(std::u16string_view s) {
    if (s.empty() || !IsNameStart(s[0])) {
        return false;
    }
    for (char16_t ch : s) {
        if (!IsNameStart(ch) && !(ch >= u'0' && ch <= u'9') && ch != u'-' && ch != u'.') {
            return false;
        }
    }
    return true;
}

}  // namespace

Result CreateDocument(void* pOwner, Document** ppDocument) {
    EnsureCom();
    *ppDocument = new (std::nothrow) Document();
    if (*ppDocument == nullptr) {
        return E_OUTOFMEMORY;
    }
    (*ppDocument)->pOwner = pOwner;
    return S_OK;
}

void DestroyDocument(Document* pDocument) {
    delete pDocument;
}

Result LoadBytes(Document* pDocument, const void* pBytes, std::size_t cbBytes, LoadError* pError) {
    if (cbBytes > 0x7FFFFFFFu) {
        return E_INVALIDARG;
    }
    IXMLDOMDocument2* pDom = nullptr;
    HRESULT hr = NewDom(&pDom);
    if (FAILED(hr)) {
        return hr;
    }
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(cbBytes));
    if (psa == nullptr) {
        pDom->Release();
        return E_OUTOFMEMORY;
    }
    if (cbBytes != 0) {
        std::memcpy(psa->pvData, pBytes, cbBytes);
    }
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_ARRAY | VT_UI1;
    V_ARRAY(&source) = psa;
    VARIANT_BOOL bOk = VARIANT_FALSE;
    hr = pDom->load(source, &bOk);
    VariantClear(&source);
    return Finish(pDocument, pDom, hr, bOk, pError);
}

Result LoadText(Document* pDocument, std::u16string_view sText, bool bKeepWhitespace, LoadError* pError) {
    IXMLDOMDocument2* pDom = nullptr;
    HRESULT hr = NewDom(&pDom, bKeepWhitespace);
    if (FAILED(hr)) {
        return hr;
    }
    Bstr text(sText);
    if (text.Get() == nullptr && !sText.empty()) {
        pDom->Release();
        return E_OUTOFMEMORY;
    }
    VARIANT_BOOL bOk = VARIANT_FALSE;
    hr = pDom->loadXML(text.Get(), &bOk);
    return Finish(pDocument, pDom, hr, bOk, pError);
}

bool IsLoaded(const Document* pDocument) {
    return pDocument->pParsed != nullptr;
}

Node* DocumentNode(const Document* pDocument) {
    Parsed* pParsed = pDocument->pParsed.get();
    if (pParsed == nullptr) {
        return nullptr;
    }
    IXMLDOMNode* p = nullptr;
    if (FAILED(pParsed->pDom->QueryInterface(IID_IXMLDOMNode_, reinterpret_cast<void**>(&p)))) {
        return nullptr;
    }
    return Wrap(pParsed, p);
}

Node* DocumentElement(const Document* pDocument) {
    Parsed* pParsed = pDocument->pParsed.get();
    if (pParsed == nullptr) {
        return nullptr;
    }
    IXMLDOMElement* pRoot = nullptr;
    if (FAILED(pParsed->pDom->get_documentElement(&pRoot)) || pRoot == nullptr) {
        return nullptr;
    }
    IXMLDOMNode* p = nullptr;
    pRoot->QueryInterface(IID_IXMLDOMNode_, reinterpret_cast<void**>(&p));
    pRoot->Release();
    return Wrap(pParsed, p);
}

Result Serialize(const Document* pDocument, bool bDeclaration, std::u16string* psXml) {
    psXml->clear();
    Parsed* pParsed = pDocument->pParsed.get();
    if (pParsed == nullptr) {
        return S_OK;
    }
    try {
        if (bDeclaration) {
            *psXml = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        }
        Scope scope;
        for (IXMLDOMNode* pChild : Children(pParsed->pDom)) {
            const DOMNodeType type = TypeOf(pChild);
            // MSXML keeps the declaration as a processing instruction; the one written is our own.
            if (type != NODE_DOCUMENT_TYPE &&
                !(type == NODE_PROCESSING_INSTRUCTION && NameOf(pChild) == u"xml")) {
                Dump(pChild, 0, true, &scope, psXml);
                *psXml += u'\n';
            }
            pChild->Release();
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

Result CreateElement(Document* pDocument, std::u16string_view sPrefix, std::u16string_view sLocalName,
                     std::u16string_view sUri, Node** ppNode) {
    *ppNode = nullptr;
    Parsed* pParsed = pDocument->pParsed.get();
    if (!IsNcName(sLocalName)) {
        return E_INVALIDARG;
    }
    std::u16string sName(sPrefix);
    if (!sName.empty()) {
        sName += u':';
    }
    sName += sLocalName;
    Bstr name(sName);
    Bstr uri(sUri);
    VARIANT type;
    VariantInit(&type);
    V_VT(&type) = VT_I4;
    V_I4(&type) = NODE_ELEMENT;
    IXMLDOMNode* p = nullptr;
    const HRESULT hr = pParsed->pDom->createNode(type, name.Get(), uri.Get(), &p);
    if (FAILED(hr)) {
        return hr == E_OUTOFMEMORY ? hr : E_INVALIDARG;
    }
    *ppNode = Wrap(pParsed, p);
    return *ppNode == nullptr ? E_OUTOFMEMORY : S_OK;
}

void* OwnerOf(const Node* pNode) {
    return pNode->pParsed->pOwner;
}

bool IsElement(const Node* pNode) {
    return TypeOf(pNode->p) == NODE_ELEMENT;
}

bool IsText(const Node* pNode) {
    const DOMNodeType type = TypeOf(pNode->p);
    return type == NODE_TEXT || type == NODE_CDATA_SECTION;
}

std::u16string NodeName(const Node* pNode) {
    return NameOf(pNode->p);
}

std::u16string LocalName(const Node* pNode) {
    Bstr s;
    pNode->p->get_baseName(&s);
    return s.Str();
}

std::u16string Prefix(const Node* pNode) {
    Bstr s;
    pNode->p->get_prefix(&s);
    return s.Str();
}

std::u16string NamespaceUri(const Node* pNode) {
    Bstr s;
    pNode->p->get_namespaceURI(&s);
    return s.Str();
}

std::u16string DefaultNamespace(const Node* pNode) {
    IXMLDOMNode* p = Own(pNode->p);
    if (TypeOf(p) == NODE_DOCUMENT) {
        Ptr<IXMLDOMElement> pRoot;
        pNode->pParsed->pDom->get_documentElement(&pRoot);
        p->Release();
        p = nullptr;
        if (pRoot) {
            pRoot->QueryInterface(IID_IXMLDOMNode_, reinterpret_cast<void**>(&p));
        }
    }
    std::u16string sUri;
    while (p != nullptr) {
        if (TypeOf(p) == NODE_ELEMENT) {
            bool bFound = false;
            for (const auto& [sName, sValue] : AllAttributes(p)) {
                if (sName == u"xmlns") {
                    sUri = sValue;
                    bFound = true;
                }
            }
            // A created element holds its namespace without a declaration.
            Bstr prefix;
            Bstr uri;
            p->get_prefix(&prefix);
            p->get_namespaceURI(&uri);
            if (!bFound && prefix.Str().empty() && !uri.Str().empty()) {
                sUri = uri.Str();
                bFound = true;
            }
            if (bFound) {
                p->Release();
                return sUri;
            }
        }
        IXMLDOMNode* pParent = ParentOf(p);
        p->Release();
        p = pParent;
    }
    return sUri;
}

std::u16string Text(const Node* pNode) {
    const DOMNodeType type = TypeOf(pNode->p);
    if (type == NODE_ATTRIBUTE || type == NODE_COMMENT || type == NODE_PROCESSING_INSTRUCTION) {
        return ValueOf(pNode->p);
    }
    std::u16string s;
    AppendText(pNode->p, &s);
    return s;
}

Result SetText(Node* pNode, std::u16string_view sText) {
    Bstr text(sText);
    return pNode->p->put_text(text.Get());
}

std::vector<std::pair<std::u16string, std::u16string>> Attributes(const Node* pNode) {
    auto attributes = AllAttributes(pNode->p);
    std::erase_if(attributes, [](const auto& attribute) { return IsNamespaceDeclaration(attribute.first); });
    return attributes;
}

Result SetAttribute(Node* pNode, std::u16string_view sName, std::u16string_view sValue) {
    Ptr<IXMLDOMElement> pElement;
    HRESULT hr = pNode->p->QueryInterface(IID_IXMLDOMElement_, reinterpret_cast<void**>(&pElement));
    if (FAILED(hr)) {
        return hr;
    }
    Bstr name(sName);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) =
        SysAllocStringLen(reinterpret_cast<const OLECHAR*>(sValue.data()), static_cast<UINT>(sValue.size()));
    hr = pElement->setAttribute(name.Get(), v);
    VariantClear(&v);
    return hr;
}

Node* FirstChild(const Node* pNode) {
    IXMLDOMNode* p = nullptr;
    pNode->p->get_firstChild(&p);
    return Wrap(pNode->pParsed, p);
}

Node* NextSibling(const Node* pNode) {
    IXMLDOMNode* p = nullptr;
    pNode->p->get_nextSibling(&p);
    return Wrap(pNode->pParsed, p);
}

Node* Parent(const Node* pNode) {
    return Wrap(pNode->pParsed, ParentOf(pNode->p));
}

bool Same(const Node* pFirst, const Node* pSecond) {
    if (pFirst == pSecond) {
        return true;
    }
    if (pFirst == nullptr || pSecond == nullptr || pFirst->pParsed != pSecond->pParsed) {
        return false;
    }
    return SameNode(pFirst->p, pSecond->p);
}

bool SameDocument(const Node* pFirst, const Node* pSecond) {
    return pFirst->pParsed == pSecond->pParsed;
}

Result Select(const Node* pContext, std::u16string_view sXPath, std::u16string_view sNamespaces,
              bool bFirstOnly, std::vector<Node*>* pNodes) {
    pNodes->clear();
    Parsed* pParsed = pContext->pParsed;
    SetProperty(pParsed->pDom, u"SelectionNamespaces", sNamespaces);
    Bstr path(sXPath);
    HRESULT hr = S_OK;
    if (bFirstOnly) {
        IXMLDOMNode* p = nullptr;
        hr = pContext->p->selectSingleNode(path.Get(), &p);
        if (FAILED(hr)) {
            return hr;
        }
        if (p != nullptr) {
            Node* pNode = Wrap(pParsed, p);
            if (pNode == nullptr) {
                return E_OUTOFMEMORY;
            }
            pNodes->push_back(pNode);
        }
    } else {
        Ptr<IXMLDOMNodeList> pList;
        hr = pContext->p->selectNodes(path.Get(), &pList);
        if (FAILED(hr)) {
            return hr;
        }
        if (!pList) {
            return E_FAIL;
        }
        long nCount = 0;
        pList->get_length(&nCount);
        for (long n = 0; n < nCount; ++n) {
            IXMLDOMNode* p = nullptr;
            if (SUCCEEDED(pList->get_item(n, &p)) && p != nullptr) {
                Node* pNode = Wrap(pParsed, p);
                if (pNode == nullptr) {
                    return E_OUTOFMEMORY;
                }
                pNodes->push_back(pNode);
            }
        }
    }
    return pNodes->empty() ? S_FALSE : S_OK;
}

Result AppendChild(Node* pParent, Node* pChild) {
    IXMLDOMNode* pNew = nullptr;
    const HRESULT hr = pParent->p->appendChild(pChild->p, &pNew);
    if (pNew != nullptr) {
        pNew->Release();
    }
    return hr;
}

Result RemoveChild(Node* pParent, Node* pChild) {
    IXMLDOMNode* pOld = nullptr;
    const HRESULT hr = pParent->p->removeChild(pChild->p, &pOld);
    if (pOld != nullptr) {
        pOld->Release();
    }
    return hr;
}

}  // namespace msxml
