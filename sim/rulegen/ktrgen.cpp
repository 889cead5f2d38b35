// ktRGen.dll: the rule preprocessor's stand-in. Its one object takes a rule document's text, compiles
// it and hands out the serialized rules (docs/srtc.md).
#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "../common/class_factory.h"
#include "compiler/rule_preprocessor.h"
#include "ktrgen_results.h"
#include "rule_compiler.h"
#include "settings/zel_result.h"
#include "srtc/srtc.h"

namespace {

std::atomic<ULONG> g_nObjects{0};

class CRulePreprocessor final : public IKTRulePreprocessor, private CRefCounted {
public:
    CRulePreprocessor() { ++g_nObjects; }
    ~CRulePreprocessor() override { --g_nObjects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IKTRulePreprocessor) {
            AddRef();
            *ppvObject = static_cast<IKTRulePreprocessor*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE GetFormatVersion(ULONG* pnVersion) override {
        if (pnVersion == nullptr) {
            return E_POINTER;
        }
        *pnVersion = srtc::SRTC_VERSION;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLastErrorText(const char16_t** pszText) override {
        if (pszText == nullptr) {
            return E_POINTER;
        }
        *pszText = m_sError.c_str();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        m_document.Clear();
        m_rules.clear();
        m_bProcessed = false;
        m_sError.clear();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE LoadXMLObject(IUnknown* pDocument) override {
        return Guard([&] {
            m_document.Clear();
            m_rules.clear();
            m_bProcessed = false;
            if (pDocument == nullptr) {
                return Failed(E_POINTER, "no document");
            }
            IKTXmlText* pText = nullptr;
            if (FAILED(pDocument->QueryInterface(IID_IKTXmlText, reinterpret_cast<void**>(&pText))) ||
                pText == nullptr) {
                return Failed(E_NOINTERFACE, "the document does not give its text (IKTXmlText)");
            }
            const char16_t* szXml = nullptr;
            ULONG cchXml = 0;
            const HRESULT hr = pText->GetXml(&szXml, &cchXml);
            if (FAILED(hr) || (szXml == nullptr && cchXml != 0)) {
                pText->Release();
                return Failed(FAILED(hr) ? hr : E_FAIL, "the document's text could not be read");
            }
            // A count that takes in the terminator is not the document's fault.
            while (cchXml > 0 && szXml[cchXml - 1] == u'\0') {
                --cchXml;
            }
            std::string sError;
            const bool bParsed =
                m_document.Parse(std::u16string_view(szXml != nullptr ? szXml : u"", cchXml), sError);
            pText->Release();
            return bParsed ? Succeeded() : Failed(KTRGEN_E_NOT_WELL_FORMED, sError);
        });
    }

    HRESULT STDMETHODCALLTYPE ProcessRules() override {
        return Guard([&] {
            m_rules.clear();
            m_bProcessed = false;
            if (!m_document.IsParsed()) {
                return Failed(E_UNEXPECTED, "no document loaded");
            }
            std::string sError;
            if (!m_document.CompileSerialized(m_rules, sError)) {
                return Failed(KTRGEN_E_BAD_DOCUMENT, sError);
            }
            // What the driver's reader would refuse is refused here, with its reason (e.g. nesting depth).
            if (!srtc::Check(m_rules, sError)) {
                m_rules.clear();
                return Failed(KTRGEN_E_BAD_DOCUMENT, "the compiled rules are not acceptable: " + sError);
            }
            m_bProcessed = true;
            return Succeeded();
        });
    }

    HRESULT STDMETHODCALLTYPE GetSerializedRulesLength(ULONG* pcbRules) override {
        if (pcbRules == nullptr) {
            return Failed(E_POINTER, "no length pointer");
        }
        if (!m_bProcessed) {
            return Failed(E_UNEXPECTED, "no rules processed");
        }
        *pcbRules = static_cast<ULONG>(m_rules.size());
        return Succeeded();
    }

    HRESULT STDMETHODCALLTYPE GetSerializedRules(BYTE* pRules, ULONG* pcbRules) override {
        if (pcbRules == nullptr) {
            return Failed(E_POINTER, "no length pointer");
        }
        if (!m_bProcessed) {
            return Failed(E_UNEXPECTED, "no rules processed");
        }
        const ULONG cbNeeded = static_cast<ULONG>(m_rules.size());
        if (pRules == nullptr || *pcbRules < cbNeeded) {
            *pcbRules = cbNeeded;
            return Failed(KTRGEN_E_BUFFER_TOO_SMALL, "buffer too small");
        }
        std::copy(m_rules.begin(), m_rules.end(), pRules);
        *pcbRules = cbNeeded;
        return Succeeded();
    }

private:
    HRESULT Succeeded() {
        m_sError.clear();
        return S_OK;
    }
    HRESULT Failed(HRESULT hr, const std::string& sReason) {
        m_sError = srtc::FromUtf8(sReason);
        return hr;
    }
    template <class F>
    HRESULT Guard(F f) {
        try {
            return f();
        } catch (const std::bad_alloc&) {
            m_document.Clear();
            m_rules.clear();
            m_bProcessed = false;
            m_sError = u"out of memory";
            return E_OUTOFMEMORY;
        }
    }

    rulegen::CRuleDocument m_document;
    std::vector<BYTE> m_rules;
    bool m_bProcessed = false;
    std::u16string m_sError;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) ZELRESULT GetFactory(const CLSID* pClsid,
                                                                       IClassFactory** ppFactory) {
    if (pClsid == nullptr || ppFactory == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    *ppFactory = nullptr;
    if (!(*pClsid == CLSID_KTRulePreprocessor)) {
        return sim::CLASS_E_CLASSNOTAVAILABLE;
    }
    *ppFactory = new (std::nothrow) sim::CClassFactory<CRulePreprocessor, g_nObjects>;
    return *ppFactory != nullptr ? ZEL_SUCCESS : ZEL_E_OUT_OF_MEMORY;
}

extern "C" __attribute__((visibility("default"))) ULONG GetObjectCount() {
    return g_nObjects;
}
