#include "events/object_loader.h"

#include <string>

#include "diagnostics/user_debug_output.h"
#include "platform/file.h"
#include "platform/system.h"
#include "service/installed_apps.h"

CObjectLoader::~CObjectLoader() {
    Free();
}

void CObjectLoader::Free() {
    if (m_hModule == nullptr) {
        return;
    }
    // Objects of the library that are still alive would lose their code: such a library stays mapped.
    const ULONG ulObjects = m_pfnGetObjectCount != nullptr ? m_pfnGetObjectCount() : 0;
    if (ulObjects == 0) {
        platform::FreeLibrary(m_hModule);
    } else {
        DebugOut2(DBG_CAT_ALL, u"CObjectLoader::Free() : %u objects alive, library kept\n", ulObjects);
    }
    m_hModule = nullptr;
    m_pfnGetFactory = nullptr;
    m_pfnGetObjectCount = nullptr;
}

ZELRESULT CObjectLoader::VerifyLibrary(const char16_t* szFullPath) {
    if (platform::GetFileAttributes(szFullPath) == platform::INVALID_FILE_ATTRIBUTES) {
        return ZEL_E_LIBRARY_NOT_LOADED;
    }
    return ZEL_SUCCESS;
}

ZELRESULT CObjectLoader::Load(const char16_t* szLibraryName) {
    if (m_hModule != nullptr) {
        return ZEL_SUCCESS;
    }
    if (szLibraryName == nullptr || *szLibraryName == u'\0') {
        DebugOut1(DBG_CAT_ALL, u"CObjectLoader::Load() : szLibraryName == NULL\n");
        return ZEL_E_INVALID_ARGUMENT;
    }
    try {
        std::u16string sPath;
        if (!CInstalledApps::GetKTDirectory(&sPath)) {
            DebugOut1(DBG_CAT_ALL, u"CObjectLoader::Load() : GetKTDirectory() == FALSE\n");
            return ZEL_E_INVALID_ARGUMENT;
        }
        sPath += u'\\';
        sPath += szLibraryName;
        const ZELRESULT zrVerify = VerifyLibrary(sPath.c_str());
        if (!ZEL_SUCCEEDED(zrVerify)) {
            DebugOut1(DBG_CAT_ALL, u"CObjectLoader::Load() : VerifyLibrary(%s) failed: 0x%08X\n", sPath,
                      static_cast<DWORD>(zrVerify));
            return zrVerify;
        }
        HMODULE hModule = platform::LoadLibraryEx(sPath.c_str(), platform::LOAD_WITH_ALTERED_SEARCH_PATH);
        if (hModule == nullptr) {
            DebugOut1(DBG_CAT_ALL, u"CObjectLoader::Load() : LoadLibraryEx(%s) == NULL, 0x%08X\n", sPath,
                      platform::GetLastError());
            return ZEL_E_LIBRARY_NOT_LOADED;
        }
        auto pfnGetFactory =
            reinterpret_cast<PFN_GET_FACTORY>(platform::GetProcAddress(hModule, "GetFactory"));
        auto pfnGetObjectCount =
            reinterpret_cast<PFN_GET_OBJECT_COUNT>(platform::GetProcAddress(hModule, "GetObjectCount"));
        if (pfnGetFactory == nullptr || pfnGetObjectCount == nullptr) {
            DebugOut1(DBG_CAT_ALL, u"CObjectLoader::Load() : GetProcAddress() == NULL, %s\n", sPath);
            platform::FreeLibrary(hModule);
            return ZEL_E_MISSING_EXPORT;
        }
        m_hModule = hModule;
        m_pfnGetFactory = pfnGetFactory;
        m_pfnGetObjectCount = pfnGetObjectCount;
        return ZEL_SUCCESS;
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_ALL, u"LCCATCH : %s\n", u"std::bad_alloc");
        return ZEL_E_OUT_OF_MEMORY;
    }
}

ZELRESULT CObjectLoader::CreateObject(REFCLSID rclsid, REFIID riid, void** ppObject) {
    if (ppObject == nullptr || m_pfnGetFactory == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    *ppObject = nullptr;
    CComPtr<IClassFactory> pFactory;
    const ZELRESULT zr = m_pfnGetFactory(&rclsid, &pFactory);
    if (!ZEL_SUCCEEDED(zr) || !pFactory) {
        DebugOut1(DBG_CAT_ALL, u"CObjectLoader::CreateObject() : GetFactory() failed: 0x%08X\n",
                  static_cast<DWORD>(zr));
        return ZEL_SUCCEEDED(zr) ? ZEL_E_INVALID_ARGUMENT : zr;
    }
    const HRESULT hr = pFactory->CreateInstance(nullptr, riid, ppObject);
    if (hr < 0) {
        DebugOut1(DBG_CAT_ALL, u"CObjectLoader::CreateObject() : CreateInstance() failed: 0x%08X\n",
                  static_cast<DWORD>(hr));
        return hr;
    }
    return ZEL_SUCCESS;
}
