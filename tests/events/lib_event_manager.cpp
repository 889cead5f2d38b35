// An event manager class for the activation path of the bridge's tests, registered in the test's
// root under HKEY_CLASSES_ROOT. Its object must be run before it works; with
// KRELL_TEST_EVENT_MANAGER_RUN=fail running it fails.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "events/event_interfaces.h"

namespace {

std::atomic<ULONG> g_nObjects{0};

constexpr LONG PROVIDER_ID = 77;
constexpr HRESULT RUN_FAILED = static_cast<HRESULT>(0x80040009);

class CEventManager final : public IKTEventManager, public CRunnableObject {
public:
    CEventManager() { ++g_nObjects; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IKTEventManager) {
            *ppv = static_cast<IKTEventManager*>(this);
        } else if (riid == IID_IRunnableObject) {
            *ppv = static_cast<IRunnableObject*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG n = --m_nRefs;
        if (n == 0) {
            delete this;
        }
        return n;
    }
    HRESULT STDMETHODCALLTYPE Run(IBindCtx*) override {
        const char* szRun = getenv("KRELL_TEST_EVENT_MANAGER_RUN");
        if (szRun != nullptr && strcmp(szRun, "fail") == 0) {
            return RUN_FAILED;
        }
        m_bRunning = true;
        return S_OK;
    }
    BOOL STDMETHODCALLTYPE IsRunning() override { return m_bRunning; }
    HRESULT STDMETHODCALLTYPE RegisterProvider(IKTProviderProxy*, LONG* pnProviderId,
                                               LONG* pnError) override {
        if (!m_bRunning) {
            return E_UNEXPECTED;
        }
        *pnProviderId = PROVIDER_ID;
        *pnError = CError::eNoError;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterProvider(LONG, LONG* pnError) override {
        return *pnError = CError::eNoError, S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterSubscriber(IKTSubscriberProxy*, ULONG, ULONG, const SAFEARRAY*, ULONG,
                                                 VARIANT_BOOL, LONG*, LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterSubscriber(LONG, LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateEvent(LONG, const KT_TRANSPORTED_EVENT*, VARIANT_BOOL, LONG*,
                                          LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }
    HRESULT STDMETHODCALLTYPE CommitEvent(LONG, const KT_TRANSPORTED_EVENT*, LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }
    HRESULT STDMETHODCALLTYPE CancelEvent(LONG, const KT_TRANSPORTED_EVENT*, LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }

private:
    ~CEventManager() { --g_nObjects; }
    std::atomic<ULONG> m_nRefs{1};
    bool m_bRunning = false;
};

class CFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        auto* pManager = new CEventManager();
        const HRESULT hr = pManager->QueryInterface(riid, ppv);
        pManager->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

CFactory g_Factory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT GetFactory(const CLSID* pClsid,
                                                                     IClassFactory** ppFactory) {
    if (*pClsid != CLSID_KTEventManager) {
        *ppFactory = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    *ppFactory = &g_Factory;
    return S_OK;
}

extern "C" __attribute__((visibility("default"))) ULONG GetObjectCount() {
    return g_nObjects;
}
