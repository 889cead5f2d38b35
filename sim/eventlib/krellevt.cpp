// KRELLEvt.dll: the event library's objects. One event class serves every type; the typed
// interfaces (notification, protection alert, configuration change with its error stack) are
// offered only by events of their type. Proxies turn transported events back into event objects for
// the callbacks they wrap.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "../common/class_factory.h"
#include "event_transport.h"
#include "settings/zel_result.h"

#define KRELLEVT_EXPORT extern "C" __attribute__((visibility("default")))

namespace krellevt {
namespace {

std::atomic<ULONG> g_nObjects{0};

class CCounted : public CRefCounted {
protected:
    CCounted() { ++g_nObjects; }
    ~CCounted() override { --g_nObjects; }
};

#define KRELLEVT_REFS                            \
    ULONG STDMETHODCALLTYPE AddRef() override {  \
        return AddRefImpl();                     \
    }                                            \
    ULONG STDMETHODCALLTYPE Release() override { \
        return ReleaseImpl();                    \
    }

template <class I, class T>
HRESULT Answer(T* pThis, void** ppv) {
    I* p = pThis;
    p->AddRef();
    *ppv = p;
    return S_OK;
}

class CErrorStackObject final : public IKTErrorStack, public CCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        return riid == IID_IUnknown || riid == IID_IKTErrorStack ? Answer<IKTErrorStack>(this, ppv)
                                                                 : E_NOINTERFACE;
    }
    KRELLEVT_REFS

