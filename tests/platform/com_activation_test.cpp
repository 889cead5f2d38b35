// COM activation through the registry: in-process servers and handlers, the failures of a missing
// registration, library or export, and OleRun.
#include <gtest/gtest.h>

#include <string>

#include "com_test_classes.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "service/registry_key.h"
#ifndef _WIN32
#include "support/test_root.h"
#endif

namespace {

// The test libraries are built beside the test program.
std::u16string LibraryPath(const char* szName) {
#ifdef _WIN32
    std::u16string sModule;
    EXPECT_TRUE(platform::GetModuleFileName(&sModule));
    return sModule.substr(0, sModule.rfind(u'\\') + 1) + platform::FromUtf8(szName);
#else
    return platform::WindowsPathOf(krelltest::TestBinary(szName));
#endif
}

void Register(const CLSID& clsid, const char16_t* szServerKey, const std::u16string& sLibrary) {
    const std::u16string sClass = u"CLSID\\" + platform::GuidToString(clsid);
    platform::RegDeleteTree(HKEY_CLASSES_ROOT, sClass.c_str());
    CRegistryKey key;
    ASSERT_TRUE(key.Create(HKEY_CLASSES_ROOT, (sClass + u"\\" + szServerKey).c_str()));
    ASSERT_TRUE(key.SetString(u"", sLibrary));
}

TEST(ComActivation, CreatesRegisteredClassesOrSaysWhyNot) {
    const CLSID CLSID_NeverRegistered = {
        0x5A1E00FF, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0xFF}};
    const CLSID CLSID_MissingLibrary = {
        0x5A1E00FE, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0xFE}};
    const CLSID CLSID_NoFactory = {
        0x5A1E00FD, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0xFD}};
    Register(CLSID_TestRunnable, u"InprocServer32", LibraryPath("ComServer.dll"));
    Register(CLSID_TestPlain, u"InprocHandler32", LibraryPath("ComServer.dll"));
    Register(CLSID_TestUnknownToLibrary, u"InprocServer32", LibraryPath("ComServer.dll"));
    Register(CLSID_MissingLibrary, u"InprocServer32", LibraryPath("NotThere.dll"));
    Register(CLSID_NoFactory, u"InprocServer32", LibraryPath("NoFactory.dll"));

    struct Case {
        const char* szName;
        const CLSID& clsid;
        DWORD dwContext;
        HRESULT hrExpected;
    };
    const Case cases[] = {
        {"server", CLSID_TestRunnable, CLSCTX_ALL, S_OK},
        {"server, in-process only", CLSID_TestRunnable, CLSCTX_INPROC_SERVER, S_OK},
        {"server, handler context only", CLSID_TestRunnable, CLSCTX_INPROC_HANDLER, REGDB_E_CLASSNOTREG},
        {"handler", CLSID_TestPlain, CLSCTX_ALL, S_OK},
        {"handler, server context only", CLSID_TestPlain, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {"handler, local server context only", CLSID_TestPlain, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
        {"not registered", CLSID_NeverRegistered, CLSCTX_ALL, REGDB_E_CLASSNOTREG},
        {"library missing", CLSID_MissingLibrary, CLSCTX_ALL, CO_E_DLLNOTFOUND},
        {"library without GetFactory", CLSID_NoFactory, CLSCTX_ALL, CO_E_ERRORINDLL},
        {"library without the class", CLSID_TestUnknownToLibrary, CLSCTX_ALL, CLASS_E_CLASSNOTAVAILABLE_TEST},
    };
    for (const Case& c : cases) {
        IUnknown* pObject = reinterpret_cast<IUnknown*>(std::uintptr_t{1});
        const HRESULT hr = platform::CoCreateInstance(c.clsid, nullptr, c.dwContext, IID_IUnknown,
                                                      reinterpret_cast<void**>(&pObject));
        EXPECT_EQ(hr, c.hrExpected) << c.szName;
        EXPECT_EQ(pObject != nullptr, SUCCEEDED(hr)) << c.szName;
        if (pObject != nullptr && SUCCEEDED(hr)) {
            pObject->Release();
        }
    }
    EXPECT_EQ(platform::CoCreateInstance(CLSID_TestRunnable, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr),
              E_POINTER);
}

TEST(ComActivation, OleRunAndOleIsRunningAskRunnableObjectsOnly) {
    Register(CLSID_TestRunnable, u"InprocServer32", LibraryPath("ComServer.dll"));
    Register(CLSID_TestRunFails, u"InprocHandler32", LibraryPath("ComServer.dll"));
    Register(CLSID_TestPlain, u"InprocServer32", LibraryPath("ComServer.dll"));
    // Whether each object counts as running before and after OleRun.
    struct Case {
        const CLSID& clsid;
        HRESULT hrRun;
        bool bRunningBefore;
        bool bRunningAfter;
    };
    for (const Case& c :
         {Case{CLSID_TestRunnable, S_OK, false, true}, Case{CLSID_TestRunFails, RUN_FAILURE, false, false},
          Case{CLSID_TestPlain, S_OK, true, true}}) {
        SCOPED_TRACE(platform::ToUtf8(platform::GuidToString(c.clsid)));
        CComPtr<IUnknown> pObject;
        ASSERT_EQ(platform::CoCreateInstance(c.clsid, nullptr, CLSCTX_ALL, IID_IUnknown,
                                             reinterpret_cast<void**>(&pObject)),
                  S_OK);
        EXPECT_EQ(platform::OleIsRunning(pObject.Get()), c.bRunningBefore);
        EXPECT_EQ(platform::OleRun(pObject.Get()), c.hrRun);
        EXPECT_EQ(platform::OleIsRunning(pObject.Get()), c.bRunningAfter);
    }
    EXPECT_EQ(platform::OleRun(nullptr), E_INVALIDARG);
    EXPECT_FALSE(platform::OleIsRunning(nullptr));
}

#ifdef _WIN32
namespace ole32 {
extern "C" {
__declspec(dllimport) HRESULT __stdcall CoInitializeEx(void*, DWORD);
__declspec(dllimport) void __stdcall CoUninitialize();
__declspec(dllimport) HRESULT __stdcall CoCreateInstance(REFCLSID, IUnknown*, DWORD, REFIID, void**);
}
}  // namespace ole32

// The platform's own activation finds the server's DllGetClassObject and calls it, the factory and
// the object with its convention.
TEST(ComActivation, ThePlatformActivatesAndCallsOurServer) {
    Register(CLSID_TestRunnable, u"InprocServer32", LibraryPath("ComServer.dll"));
    CRegistryKey key;
    ASSERT_TRUE(
        key.Create(HKEY_CLASSES_ROOT,
                   (u"CLSID\\" + platform::GuidToString(CLSID_TestRunnable) + u"\\InprocServer32").c_str()));
    ASSERT_TRUE(key.SetString(u"ThreadingModel", u"Both"));
    ASSERT_TRUE(SUCCEEDED(ole32::CoInitializeEx(nullptr, 0)));
    {
        CComPtr<IUnknown> pObject;
        ASSERT_EQ(ole32::CoCreateInstance(CLSID_TestRunnable, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          reinterpret_cast<void**>(&pObject)),
                  S_OK);
        ASSERT_TRUE(pObject);
        CComPtr<IRunnableObject> pRunnable;
        ASSERT_EQ(pObject->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&pRunnable)), S_OK);
        EXPECT_FALSE(pRunnable->IsRunning());
        EXPECT_EQ(pRunnable->Run(nullptr), S_OK);
        EXPECT_TRUE(platform::OleIsRunning(pObject.Get()));
        // Two references now, each given back once.
        EXPECT_EQ(pObject->AddRef(), 3u);
        EXPECT_EQ(pObject->Release(), 2u);
    }
    ole32::CoUninitialize();
}
#endif

}  // namespace
