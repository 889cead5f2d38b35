#include "platform/com_activation_platform.h"

namespace platform {
namespace {

using PFN_GET_FACTORY = HRESULT (*)(const CLSID* pClsid, IClassFactory** ppFactory);

// The object's IRunnableObject, or none for an object that is always running.
CComPtr<IRunnableObject> RunnableOf(IUnknown* pUnknown) {
    CComPtr<IRunnableObject> pRunnable;
    if (FAILED(pUnknown->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&pRunnable)))) {
        pRunnable.Release();
    }
    return pRunnable;
}

}  // namespace

// The stand-ins need no apartment.
void EnterApartment() {}

HRESULT CoInitializeEx(void*, DWORD) {
    return S_OK;
}

void CoUninitialize() {}

HRESULT ClassFactoryOf(HMODULE hModule, REFCLSID rclsid, IClassFactory** ppFactory) {
    auto pfnGetFactory = reinterpret_cast<PFN_GET_FACTORY>(GetProcAddress(hModule, "GetFactory"));
    return pfnGetFactory != nullptr ? pfnGetFactory(&rclsid, ppFactory) : CO_E_ERRORINDLL;
}

HRESULT OleRun(IUnknown* pUnknown) {
    if (pUnknown == nullptr) {
        return E_INVALIDARG;
    }
    const CComPtr<IRunnableObject> pRunnable = RunnableOf(pUnknown);
    return pRunnable ? pRunnable->Run(nullptr) : S_OK;
}

bool OleIsRunning(IUnknown* pUnknown) {
    if (pUnknown == nullptr) {
        return false;
    }
    const CComPtr<IRunnableObject> pRunnable = RunnableOf(pUnknown);
    return !pRunnable || pRunnable->IsRunning() != 0;
}

}  // namespace platform
