#include "events/ktums_event_provider.h"

#include <mutex>
#include <new>
#include <utility>

#include "diagnostics/user_debug_output.h"

CKTUMSEventProvider::CKTUMSEventProvider(IEventBridgeSource* pSource)
    : m_pSource(pSource),
      m_Reconnector(pSource, u"CKTUMSEventProvider::CheckConnection()", u"events", DBG_CAT_MODULE) {}

CKTUMSEventProvider::~CKTUMSEventProvider() {
    ReleaseAll();
}

void CKTUMSEventProvider::ReleaseAll() {
    std::lock_guard lock(m_ConnectionLock);
    // The registration goes before the helper it was made through.
    Release();
    m_EventManagerHelper.Release();
    m_ProxyFactory.Release();
    m_EventFactory.Release();
}

bool CKTUMSEventProvider::Create() {
    ReleaseAll();
    try {
        if (!ZEL_SUCCEEDED(m_pSource->CreateEventFactory(&m_EventFactoryLoader, &m_EventFactory)) ||
            !m_EventFactory) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSEventProvider::Create() - m_EventFactoryLoader.CreateObject() failed.\n");
        } else if (!ZEL_SUCCEEDED(m_pSource->CreateProxyFactory(&m_ProxyFactoryLoader, &m_ProxyFactory)) ||
                   !m_ProxyFactory) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSEventProvider::Create() - m_ProxyFactoryLoader.CreateObject() failed.\n");
        } else {
            m_EventManagerHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
            if (!m_pSource->ConnectEventManager(m_EventManagerHelper.Get(), m_EventFactory.Get(),
                                                m_ProxyFactory.Get())) {
                DebugOut1(DBG_CAT_MODULE,
                          u"CKTUMSEventProvider::Create() - m_EventManagerHelper.Create() failed.\n");
            } else if (!CProviderHelper::Create(m_EventManagerHelper.Get(), false)) {
                DebugOut1(DBG_CAT_MODULE,
                          u"CKTUMSEventProvider::Create() - CProviderHelper::Create() failed.\n");
            } else {
                m_Reconnector.Connected();
                return true;
            }
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MODULE, u"LCCATCH : %s\n", u"std::bad_alloc");
    }
    ReleaseAll();
    return false;
}

bool CKTUMSEventProvider::Reconnect() {
    CComPtr<CEventManagerHelper> pHelper =
        ConnectEventManager(m_pSource, m_EventFactory.Get(), m_ProxyFactory.Get());
    if (!pHelper || !CProviderHelper::Create(pHelper.Get(), false)) {
        return false;
    }
    m_EventManagerHelper = std::move(pHelper);
    return true;
}

bool CKTUMSEventProvider::CheckConnection() {
    if (m_Reconnector.Check(m_EventManagerHelper.Get(), [this] { return Reconnect(); })) {
        return true;
    }
    m_Reconnector.CountDropped();
    return false;
}

LONG CKTUMSEventProvider::ForceSettingsRefresh() {
    std::lock_guard lock(m_ConnectionLock);
    if (!m_EventFactory || !m_EventManagerHelper) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSEventProvider::ForceSettingsRefresh() - m_EventFactory == NULL\n");
        return CError::eFailure;
    }
    if (!CheckConnection()) {
        return CError::eFailure;
    }
    IKTEvent* pEvent = nullptr;
    m_EventManagerHelper->NewEvent(KT_EVENT_SETTINGS_REFRESH, &pEvent);
    if (pEvent == nullptr) {
        return CError::eFailure;
    }
    LONG nEventId = 0;
    const LONG nResult = CreateEvent(pEvent, true, &nEventId);
    m_EventManagerHelper->DeleteEvent(pEvent);
    return nResult;
}

LONG CKTUMSEventProvider::SendGatewardenAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath,
                                              ULONG nActorProcessId, ULONG nAction,
                                              const char16_t* szTargetPath, ULONG nTargetProcessId,
                                              ULONG nSessionId, bool bBlocked) {
    std::lock_guard lock(m_ConnectionLock);
    if (!m_EventFactory || !m_EventManagerHelper) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSEventProvider::SendGatewardenAlert() - m_EventFactory == NULL\n");
        return CError::eFailure;
    }
    if (!CheckConnection()) {
        return CError::eFailure;
    }
    IKTEvent* pEvent = nullptr;
    m_EventManagerHelper->NewEvent(KT_EVENT_GATEWARDEN_ALERT, &pEvent);
    if (pEvent == nullptr) {
        return CError::eFailure;
    }
    CComPtr<IKTGatewardenAlertEvent> pPolicyEvent;
    pEvent->QueryInterface(IID_IKTGatewardenAlertEvent, reinterpret_cast<void**>(&pPolicyEvent));
    if (!pPolicyEvent) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSEventProvider::SendGatewardenAlert() - pPolicyEvent == NULL\n");
        m_EventManagerHelper->DeleteEvent(pEvent);
        return CError::eFailure;
    }
    pPolicyEvent->SetAlert(pTime, szActorPath, nActorProcessId, nAction, szTargetPath, nTargetProcessId,
                           nSessionId, bBlocked);
    LONG nEventId = 0;
    const LONG nResult = CreateEvent(pEvent, true, &nEventId);
    pPolicyEvent.Release();
    m_EventManagerHelper->DeleteEvent(pEvent);
    return nResult;
}
