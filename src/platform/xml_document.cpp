// The parts of the XML DOM that rest on the other members alone, the same over either parser.
#include "platform/xml_dom.h"

namespace platform {

HRESULT CXmlNode::GetAttribute(std::u16string_view sName, std::u16string* psValue) const {
    psValue->clear();
    if (m_pNode == nullptr) {
        return XML_E_NO_DOCUMENT;
    }
    for (auto& [sAttrName, sValue] : Attributes()) {
        if (sAttrName == sName) {
            *psValue = std::move(sValue);
            return S_OK;
        }
    }
    return S_FALSE;
}

std::vector<CXmlNode> CXmlNode::ChildElements() const {
    std::vector<CXmlNode> children;
    for (CXmlNode child = FirstChild(); child; child = child.NextSibling()) {
        if (child.IsElement()) {
            children.push_back(child);
        }
    }
    return children;
}

HRESULT STDMETHODCALLTYPE CXmlDocument::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IKTXmlText) {
        *ppvObject = static_cast<IKTXmlText*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE CXmlDocument::GetXml(const char16_t** pszXml, ULONG* pcchXml) {
    if (pszXml == nullptr || pcchXml == nullptr) {
        return E_POINTER;
    }
    if (m_nTextGeneration != m_nGeneration) {
        std::u16string sText;
        const HRESULT hr = Xml(&sText);
        if (FAILED(hr)) {
            return hr;
        }
        m_sText = std::move(sText);
        m_nTextGeneration = m_nGeneration;
    }
    *pszXml = m_sText.c_str();
    *pcchXml = static_cast<ULONG>(m_sText.size());
    return S_OK;
}

HRESULT CXmlDocument::SelectSingleNode(std::u16string_view sXPath, CXmlNode* pNode) const {
    return Root().SelectSingleNode(sXPath, pNode);
}

HRESULT CXmlDocument::SelectNodes(std::u16string_view sXPath, std::vector<CXmlNode>* pNodes) const {
    return Root().SelectNodes(sXPath, pNodes);
}

}  // namespace platform
