// ComServer.dll: a small in-process server for the COM activation tests.
#include <new>

#include "com_test_classes.h"

namespace {

class CTestObject final : public CRunnableObject, private CRefCounted {
public:
    explicit CTestObject(const CLSID& clsid) : m_clsid(clsid) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid == IID_IUnknown || (riid == IID_IRunnableObject && !(m_clsid == CLSID_TestPlain))) {
            AddRef();
            *ppv = static_cast<IRunnableObject*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE Run(IBindCtx*) override {
        m_bRunning = !(m_clsid == CLSID_TestRunFails);
        return m_bRunning ? S_OK : RUN_FAILURE;
    }
    BOOL STDMETHODCALLTYPE IsRunning() override { return m_bRunning; }

private:
    const CLSID m_clsid;
    bool m_bRunning = false;
};

class CTestFactory final : public IClassFactory, private CRefCounted {
public:
    explicit CTestFactory(const CLSID& clsid) : m_clsid(clsid) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
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
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        auto* pObject = new (std::nothrow) CTestObject(m_clsid);
        if (pObject == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = pObject->QueryInterface(riid, ppv);
        pObject->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    const CLSID m_clsid;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT GetFactory(const CLSID* pClsid,
                                                                     IClassFactory** ppFactory) {
    *ppFactory = nullptr;
    if (!(*pClsid == CLSID_TestRunnable) && !(*pClsid == CLSID_TestRunFails) &&
        !(*pClsid == CLSID_TestPlain)) {
        return CLASS_E_CLASSNOTAVAILABLE_TEST;
    }
    *ppFactory = new (std::nothrow) CTestFactory(*pClsid);
    return *ppFactory != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The platform's entry, which Windows activation asks before GetFactory. It is __stdcall there,
// and the factory's methods too: a convention that does not match corrupts the caller's stack.
extern "C" __attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid,
                                                                                              REFIID riid,
                                                                                              void** ppv) {
    *ppv = nullptr;
    CComPtr<IClassFactory> pFactory;
    const HRESULT hr = GetFactory(&rclsid, &pFactory);
    return FAILED(hr) ? hr : pFactory->QueryInterface(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) ULONG GetObjectCount() {
    return 0;
}
