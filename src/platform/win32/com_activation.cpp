#include "platform/com_activation_platform.h"
#include "platform/win32/win32_api.h"

namespace platform {
namespace {

// The product's own entry, and the platform's, which real in-process servers export.
using PFN_GET_FACTORY = HRESULT (*)(const CLSID* pClsid, IClassFactory** ppFactory);
using PFN_DLL_GET_CLASS_OBJECT = HRESULT(STDMETHODCALLTYPE*)(REFCLSID rclsid, REFIID riid, void** ppv);

}  // namespace

// A real component may itself use COM on the caller's thread, so the thread joins the
// multi-threaded apartment once; a thread already in a single-threaded one stays there.
void EnterApartment() {
    thread_local const HRESULT hr = win32::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    (void)hr;
}

HRESULT CoInitializeEx(void* pReserved, DWORD dwCoInit) {
    return win32::CoInitializeEx(pReserved, dwCoInit);
}

void CoUninitialize() {
    win32::CoUninitialize();
}

HRESULT ClassFactoryOf(HMODULE hModule, REFCLSID rclsid, IClassFactory** ppFactory) {
    if (auto pfnGetClassObject =
            reinterpret_cast<PFN_DLL_GET_CLASS_OBJECT>(GetProcAddress(hModule, "DllGetClassObject"))) {
        return pfnGetClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(ppFactory));
    }
    if (auto pfnGetFactory = reinterpret_cast<PFN_GET_FACTORY>(GetProcAddress(hModule, "GetFactory"))) {
        return pfnGetFactory(&rclsid, ppFactory);
    }
    return CO_E_ERRORINDLL;
}

// ole32's own, which asks the object's IRunnableObject as it asks a real component's. It would read
// through a null object.
HRESULT OleRun(IUnknown* pUnknown) {
    return pUnknown != nullptr ? win32::OleRun(pUnknown) : E_INVALIDARG;
}

bool OleIsRunning(IUnknown* pUnknown) {
    return pUnknown != nullptr && win32::OleIsRunning(pUnknown) != 0;
}

}  // namespace platform
