// A stand-in for the rule preprocessor in the converter's tests: it records the document it is given
// and answers with rules made from it, or fails at the call the test chooses.
#include <cstring>
#include <new>

#include "compiler/rule_preprocessor.h"
#include "rulegen_double.h"
#include "settings/zel_result.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT RuleGenDoubleState g_RuleGenDouble;
RuleGenDoubleState g_RuleGenDouble = {};

namespace {

ULONG g_nObjects = 0;

// UTF-16 to UTF-8, enough for the documents (no unpaired surrogates in them).
unsigned ToUtf8(const char16_t* p, ULONG cch, char* pOut, unsigned cbMax) {
    unsigned n = 0;
    auto put = [&](unsigned char c) {
        if (n < cbMax) {
            pOut[n++] = static_cast<char>(c);
        }
    };
    for (ULONG i = 0; i < cch; ++i) {
        unsigned cp = p[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < cch) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (p[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            put(cp);
        } else if (cp < 0x800) {
            put(0xC0 | (cp >> 6));
            put(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            put(0xE0 | (cp >> 12));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        } else {
            put(0xF0 | (cp >> 18));
            put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        }
    }
    return n;
}

class CPreprocessor final : public IKTRulePreprocessor {
public:
    CPreprocessor() { ++g_nObjects; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IKTRulePreprocessor) {
            *ppv = static_cast<IKTRulePreprocessor*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG n = --m_nRefs;
        if (n == 0) {
            --g_nObjects;
            delete this;
        }
        return n;
    }
    HRESULT STDMETHODCALLTYPE GetFormatVersion(ULONG* p) override {
        *p = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLastErrorText(const char16_t** psz) override {
        *psz = u"";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }

    HRESULT STDMETHODCALLTYPE LoadXMLObject(IUnknown* pDocument) override {
        if (g_RuleGenDouble.nFailAt == 1) {
            return g_RuleGenDouble.hrFail;
        }
        IKTXmlText* pText = nullptr;
        HRESULT hr = pDocument->QueryInterface(IID_IKTXmlText, reinterpret_cast<void**>(&pText));
        if (hr < 0) {
            return hr;
        }
        const char16_t* szXml = nullptr;
        ULONG cch = 0;
        hr = pText->GetXml(&szXml, &cch);
        if (hr >= 0) {
            g_RuleGenDouble.cbXml = ToUtf8(szXml, cch, g_RuleGenDouble.szXml, sizeof(g_RuleGenDouble.szXml));
        }
        pText->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE ProcessRules() override {
        return g_RuleGenDouble.nFailAt == 2 ? g_RuleGenDouble.hrFail : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSerializedRulesLength(ULONG* pcb) override {
        if (g_RuleGenDouble.nFailAt == 3) {
            return g_RuleGenDouble.hrFail;
        }
        *pcb = 4 + g_RuleGenDouble.cbXml;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSerializedRules(BYTE* p, ULONG* pcb) override {
        if (g_RuleGenDouble.nFailAt == 4) {
            return g_RuleGenDouble.hrFail;
        }
        const ULONG cbNeeded = 4 + g_RuleGenDouble.cbXml;
        if (*pcb < cbNeeded) {
            *pcb = cbNeeded;
            return E_INVALIDARG;
        }
        std::memcpy(p, "SRTC", 4);
        std::memcpy(p + 4, g_RuleGenDouble.szXml, g_RuleGenDouble.cbXml);
        *pcb = cbNeeded;
        return S_OK;
    }

private:
    ULONG m_nRefs = 1;
};

class CFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
        if (pOuter != nullptr) {
            return E_INVALIDARG;
        }
        auto* p = new (std::nothrow) CPreprocessor();
        if (p == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = p->QueryInterface(riid, ppv);
        p->Release();
        if (hr >= 0) {
            ++g_RuleGenDouble.nObjectsCreated;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

CFactory g_Factory;

}  // namespace

EXPORT ZELRESULT GetFactory(const CLSID* pClsid, IClassFactory** ppFactory) {
    if (pClsid == nullptr || *pClsid != CLSID_KTRulePreprocessor) {
        *ppFactory = nullptr;
        return ZEL_E_NOT_FOUND;
    }
    *ppFactory = &g_Factory;
    return ZEL_SUCCESS;
}

EXPORT ULONG GetObjectCount() {
    return g_nObjects;
}
