// KT.dll: the framework library's stand-in. Its one object loads and unloads the framework's
// services; each call is recorded in <root>/run/KT.log, one line per call with the process id.
// Test faults are DWORDs under HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\KT, read at every call
// (docs/architecture.md). Built a second time without GetObjectCount, as KTNoObjectCount.dll.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "../common/class_factory.h"
#include "../common/registry_peek.h"
#include "module/kt_framework.h"
#include "settings/zel_result.h"

namespace {

std::atomic<ULONG> g_nObjects{0};

// The result a test asked this call to fail with, or 0.
std::uint32_t Fault(const char* szName) {
    return sim::PeekMachineDword("SOFTWARE\\Quillon\\KT", szName, 0);
}

void Record(const char* szOperation) {
    const char* szRoot = getenv("KRELL_ROOT");
    if (szRoot == nullptr) {
        return;
    }
    const std::string sPath = std::string(szRoot) + "/run/KT.log";
    if (FILE* pFile = std::fopen(sPath.c_str(), "a")) {
        std::fprintf(pFile, "%s %d\n", szOperation, static_cast<int>(getpid()));
        std::fclose(pFile);
    }
}

class CKTFramework final : public IKTFramework, private CRefCounted {
public:
    CKTFramework() { ++g_nObjects; }
    ~CKTFramework() override { --g_nObjects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IKTFramework) {
            AddRef();
            *ppvObject = static_cast<IKTFramework*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE GetVersion(DWORD* pdwVersion) override {
        *pdwVersion = 0x00010000;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetServiceCount(DWORD* pdwCount) override {
        *pdwCount = m_bLoaded ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LoadServices() override {
        if (const std::uint32_t hr = Fault("FailLoadServices"); hr != 0) {
            Record("LoadServices failed");
            return static_cast<HRESULT>(hr);
        }
        m_bLoaded = true;
        Record("LoadServices");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnloadServices() override {
        m_bLoaded = false;
        Record("UnloadServices");
        return S_OK;
    }

private:
    bool m_bLoaded = false;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) ZELRESULT GetFactory(const CLSID* pClsid,
                                                                       IClassFactory** ppFactory) {
    if (pClsid == nullptr || ppFactory == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    if (const std::uint32_t zr = Fault("FailGetFactory"); zr != 0) {
        *ppFactory = nullptr;
        return static_cast<ZELRESULT>(zr);
    }
    if (!(*pClsid == CLSID_KTFramework)) {
        *ppFactory = nullptr;
        return ZEL_E_NOT_FOUND;
    }
    *ppFactory = new (std::nothrow) sim::CClassFactory<CKTFramework, g_nObjects>;
    return *ppFactory != nullptr ? ZEL_SUCCESS : ZEL_E_OUT_OF_MEMORY;
}

#ifndef KT_WITHOUT_OBJECT_COUNT
extern "C" __attribute__((visibility("default"))) ULONG GetObjectCount() {
    return g_nObjects;
}
#endif
