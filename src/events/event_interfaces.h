// The interfaces of the event manager (zuZazEzi) and of the event library (KRELLEvt.dll), as the
// service uses them. Both are outside components: on this machine the event manager is the stand-in
// service in sim/eventmanager, reached through an in-process client object, and the event library is
// the stand-in in sim/eventlib. Nothing here throws; every operation answers an HRESULT or a CError
// code, and every object crosses library boundaries only through these interfaces.
#pragma once

#include "platform/com.h"
#include "platform/types.h"
#include "platform/variant.h"

// The event manager's error codes.
struct CError {
    enum : LONG {
        eNoError = 1,
        eFailure = -1,
        eException = -2,
    };
};

// Event types.
constexpr ULONG KT_EVENT_GATEWARDEN_ALERT = 6000;
constexpr ULONG KT_EVENT_MANIFEST_CHANGE = 6005;
constexpr ULONG KT_EVENT_CONFIG_CHANGE = 6008;
constexpr ULONG KT_EVENT_SETTINGS_REFRESH = 6009;
constexpr ULONG KT_EVENT_NOTIFY = 6010;

// States of an event, as subscribers may ask for them when they subscribe. An empty list of states
// means KT_EVENT_STATE_CREATED only.
constexpr LONG KT_EVENT_STATE_CREATED = 0;
constexpr LONG KT_EVENT_STATE_COMMITTED = 1;
constexpr LONG KT_EVENT_STATE_CANCELLED = 2;

// A property value of an event, as the event library hands it out for display. Strings stay valid
// as long as the event is not changed or freed.
enum KT_PROPERTY_TYPE : ULONG {
    KT_PROPERTY_I4 = 1,        // lValue
    KT_PROPERTY_UI4 = 2,       // ulValue
    KT_PROPERTY_BOOL = 3,      // lValue, 0 or 1
    KT_PROPERTY_STRING = 4,    // szValue
    KT_PROPERTY_FILETIME = 5,  // ullValue, 100 ns since 1601 (UTC)
    KT_PROPERTY_HRESULT = 6,   // lValue
};

struct KT_PROPERTY {
    const char16_t* szName;
    KT_PROPERTY_TYPE type;
    LONG lValue;
    ULONG ulValue;
    ULONGLONG ullValue;
    const char16_t* szValue;
};

// The form in which the event manager carries an event between processes: bytes owned by the
// event factory that produced them (FreeTransported gives them back).
struct KT_TRANSPORTED_EVENT {
    BYTE* pData;
    ULONG cbData;
};

// Every event object offers this interface: its type, the id the event manager gave it (0 before
// it was created there) and its properties by name.
struct IKTEvent : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetType(ULONG* pnType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetId(LONG* pnId) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetId(LONG nId) = 0;
    // The state the event manager last gave it (KT_EVENT_STATE_*).
    virtual HRESULT STDMETHODCALLTYPE GetState(LONG* pnState) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetState(LONG nState) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyCount(ULONG* pnCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(ULONG nIndex, KT_PROPERTY* pProperty) = 0;

protected:
    ~IKTEvent() = default;
};

// Notification events (6010).
struct IKTNotifyEvent : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetCode(ULONG nCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCode(ULONG* pnCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTime(const SYSTEMTIME* pTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTime(SYSTEMTIME* pTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetData(const char16_t* szData) = 0;
    // Null when the data was never set.
    virtual HRESULT STDMETHODCALLTYPE GetData(const char16_t** pszData) = 0;

protected:
    ~IKTNotifyEvent() = default;
};

// Protection alerts (6000): the eight values of one violation, set in one call.
struct IKTGatewardenAlertEvent : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath,
                                               ULONG nActorProcessId, ULONG nAction,
                                               const char16_t* szTargetPath, ULONG nTargetProcessId,
                                               ULONG nSessionId, bool bBlocked) = 0;

protected:
    ~IKTGatewardenAlertEvent() = default;
};

// Severities of error stack entries, and the scale of its overall status (0 is worst).
constexpr LONG KT_SEVERITY_ERROR = 0;
constexpr LONG KT_SEVERITY_WARNING = 1;
constexpr LONG KT_SEVERITY_INFO = 2;

// The error stack an event carries back to its sender: entries of severity and text, and an
// overall status that is the worst severity added (KT_SEVERITY_INFO while empty).
struct IKTErrorStack : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Add(LONG nSeverity, const char16_t* szText) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* pnCount) = 0;
    // The text stays valid as long as the stack is not changed or freed.
    virtual HRESULT STDMETHODCALLTYPE GetEntry(ULONG nIndex, LONG* pnSeverity, const char16_t** pszText) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatus(LONG* pnStatus) = 0;
    // Folds a status into the overall status without adding an entry.
    virtual HRESULT STDMETHODCALLTYPE FoldStatus(LONG nStatus) = 0;

protected:
    ~IKTErrorStack() = default;
};

