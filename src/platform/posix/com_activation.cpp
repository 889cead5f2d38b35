#include <string>

#include "platform/com.h"
#include "platform/library.h"
#include "platform/registry.h"

namespace platform {
namespace {

using PFN_GET_FACTORY = HRESULT (*)(const CLSID* pClsid, IClassFactory** ppFactory);

// The default value of HKEY_CLASSES_ROOT\CLSID\{clsid}\<szServerKey>, or empty.
std::u16string RegisteredLibrary(REFCLSID rclsid, const char16_t* szServerKey) {
    const std::u16string sKey = u"CLSID\\" + GuidToString(rclsid) + u"\\" + szServerKey;
    HKEY hKey = nullptr;
    if (RegOpenKeyEx(HKEY_CLASSES_ROOT, sKey.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
        return {};
    }
    char16_t szPath[MAX_PATH + 1] = {};
    DWORD cbPath = sizeof(szPath) - sizeof(char16_t);
    DWORD dwType = 0;
    const LONG lResult = RegQueryValueEx(hKey, nullptr, &dwType, reinterpret_cast<BYTE*>(szPath), &cbPath);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ)) {
        return {};
    }
    std::u16string sPath(szPath, cbPath / sizeof(char16_t));
    while (!sPath.empty() && sPath.back() == u'\0') {
        sPath.pop_back();
    }
    return sPath;
}

// The object's IRunnableObject, or none for an object that is always running.
CComPtr<IRunnableObject> RunnableOf(IUnknown* pUnknown) {
    CComPtr<IRunnableObject> pRunnable;
    if (FAILED(pUnknown->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&pRunnable)))) {
        pRunnable.Release();
    }
    return pRunnable;
}

}  // namespace

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    std::u16string sLibrary;
    if ((dwClsContext & CLSCTX_INPROC_SERVER) != 0) {
        sLibrary = RegisteredLibrary(rclsid, u"InprocServer32");
    }
    if (sLibrary.empty() && (dwClsContext & CLSCTX_INPROC_HANDLER) != 0) {
        sLibrary = RegisteredLibrary(rclsid, u"InprocHandler32");
    }
    if (sLibrary.empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    HMODULE hModule = LoadLibraryEx(sLibrary.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
    if (hModule == nullptr) {
        return CO_E_DLLNOTFOUND;
    }
    auto pfnGetFactory = reinterpret_cast<PFN_GET_FACTORY>(GetProcAddress(hModule, "GetFactory"));
    if (pfnGetFactory == nullptr) {
        FreeLibrary(hModule);
        return CO_E_ERRORINDLL;
    }
    CComPtr<IClassFactory> pFactory;
    const HRESULT hrFactory = pfnGetFactory(&rclsid, &pFactory);
    if (FAILED(hrFactory) || !pFactory) {
        return FAILED(hrFactory) ? hrFactory : REGDB_E_CLASSNOTREG;
    }
    return pFactory->CreateInstance(pOuter, riid, ppv);
}

HRESULT OleRun(IUnknown* pUnknown) {
    if (pUnknown == nullptr) {
        return E_INVALIDARG;
    }
    const CComPtr<IRunnableObject> pRunnable = RunnableOf(pUnknown);
    return pRunnable ? pRunnable->Run() : S_OK;
}

bool OleIsRunning(IUnknown* pUnknown) {
    if (pUnknown == nullptr) {
        return false;
    }
    const CComPtr<IRunnableObject> pRunnable = RunnableOf(pUnknown);
    return !pRunnable || pRunnable->IsRunning();
}

}  // namespace platform
