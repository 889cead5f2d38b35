// The class factory of a stand-in library, which links nothing of the system: it makes one class of
// object, without aggregation. The factory and each lock count among the library's live objects,
// which its GetObjectCount reports.
#pragma once

#include <atomic>
#include <new>

#include "platform/com.h"

namespace sim {

constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);

template <class TObject, std::atomic<ULONG>& rnObjects>
class CClassFactory final : public IClassFactory, private CRefCounted {
public:
    CClassFactory() { ++rnObjects; }
    ~CClassFactory() override { --rnObjects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) {
            return E_NOINTERFACE;
        }
        AddRef();
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (pOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* pObject = new (std::nothrow) TObject();
        if (pObject == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = pObject->QueryInterface(riid, ppv);
        pObject->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) override {
        bLock ? ++rnObjects : --rnObjects;
        return S_OK;
    }
};

}  // namespace sim