struct IKTErrorStackContainer : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorStack(IKTErrorStack** ppStack) = 0;

protected:
    ~IKTErrorStackContainer() = default;
};

// Configuration-change events (6008): the compiler's result, and whether the event is committed
// already (the compiler commits it when it is not).
struct IKTConfigEvent : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetResult(HRESULT hrResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResult(HRESULT* phrResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsCommitted(bool* pbCommitted) = 0;

protected:
    ~IKTConfigEvent() = default;
};

// Creates, copies and frees event objects, and converts them to and from the transported form.
// Operations answer CError codes.
struct IKTEventFactory : IUnknown {
    virtual LONG STDMETHODCALLTYPE NewEvent(ULONG nType, IKTEvent** ppEvent) = 0;
    virtual LONG STDMETHODCALLTYPE CopyEvent(IKTEvent* pEvent, IKTEvent** ppCopy) = 0;
    // Gives back the reference the caller holds.
    virtual LONG STDMETHODCALLTYPE FreeEvent(IKTEvent* pEvent) = 0;
    virtual LONG STDMETHODCALLTYPE ToTransported(IKTEvent* pEvent, KT_TRANSPORTED_EVENT* pTransported) = 0;
    virtual LONG STDMETHODCALLTYPE FromTransported(const KT_TRANSPORTED_EVENT* pTransported,
                                                   IKTEvent** ppEvent) = 0;
    virtual LONG STDMETHODCALLTYPE FreeTransported(KT_TRANSPORTED_EVENT* pTransported) = 0;

protected:
    ~IKTEventFactory() = default;
};

// The callbacks the event manager calls, implemented by providers and subscribers. The event is the
// caller's: a callee that wants to keep it copies it.
struct IKTEventProviderCallback : IUnknown {
    // An answer to an event this provider created: the event as its subscriber committed or
    // cancelled it.
    virtual LONG STDMETHODCALLTYPE OnEvent(LONG nProviderId, IKTEvent* pEvent) = 0;

protected:
    ~IKTEventProviderCallback() = default;
};

struct IKTEventSubscriberCallback : IUnknown {
    // pnAction out: 0 to keep the event (the subscriber will commit or cancel it), 1 to refuse it.
    virtual LONG STDMETHODCALLTYPE OnEvent(LONG nSubscriberId, IKTEvent* pEvent, LONG* pnAction) = 0;

protected:
    ~IKTEventSubscriberCallback() = default;
};

// Proxies wrap a callback into something the event manager can call from its own threads; it hands
// them events in the transported form, and the proxy turns them into event objects for the callback.
struct IKTProviderProxy : IUnknown {
    virtual LONG STDMETHODCALLTYPE Deliver(LONG nProviderId, const KT_TRANSPORTED_EVENT* pTransported) = 0;

protected:
    ~IKTProviderProxy() = default;
};

struct IKTSubscriberProxy : IUnknown {
    virtual LONG STDMETHODCALLTYPE Deliver(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pTransported,
                                           LONG* pnAction) = 0;

protected:
    ~IKTSubscriberProxy() = default;
};

struct IKTProxyFactory : IUnknown {
    virtual LONG STDMETHODCALLTYPE CreateProviderProxy(IKTEventProviderCallback* pCallback,
                                                       IKTProviderProxy** ppProxy) = 0;
    virtual LONG STDMETHODCALLTYPE CreateSubscriberProxy(IKTEventSubscriberCallback* pCallback,
                                                         IKTSubscriberProxy** ppProxy) = 0;
    // Give back the reference the caller holds.
    virtual LONG STDMETHODCALLTYPE DeleteProviderProxy(IKTProviderProxy* pProxy) = 0;
    virtual LONG STDMETHODCALLTYPE DeleteSubscriberProxy(IKTSubscriberProxy* pProxy) = 0;

protected:
    ~IKTProxyFactory() = default;
};

// The event manager. Every operation answers an HRESULT and reports its own outcome in *pnError
// (a CError code); a call succeeded only when both say so.
struct IKTEventManager : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterProvider(IKTProviderProxy* pProxy, LONG* pnProviderId,
                                                       LONG* pnError) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterProvider(LONG nProviderId, LONG* pnError) = 0;
    // psaStates: a vector of VT_I4 variants (KT_EVENT_STATE_*), or null.
    virtual HRESULT STDMETHODCALLTYPE RegisterSubscriber(IKTSubscriberProxy* pProxy, ULONG nEventType,
                                                         ULONG nParam1, const SAFEARRAY* psaStates,
                                                         ULONG nParam2, VARIANT_BOOL bFlag,
                                                         LONG* pnSubscriberId, LONG* pnError) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterSubscriber(LONG nSubscriberId, LONG* pnError) = 0;
    // Broadcast: every subscriber of the type gets the event and no answer goes back. Otherwise the
    // event goes to the first subscriber of the type that keeps it, and its commit or cancel goes
    // back to the provider.
    virtual HRESULT STDMETHODCALLTYPE CreateEvent(LONG nProviderId, const KT_TRANSPORTED_EVENT* pEvent,
                                                  VARIANT_BOOL bBroadcast, LONG* pnEventId,
                                                  LONG* pnError) = 0;
    virtual HRESULT STDMETHODCALLTYPE CommitEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent,
                                                  LONG* pnError) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelEvent(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pEvent,
                                                  LONG* pnError) = 0;

