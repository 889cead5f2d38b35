// A small COM-style object model: GUIDs, the reference-counted IUnknown base, class factories and a
// smart pointer that releases on every path. Objects of the outside components (settings store, event
// library, rule preprocessor, framework) are reached through these.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/types.h"

// COM methods are called with the platform's convention (__stdcall on 32-bit Windows), so real
// components and the platform itself can call through these interfaces and be called through them.
// KRELL_COM_CALLING_CONVENTION_CHECK gives them another convention on x86-64 Linux, where the
// compiler then refuses any implementation that lacks the macro.
#ifndef STDMETHODCALLTYPE
#if defined(_WIN32) && !defined(_WIN64)
#define STDMETHODCALLTYPE __stdcall
#elif defined(KRELL_COM_CALLING_CONVENTION_CHECK)
#define STDMETHODCALLTYPE __attribute__((ms_abi))
#else
#define STDMETHODCALLTYPE
#endif
#endif

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

namespace platform {

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional, any case).
bool GuidFromString(std::u16string_view sText, GUID* pGuid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::u16string GuidToString(const GUID& guid);

}  // namespace platform

// The identifiers of IUnknown and IClassFactory are the platform's.
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) = 0;

protected:
    ~IClassFactory() = default;
};

// Owns one reference; releases it on every path.
template <class T>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(std::nullptr_t) {}
    // Takes over a reference the caller already owns (as an out argument hands it over).
    static CComPtr Attach(T* p) {
        CComPtr ptr;
        ptr.m_p = p;
        return ptr;
    }
    // Adds a reference of its own.
    explicit CComPtr(T* p) : m_p(p) {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    CComPtr(const CComPtr& other) : CComPtr(other.m_p) {}
    CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    CComPtr& operator=(CComPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~CComPtr() { Release(); }

    void Release() {
        if (T* p = std::exchange(m_p, nullptr)) {
            p->Release();
        }
    }
    // Gives up ownership without releasing.
    T* Detach() { return std::exchange(m_p, nullptr); }
    // For out arguments: releases what is held and returns the slot to fill.
    T** operator&() {
        Release();
        return &m_p;
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// Reference counting of an object implemented here; the object deletes itself at zero.
class CRefCounted {
public:
    ULONG AddRefImpl() { return ++m_nRefs; }
    ULONG ReleaseImpl() {
        const ULONG n = --m_nRefs;
        if (n == 0) {
            delete this;
        }
        return n;
    }

protected:
    virtual ~CRefCounted() = default;

private:
    std::atomic<ULONG> m_nRefs{1};
};

// Activation of registered classes. A class is registered under HKEY_CLASSES_ROOT\CLSID\{clsid}
// with the Windows path of a library as the default value of "InprocServer32" (an in-process
// server) or "InprocHandler32" (the in-process handler of a server that runs in its own process;
// the handler talks to it). The library exports "GetFactory" like every library of the product.
// Libraries stay loaded for the life of the process.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9);

inline constexpr IID IID_IRunnableObject = {
    0x00000126, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The platform's bind context; the system passes none.
struct IBindCtx;

// An object whose server must be running before it is used; OleRun runs it. The platform's interface:
// a real component's runnable object is called through it, and the platform's OleRun calls the
// system's objects through it.
struct IRunnableObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRunningClass(CLSID* pClsid) = 0;
    virtual HRESULT STDMETHODCALLTYPE Run(IBindCtx* pBindContext) = 0;
    // Whether its server is still there: FALSE once the connection that Run made has gone.
    virtual BOOL STDMETHODCALLTYPE IsRunning() = 0;
    virtual HRESULT STDMETHODCALLTYPE LockRunning(BOOL bLock, BOOL bLastUnlockCloses) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL bContained) = 0;

protected:
    ~IRunnableObject() = default;
};

// The system's runnable objects are no embedded documents: they have no class of their own to
// report, and nothing holds them running or contains them.
class CRunnableObject : public IRunnableObject {
public:
    HRESULT STDMETHODCALLTYPE GetRunningClass(CLSID* pClsid) override {
        if (pClsid == nullptr) {
            return E_INVALIDARG;
        }
        *pClsid = CLSID{};
        return E_UNEXPECTED;
    }
    HRESULT STDMETHODCALLTYPE LockRunning(BOOL, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL) override { return S_OK; }

protected:
    ~CRunnableObject() = default;
};

// How a thread joins COM.
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

namespace platform {

// Joins the calling thread to COM in an apartment; S_FALSE when it already was in that one. Every
// success is paired with a CoUninitialize on the same thread. POSIX has no COM: both do nothing.
HRESULT CoInitializeEx(void* pReserved, DWORD dwCoInit);
void CoUninitialize();

// REGDB_E_CLASSNOTREG when no registration fits the context (a class registered only as a server
// of its own process, without a handler, cannot be activated on this machine); CO_E_DLLNOTFOUND
// when the library cannot be loaded; CO_E_ERRORINDLL when it lacks "GetFactory".
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pOuter, DWORD dwClsContext, REFIID riid, void** ppv);
// Runs an object that offers IRunnableObject; any other object counts as running.
HRESULT OleRun(IUnknown* pUnknown);
// Whether an object that offers IRunnableObject is running; any other object counts as running.
bool OleIsRunning(IUnknown* pUnknown);

}  // namespace platform