    HRESULT STDMETHODCALLTYPE Add(LONG nSeverity, const char16_t* szText) override {
        if (nSeverity < KT_SEVERITY_ERROR || nSeverity > KT_SEVERITY_INFO ||
            m_entries.size() >= MAX_STACK_ENTRIES) {
            return E_INVALIDARG;
        }
        std::u16string sText = szText != nullptr ? szText : u"";
        sText.resize(std::min(sText.size(), MAX_TEXT_CHARS));
        m_entries.push_back({nSeverity, std::move(sText)});
        m_nStatus = FoldSeverity(m_nStatus, nSeverity);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCount(ULONG* pnCount) override {
        if (pnCount == nullptr) {
            return E_POINTER;
        }
        *pnCount = static_cast<ULONG>(m_entries.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetEntry(ULONG nIndex, LONG* pnSeverity, const char16_t** pszText) override {
        if (nIndex >= m_entries.size()) {
            return E_INVALIDARG;
        }
        if (pnSeverity != nullptr) {
            *pnSeverity = m_entries[nIndex].nSeverity;
        }
        if (pszText != nullptr) {
            *pszText = m_entries[nIndex].sText.c_str();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStatus(LONG* pnStatus) override {
        if (pnStatus == nullptr) {
            return E_POINTER;
        }
        *pnStatus = m_nStatus;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FoldStatus(LONG nStatus) override {
        if (nStatus < KT_SEVERITY_ERROR || nStatus > KT_SEVERITY_INFO) {
            return E_INVALIDARG;
        }
        m_nStatus = FoldSeverity(m_nStatus, nStatus);
        return S_OK;
    }

    void Load(const CEventRecord& record) {
        m_entries = record.stack;
        m_nStatus = record.nStackStatus;
    }
    void Store(CEventRecord* pRecord) const {
        pRecord->stack = m_entries;
        pRecord->nStackStatus = m_nStatus;
    }

private:
    std::vector<CErrorEntry> m_entries;
    LONG m_nStatus = KT_SEVERITY_INFO;
};

constexpr const char16_t* PROPERTY_CODE = u"Code";
constexpr const char16_t* PROPERTY_TIME = u"Time";
constexpr const char16_t* PROPERTY_DATA = u"Data";
constexpr const char16_t* PROPERTY_RESULT = u"Result";

class CEventObject final : public IKTEvent,
                           public IKTNotifyEvent,
                           public IKTGatewardenAlertEvent,
                           public IKTConfigEvent,
                           public IKTErrorStackContainer,
                           public CCounted {
public:
    // A record decoded from the transported form, or a new event of its type.
    explicit CEventObject(CEventRecord record) : m_record(std::move(record)) {
        if (m_record.bHasErrorStack) {
            m_pStack = new CErrorStackObject();
            m_pStack->Load(m_record);
            m_record.stack.clear();
        }
        if (m_record.nType == KT_EVENT_CONFIG_CHANGE && Find(PROPERTY_RESULT) == nullptr) {
            SetNumber(PROPERTY_RESULT, KT_PROPERTY_HRESULT, static_cast<std::uint32_t>(S_OK));
        }
    }
    ~CEventObject() override {
        if (m_pStack != nullptr) {
            m_pStack->Release();
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IKTEvent) {
            return Answer<IKTEvent>(this, ppv);
        }
        if (riid == IID_IKTNotifyEvent && m_record.nType == KT_EVENT_NOTIFY) {
            return Answer<IKTNotifyEvent>(this, ppv);
        }
        if (riid == IID_IKTGatewardenAlertEvent && m_record.nType == KT_EVENT_GATEWARDEN_ALERT) {
            return Answer<IKTGatewardenAlertEvent>(this, ppv);
        }
        if (riid == IID_IKTConfigEvent && m_record.nType == KT_EVENT_CONFIG_CHANGE) {
            return Answer<IKTConfigEvent>(this, ppv);
        }
        if (riid == IID_IKTErrorStackContainer && m_pStack != nullptr) {
            return Answer<IKTErrorStackContainer>(this, ppv);
        }
        return E_NOINTERFACE;
    }
    KRELLEVT_REFS

    // IKTEvent
    HRESULT STDMETHODCALLTYPE GetType(ULONG* pnType) override { return Out(pnType, m_record.nType); }
    HRESULT STDMETHODCALLTYPE GetId(LONG* pnId) override { return Out(pnId, m_record.nId); }
    HRESULT STDMETHODCALLTYPE SetId(LONG nId) override {
        m_record.nId = nId;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(LONG* pnState) override { return Out(pnState, m_record.nState); }
    HRESULT STDMETHODCALLTYPE SetState(LONG nState) override {
        if (nState < KT_EVENT_STATE_CREATED || nState > KT_EVENT_STATE_CANCELLED) {
            return E_INVALIDARG;
        }
        m_record.nState = nState;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPropertyCount(ULONG* pnCount) override {
        return Out(pnCount, static_cast<ULONG>(m_record.properties.size()));
    }
    HRESULT STDMETHODCALLTYPE GetProperty(ULONG nIndex, KT_PROPERTY* pProperty) override {
        if (pProperty == nullptr) {
            return E_POINTER;
        }
        if (nIndex >= m_record.properties.size()) {
            return E_INVALIDARG;
        }
        const CPropertyValue& value = m_record.properties[nIndex];
        *pProperty = {};
        pProperty->szName = value.sName.c_str();
        pProperty->type = value.type;
        pProperty->lValue = static_cast<LONG>(static_cast<std::uint32_t>(value.ullNumber));
        pProperty->ulValue = static_cast<ULONG>(value.ullNumber);
        pProperty->ullValue = value.ullNumber;
        pProperty->szValue = value.type == KT_PROPERTY_STRING ? value.sText.c_str() : nullptr;
        return S_OK;
    }

    // IKTNotifyEvent
    HRESULT STDMETHODCALLTYPE SetCode(ULONG nCode) override {
        SetNumber(PROPERTY_CODE, KT_PROPERTY_UI4, nCode);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCode(ULONG* pnCode) override {
        const CPropertyValue* p = Find(PROPERTY_CODE);
        return Out(pnCode, p != nullptr ? static_cast<ULONG>(p->ullNumber) : 0u);
    }
    HRESULT STDMETHODCALLTYPE SetTime(const SYSTEMTIME* pTime) override {
        if (pTime == nullptr) {
            return E_POINTER;
        }
        SetNumber(PROPERTY_TIME, KT_PROPERTY_FILETIME, FileTimeFromSystemTime(*pTime));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTime(SYSTEMTIME* pTime) override {
        if (pTime == nullptr) {
            return E_POINTER;
        }
        const CPropertyValue* p = Find(PROPERTY_TIME);
        *pTime = p != nullptr ? SystemTimeFromFileTime(p->ullNumber) : SYSTEMTIME{};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetData(const char16_t* szData) override {
        SetText(PROPERTY_DATA, szData);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetData(const char16_t** pszData) override {
        const CPropertyValue* p = Find(PROPERTY_DATA);
        return Out(pszData, p != nullptr ? p->sText.c_str() : nullptr);
    }

    // IKTGatewardenAlertEvent
    HRESULT STDMETHODCALLTYPE SetAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath,
                                       ULONG nActorProcessId, ULONG nAction, const char16_t* szTargetPath,
                                       ULONG nTargetProcessId, ULONG nSessionId, bool bBlocked) override {
        if (pTime == nullptr) {
            return E_POINTER;
        }
        SetNumber(PROPERTY_TIME, KT_PROPERTY_FILETIME, FileTimeFromSystemTime(*pTime));
        SetText(u"ActorPath", szActorPath);
        SetNumber(u"ActorProcessId", KT_PROPERTY_UI4, nActorProcessId);
        SetNumber(u"Action", KT_PROPERTY_UI4, nAction);
        SetText(u"TargetPath", szTargetPath);
        SetNumber(u"TargetProcessId", KT_PROPERTY_UI4, nTargetProcessId);
        SetNumber(u"SessionId", KT_PROPERTY_UI4, nSessionId);
        SetNumber(u"Blocked", KT_PROPERTY_BOOL, bBlocked ? 1 : 0);
        return S_OK;
    }

    // IKTConfigEvent
    HRESULT STDMETHODCALLTYPE SetResult(HRESULT hrResult) override {
        SetNumber(PROPERTY_RESULT, KT_PROPERTY_HRESULT, static_cast<std::uint32_t>(hrResult));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetResult(HRESULT* phrResult) override {
        const CPropertyValue* p = Find(PROPERTY_RESULT);
        return Out(phrResult,
                   p != nullptr ? static_cast<HRESULT>(static_cast<std::uint32_t>(p->ullNumber)) : S_OK);
    }
    HRESULT STDMETHODCALLTYPE IsCommitted(bool* pbCommitted) override {
        return Out(pbCommitted, m_record.nState == KT_EVENT_STATE_COMMITTED);
    }

    // IKTErrorStackContainer
    HRESULT STDMETHODCALLTYPE GetErrorStack(IKTErrorStack** ppStack) override {
        if (ppStack == nullptr) {
            return E_POINTER;
        }
        *ppStack = m_pStack;
        if (m_pStack == nullptr) {
            return E_NOINTERFACE;
        }
        m_pStack->AddRef();
        return S_OK;
    }

    CEventRecord Record() const {
        CEventRecord record = m_record;
        if (m_pStack != nullptr) {
            m_pStack->Store(&record);
        }
        return record;
    }

private:
    template <class T>
    static HRESULT Out(T* p, T value) {
        if (p == nullptr) {
            return E_POINTER;
        }
        *p = value;
        return S_OK;
    }
    CPropertyValue* Find(std::u16string_view sName) {
        for (CPropertyValue& property : m_record.properties) {
            if (property.sName == sName) {
                return &property;
            }
        }
        return nullptr;
    }
    // A property set again keeps its place, so the display order is the order of first setting.
    CPropertyValue& Slot(const char16_t* szName, KT_PROPERTY_TYPE type) {
        CPropertyValue* p = Find(szName);
        if (p == nullptr) {
            m_record.properties.push_back({szName, type, 0, {}});
            p = &m_record.properties.back();
        }
        p->type = type;
        return *p;
    }
    void SetNumber(const char16_t* szName, KT_PROPERTY_TYPE type, std::uint64_t ullValue) {
        CPropertyValue& property = Slot(szName, type);
        property.ullNumber = ullValue;
        property.sText.clear();
    }
    void SetText(const char16_t* szName, const char16_t* szValue) {
        CPropertyValue& property = Slot(szName, KT_PROPERTY_STRING);
        property.ullNumber = 0;
        property.sText = szValue != nullptr ? szValue : u"";
        property.sText.resize(std::min(property.sText.size(), MAX_TEXT_CHARS));
    }

    CEventRecord m_record;
    CErrorStackObject* m_pStack = nullptr;
};

// The library's own event objects are recognised by their record; a foreign IKTEvent is refused.
CEventObject* AsOwnEvent(IKTEvent* pEvent) {
    return dynamic_cast<CEventObject*>(pEvent);
}

class CEventFactory final : public IKTEventFactory, public CCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        return riid == IID_IUnknown || riid == IID_IKTEventFactory ? Answer<IKTEventFactory>(this, ppv)
                                                                   : E_NOINTERFACE;
    }
    KRELLEVT_REFS

    LONG STDMETHODCALLTYPE NewEvent(ULONG nType, IKTEvent** ppEvent) override {
        CEventRecord record;
        record.nType = nType;
        record.bHasErrorStack = CarriesErrorStack(nType);
        return Make(std::move(record), ppEvent);
    }
    LONG STDMETHODCALLTYPE CopyEvent(IKTEvent* pEvent, IKTEvent** ppCopy) override {
        CEventObject* pOwn = AsOwnEvent(pEvent);
        if (pOwn == nullptr) {
            if (ppCopy != nullptr) {
                *ppCopy = nullptr;
            }
            return CError::eFailure;
        }
        return Make(pOwn->Record(), ppCopy);
    }
    LONG STDMETHODCALLTYPE FreeEvent(IKTEvent* pEvent) override {
        if (pEvent == nullptr) {
            return CError::eFailure;
        }
        pEvent->Release();
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE ToTransported(IKTEvent* pEvent, KT_TRANSPORTED_EVENT* pTransported) override {
        CEventObject* pOwn = AsOwnEvent(pEvent);
        if (pOwn == nullptr || pTransported == nullptr) {
            return CError::eFailure;
        }
        *pTransported = {};
        try {
            const std::vector<BYTE> bytes = EncodeEvent(pOwn->Record());
            pTransported->pData = new BYTE[bytes.size()];
            std::memcpy(pTransported->pData, bytes.data(), bytes.size());
            pTransported->cbData = static_cast<ULONG>(bytes.size());
            return CError::eNoError;
        } catch (const std::bad_alloc&) {
            return CError::eException;
        }
    }
    LONG STDMETHODCALLTYPE FromTransported(const KT_TRANSPORTED_EVENT* pTransported,
                                           IKTEvent** ppEvent) override {
        if (ppEvent == nullptr) {
            return CError::eFailure;
        }
        *ppEvent = nullptr;
        if (pTransported == nullptr) {
            return CError::eFailure;
        }
        try {
            CEventRecord record;
            if (!DecodeEvent(pTransported->pData, pTransported->cbData, &record)) {
                return CError::eFailure;
            }
            return Make(std::move(record), ppEvent);
        } catch (const std::bad_alloc&) {
            return CError::eException;
        }
    }
    LONG STDMETHODCALLTYPE FreeTransported(KT_TRANSPORTED_EVENT* pTransported) override {
        if (pTransported == nullptr) {
            return CError::eFailure;
        }
        delete[] pTransported->pData;
        *pTransported = {};
        return CError::eNoError;
    }

private:
    static LONG Make(CEventRecord record, IKTEvent** ppEvent) {
        if (ppEvent == nullptr) {
            return CError::eFailure;
        }
        *ppEvent = nullptr;
        try {
            *ppEvent = new CEventObject(std::move(record));
            return CError::eNoError;
        } catch (const std::bad_alloc&) {
            return CError::eException;
        }
    }
};

// A proxy holds its callback and a factory of its own to rebuild events.
template <class IProxy, class ICallback, const IID& PROXY_IID>
class CProxyBase : public IProxy, public CCounted {
public:
    explicit CProxyBase(ICallback* pCallback) : m_pCallback(pCallback) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        return riid == IID_IUnknown || riid == PROXY_IID ? Answer<IProxy>(this, ppv) : E_NOINTERFACE;
    }
    KRELLEVT_REFS

protected:
    // The event for the callback, or null for bytes that do not decode.
    CComPtr<IKTEvent> Rebuild(const KT_TRANSPORTED_EVENT* pTransported) {
        CComPtr<IKTEvent> pEvent;
        if (m_factory.FromTransported(pTransported, &pEvent) != CError::eNoError) {
            return nullptr;
        }
        return pEvent;
    }

    CComPtr<ICallback> m_pCallback;

private:
    CEventFactory m_factory;
};

class CProviderProxy final
    : public CProxyBase<IKTProviderProxy, IKTEventProviderCallback, IID_IKTProviderProxy> {
public:
    using CProxyBase::CProxyBase;

    LONG STDMETHODCALLTYPE Deliver(LONG nProviderId, const KT_TRANSPORTED_EVENT* pTransported) override {
        CComPtr<IKTEvent> pEvent = Rebuild(pTransported);
        if (!pEvent || !m_pCallback) {
            return CError::eFailure;
        }
        return m_pCallback->OnEvent(nProviderId, pEvent.Get());
    }
};

class CSubscriberProxy final
    : public CProxyBase<IKTSubscriberProxy, IKTEventSubscriberCallback, IID_IKTSubscriberProxy> {
public:
    using CProxyBase::CProxyBase;

    LONG STDMETHODCALLTYPE Deliver(LONG nSubscriberId, const KT_TRANSPORTED_EVENT* pTransported,
                                   LONG* pnAction) override {
        LONG nAction = 0;
        CComPtr<IKTEvent> pEvent = Rebuild(pTransported);
        LONG nResult = CError::eFailure;
        if (!pEvent || !m_pCallback) {
            nAction = 1;
        } else {
            nResult = m_pCallback->OnEvent(nSubscriberId, pEvent.Get(), &nAction);
        }
        if (pnAction != nullptr) {
            *pnAction = nAction;
        }
        return nResult;
    }
};

class CProxyFactory final : public IKTProxyFactory, public CCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        return riid == IID_IUnknown || riid == IID_IKTProxyFactory ? Answer<IKTProxyFactory>(this, ppv)
                                                                   : E_NOINTERFACE;
    }
    KRELLEVT_REFS

    LONG STDMETHODCALLTYPE CreateProviderProxy(IKTEventProviderCallback* pCallback,
                                               IKTProviderProxy** ppProxy) override {
        return Make<CProviderProxy>(pCallback, ppProxy);
    }
    LONG STDMETHODCALLTYPE CreateSubscriberProxy(IKTEventSubscriberCallback* pCallback,
                                                 IKTSubscriberProxy** ppProxy) override {
        return Make<CSubscriberProxy>(pCallback, ppProxy);
    }
    LONG STDMETHODCALLTYPE DeleteProviderProxy(IKTProviderProxy* pProxy) override { return Give(pProxy); }
    LONG STDMETHODCALLTYPE DeleteSubscriberProxy(IKTSubscriberProxy* pProxy) override { return Give(pProxy); }

private:
    template <class TProxy, class ICallback, class IProxy>
    static LONG Make(ICallback* pCallback, IProxy** ppProxy) {
        if (ppProxy == nullptr) {
            return CError::eFailure;
        }
        *ppProxy = nullptr;
        if (pCallback == nullptr) {
            return CError::eFailure;
        }
        *ppProxy = new (std::nothrow) TProxy(pCallback);
        return *ppProxy != nullptr ? CError::eNoError : CError::eException;
    }
    static LONG Give(IUnknown* pProxy) {
        if (pProxy == nullptr) {
            return CError::eFailure;
        }
        pProxy->Release();
        return CError::eNoError;
    }
};

}  // namespace
}  // namespace krellevt

KRELLEVT_EXPORT ZELRESULT GetFactory(const CLSID* pClsid, IClassFactory** ppFactory) {
    if (pClsid == nullptr || ppFactory == nullptr) {
        return ZEL_E_INVALID_ARGUMENT;
    }
    *ppFactory = nullptr;
    if (*pClsid == CLSID_KTEventFactory) {
        *ppFactory = new (std::nothrow) sim::CClassFactory<krellevt::CEventFactory, krellevt::g_nObjects>();
    } else if (*pClsid == CLSID_KTProxyFactory) {
        *ppFactory = new (std::nothrow) sim::CClassFactory<krellevt::CProxyFactory, krellevt::g_nObjects>();
    } else {
        return sim::CLASS_E_CLASSNOTAVAILABLE;
    }
    return *ppFactory != nullptr ? ZEL_SUCCESS : ZEL_E_OUT_OF_MEMORY;
}

KRELLEVT_EXPORT ULONG GetObjectCount() {
    return krellevt::g_nObjects.load();
}
