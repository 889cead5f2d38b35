// A rule document handed to the preprocessor as text exactly as given, not as a DOM's serialisation:
// for documents that must reach it byte for byte (malformed ones, measured ones).
#pragma once

#include <string>
#include <utility>

#include "compiler/rule_preprocessor.h"

class CXmlText final : public IKTXmlText, private CRefCounted {
public:
    static CComPtr<IUnknown> Create(std::u16string sXml) {
        return CComPtr<IUnknown>::Attach(static_cast<IKTXmlText*>(new CXmlText(std::move(sXml))));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IKTXmlText) {
            AddRef();
            *ppv = static_cast<IKTXmlText*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE GetXml(const char16_t** pszXml, ULONG* pcchXml) override {
        *pszXml = m_sXml.data();
        *pcchXml = static_cast<ULONG>(m_sXml.size());
        return S_OK;
    }

private:
    explicit CXmlText(std::u16string sXml) : m_sXml(std::move(sXml)) {}

    std::u16string m_sXml;
};