protected:
    ~IKTEventManager() = default;
};

// Identifiers. The event factory's and the configuration event's are the event library's published
// ones; the others are this machine's stand-ins' own.
inline constexpr CLSID CLSID_KTEventFactory = {
    0xC525ED66, 0x4C4D, 0x43E6, {0x94, 0x4C, 0xE3, 0x13, 0x3E, 0x77, 0x6F, 0x96}};
inline constexpr IID IID_IKTEventFactory = CLSID_KTEventFactory;
inline constexpr IID IID_IKTConfigEvent = {
    0x68BFF2A3, 0xFED8, 0x47D6, {0x90, 0x3A, 0x37, 0x2F, 0x55, 0x1B, 0x3F, 0xA5}};
inline constexpr IID IID_IKTErrorStackContainer = {
    0x64BC8431, 0x7A18, 0x4075, {0xA7, 0x55, 0xE9, 0x2C, 0x8B, 0xFA, 0x33, 0xE4}};
inline constexpr CLSID CLSID_KTProxyFactory = {
    0x9D3A6C21, 0x52E4, 0x4B7F, {0x8A, 0x10, 0x3C, 0x6E, 0x21, 0x4F, 0x90, 0x5B}};
inline constexpr IID IID_IKTProxyFactory = CLSID_KTProxyFactory;
inline constexpr IID IID_IKTEvent = {
    0x2B8F4E10, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
inline constexpr IID IID_IKTNotifyEvent = {
    0x2B8F4E11, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
inline constexpr IID IID_IKTGatewardenAlertEvent = {
    0x2B8F4E12, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
inline constexpr IID IID_IKTErrorStack = {
    0x2B8F4E13, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
inline constexpr IID IID_IKTEventProviderCallback = {
    0x2B8F4E14, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
inline constexpr IID IID_IKTEventSubscriberCallback = {
    0x2B8F4E15, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
inline constexpr IID IID_IKTProviderProxy = {
    0x2B8F4E16, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
inline constexpr IID IID_IKTSubscriberProxy = {
    0x2B8F4E17, 0x7C3D, 0x4A95, {0x9E, 0x61, 0x0D, 0x5A, 0x3B, 0x7C, 0x11, 0x20}};
// The event manager's class, created through the platform's COM activation (registered under
// HKEY_CLASSES_ROOT\CLSID), and its interface.
inline constexpr CLSID CLSID_KTEventManager = {
    0x7E1C0A52, 0x3F98, 0x4D26, {0xB1, 0x4A, 0x85, 0x2D, 0x6C, 0x03, 0x9E, 0x77}};
inline constexpr IID IID_IKTEventManager = {
    0x7E1C0A53, 0x3F98, 0x4D26, {0xB1, 0x4A, 0x85, 0x2D, 0x6C, 0x03, 0x9E, 0x77}};
