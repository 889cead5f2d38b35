#include <string>

#include "platform/com.h"
#include "platform/com_activation_platform.h"
#include "platform/library.h"
#include "platform/registry.h"

namespace platform {
namespace {

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

}  // namespace

// The registration is read here rather than by the platform's CoCreateInstance, which knows only
// DllGetClassObject, not the product's GetFactory, and answers a library that does not load with
// codes of its own.
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
    EnterApartment();
    HMODULE hModule = LoadLibraryEx(sLibrary.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
    if (hModule == nullptr) {
        return CO_E_DLLNOTFOUND;
    }
    CComPtr<IClassFactory> pFactory;
    const HRESULT hrFactory = ClassFactoryOf(hModule, rclsid, &pFactory);
    if (hrFactory == CO_E_ERRORINDLL) {
        FreeLibrary(hModule);
        return hrFactory;
    }
    if (FAILED(hrFactory) || !pFactory) {
        return FAILED(hrFactory) ? hrFactory : REGDB_E_CLASSNOTREG;
    }
    return pFactory->CreateInstance(pOuter, riid, ppv);
}

}  // namespace platform
