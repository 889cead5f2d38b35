// Loads one library of the product directory that creates objects by identifier, through its two
// entry points, and frees it again when the loader goes.
#pragma once

#include "platform/com.h"
#include "platform/library.h"
#include "settings/zel_result.h"

// The entry points every such library exports (unmangled names).
using PFN_GET_FACTORY = ZELRESULT (*)(const CLSID* pClsid, IClassFactory** ppFactory);
using PFN_GET_OBJECT_COUNT = ULONG (*)();

class CObjectLoader {
public:
    CObjectLoader() = default;
    virtual ~CObjectLoader();
    CObjectLoader(const CObjectLoader&) = delete;
    CObjectLoader& operator=(const CObjectLoader&) = delete;

    // Loads <product directory>\<szLibraryName>. ZEL_SUCCESS also when a library is loaded already.
    ZELRESULT Load(const char16_t* szLibraryName);
    ZELRESULT CreateObject(REFCLSID rclsid, REFIID riid, void** ppObject);
    bool IsLoaded() const { return m_hModule != nullptr; }

protected:
    // Asked about the library's full path before it is loaded. A missing file is refused; there is
    // no trust verifier on this machine, so every existing file is accepted. Kept virtual so a build
    // with a verifier (or a test) can judge the file.
    virtual ZELRESULT VerifyLibrary(const char16_t* szFullPath);

private:
    void Free();

    HMODULE m_hModule = nullptr;
    PFN_GET_FACTORY m_pfnGetFactory = nullptr;
    PFN_GET_OBJECT_COUNT m_pfnGetObjectCount = nullptr;
};
